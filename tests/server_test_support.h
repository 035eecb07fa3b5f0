// Runs velquor-server as a real process on a root of its own: the registry
// (written as the files the registry keeps), a queue database, handsets.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "queue_test_support.h"
#include "test_support.h"

namespace TestSupport {

// Waits up to `ms` for `done`, looking every 20 ms.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 15000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A root directory for one engine: its registry and run directory.
class EngineRoot {
 public:
  // `root` empty: the test's own NORVALE_ROOT, so the test process reaches
  // the engine through the service manager and D-Bus like any client.
  explicit EngineRoot(const std::string& dsn, std::string root = "") : m_sRoot(root.empty() ? Root() : root) {
    std::filesystem::remove_all(KeyDir());
    for (const auto& [name, value] : std::map<std::string, std::string>{{"InstalledType", "Server"},
                                                                        {"InstalledPath", "/opt/velquor"},
                                                                        {"OutgoingQueueEnabled", "1"},
                                                                        {"IncomingQueueEnabled", "1"},
                                                                        {"DSN", dsn},
                                                                        {"Username", ""},
                                                                        {"Password", ""},
                                                                        {"PollInterval", "50"},
                                                                        {"MaintenanceInterval", "200"}})
      Set(name, value);
  }
  const std::string& Path() const { return m_sRoot; }
  std::string KeyDir(const std::string& sub = "") const {
    return m_sRoot + "/etc/norvale/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor" + sub;
  }
  // A value of the product key.
  void Set(const std::string& name, const std::string& value) const { Write(KeyDir(), name, value); }
  void Unset(const std::string& name) const { std::filesystem::remove(KeyDir() + "/" + name); }
  // A value of Handsets\<n>.
  void SetHandset(int n, const std::string& name, const std::string& value) const {
    Write(KeyDir("/Handsets/" + std::to_string(n)), name, value);
  }
  // A simulator handset with quick reports and no reply.
  void AddSimulator(int n, const std::map<std::string, std::string>& values = {}) const {
    SetHandset(n, "Driver", "simulator");
    SetHandset(n, "ReportDelay", "20");
    for (const auto& [k, v] : values) SetHandset(n, k, v);
  }
  std::string EventLog() const { return m_sRoot + "/events.jsonl"; }

 private:
  static void Write(const std::string& dir, const std::string& name, const std::string& value) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/" + name, std::ios::trunc) << value;
  }
  std::string m_sRoot;
};

// velquor-server as a child process.
class ServerProcess {
 public:
  explicit ServerProcess(const EngineRoot& root, std::map<std::string, std::string> env = {})
      : m_sRoot(root.Path()), m_Env(std::move(env)) {}
  ~ServerProcess() {
    if (m_pid > 0) Kill();
  }

  void Start() {
    m_pid = fork();
    if (m_pid == 0) {
      setenv("NORVALE_ROOT", m_sRoot.c_str(), 1);
      setenv("NORVALE_EVENTLOG", ("file:" + m_sRoot + "/events.jsonl").c_str(), 1);
      for (const auto& [k, v] : m_Env) setenv(k.c_str(), v.c_str(), 1);
      const int err = open((m_sRoot + "/server.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(err, 2);
      execl(VELQUOR_SERVER, VELQUOR_SERVER, static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // Starts and waits until the engine serves (its state file appears).
  bool StartAndWait() {
    std::filesystem::remove(StateFile());
    Start();
    return WaitUntil([&] { return std::filesystem::exists(StateFile()) || Exited(); }) && !Exited();
  }
  std::string StateFile() const { return m_sRoot + "/run/norvale/VelquorServer.handsets.json"; }
  // Signals and waits; the exit code, or 128 + signal.
  int Stop(int signal = SIGTERM, int ms = 30000) {
    if (m_pid <= 0) return m_nExit;
    kill(m_pid, signal);
    return Wait(ms);
  }
  int Kill() { return Stop(SIGKILL); }
  int Wait(int ms = 30000) {
    if (m_pid <= 0) return m_nExit;
    int status = 0;
    if (!WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, ms)) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    m_nExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_nExit;
  }
  bool Exited() {
    if (m_pid <= 0) return true;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
    m_pid = -1;
    m_nExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }
  pid_t Pid() const { return m_pid; }
  std::string Errors() const { return ReadFile(m_sRoot + "/server.err"); }

 private:
  std::string m_sRoot;
  std::map<std::string, std::string> m_Env;
  pid_t m_pid = -1;
  int m_nExit = -1;
};

// One line of a simulator's SubmitLog.
struct Submission {
  long job;
  int part, parts;
  std::string outcome, reference, number;
  double time = 0;  // seconds since the epoch
};

inline std::vector<Submission> ReadSubmissions(const std::string& path) {
  std::vector<Submission> all;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Submission s;
    if (fields >> s.job >> s.part >> s.parts >> s.outcome >> s.reference >> s.number >> s.time) all.push_back(s);
  }
  return all;
}

inline long Count(const TestDatabase& db, const std::string& where, const std::string& table = "SMSOutgoing") {
  return db.Value("SELECT COUNT(*) AS N FROM " + table + (where.empty() ? "" : " WHERE " + where), "N").ToLong();
}

}  // namespace TestSupport
