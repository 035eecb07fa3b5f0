// CSerialPort: a serial device (a phone or GSM modem on /dev/ttyUSB*,
// /dev/ttyACM*, a by-id link, or a pseudo-terminal in tests) in raw mode,
// 8 data bits, no parity, one stop bit, at a given speed, with RTS/CTS or
// no flow control.
//
// One gateway per device: the port is opened with O_NOCTTY|O_CLOEXEC and
// O_NONBLOCK, then locked with flock(LOCK_EX|LOCK_NB) on the descriptor and
// marked exclusive with TIOCEXCL. The flock is what stops a second gateway
// (it holds for root too, which TIOCEXCL does not, and the kernel drops it
// when the process dies, so no stale lock is ever left behind); TIOCEXCL
// keeps ordinary programs from opening the device while the gateway has it.
// No UUCP lock file is written: /var/lock is not the same on every
// distribution, and a lock file outlives a crash.
//
// Reads and writes wait with poll(), bounded by a time-out and cut short by
// a CWakeup. Every failure is raised as _com_error with an HRESULT made from
// errno here, and a description naming the device; a device that went away
// (unplugged, re-enumerated) raises too, so the caller closes and reopens.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace Norvale {

struct CSerialSettings {
  std::string sDevice;
  int nSpeed = 115200;
  bool bHardwareFlow = false;  // RTS/CTS
};

// Wakes a thread waiting in CSerialPort::Read from another thread (eventfd).
class CWakeup {
 public:
  CWakeup();
  ~CWakeup();
  CWakeup(const CWakeup&) = delete;
  CWakeup& operator=(const CWakeup&) = delete;
  void Signal();
  // Clears a signal; true when there was one.
  bool Consume();
  int Descriptor() const { return m_nFd; }

 private:
  int m_nFd = -1;
};

class CSerialPort {
 public:
  CSerialPort() = default;
  ~CSerialPort() { Close(); }
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;

  // Raises _com_error: the device missing, no rights, held by another
  // program, an unsupported speed, not a terminal.
  void Open(const CSerialSettings& Settings);
  void Close();
  bool IsOpen() const { return m_nFd >= 0; }
  const std::string& Device() const { return m_sDevice; }

  enum class EWait { Data, Timeout, Woken };
  // Waits up to Timeout for input (or a signal of pWakeup, when given) and
  // reads what is there into Buffer; *pnRead is the count. Raises when the
  // device fails or hangs up.
  EWait Read(char* Buffer, size_t nSize, size_t* pnRead, std::chrono::milliseconds Timeout, CWakeup* pWakeup);
  // Writes all of Text within Timeout (flow control may hold it back);
  // raises on a failure or when the time runs out.
  void Write(std::string_view Text, std::chrono::milliseconds Timeout);
  // Drops input not read yet.
  void DiscardInput();

 private:
  [[noreturn]] void Fail(const std::string& sWhat, int nErrno) const;

  int m_nFd = -1;
  std::string m_sDevice;
};

}  // namespace Norvale
