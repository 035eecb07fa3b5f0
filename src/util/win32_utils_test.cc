#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/messages.h"
#include "platform/synch.h"
#include "platform/tick_count.h"
#include "util/mutex.h"
#include "util/win32_utils.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

thread_local int t_timerCalls = 0;
void CountTick(HWND, UINT, UINT_PTR, DWORD) { ++t_timerCalls; }

// A mutex held by another thread for the life of the object: a handle that
// is never signalled for the waiter.
struct Blocked {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  std::promise<void> release;
  std::thread owner;
  Blocked() {
    std::promise<void> taken;
    owner = std::thread([&, f = release.get_future()]() mutable {
      WaitForSingleObject(mutex, INFINITE);
      taken.set_value();
      f.wait();
      ReleaseMutex(mutex);
    });
    taken.get_future().wait();
  }
  ~Blocked() {
    release.set_value();
    owner.join();
    CloseHandle(mutex);
  }
};

}  // namespace

TEST(CWin32Utils, DispatchesMessagesAndTicksWhileWaiting) {
  Blocked blocked;
  t_timerCalls = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, CountTick);
  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  const DWORD start = GetTickCount();
  EXPECT_EQ(CWin32Utils::WaitForSingleObjectWithMsgPump(blocked.mutex, 700), WAIT_TIMEOUT);
  const DWORD elapsed = GetTickCount() - start;
  KillTimer(nullptr, timer);
  EXPECT_GE(elapsed, 700u);
  EXPECT_LT(elapsed, 700u + 10000u);  // a generous cap: only a wait that misses its time-out goes past it
  EXPECT_GE(t_timerCalls, 2);         // a 200 ms pass bounds how often ticks are seen
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_REMOVE));  // the posted one was dispatched
}

TEST(CWin32Utils, SignalledHandleReturnsAtOnceWithoutDispatching) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  MessageQueueDescriptor();  // a thread gets its queue on first use; posting needs one
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0));
  EXPECT_EQ(CWin32Utils::WaitForSingleObjectWithMsgPump(m, INFINITE), WAIT_OBJECT_0);
  MSG msg;
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // still waiting in the queue
  ReleaseMutex(m);
  EXPECT_EQ(CWin32Utils::WaitForSingleObjectWithMsgPump(nullptr, 0), WAIT_FAILED);
  CloseHandle(m);
  Blocked blocked;
  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  EXPECT_EQ(CWin32Utils::WaitForSingleObjectWithMsgPump(blocked.mutex, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // a zero wait leaves the queue alone
}

TEST(CWin32Utils, EndsAfterItsTimeoutAcrossTheTickWrap) {
  Blocked blocked;
  VirtualTime::Enable(0xFFFFFFFFu - 500u);
  const DWORD start = GetTickCount();
  EXPECT_EQ(CWin32Utils::WaitForSingleObjectWithMsgPump(blocked.mutex, 3000), WAIT_TIMEOUT);
  const DWORD elapsed = GetTickCount() - start;
  VirtualTime::Disable();
  EXPECT_GT(elapsed, 3000u);  // not ended early by the wrap
  EXPECT_LE(elapsed, 3200u);  // and not much later than asked
}

TEST(CMutexLock, OwnerObtainsAgainAtOnceAndReleasesOncePerLock) {
  CMutex mutex;
  {
    CMutexLock outer(&mutex, nullptr, "", INFINITE, false);
    ASSERT_TRUE(outer.Obtained());
    CMutexLock inner(&mutex, nullptr, "", INFINITE, false);
    EXPECT_TRUE(inner.Obtained());
  }
  std::thread([&] {
    CMutexLock other(&mutex, nullptr, "", 0, false);
    EXPECT_TRUE(other.Obtained());  // both releases happened
  }).join();
}
