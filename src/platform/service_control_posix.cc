#include "platform/service_control.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/guid.h"
#include "platform/handle_table.h"
#include "platform/registry.h"

namespace Norvale::OS {
namespace {

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

class ManagerObject final : public KernelObject {};

class ServiceObject final : public KernelObject {
 public:
  ServiceObject(std::string name, DWORD access) : m_name(std::move(name)), m_access(access) {}
  const std::string& Name() const { return m_name; }
  DWORD Access() const { return m_access; }

 private:
  std::string m_name;
  DWORD m_access;
};

SC_HANDLE ToSc(HANDLE h) { return reinterpret_cast<SC_HANDLE>(h); }
HANDLE FromSc(SC_HANDLE h) { return reinterpret_cast<HANDLE>(h); }

std::string LockPath(const std::string& name) { return ServiceHost::RunDirectory() + "/" + name + ".lock"; }
std::string StatePath(const std::string& name) { return ServiceHost::RunDirectory() + "/" + name + ".state"; }

// When the process `pid` started, in clock ticks after boot (0 for a
// zombie); nothing when /proc does not show the process. With the process id
// it names a process for good, whatever process later gets the same id.
std::optional<unsigned long long> ProcessStartTime(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (pid <= 0 || !std::getline(in, line)) return std::nullopt;
  const size_t close = line.rfind(')');  // the command name may hold anything
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string state, skip;
  unsigned long long start = 0;
  fields >> state;
  for (int i = 0; i < 18; ++i) fields >> skip;  // fields 4 to 21
  if (!(fields >> start)) return std::nullopt;
  return (state == "Z" || state == "X") ? 0 : start;
}

// Whether the process that started at `started` as `pid` still runs.
bool StillRunning(long pid, unsigned long long started) {
  if (pid <= 0) return false;
  if (const auto now = ProcessStartTime(pid)) return *now != 0 && *now == started;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;  // a /proc that hides others' processes
}

// The state a service published: its process must still be the one that
// wrote it, else the service is stopped (it died without saying so).
bool PublishedState(const std::string& name, DWORD* state, DWORD* error) {
  std::ifstream in(StatePath(name));
  if (!in) {
    if (errno == ENOENT) {
      *state = SERVICE_STOPPED;
      return true;
    }
    *error = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_DATA;
    return false;
  }
  DWORD value = 0;
  long pid = 0;
  unsigned long long started = 0;
  if (!(in >> value >> pid >> started)) {
    *error = ERROR_INVALID_DATA;
    return false;
  }
  *state = StillRunning(pid, started) ? value : SERVICE_STOPPED;
  return true;
}

// The state of a service: stopped unless a process holds the lock, and
// starting until that very process has published a state (a state file left
// by a crashed predecessor names another process and does not count). Only
// the service's own account may open the lock, so anyone else goes by the
// published state alone. `holder`, when given, receives the process that
// holds the lock (0 when it cannot be known).
bool CurrentState(const std::string& name, DWORD* state, DWORD* error, pid_t* holder = nullptr) {
  if (holder) *holder = 0;
  const int fd = open(LockPath(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      *state = SERVICE_STOPPED;
      return true;
    }
    if (errno == EACCES) return PublishedState(name, state, error);
    *error = ERROR_INVALID_DATA;
    return false;
  }
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const int rc = fcntl(fd, F_GETLK, &probe);
  close(fd);
  if (rc != 0 || probe.l_type == F_UNLCK) {
    *state = SERVICE_STOPPED;
    return true;
  }
  if (holder) *holder = probe.l_pid;
  std::ifstream in(StatePath(name));
  DWORD value = 0;
  long pid = 0;
  if (in >> value >> pid && pid == probe.l_pid)
    *state = value;
  else
    *state = SERVICE_START_PENDING;
  return true;
}

// Opens the service's lock file, made anew when the one found could be
// opened by another account (a file of an older version, or one planted
// where the run directory let it): a lock that others can open, they can
// hold. A file that an exclusive holder locks is left alone: the service
// runs.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != ELOOP) return -1;
      unlink(path.c_str());  // a symbolic link is no lock file of ours
      continue;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return -1;
    }
    if (st.st_uid == geteuid() && (st.st_mode & 0077) == 0) return fd;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool heldExclusively = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type == F_WRLCK;
    close(fd);
    if (heldExclusively || unlink(path.c_str()) != 0) return -1;
  }
  return -1;
}
}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD) {
  if (lpMachineName && *lpMachineName) {
    SetLastError(ERROR_ACCESS_DENIED);  // remote managers are not provided
    return nullptr;
  }
  if (lpDatabaseName && *lpDatabaseName && std::strcmp(lpDatabaseName, "ServicesActive") != 0) {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  return ToSc(HandleTable::Insert(std::make_shared<ManagerObject>()));
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  if (!HandleTable::Get<ManagerObject>(FromSc(hSCManager))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!lpServiceName || !*lpServiceName) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const bool start = (dwDesiredAccess & (SERVICE_START | SERVICE_STOP)) != 0;
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + lpServiceName).c_str(), 0,
                                start ? (KEY_READ | KEY_WRITE) : KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND) ? ERROR_SERVICE_DOES_NOT_EXIST : static_cast<DWORD>(rc));
    return nullptr;
  }
  RegCloseKey(key);
  return ToSc(HandleTable::Insert(std::make_shared<ServiceObject>(lpServiceName, dwDesiredAccess)));
}

