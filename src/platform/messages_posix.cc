#include "platform/messages.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/synch.h"
#include "platform/tick_count.h"

namespace Norvale::OS {
namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  DWORD interval;
  TIMERPROC proc;
  Clock::time_point due;
  bool pending = false;
};

class ThreadQueue {
 public:
  ThreadQueue() {
    m_event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_poll = epoll_create1(EPOLL_CLOEXEC);
    for (const int fd : {m_event, m_timer}) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = fd;
      epoll_ctl(m_poll, EPOLL_CTL_ADD, fd, &ev);
    }
  }
  ~ThreadQueue() {
    for (const int fd : {m_poll, m_event, m_timer})
      if (fd >= 0) close(fd);
  }
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  int Descriptor() const { return m_poll; }

  void Post(const MSG& msg) {
    std::lock_guard guard(m_lock);
    m_posted.push_back(msg);
    Refresh();
  }

  void PostQuit(int code) {
    std::lock_guard guard(m_lock);
    m_quit = true;
    m_quitCode = code;
    Refresh();
  }

  bool Peek(MSG* out, UINT min, UINT max, bool remove) {
    auto wanted = [&](UINT m) { return (min == 0 && max == 0) || (m >= min && m <= max); };
    std::lock_guard guard(m_lock);
    bool found = false;
    for (auto it = m_posted.begin(); it != m_posted.end(); ++it) {
      if (!wanted(it->message)) continue;
      *out = *it;
      if (remove) m_posted.erase(it);
      found = true;
      break;
    }
    if (!found && m_quit && wanted(WM_QUIT)) {
      *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(m_quitCode), 0, GetTickCount(), {}};
      if (remove) m_quit = false;
      found = true;
    }
    if (!found && wanted(WM_TIMER)) {
      const auto now = Clock::now();
      MarkDue(now);
      for (auto& [id, t] : m_timers) {
        if (!t.pending) continue;
        *out = MSG{nullptr, WM_TIMER, id, reinterpret_cast<LPARAM>(t.proc), GetTickCount(), {}};
        if (remove) {
          t.pending = false;
          t.due += std::chrono::milliseconds(t.interval);
          if (t.due <= now) t.due = now + std::chrono::milliseconds(t.interval);
        }
        found = true;
        break;
      }
    }
    Refresh();
    return found;
  }

  void SetTimer(UINT_PTR id, DWORD interval, TIMERPROC proc) {
    std::lock_guard guard(m_lock);
    m_timers[id] = Timer{interval, proc, Clock::now() + std::chrono::milliseconds(interval)};
    Refresh();
  }

  bool KillTimer(UINT_PTR id) {
    std::lock_guard guard(m_lock);
    const bool erased = m_timers.erase(id) > 0;
    Refresh();
    return erased;
  }

  // Posted messages, a quit and due ticks: what a Peek would hand out now.
  UINT Waiting() {
    std::lock_guard guard(m_lock);
    Refresh();  // marks the due ticks pending
    std::size_t count = m_posted.size() + (m_quit ? 1 : 0);
    for (const auto& [id, t] : m_timers) count += t.pending ? 1 : 0;
    return static_cast<UINT>(count);
  }

  bool HasTimer(UINT_PTR id) {
    std::lock_guard guard(m_lock);
    return m_timers.count(id) > 0;
  }

  std::map<UINT_PTR, Timer> TakeTimers() {
    std::lock_guard guard(m_lock);
    return std::exchange(m_timers, {});
  }

 private:
  void MarkDue(Clock::time_point now) {
    for (auto& [id, t] : m_timers)
      if (!t.pending && t.due <= now) t.pending = true;
  }

  // Makes the descriptor tell the truth: the event counter is set while a
  // message or a tick is ready, and the timer descriptor is armed for the
  // next tick that is not yet due.
  void Refresh() {
    MarkDue(Clock::now());
    bool ready = !m_posted.empty() || m_quit;
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [id, t] : m_timers) {
      if (t.pending)
        ready = true;
      else if (t.due < next)
        next = t.due;
    }
    std::uint64_t drain;
    if (ready && !m_signalled) {
      const std::uint64_t one = 1;
      m_signalled = write(m_event, &one, sizeof one) == sizeof one;
    } else if (!ready && m_signalled) {
      (void)!read(m_event, &drain, sizeof drain);
      m_signalled = false;
    }
    while (read(m_timer, &drain, sizeof drain) == sizeof drain) {
    }
    itimerspec spec{};
    if (next != Clock::time_point::max()) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
      spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
      if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    }
    timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &spec, nullptr);
  }

  std::mutex m_lock;
  std::deque<MSG> m_posted;
  bool m_quit = false;
  int m_quitCode = 0;
  std::map<UINT_PTR, Timer> m_timers;
  bool m_signalled = false;
  int m_event = -1, m_timer = -1, m_poll = -1;
};

