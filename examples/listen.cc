// Prints every message and notification as it arrives, for SECONDS seconds
// (default: until SIGINT or SIGTERM).
//
//   velquor-example-listen [SECONDS]
//
// The listener's events are raised while this thread pumps its message loop.
// Rather than pumping on a clock, the program sleeps in poll(2) on the loop's
// descriptor and on a signalfd, so it wakes only when there is work or a
// signal. Exit codes: 0 done, 1 failure, 2 usage error.
#include <norvale/norvale.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

// SIGINT and SIGTERM, blocked and readable from a descriptor for the life
// of the object. Made before any thread starts, so every thread blocks them.
class Signals {
 public:
  Signals() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
    m_fd = signalfd(-1, &m_set, SFD_NONBLOCK | SFD_CLOEXEC);
  }
  ~Signals() {
    if (m_fd >= 0) close(m_fd);
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
  }
  Signals(const Signals&) = delete;
  Signals& operator=(const Signals&) = delete;
  int Descriptor() const { return m_fd; }
  // True when a signal was waiting (and is now taken).
  bool Take() const {
    signalfd_siginfo info;
    return read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
  }

 private:
  sigset_t m_set, m_previous;
  int m_fd = -1;
};

// SECONDS: decimal digits; 0 means no limit.
bool ParseSeconds(const char* text, long* seconds) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || value > INT_MAX / 1000) return false;
  *seconds = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = 0;
  if (argc > 2 || (argc == 2 && !ParseSeconds(argv[1], &seconds))) {
    std::cerr << "usage: " << argv[0] << " [SECONDS]\n";
    return 2;
  }
  Signals signals;
  if (signals.Descriptor() < 0) {
    std::cerr << "failed: cannot open a signal descriptor\n";
    return 1;
  }
  try {
    Norvale::VelquorListener listener;
    listener.OnMessageReceived.Add([](const std::shared_ptr<Norvale::SMSMessage>& message) {
      std::cout << "message from " << message->GetPhoneNumber() << ": " << message->GetMessage() << std::endl;
    });
    listener.OnNotificationReceived.Add([](const std::shared_ptr<Norvale::SMSNotification>& notification) {
      std::cout << "notification " << notification->GetType() << " for message " << notification->GetMessageId()
                << std::endl;
    });
    listener.SetEnabled(true);

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    pollfd fds[2] = {{signals.Descriptor(), POLLIN, 0}, {Norvale::MessageLoop::Descriptor(), POLLIN, 0}};
    while (true) {
      int timeout = -1;  // no limit
      if (seconds > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        timeout = static_cast<int>(left.count());
      }
      if (poll(fds, 2, timeout) < 0) {
        if (errno == EINTR) continue;
        std::cerr << "failed: poll: " << std::strerror(errno) << "\n";
        return 1;
      }
      if ((fds[0].revents & POLLIN) && signals.Take()) break;
      if (fds[1].revents & POLLIN) Norvale::MessageLoop::PumpPending();
    }
    return 0;
  } catch (const Norvale::_com_error& e) {
    std::cerr << "failed: " << e.DescriptionA() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "failed: " << e.what() << "\n";
  }
  return 1;
}
