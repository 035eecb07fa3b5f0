// Thread message queues and thread timers.
//
// Each thread gets a message queue the first time it uses one of these
// functions. Posted messages come out in order; then a pending WM_QUIT; then
// WM_TIMER ticks, which are synthesised when the queue is checked and no
// posted message waits. A timer has at most one tick pending, so ticks never
// pile up while a handler runs long, and after a tick is taken the next one
// is due one interval after the last was due (or one interval from now when
// that has passed already). Timers run on the monotonic clock even in virtual
// time.
//
// Only thread timers exist: SetTimer takes a null window. The tick goes to
// the thread that set the timer; DispatchMessageA of a WM_TIMER calls its
// TIMERPROC with the timer's identifier and the tick count. KillTimer may be
// called from any thread and also drops a pending tick.
//
// Each queue has a file descriptor that is readable while a message waits or
// a timer is due (MessageQueueDescriptor), so an application can wait for it
// in its own poll/epoll loop. The queue lives until its thread ends; posting
// to a thread that has no queue fails with ERROR_INVALID_THREAD_ID.
#pragma once

#include "platform/types.h"

namespace Norvale::OS {

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

struct POINT {
  LONG x, y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL PeekMessageA(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
// Blocks until a message is available. Returns 0 for WM_QUIT, -1 on error,
// otherwise non-zero.
BOOL GetMessageA(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
void PostQuitMessage(int nExitCode);
BOOL TranslateMessage(const MSG* lpMsg);
LRESULT DispatchMessageA(const MSG* lpMsg);

// Thread timers: hWnd must be null. Returns the timer's identifier, non-zero
// and unique in the process, or 0 on failure. Intervals below 10 ms become
// 10 ms, as on Windows.
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent);

// The calling thread's queue descriptor: readable while a message waits or a
// timer is due. It belongs to the queue; do not close it.
int MessageQueueDescriptor();
// How many messages the calling thread's queue holds now: posted messages, a
// pending WM_QUIT and the ticks that are due. Lets a pump take what waits at
// one moment and no more, however long the handlers run.
UINT CountWaitingMessages();
// Blocks until the calling thread's queue has something or `ms` passes
// (INFINITE: no limit). True when something is there.
bool WaitForQueue(DWORD ms);

}  // namespace Norvale::OS