struct Registry {
  std::mutex lock;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  std::unordered_map<UINT_PTR, std::weak_ptr<ThreadQueue>> timers;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;  // outlives every thread's queue holder
  return *r;
}

std::atomic<UINT_PTR> g_nextTimerId{1};

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  DWORD thread = 0;
  ~QueueHolder() {
    if (!queue) return;
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    r.queues.erase(thread);
    for (const auto& [id, t] : queue->TakeTimers()) r.timers.erase(id);
  }
};
thread_local QueueHolder t_queue;

ThreadQueue& CurrentQueue() {
  if (!t_queue.queue) {
    t_queue.queue = std::make_shared<ThreadQueue>();
    t_queue.thread = GetCurrentThreadId();
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    r.queues[t_queue.thread] = t_queue.queue;
  }
  return *t_queue.queue;
}

}  // namespace

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    const auto it = r.queues.find(idThread);
    if (it != r.queues.end()) queue = it->second;
  }
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  queue->Post(MSG{nullptr, Msg, wParam, lParam, GetTickCount(), {}});
  return TRUE;
}

BOOL PeekMessageA(MSG* lpMsg, HWND, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (!lpMsg) return FALSE;
  return CurrentQueue().Peek(lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL GetMessageA(MSG* lpMsg, HWND, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  ThreadQueue& q = CurrentQueue();
  while (!q.Peek(lpMsg, wMsgFilterMin, wMsgFilterMax, true)) WaitForQueue(INFINITE);
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

void PostQuitMessage(int nExitCode) { CurrentQueue().PostQuit(nExitCode); }

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg && lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
    const auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
    proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
  }
  return 0;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  if (hWnd != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);  // window timers are not provided
    return 0;
  }
  ThreadQueue& q = CurrentQueue();
  const UINT interval = uElapse < 10 ? 10 : uElapse;
  // An identifier of one of this thread's timers resets that timer.
  UINT_PTR id = (nIDEvent != 0 && q.HasTimer(nIDEvent)) ? nIDEvent : g_nextTimerId.fetch_add(1);
  q.SetTimer(id, interval, lpTimerFunc);
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  r.timers[id] = t_queue.queue;
  return id;
}

BOOL KillTimer(HWND, UINT_PTR uIDEvent) {
  std::shared_ptr<ThreadQueue> queue;
  {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    const auto it = r.timers.find(uIDEvent);
    if (it != r.timers.end()) {
      queue = it->second.lock();
      r.timers.erase(it);
    }
  }
  if (!queue || !queue->KillTimer(uIDEvent)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

int MessageQueueDescriptor() { return CurrentQueue().Descriptor(); }

UINT CountWaitingMessages() { return CurrentQueue().Waiting(); }

bool WaitForQueue(DWORD ms) {
  pollfd p{CurrentQueue().Descriptor(), POLLIN, 0};
  const int timeout = ms == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(ms, 0x7FFFFFFF));
  return poll(&p, 1, timeout) > 0;
}

}  // namespace Norvale::OS
