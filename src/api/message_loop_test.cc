#include "norvale/message_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/messages.h"
#include "platform/synch.h"

using namespace Norvale;
using namespace Norvale::OS;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A timer whose handler takes longer than its interval, so that another tick
// is due whenever one has been handled. After kSafetyTicks it kills itself,
// so that a loop that never looks at its clock still ends and the test can
// tell what went wrong instead of hanging.
constexpr int kSafetyTicks = 40;
thread_local int t_ticks = 0;
thread_local int t_posts = 0;

void SlowTick(HWND, UINT, UINT_PTR id, DWORD) {
  if (++t_ticks >= kSafetyTicks) KillTimer(nullptr, id);
  std::this_thread::sleep_for(30ms);
}

void PostingTick(HWND, UINT, UINT_PTR id, DWORD) {
  if (++t_ticks >= kSafetyTicks) KillTimer(nullptr, id);
  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  ++t_posts;
}

void Drain() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace

TEST(MessageLoop, RunForEndsAtItsTimeWhenEveryTickOutlastsItsInterval) {
  Drain();
  t_ticks = 0;
  const UINT_PTR id = SetTimer(nullptr, 0, 10, SlowTick);
  const auto start = Clock::now();
  EXPECT_TRUE(MessageLoop::RunFor(100ms));
  const auto took = Clock::now() - start;
  KillTimer(nullptr, id);
  // The handler in progress at the end finishes; nothing is dispatched after
  // it. Handlers start at least 30 ms apart, so at most four start within
  // the 100 ms, however slow the machine; without the deadline check the loop
  // only ends at the safety stop, after kSafetyTicks.
  EXPECT_GE(t_ticks, 1);
  EXPECT_LE(t_ticks, 4);
  EXPECT_GE(took, 100ms);
}

TEST(MessageLoop, PumpPendingTakesOnlyWhatWaitedAtTheCall) {
  Drain();
  t_ticks = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 10, SlowTick);
  std::this_thread::sleep_for(20ms);  // one tick due
  EXPECT_EQ(MessageLoop::PumpPending(), 1);
  EXPECT_EQ(t_ticks, 1);
  KillTimer(nullptr, id);
  Drain();

  // Two posted messages and a due tick whose handler posts another message:
  // the message posted during the call waits for the next one.
  t_ticks = t_posts = 0;
  id = SetTimer(nullptr, 0, 10, PostingTick);
  PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 0, 0);
  PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 0, 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(MessageLoop::PumpPending(), 3);
  EXPECT_EQ(t_posts, 1);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER);
  KillTimer(nullptr, id);
  Drain();
  EXPECT_EQ(MessageLoop::PumpPending(), 0);
}

TEST(MessageLoop, QuitEndsRunForAndPumpPendingLeavesItForTheLoop) {
  Drain();
  PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0);
  MessageLoop::Quit();
  EXPECT_EQ(MessageLoop::PumpPending(), 1);  // the quit stays
  const auto start = Clock::now();
  EXPECT_FALSE(MessageLoop::RunFor(5s));
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(MessageLoop::PumpPending(), 0);
}
