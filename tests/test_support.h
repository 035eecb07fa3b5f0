// Helpers shared by the tests.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace TestSupport {

inline std::string Root() { return std::getenv("NORVALE_ROOT"); }

// A fresh directory below NORVALE_ROOT, open to every user.
inline std::string FreshDir(const std::string& name) {
  const std::filesystem::path p = std::filesystem::path(Root()) / name;
  std::filesystem::remove_all(p);
  std::filesystem::create_directories(p);
  chmod(Root().c_str(), 0755);
  chmod(p.c_str(), 0755);
  return p.string();
}

// Runs `body` in a forked child without root's rights (as nobody when the
// tests run as root) and returns what it returned: empty for success,
// otherwise a description of what went wrong.
inline std::string RunUnprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string result;
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      result = "could not drop privileges";
    } else {
      try {
        result = body();
      } catch (...) {
        result = "exception in child";
      }
    }
    (void)!write(fds[1], result.data(), result.size());
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return "child crashed";
  return out;
}

// Runs `body` in a forked child with the caller's rights and returns what it
// returned: empty for success, otherwise a description of what went wrong.
// For tests that change process-wide state (limits, namespaces, descriptors).
inline std::string RunInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string result;
    try {
      result = body();
    } catch (...) {
      result = "exception in child";
    }
    (void)!write(fds[1], result.data(), result.size());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return "child crashed";
  return out;
}

struct CommandResult {
  int status;
  std::string out;
};

// Runs a shell command and returns its exit status and its output (standard
// output and standard error together).
inline CommandResult RunCommand(const std::string& command) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buf[256];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  const int status = pclose(p);
  return {WEXITSTATUS(status), out};
}

}  // namespace TestSupport
