// A child process that takes hold of something (a lock, a file) and keeps it
// until the test lets it go, for tests of what another process can or cannot
// hold up.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace TestSupport {

class HolderProcess {
 public:
  // `take` runs in the child, as nobody when `unprivileged` (and the test
  // runs as root), and says in one character what it got hold of. The child
  // keeps everything it opened until Release(), or for at most 10 s so that
  // no test can hang on it.
  HolderProcess(bool unprivileged, const std::function<char()>& take) {
    if (pipe(m_toChild) != 0 || pipe(m_toParent) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      char took = '!';
      if (!unprivileged || geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0)) took = take();
      (void)!write(m_toParent[1], &took, 1);
      pollfd p{m_toChild[0], POLLIN, 0};
      const char how = poll(&p, 1, 10000) == 1 ? 'r' : 't';  // released, or gave up
      (void)!write(m_toParent[1], &how, 1);
      _exit(0);
    }
    if (m_pid > 0 && read(m_toParent[0], &m_took, 1) != 1) m_took = 0;
  }
  ~HolderProcess() {
    Release();
    for (int fd : {m_toChild[0], m_toChild[1], m_toParent[0], m_toParent[1]})
      if (fd >= 0) close(fd);
  }
  HolderProcess(const HolderProcess&) = delete;
  HolderProcess& operator=(const HolderProcess&) = delete;

  char Took() const { return m_took; }

  // Lets the child go; true when it was still holding on until now.
  bool Release() {
    if (m_pid <= 0) return false;
    (void)!write(m_toChild[1], "x", 1);
    char how = 0;
    if (read(m_toParent[0], &how, 1) != 1) how = 0;
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    return how == 'r';
  }

  // Ends the child as a crash would.
  void Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }

 private:
  int m_toChild[2] = {-1, -1};
  int m_toParent[2] = {-1, -1};
  pid_t m_pid = -1;
  char m_took = 0;
};

}  // namespace TestSupport
