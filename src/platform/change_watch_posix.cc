// Change watching on Linux: inotify for directories, an eventfd for the
// signal, poll(2) for the wait. Every errno of these calls becomes an
// HRESULT here.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/change_watch.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

HRESULT HresultOfErrno(int error) {
  switch (error) {
    case ENOENT: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ENOMEM:
    case ENOSPC:  // out of inotify watches
    case EMFILE:  // out of descriptors or inotify instances
    case ENFILE: return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
    case ENOTDIR:
    case EINVAL: return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    default: return E_FAIL;
  }
}

[[noreturn]] void RaiseErrno(int error, const std::string& what) {
  ThrowComError(HresultOfErrno(error), what + ": " + std::strerror(error));
}

}  // namespace

WakeSignal::WakeSignal() {
  m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_fd < 0) RaiseErrno(errno, "Cannot create a wake-up signal");
}

WakeSignal::~WakeSignal() { close(m_fd); }

void WakeSignal::Raise() {
  const std::uint64_t one = 1;
  // Full only after 2^64-2 raises without a Clear: nothing is lost then.
  [[maybe_unused]] const ssize_t n = write(m_fd, &one, sizeof one);
}

void WakeSignal::Clear() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(m_fd, &count, sizeof count);
}

DirectoryWatch::DirectoryWatch(const std::string& directory, std::vector<std::string> names)
    : m_Names(std::move(names)) {
  m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_fd < 0) RaiseErrno(errno, "Cannot watch " + directory);
  if (inotify_add_watch(m_fd, directory.c_str(),
                        IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR) < 0) {
    const int error = errno;
    close(m_fd);
    RaiseErrno(error, "Cannot watch " + directory);
  }
}

DirectoryWatch::~DirectoryWatch() { close(m_fd); }

bool DirectoryWatch::TakeChanges() {
  bool changed = false;
  alignas(inotify_event) char buffer[8192];
  while (true) {
    const ssize_t n = read(m_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return changed;  // EAGAIN: nothing more waits
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->mask & IN_Q_OVERFLOW) changed = true;
      if (event->len > 0 && std::find(m_Names.begin(), m_Names.end(), event->name) != m_Names.end()) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

std::vector<bool> WaitReadable(const std::vector<int>& descriptors, DatabaseDeadline until) {
  std::vector<pollfd> fds;
  for (const int fd : descriptors) fds.push_back(pollfd{fd, POLLIN, 0});
  std::vector<bool> ready(descriptors.size(), false);
  while (true) {
    int timeout = -1;
    if (until != kNoDatabaseDeadline) {
      const auto left = until - DatabaseClock::now();
      if (left <= DatabaseClock::duration::zero()) return ready;
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      timeout = ms > 60000 ? 60000 : static_cast<int>(ms);
    }
    const int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) RaiseErrno(errno, "Cannot wait for changes");
    if (n <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) ready[i] = fds[i].revents != 0;
    return ready;
  }
}

}  // namespace Norvale::OS
