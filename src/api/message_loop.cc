#include "norvale/message_loop.h"

#include "platform/messages.h"
#include "platform/synch.h"

namespace Norvale::MessageLoop {
using namespace OS;

namespace {
void Dispatch(const MSG& msg) {
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}
}  // namespace

void Run() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
}

bool RunFor(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  MSG msg;
  while (true) {
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return false;
      Dispatch(msg);
      // A handler slower than its timer leaves a new tick waiting every time:
      // only the clock can end the loop then.
      if (std::chrono::steady_clock::now() >= end) return true;
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    WaitForQueue(static_cast<DWORD>(left.count()) + 1);
  }
}

int PumpPending() {
  // What waits now and no more: a tick that falls due again during a slow
  // handler, or a message a handler posts, is left for the next call.
  const UINT waiting = CountWaitingMessages();
  int count = 0;
  MSG msg;
  while (static_cast<UINT>(count) < waiting && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // left for the loop that runs
      break;
    }
    Dispatch(msg);
    ++count;
  }
  return count;
}

void Quit() { PostQuitMessage(0); }

bool Quit(std::uint32_t threadId) { return PostThreadMessageA(threadId, WM_QUIT, 0, 0) != FALSE; }

std::uint32_t CurrentThreadId() {
  MessageQueueDescriptor();  // makes sure the thread has a queue to post to
  return GetCurrentThreadId();
}

int Descriptor() { return MessageQueueDescriptor(); }

}  // namespace Norvale::MessageLoop