BOOL QueryServiceStatus(SC_HANDLE hService, SERVICE_STATUS* lpServiceStatus) {
  const auto service = HandleTable::Get<ServiceObject>(FromSc(hService));
  if (!service || !lpServiceStatus) {
    SetLastError(service ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(service->Access() & SERVICE_QUERY_STATUS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD state = SERVICE_STOPPED, error = 0;
  if (!CurrentState(service->Name(), &state, &error)) {
    SetLastError(error);
    return FALSE;
  }
  *lpServiceStatus = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, state, 0, 0, 0, 0, 0};
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  const auto service = HandleTable::Get<ServiceObject>(FromSc(hService));
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(service->Access() & SERVICE_START)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD state = SERVICE_STOPPED, error = 0;
  if (CurrentState(service->Name(), &state, &error) && state != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + service->Name()).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  char image[4096];
  DWORD size = sizeof image - 1;
  const LONG rc = RegQueryValueExA(key, "ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(image), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || size == 0) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  std::string command = "exec " + std::string(image, size);
  for (DWORD i = 0; i < dwNumServiceArgs; ++i) {
    std::string arg = lpServiceArgVectors[i];
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += " " + quoted + "'";
  }
  // Detached: the service's process is a grandchild in a session of its own.
  // Its standard error is kept, for what its event log cannot write
  // elsewhere (no journal or syslog on this machine).
  const std::string errorLog = ServiceHost::ErrorLogPath(service->Name());
  const pid_t child = fork();
  if (child < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    const int null = open("/dev/null", O_RDWR);
    const int err = open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0640);
    dup2(null, 0);
    dup2(null, 1);
    dup2(err >= 0 ? err : null, 2);
    if (err > 2) close(err);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, SERVICE_STATUS* lpServiceStatus) {
  const auto service = HandleTable::Get<ServiceObject>(FromSc(hService));
  if (!service || !lpServiceStatus) {
    SetLastError(service ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (dwControl != SERVICE_CONTROL_STOP && dwControl != SERVICE_CONTROL_INTERROGATE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_QUERY_STATUS;
  if (!(service->Access() & needed)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD state = SERVICE_STOPPED, error = 0;
  pid_t holder = 0;
  if (!CurrentState(service->Name(), &state, &error, &holder)) {
    SetLastError(error);
    return FALSE;
  }
  if (state == SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  if (dwControl == SERVICE_CONTROL_STOP) {
    // Only an account that may open the lock learns who holds it.
    if (holder <= 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (kill(holder, SIGTERM) != 0) {
      SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_SERVICE_NOT_ACTIVE);
      return FALSE;
    }
    state = SERVICE_STOP_PENDING;
  }
  *lpServiceStatus = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, state, 0, 0, 0, 0, 0};
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  const auto object = HandleTable::Lookup(FromSc(hSCObject));
  if (!std::dynamic_pointer_cast<ManagerObject>(object) && !std::dynamic_pointer_cast<ServiceObject>(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HandleTable::Remove(FromSc(hSCObject));
  return TRUE;
}

// --- the service's side ------------------------------------------------------

ServiceHost::ServiceHost(std::string name) : m_name(std::move(name)) {}

ServiceHost::~ServiceHost() {
  if (m_lockFd >= 0) {
    ReportStatus(SERVICE_STOPPED);
    close(m_lockFd);
  }
}

bool ServiceHost::Lock() {
  const int fd = OpenLockFile(LockPath(m_name));
  if (fd < 0) return false;
  // A record lock, so that a query learns which process holds it.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    close(fd);
    return false;
  }
  m_lockFd = fd;
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) == 0) (void)!write(fd, pid.data(), pid.size());
  return true;
}

void ServiceHost::ReportStatus(DWORD dwCurrentState) {
  const std::string path = StatePath(m_name), temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << dwCurrentState << " " << getpid() << " " << ProcessStartTime(getpid()).value_or(0) << "\n";
  }
  chmod(temp.c_str(), 0644);
  rename(temp.c_str(), path.c_str());
}

LONG ServiceHost::Register(const std::string& name, const std::string& imagePath, const std::string& displayName) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServicesKey) + name).c_str(), 0, nullptr, 0,
                            KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::pair<const char*, std::string> values[] = {
      {"ImagePath", imagePath}, {"DisplayName", displayName}, {"Type", "16"}, {"Start", "2"}};
  for (const auto& [valueName, value] : values) {
    rc = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                        static_cast<DWORD>(value.size()));
    if (rc != ERROR_SUCCESS) break;
  }
  if (rc == ERROR_SUCCESS) rc = RegSetKeyReadableByAll(key);  // every user may ask for the service's state
  RegCloseKey(key);
  return rc;
}

LONG ServiceHost::RegisterLocalServer(const CLSID& clsid, const std::string& address) {
  // The engine registers at every start; an address already in place is not
  // written again, so an engine whose /etc is read-only (ProtectSystem=strict)
  // starts without a warning once the package has registered it.
  if (LocalServerAddress(clsid) == address) return ERROR_SUCCESS;
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToString(clsid)).c_str(), 0, nullptr, 0,
                            KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExA(key, "LocalServerAddress", 0, REG_SZ, reinterpret_cast<const BYTE*>(address.data()),
                      static_cast<DWORD>(address.size()));
  if (rc == ERROR_SUCCESS) rc = RegSetKeyReadableByAll(key);  // every client must find the server
  RegCloseKey(key);
  return rc;
}

std::string ServiceHost::RunDirectory() {
  const char* root = secure_getenv("NORVALE_ROOT");
  const std::string base = std::string(root ? root : "");
  const std::string dir = base + "/run/norvale";
  if (access(dir.c_str(), F_OK) != 0) {
    mkdir((base + "/run").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
  }
  return dir;
}

std::string LocalServerAddress(const CLSID& clsid) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToString(clsid)).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return std::string();
  char data[1024];
  DWORD size = sizeof data;
  const LONG rc = RegQueryValueExA(key, "LocalServerAddress", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::string(data, size) : std::string();
}

}  // namespace Norvale::OS
