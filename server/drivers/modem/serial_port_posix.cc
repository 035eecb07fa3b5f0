#include "server/drivers/modem/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

namespace {

// errno as an HRESULT: the Win32 code of the same meaning where there is
// one, so callers can tell a missing device from a busy one.
HRESULT HresultFromErrno(int nErrno) {
  switch (nErrno) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case EACCES:
    case EPERM: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case EBUSY:
    case EWOULDBLOCK: return HRESULT_FROM_WIN32(32);  // ERROR_SHARING_VIOLATION
    case ETIMEDOUT: return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    case EINVAL: return E_INVALIDARG;
    case ENOTTY: return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    default: return E_FAIL;
  }
}

speed_t SpeedConstant(int nSpeed) {
  switch (nSpeed) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

int RemainingMs(std::chrono::steady_clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 0x7FFFFFFF));
}

}  // namespace

CWakeup::CWakeup() {
  m_nFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_nFd < 0) RAISE_COM_ERROR(HresultFromErrno(errno), std::string("eventfd: ") + std::strerror(errno));
}

CWakeup::~CWakeup() {
  if (m_nFd >= 0) close(m_nFd);
}

void CWakeup::Signal() {
  const std::uint64_t one = 1;
  (void)!write(m_nFd, &one, sizeof one);  // only an overflowing counter fails, and it is signalled then
}

bool CWakeup::Consume() {
  std::uint64_t value = 0;
  return read(m_nFd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

void CSerialPort::Fail(const std::string& sWhat, int nErrno) const {
  RAISE_COM_ERROR(HresultFromErrno(nErrno), m_sDevice + ": " + sWhat + ": " + std::strerror(nErrno));
}

void CSerialPort::Open(const CSerialSettings& Settings) {
  Close();
  m_sDevice = Settings.sDevice;
  const speed_t speed = SpeedConstant(Settings.nSpeed);
  if (speed == B0) RAISE_COM_ERROR(E_INVALIDARG, m_sDevice + ": unsupported speed " + std::to_string(Settings.nSpeed));
  const int fd = open(m_sDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Fail("cannot open", errno);
  auto fail = [&](const char* what) {
    const int e = errno;
    close(fd);
    Fail(what, e);
  };
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      close(fd);
      RAISE_COM_ERROR(HresultFromErrno(EBUSY), m_sDevice + ": in use by another program (locked)");
    }
    fail("cannot lock");
  }
  if (ioctl(fd, TIOCEXCL) != 0) fail("cannot open exclusively");
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) fail("not a terminal");
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD | (Settings.bHardwareFlow ? CRTSCTS : 0);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) fail("cannot set the line settings");
  tcflush(fd, TCIOFLUSH);
  m_nFd = fd;
}

void CSerialPort::Close() {
  if (m_nFd < 0) return;
  ioctl(m_nFd, TIOCNXCL);  // the exclusive mark stays with the device while anyone else has it open
  close(m_nFd);            // and the lock goes with the descriptor
  m_nFd = -1;
}

CSerialPort::EWait CSerialPort::Read(char* Buffer, size_t nSize, size_t* pnRead, std::chrono::milliseconds Timeout,
                                     CWakeup* pWakeup) {
  *pnRead = 0;
  if (m_nFd < 0) RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), m_sDevice + ": not open");
  const auto until = std::chrono::steady_clock::now() + Timeout;
  while (true) {
    pollfd fds[2] = {{m_nFd, POLLIN, 0}, {pWakeup ? pWakeup->Descriptor() : -1, POLLIN, 0}};
    const int n = poll(fds, pWakeup ? 2 : 1, RemainingMs(until));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("poll", errno);
    if (pWakeup && (fds[1].revents & POLLIN) && pWakeup->Consume()) return EWait::Woken;
    if (n == 0) return EWait::Timeout;
    if (fds[0].revents & POLLNVAL) Fail("read", EBADF);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t got = read(m_nFd, Buffer, nSize);
      if (got > 0) {
        *pnRead = static_cast<size_t>(got);
        return EWait::Data;
      }
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got == 0 || (fds[0].revents & POLLHUP)) Fail("device hung up", got < 0 ? errno : ENODEV);
      Fail("read", errno);
    }
    if (RemainingMs(until) == 0) return EWait::Timeout;
  }
}

void CSerialPort::Write(std::string_view Text, std::chrono::milliseconds Timeout) {
  if (m_nFd < 0) RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), m_sDevice + ": not open");
  const auto until = std::chrono::steady_clock::now() + Timeout;
  while (!Text.empty()) {
    const ssize_t n = write(m_nFd, Text.data(), Text.size());
    if (n > 0) {
      Text.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) Fail("write", errno);
    pollfd fd{m_nFd, POLLOUT, 0};
    const int left = RemainingMs(until);
    if (left == 0) Fail("write", ETIMEDOUT);
    const int r = poll(&fd, 1, left);
    if (r < 0 && errno != EINTR) Fail("poll", errno);
    if (r > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL))) Fail("device hung up", ENODEV);
  }
}

void CSerialPort::DiscardInput() {
  if (m_nFd >= 0) tcflush(m_nFd, TCIFLUSH);
}

}  // namespace Norvale
