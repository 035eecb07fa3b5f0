// Runs the test engine as a real process, registered as the "VelquorServer"
// service, and sets its script (see test_engine.cc).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "platform/service_control.h"

namespace TestSupport {

using namespace Norvale::OS;

inline void RegisterTestEngine() { ServiceHost::Register("VelquorServer", VELQUOR_TEST_ENGINE, "Velquor test engine"); }

inline void SetScript(const std::string& name, const std::string& value) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\TestEngine", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                  &key, nullptr);
  if (value.empty())
    RegDeleteValueA(key, name.c_str());
  else
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                   static_cast<DWORD>(value.size()));
  RegCloseKey(key);
}

// Holds a message in the engine's inbox, handed out in name order.
inline void HoldMessage(const std::string& order, const std::string& record) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\TestEngine\\Inbox", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                  nullptr, &key, nullptr);
  RegSetValueExA(key, order.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(record.data()),
                 static_cast<DWORD>(record.size()));
  RegCloseKey(key);
}

inline DWORD ServiceState() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  SC_HANDLE service = OpenServiceA(manager, "VelquorServer", SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const BOOL ok = service && QueryServiceStatus(service, &status);
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok ? status.dwCurrentState : 0;
}

inline bool WaitForState(DWORD state, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (ServiceState() == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The engine as a child process of the test, for the life of the object.
class EngineProcess {
 public:
  EngineProcess() { Start(); }
  ~EngineProcess() { Stop(); }
  void Start() {
    RegisterTestEngine();
    m_pid = fork();
    if (m_pid == 0) {
      execl(VELQUOR_TEST_ENGINE, VELQUOR_TEST_ENGINE, static_cast<char*>(nullptr));
      _exit(127);
    }
    m_running = WaitForState(SERVICE_RUNNING);
  }
  void Stop(int signal = SIGTERM) {
    if (m_pid <= 0) return;
    kill(m_pid, signal);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
  }
  void Kill() { Stop(SIGKILL); }
  bool Running() const { return m_running; }

 private:
  pid_t m_pid = -1;
  bool m_running = false;
};

// The pid a service started by the service manager wrote into its lock file.
inline pid_t ServicePid() {
  FILE* f = std::fopen((ServiceHost::RunDirectory() + "/VelquorServer.lock").c_str(), "r");
  int pid = 0;
  if (f) {
    if (std::fscanf(f, "%d", &pid) != 1) pid = 0;
    std::fclose(f);
  }
  return pid;
}

}  // namespace TestSupport
