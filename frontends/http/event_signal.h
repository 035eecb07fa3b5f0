// EventSignal: tells the waiting long polls of an account that new events
// are in its inbox. The pump rings an account after each commit that put
// events there; a waiter registers a wake-up, called once: at the first
// ring of its account after the generation it read before looking at the
// inbox (at once when one came between), at its deadline, or when the
// signal ends. A thread of its own keeps the deadlines; nothing holds a
// server thread while it waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace VelquorHttp {

class EventSignal {
 public:
  using Clock = std::chrono::steady_clock;

  EventSignal();
  // Wakes every waiter still waiting.
  ~EventSignal();
  EventSignal(const EventSignal&) = delete;
  EventSignal& operator=(const EventSignal&) = delete;

  // The account's count of rings, read before a look at its inbox.
  std::uint64_t Generation(const std::string& account);
  // Calls `wake` once, after a ring of the account that came after
  // `generation`, or at `deadline` (any thread, never with a lock held).
  void Wait(const std::string& account, std::uint64_t generation, Clock::time_point deadline,
            std::function<void()> wake);
  void Ring(const std::string& account);

  // Waiters not yet woken, for tests and metrics.
  std::size_t Waiting();

 private:
  struct Waiter {
    std::string account;
    Clock::time_point deadline;
    std::function<void()> wake;
  };
  void KeepDeadlines();

  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::map<std::string, std::uint64_t> m_Generations;
  std::vector<Waiter> m_Waiters;
  bool m_bStop = false;
  std::thread m_Thread;
};

}  // namespace VelquorHttp
