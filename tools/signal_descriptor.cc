#include "signal_descriptor.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace VelquorTool {

SignalDescriptor::SignalDescriptor() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  if (const int rc = pthread_sigmask(SIG_BLOCK, &mask, &m_previous); rc != 0)
    throw std::system_error(rc, std::generic_category(), "cannot block SIGINT and SIGTERM");
  m_fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (m_fd < 0) {
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    throw std::system_error(error, std::generic_category(), "cannot open a signal descriptor");
  }
}

SignalDescriptor::~SignalDescriptor() {
  close(m_fd);
  pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

int SignalDescriptor::Take() {
  signalfd_siginfo info;
  const ssize_t n = read(m_fd, &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace VelquorTool
