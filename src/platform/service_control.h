// The service manager.
//
// A service is registered as the registry key
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<Name>, whose
// "ImagePath" value is its command line (run with /bin/sh); the key is
// readable by every user. A running service holds an exclusive record lock
// (fcntl) on $NORVALE_ROOT/run/norvale/<Name>.lock and publishes its state,
// process id and the process's start time in <Name>.state beside it. Only
// the service's own account can open the lock file (0600; one that others
// could open is replaced before locking), so no other user can hold it to
// keep the service from starting. A process that holds no lock is stopped,
// so a crashed service is never reported running, and a state published by
// another process than the lock's holder reads as start-pending. A query by
// a process that may not open the lock goes by the published state, which
// counts while the process that published it runs. The process that holds a
// service's lock cannot query that service itself (record locks do not
// conflict within a process).
// Rights follow file permissions: opening a service for query needs read
// access to its key, opening it for starting or stopping write access.
// StartServiceA spawns the command detached and returns at once;
// ControlService with SERVICE_CONTROL_STOP sends SIGTERM to the process that
// holds the lock and returns at once (the service reports stop pending, then
// stopped when its process has let go of the lock). Every function may be
// called on any thread.
#pragma once

#include <string>

#include "platform/types.h"

namespace Norvale::OS {

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;

constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

// Only the local machine's manager and its default database exist.
SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess);
BOOL QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus);
BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors);
// SERVICE_CONTROL_STOP (needs SERVICE_STOP; ERROR_SERVICE_NOT_ACTIVE when it
// is not running) or SERVICE_CONTROL_INTERROGATE; lpServiceStatus receives
// the state after the request.
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus);
BOOL CloseServiceHandle(SC_HANDLE hSCObject);

// The service's side: a daemon takes its lock, reports its state and
// registers itself.
class ServiceHost {
 public:
  explicit ServiceHost(std::string name);
  // Reports stopped and releases the lock.
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Takes the service's lock; false when another process holds it.
  bool Lock();
  // Publishes SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED...
  void ReportStatus(DWORD dwCurrentState);

  // Writes the service key (ImagePath, DisplayName, Type, Start).
  static LONG Register(const std::string& name, const std::string& imagePath, const std::string& displayName);
  // Names the address at which the class's objects are served:
  // HKEY_CLASSES_ROOT\CLSID\{class}, value "LocalServerAddress".
  static LONG RegisterLocalServer(const CLSID& clsid, const std::string& address);
  // $NORVALE_ROOT/run/norvale, created when missing.
  static std::string RunDirectory();
  static std::string SocketPath(const std::string& name) { return RunDirectory() + "/" + name + ".sock"; }
  // Where StartServiceA sends the service's standard error (appended): the
  // records its event log could not give to the journal or syslog.
  static std::string ErrorLogPath(const std::string& name) { return RunDirectory() + "/" + name + ".log"; }

 private:
  std::string m_name;
  int m_lockFd = -1;
};

// The address registered for a class, empty when there is none.
std::string LocalServerAddress(const CLSID& clsid);

}  // namespace Norvale::OS
