// A program run as a child process for the life of the object, with its
// output (standard output and error) in a file, so that a test can signal
// it, watch how often it is scheduled and wait for it with a bound.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace TestSupport {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    static int counter = 0;
    m_output = Root() + "/child-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    std::remove(m_output.c_str());
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  void Signal(int signal) const { kill(m_pid, signal); }

  pid_t Pid() const { return m_pid; }
  // Whether the process blocks the signal now (its SigBlk in /proc): a
  // program that takes signals through a descriptor is then ready for it.
  bool Blocks(int signal) const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigBlk:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    return false;
  }
  // Waits up to `limit` until the process blocks the signal; false when it
  // ended or the time ran out first.
  bool WaitUntilBlocks(int signal, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!Blocks(signal)) {
      if (!Running() || std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  // True while the process has not ended.
  bool Running() const {
    siginfo_t info{};
    return m_pid > 0 && waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  // Waits up to `limit` for the end; the exit status, 128 + signal for a
  // process killed by a signal, or -1 when it still runs.
  int Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (m_pid > 0) {
      int status = 0;
      const pid_t done = waitpid(m_pid, &status, WNOHANG);
      if (done == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
  }

  // Times any thread of the process was switched out since it started.
  long ContextSwitches() const {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream status(tasks + "/" + entry->d_name + "/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
          total += std::stol(line.substr(line.find(':') + 1));
      }
    }
    closedir(dir);
    return total;
  }

  // CPU time its threads have used so far, in milliseconds (the scheduler's
  // own count, finer than clock ticks).
  double CpuMilliseconds() const {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
      double nanoseconds = 0;
      if (schedstat >> nanoseconds) total += nanoseconds / 1e6;
    }
    closedir(dir);
    return total;
  }

  std::string Output() const {
    std::ifstream in(m_output);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Waits up to `limit` until the output holds `text`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  pid_t m_pid = -1;
  std::string m_output;
};

}  // namespace TestSupport
