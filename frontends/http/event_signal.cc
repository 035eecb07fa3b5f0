#include "event_signal.h"

#include <algorithm>

namespace VelquorHttp {

EventSignal::EventSignal() : m_Thread([this] { KeepDeadlines(); }) {}

EventSignal::~EventSignal() {
  std::vector<Waiter> left;
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = true;
    left.swap(m_Waiters);
  }
  m_Changed.notify_all();
  m_Thread.join();
  for (Waiter& w : left) w.wake();
}

std::uint64_t EventSignal::Generation(const std::string& account) {
  const std::lock_guard<std::mutex> lock(m_Mutex);
  const auto found = m_Generations.find(account);
  return found == m_Generations.end() ? 0 : found->second;
}

void EventSignal::Wait(const std::string& account, std::uint64_t generation, Clock::time_point deadline,
                       std::function<void()> wake) {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = m_Generations.find(account);
    const std::uint64_t now = found == m_Generations.end() ? 0 : found->second;
    if (now == generation && !m_bStop && deadline > Clock::now()) {
      m_Waiters.push_back({account, deadline, std::move(wake)});
      m_Changed.notify_all();
      return;
    }
  }
  wake();  // rung meanwhile, or already due
}

void EventSignal::Ring(const std::string& account) {
  std::vector<Waiter> woken;
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Generations[account];
    const auto mine = std::stable_partition(m_Waiters.begin(), m_Waiters.end(),
                                            [&account](const Waiter& w) { return w.account != account; });
    std::move(mine, m_Waiters.end(), std::back_inserter(woken));
    m_Waiters.erase(mine, m_Waiters.end());
  }
  for (Waiter& w : woken) w.wake();
}

std::size_t EventSignal::Waiting() {
  const std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Waiters.size();
}

void EventSignal::KeepDeadlines() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  while (!m_bStop) {
    const auto now = Clock::now();
    const auto due =
        std::stable_partition(m_Waiters.begin(), m_Waiters.end(), [now](const Waiter& w) { return w.deadline > now; });
    if (due != m_Waiters.end()) {
      std::vector<Waiter> woken(std::make_move_iterator(due), std::make_move_iterator(m_Waiters.end()));
      m_Waiters.erase(due, m_Waiters.end());
      lock.unlock();
      for (Waiter& w : woken) w.wake();
      lock.lock();
      continue;
    }
    auto next = Clock::time_point::max();
    for (const Waiter& w : m_Waiters) next = std::min(next, w.deadline);
    if (next == Clock::time_point::max())
      m_Changed.wait(lock);
    else
      m_Changed.wait_until(lock, next);
  }
}

}  // namespace VelquorHttp
