#include "platform/synch.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/tick_count.h"

namespace Norvale::OS {
namespace {

class MutexObject;

// The mutexes a thread owns, so that they are abandoned when it ends.
struct OwnedMutexes {
  std::vector<std::shared_ptr<MutexObject>> list;
  ~OwnedMutexes();
};
thread_local OwnedMutexes t_owned;

class MutexObject final : public KernelObject, public std::enable_shared_from_this<MutexObject> {
 public:
  DWORD Wait(DWORD ms) {
    const DWORD self = GetCurrentThreadId();
    std::unique_lock lock(m_lock);
    if (m_owner == self) {
      ++m_count;
      return WAIT_OBJECT_0;
    }
    if (m_owner != 0) {
      if (ms == 0) return WAIT_TIMEOUT;
      if (ms != INFINITE && VirtualTime::IsEnabled()) {
        VirtualTime::Advance(ms);
        return WAIT_TIMEOUT;
      }
      if (ms == INFINITE) {
        m_free.wait(lock, [&] { return m_owner == 0; });
      } else if (!m_free.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_owner == 0; })) {
        return WAIT_TIMEOUT;
      }
    }
    m_owner = self;
    m_count = 1;
    const bool abandoned = std::exchange(m_abandoned, false);
    lock.unlock();
    t_owned.list.push_back(shared_from_this());
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  bool Release() {
    std::unique_lock lock(m_lock);
    if (m_owner != GetCurrentThreadId()) return false;
    if (--m_count == 0) {
      m_owner = 0;
      lock.unlock();
      m_free.notify_one();
      auto& l = t_owned.list;
      const auto it = std::find(l.begin(), l.end(), shared_from_this());
      if (it != l.end()) l.erase(it);
    }
    return true;
  }

  void Abandon(DWORD thread) {
    {
      std::lock_guard lock(m_lock);
      if (m_owner != thread) return;
      m_owner = 0;
      m_count = 0;
      m_abandoned = true;
    }
    m_free.notify_one();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_free;
  DWORD m_owner = 0;
  DWORD m_count = 0;
  bool m_abandoned = false;
};

OwnedMutexes::~OwnedMutexes() {
  const DWORD self = GetCurrentThreadId();
  for (const auto& m : list) m->Abandon(self);
}

}  // namespace

DWORD GetCurrentThreadId() {
  thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

HANDLE CreateMutexA(SECURITY_ATTRIBUTES*, BOOL bInitialOwner, LPCSTR lpName) {
  if (lpName != nullptr && *lpName != '\0') {
    SetLastError(ERROR_NOT_SUPPORTED);  // named mutexes are not provided
    return nullptr;
  }
  auto mutex = std::make_shared<MutexObject>();
  if (bInitialOwner) mutex->Wait(INFINITE);
  return HandleTable::Insert(std::move(mutex));
}

BOOL ReleaseMutex(HANDLE hMutex) {
  const auto mutex = HandleTable::Get<MutexObject>(hMutex);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!mutex->Release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const auto mutex = HandleTable::Get<MutexObject>(hHandle);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return mutex->Wait(dwMilliseconds);
}

}  // namespace Norvale::OS
