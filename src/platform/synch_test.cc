#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/synch.h"
#include "platform/tick_count.h"

using namespace Norvale::OS;

namespace {

// Holds `mutex` on another thread until the returned promise is set.
struct Holder {
  std::promise<void> release;
  std::thread thread;
  explicit Holder(HANDLE mutex) {
    std::promise<void> taken;
    auto done = taken.get_future();
    thread = std::thread([this, mutex, &taken, f = release.get_future()]() mutable {
      WaitForSingleObject(mutex, INFINITE);
      taken.set_value();
      f.wait();
      ReleaseMutex(mutex);
    });
    done.wait();
  }
  ~Holder() {
    release.set_value();
    thread.join();
  }
};

}  // namespace

TEST(Mutex, IsRecursiveForItsOwnerAndRefusesOtherReleasers) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  std::thread([m] {
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).join();
  EXPECT_TRUE(ReleaseMutex(m));
  std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT); }).join();  // still held once
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));  // no longer owned
  std::thread([m] {
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    ReleaseMutex(m);
  }).join();
  EXPECT_TRUE(CloseHandle(m));
  EXPECT_FALSE(CloseHandle(m));
}

TEST(Mutex, TimesOutInRealAndInVirtualTime) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  {
    Holder holder(m);
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(m, 60), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount() - start, 55u);

    VirtualTime::Enable(1000);
    EXPECT_EQ(WaitForSingleObject(m, 15000), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount(), 16000u);  // the wait ran out in virtual time, at once
    VirtualTime::Disable();
  }
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // free again once released
  ReleaseMutex(m);
  CloseHandle(m);
}

TEST(Mutex, NextWaiterSeesAbandonmentOnce) {
  HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
  std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); }).join();  // ends owning it
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));  // the abandoned wait made us the owner
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  ReleaseMutex(m);
  CloseHandle(m);
}

TEST(Mutex, BadHandlesFail) {
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7FFF0), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "named"), nullptr);
  HANDLE owned = CreateMutexA(nullptr, TRUE, nullptr);
  std::thread([owned] { EXPECT_EQ(WaitForSingleObject(owned, 0), WAIT_TIMEOUT); }).join();
  ReleaseMutex(owned);
  CloseHandle(owned);
}
