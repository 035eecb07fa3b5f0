// Kernel mutexes and waits with Win32 semantics.
//
// A mutex is owned by a thread and recursive: its owner obtains it again at
// once and releases it once per obtain; ReleaseMutex by any other thread
// fails with ERROR_NOT_OWNER. When an owning thread ends without releasing,
// the next waiter obtains the mutex with WAIT_ABANDONED. Only unnamed mutexes
// exist. WaitForSingleObject returns WAIT_OBJECT_0, WAIT_TIMEOUT,
// WAIT_ABANDONED, or WAIT_FAILED for a null or unknown handle. In virtual time
// (tick_count.h) a timed wait that cannot obtain the mutex at once advances
// the virtual counter by its time-out and returns WAIT_TIMEOUT; an unlimited
// wait blocks for real. Every function may be called on any thread.
#pragma once

#include "platform/handle_table.h"
#include "platform/types.h"

namespace Norvale::OS {

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

HANDLE CreateMutexA(SECURITY_ATTRIBUTES* lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// The calling thread's identifier (the kernel's thread id).
DWORD GetCurrentThreadId();

}  // namespace Norvale::OS
