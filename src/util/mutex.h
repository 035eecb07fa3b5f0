// CMutex, the library's in-process lock, and CMutexLock, its scoped guard.
//
// CMutex wraps an unnamed kernel mutex: thread-owned and recursive. Waiting
// for it keeps the thread's messages flowing (CWin32Utils), so timer
// callbacks of the waiting thread may run inside the wait; when such a
// callback asks for a mutex its own thread holds, it obtains it at once.
// CMutexLock never throws: a failed wait leaves it unobtained and, with
// logging on, writes an event record.
#pragma once

#include <string>

#include "platform/types.h"

namespace Norvale {

class CLogFile;  // stored by CMutexLock and never used

class CMutex {
 public:
  // Creates an unnamed, unowned mutex; a failure leaves the handle null.
  CMutex();
  virtual ~CMutex();
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  bool CreateMutexA(OS::SECURITY_ATTRIBUTES* lpMutexAttributes, OS::BOOL bInitialOwner, OS::LPCSTR lpName);
  // True only when the wait ends with the mutex obtained (result 0).
  bool WaitForMutex(OS::DWORD dwTimeout);
  void ReleaseMutex();
  void CloseMutex();

 private:
  OS::HANDLE m_hMutex = nullptr;
};

class CMutexLock {
 public:
  CMutexLock(CMutex* Mutex, CLogFile* pLogFile, std::string sContext, OS::DWORD dwTimeout, bool m_bLogErrors);
  ~CMutexLock();
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

  bool Obtained() const { return m_bObtained; }

 private:
  CMutex* m_pMutex;
  CLogFile* m_pLogFile;
  std::string m_sContext;
  bool m_bObtained;
  bool m_bLogErrors;
};

}  // namespace Norvale
