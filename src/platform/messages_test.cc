#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/synch.h"
#include "platform/tick_count.h"

using namespace Norvale::OS;
using Clock = std::chrono::steady_clock;

namespace {

thread_local std::vector<std::pair<UINT_PTR, Clock::time_point>> t_ticks;
thread_local int t_sleepMs = 0;

void RecordTick(HWND, UINT msg, UINT_PTR id, DWORD) {
  EXPECT_EQ(msg, WM_TIMER);
  t_ticks.emplace_back(id, Clock::now());
  if (t_sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(t_sleepMs));
}

// Pumps until `done` holds; false when it did not within 20 s.
bool PumpUntil(const std::function<bool()>& done) {
  const auto end = Clock::now() + std::chrono::seconds(20);
  MSG msg;
  while (!done()) {
    if (Clock::now() >= end) return false;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageA(&msg);
    else
      WaitForQueue(5);
  }
  return true;
}

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

}  // namespace

TEST(MessageQueue, PostedMessagesComeInOrderThenQuit) {
  const DWORD self = GetCurrentThreadId();
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // makes the queue
  PostQuitMessage(3);
  ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, 10, 20));
  ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 2, 0, 0));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1u);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));  // filtered
  EXPECT_EQ(msg.message, WM_USER + 2u);
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
  EXPECT_EQ(msg.message, WM_USER + 1u);
  EXPECT_EQ(msg.wParam, 10u);
  EXPECT_EQ(msg.lParam, 20);
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);  // the quit comes after posted messages
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(MessageQueue, PostingToAThreadWithoutQueueFails) {
  EXPECT_FALSE(PostThreadMessageA(0x7FFFFFF0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(MessageQueue, GetMessageWakesForAnotherThreadsPost) {
  std::atomic<DWORD> id{0};
  std::thread worker([&] {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    id = GetCurrentThreadId();
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_APP);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
  });
  while (id == 0) std::this_thread::yield();
  EXPECT_TRUE(PostThreadMessageA(id, WM_APP, 0, 0));
  EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));
  worker.join();
}

TEST(ThreadTimer, TicksAtItsIntervalWhileThePumpRuns) {
  t_ticks.clear();
  const auto start = Clock::now();
  const UINT_PTR id = SetTimer(nullptr, 0, 50, RecordTick);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(PumpUntil([] { return t_ticks.size() >= 10; }));
  // Never before its time: the tenth tick comes 500 ms after the start at the
  // earliest (a slow machine may make ticks late, which bounds nothing).
  EXPECT_GE(t_ticks[9].second - start, std::chrono::milliseconds(500));
  for (const auto& [tickId, when] : t_ticks) EXPECT_EQ(tickId, id);
  EXPECT_TRUE(KillTimer(nullptr, id));
  const size_t seen = t_ticks.size();
  // A second timer of the same interval shows the pump ran on for three
  // intervals: killed, the first ticks no more.
  const UINT_PTR probe = SetTimer(nullptr, 0, 50, RecordTick);
  ASSERT_TRUE(PumpUntil([&] { return t_ticks.size() >= seen + 3; }));
  KillTimer(nullptr, probe);
  for (size_t i = seen; i < t_ticks.size(); ++i) EXPECT_EQ(t_ticks[i].first, probe);
}

TEST(ThreadTimer, SlowHandlerCausesNoBurstAndKillDropsThePendingTick) {
  t_ticks.clear();
  t_sleepMs = 300;
  const UINT_PTR id = SetTimer(nullptr, 0, 20, RecordTick);
  ASSERT_TRUE(PumpUntil([] { return !t_ticks.empty(); }));  // the first tick sleeps 300 ms inside its handler
  t_sleepMs = 0;
  EXPECT_EQ(t_ticks.size(), 1u);
  t_ticks.clear();
  // Fifteen intervals passed during the slow handler, yet one tick at most
  // is pending afterwards, not fifteen (another falls due only if this
  // thread loses the processor for a whole interval while draining).
  MSG pending;
  while (PeekMessageA(&pending, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&pending);
  EXPECT_LE(t_ticks.size(), 3u);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));  // a tick is due now
  EXPECT_TRUE(Readable(MessageQueueDescriptor(), 0));
  EXPECT_TRUE(KillTimer(nullptr, id));
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // the due tick went with the timer
  EXPECT_FALSE(Readable(MessageQueueDescriptor(), 0));
  EXPECT_FALSE(KillTimer(nullptr, id));
}

TEST(ThreadTimer, TimersStayOnTheirOwnThreadsAndIdentifiersAreUnique) {
  std::vector<UINT_PTR> ids(2);
  std::vector<std::vector<UINT_PTR>> seen(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      t_ticks.clear();
      ids[i] = SetTimer(nullptr, 0, 30, RecordTick);
      EXPECT_TRUE(PumpUntil([] { return t_ticks.size() >= 3; }));
      KillTimer(nullptr, ids[i]);
      for (const auto& [id, when] : t_ticks) seen[i].push_back(id);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_NE(ids[0], ids[1]);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(seen[i].empty());
    for (const UINT_PTR id : seen[i]) EXPECT_EQ(id, ids[i]);
  }
}

TEST(ThreadTimer, DescriptorWakesAPollLoop) {
  const int fd = MessageQueueDescriptor();
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  EXPECT_FALSE(Readable(fd, 0));
  const UINT_PTR id = SetTimer(nullptr, 0, 30, RecordTick);
  const auto start = Clock::now();
  ASSERT_TRUE(Readable(fd, 2000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, id);
  EXPECT_FALSE(Readable(fd, 0));  // taken: quiet until the next tick
  KillTimer(nullptr, id);
  const DWORD self = GetCurrentThreadId();
  std::thread([self] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostThreadMessageA(self, WM_USER, 0, 0);
  }).join();
  EXPECT_TRUE(Readable(fd, 2000));
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}
