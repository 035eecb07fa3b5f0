#include "util/mutex.h"

#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "platform/handle_table.h"
#include "platform/synch.h"
#include "util/win32_utils.h"

namespace Norvale {
using namespace OS;

CMutex::CMutex() { CreateMutexA(nullptr, FALSE, nullptr); }

CMutex::~CMutex() {
  if (m_hMutex) CloseMutex();
}

bool CMutex::CreateMutexA(SECURITY_ATTRIBUTES* lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  m_hMutex = OS::CreateMutexA(lpMutexAttributes, bInitialOwner, lpName);
  return m_hMutex != nullptr;
}

bool CMutex::WaitForMutex(DWORD dwTimeout) {
  return CWin32Utils::WaitForSingleObjectWithMsgPump(m_hMutex, dwTimeout) == WAIT_OBJECT_0;
}

void CMutex::ReleaseMutex() { OS::ReleaseMutex(m_hMutex); }

void CMutex::CloseMutex() {
  CloseHandle(m_hMutex);
  m_hMutex = nullptr;
}

CMutexLock::CMutexLock(CMutex* Mutex, CLogFile* pLogFile, std::string sContext, DWORD dwTimeout, bool bLogErrors)
    : m_pMutex(Mutex), m_pLogFile(pLogFile), m_sContext(std::move(sContext)), m_bLogErrors(bLogErrors) {
  m_bObtained = m_pMutex->WaitForMutex(dwTimeout);
  if (!m_bObtained && m_bLogErrors) {
    try {
      CEventLogger::LogEvent(EVENTLOG_ERROR_TYPE,
                             m_sContext + " - CMutexLock::CMutexLock - Unable to obtain mutex in the given timeout",
                             GetErrorLogModule(), EVENT_SYNCHRONISATION);
    } catch (...) {
      // the lock never throws; the record is lost
    }
  }
}

CMutexLock::~CMutexLock() {
  if (m_bObtained) {
    m_pMutex->ReleaseMutex();
  } else if (m_bLogErrors) {
    try {
      CEventLogger::LogEvent(
          EVENTLOG_WARNING_TYPE,
          m_sContext + " - CMutexLock::~CMutexLock - Mutex release was unnecessary as was mutex was never obtained",
          GetErrorLogModule(), EVENT_SYNCHRONISATION);
    } catch (...) {
      // a destructor must not throw; the record is lost
    }
  }
}

}  // namespace Norvale
