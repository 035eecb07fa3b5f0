// CAtChannel: the AT dialogue over a serial port (3GPP TS 27.007 and
// 27.005). A command is written with a carriage return; the modem answers
// with information lines and one final result code: OK, ERROR,
// +CME ERROR: <n> or +CMS ERROR: <n> (numbers with AT+CMEE=1; a text with
// AT+CMEE=2 gives code -1). Every command has its own time-out.
//
// Unsolicited result codes may come at any time, between commands and in
// the middle of an answer; they are recognised by their prefix and queued
// for the caller (TakeUnsolicited). +CMT and +CDS carry a PDU on the next
// line, which is queued with them. The queue is bounded: a storage
// indication (+CMTI, +CDSI) already queued is not queued again, and beyond
// kMaxStorageIndications of them they are dropped for one flag that means
// "read the whole store" (TakeStoreChanged); any other code beyond
// kMaxQueued is dropped and counted (TakeDropped). A line that starts with the prefix of the
// command in progress (+CREG: during AT+CREG?) belongs to its answer.
// Blank lines, an echo of the command (when ATE0 has not taken effect yet),
// and lines that are neither a result nor unsolicited while no command
// waits are dropped and counted as garbage.
//
// AT+CMGS and AT+CMGW take their PDU after a "> " prompt, which ends with
// no line break; SendWithPdu waits for it, writes the PDU and Ctrl-Z, and
// sends ESC to cancel when the prompt does not come.
//
// A time-out, a failed device or a Stop (the wake-up with the stop flag set)
// is raised as _com_error: ERROR_TIMEOUT, the port's own error, E_ABORT.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "server/drivers/modem/serial_port.h"

namespace Norvale {

struct CAtResponse {
  enum class EFinal { Ok, Error, CmeError, CmsError };
  EFinal eFinal = EFinal::Ok;
  int nCode = 0;  // of +CME/+CMS ERROR; -1 when the modem gave a text
  std::string sFinal;
  std::vector<std::string> Lines;  // information lines, in order
  bool Ok() const { return eFinal == EFinal::Ok; }
  // The first information line starting with sPrefix ("+CSQ:"), the prefix
  // and blanks after it removed; "" when none.
  std::string Value(const std::string& sPrefix) const;
};

struct CUnsolicited {
  std::string sLine;  // "+CMTI: \"SM\",3"
  std::string sPdu;   // the line after +CMT/+CDS, else empty
};

class CAtChannel {
 public:
  using Clock = std::chrono::steady_clock;
  // pStop: when set and the wake-up is signalled, a wait ends with E_ABORT.
  CAtChannel(CSerialPort& Port, CWakeup& Wakeup, const std::atomic<bool>& bStop)
      : m_Port(Port), m_Wakeup(Wakeup), m_bStop(bStop) {}

  // Forgets partial input (after the port was reopened).
  void Reset();

  CAtResponse Command(const std::string& sCommand, std::chrono::milliseconds Timeout);
  // sCommand ("AT+CMGS=23") then, after the prompt, the PDU in hex and Ctrl-Z.
  // The time-out of the prompt is PromptTimeout, the answer after the PDU
  // has Timeout. When the prompt does not come, ESC cancels and the final
  // result (if any) is returned, else ERROR_TIMEOUT is raised.
  CAtResponse SendWithPdu(const std::string& sCommand, const std::string& sPduHex,
                          std::chrono::milliseconds PromptTimeout, std::chrono::milliseconds Timeout);

  // Reads what comes until Until, or until a wake-up; queues unsolicited
  // codes. False when woken.
  bool Idle(Clock::time_point Until);

  static constexpr size_t kMaxQueued = 256;
  static constexpr size_t kMaxStorageIndications = 16;

  bool HasUnsolicited() const { return !m_Unsolicited.empty() || m_bStoreChanged; }
  std::deque<CUnsolicited> TakeUnsolicited();
  // True when storage indications were dropped since the last call: the
  // store holds messages nobody was told of one by one.
  bool TakeStoreChanged();
  // Codes dropped because the queue was full, since the last call.
  long TakeDropped();
  long GarbageLines() const { return m_nGarbage; }

  static bool IsUnsolicited(const std::string& sLine);
  static bool CarriesPdu(const std::string& sLine);           // +CMT: / +CDS:
  static bool IsStorageIndication(const std::string& sLine);  // +CMTI: / +CDSI:

 private:
  enum class EGot { Line, Prompt, Timeout, Woken };
  // The next complete line (without its line break) into sLine; a prompt
  // when bPrompt and "> " is all there is.
  EGot Next(std::string* sLine, Clock::time_point Until, bool bPrompt);
  // Handles one line outside an answer; true when it was unsolicited.
  bool TakeAsUnsolicited(const std::string& sLine, Clock::time_point Until);
  void Queue(CUnsolicited U);
  // The answer to sCommand; lines equal to sEcho are its echo.
  CAtResponse Collect(const std::string& sCommand, const std::string& sEcho, Clock::time_point Until);
  [[noreturn]] void TimedOut(const std::string& sCommand) const;
  [[noreturn]] void Stopped() const;

  CSerialPort& m_Port;
  CWakeup& m_Wakeup;
  const std::atomic<bool>& m_bStop;
  std::string m_sInput;
  std::deque<CUnsolicited> m_Unsolicited;
  size_t m_nStorageQueued = 0;  // storage indications in m_Unsolicited
  bool m_bStoreChanged = false;
  long m_nDropped = 0;
  long m_nGarbage = 0;
};

}  // namespace Norvale
