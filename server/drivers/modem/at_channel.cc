#include "server/drivers/modem/at_channel.h"

#include <cstdlib>
#include <utility>

#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

namespace {

bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

// "+CREG:" for "AT+CREG?", "+CMGS:" for "AT+CMGS=23"; "" for "AT", "ATE0".
std::string AnswerPrefix(const std::string& sCommand) {
  if (sCommand.size() < 4 || sCommand[2] != '+') return {};
  const size_t end = sCommand.find_first_of("=?", 3);
  return sCommand.substr(2, end == std::string::npos ? std::string::npos : end - 2) + ":";
}

int CodeAfterColon(const std::string& sLine) {
  const size_t colon = sLine.find(':');
  const char* p = sLine.c_str() + colon + 1;
  while (*p == ' ') ++p;
  char* end = nullptr;
  const long code = std::strtol(p, &end, 10);
  return end == p ? -1 : static_cast<int>(code);
}

// Fills Response when sLine is a final result code.
bool IsFinal(const std::string& sLine, CAtResponse* Response) {
  using E = CAtResponse::EFinal;
  if (sLine == "OK") {
    Response->eFinal = E::Ok;
  } else if (sLine == "ERROR" || sLine == "COMMAND NOT SUPPORT" || sLine == "TOO MANY PARAMETERS") {
    Response->eFinal = E::Error;
  } else if (StartsWith(sLine, "+CME ERROR:")) {
    Response->eFinal = E::CmeError;
    Response->nCode = CodeAfterColon(sLine);
  } else if (StartsWith(sLine, "+CMS ERROR:")) {
    Response->eFinal = E::CmsError;
    Response->nCode = CodeAfterColon(sLine);
  } else {
    return false;
  }
  Response->sFinal = sLine;
  return true;
}

}  // namespace

std::string CAtResponse::Value(const std::string& sPrefix) const {
  for (const auto& line : Lines) {
    if (!StartsWith(line, sPrefix)) continue;
    const size_t begin = line.find_first_not_of(' ', sPrefix.size());
    return begin == std::string::npos ? std::string() : line.substr(begin);
  }
  return {};
}

bool CAtChannel::IsUnsolicited(const std::string& sLine) {
  static const char* const kPrefixes[] = {
      "+CMTI:", "+CMT:",      "+CDS:",   "+CDSI:",   "+CBM:",  "+CBMI:",   "RING",   "+CRING:",
      "+CLIP:", "+CREG:",     "+CGREG:", "+CEREG:",  "+CUSD:", "+CIEV:",   "+CCWA:", "+CUSATP",
      "+QIND:", "NO CARRIER", "^",       "+PBREADY", "+STIN:", "SMS DONE", "+CPIN:"};
  for (const char* p : kPrefixes)
    if (StartsWith(sLine, p)) return true;
  return false;
}

bool CAtChannel::CarriesPdu(const std::string& sLine) {
  return StartsWith(sLine, "+CMT:") || StartsWith(sLine, "+CDS:");
}

bool CAtChannel::IsStorageIndication(const std::string& sLine) {
  return StartsWith(sLine, "+CMTI:") || StartsWith(sLine, "+CDSI:");
}

void CAtChannel::Reset() { m_sInput.clear(); }

std::deque<CUnsolicited> CAtChannel::TakeUnsolicited() {
  std::deque<CUnsolicited> out;
  out.swap(m_Unsolicited);
  m_nStorageQueued = 0;
  return out;
}

bool CAtChannel::TakeStoreChanged() { return std::exchange(m_bStoreChanged, false); }

long CAtChannel::TakeDropped() { return std::exchange(m_nDropped, 0); }

void CAtChannel::Queue(CUnsolicited U) {
  if (IsStorageIndication(U.sLine)) {
    // A storm of indications means one thing: read the store. Each one is
    // queued once, and beyond a few the store is read as a whole.
    if (m_bStoreChanged) return;
    for (const auto& q : m_Unsolicited)
      if (q.sLine == U.sLine) return;
    if (m_nStorageQueued >= kMaxStorageIndications) {
      m_bStoreChanged = true;
      return;
    }
    ++m_nStorageQueued;
  } else if (m_Unsolicited.size() >= kMaxQueued) {
    ++m_nDropped;
    return;
  }
  m_Unsolicited.push_back(std::move(U));
}

void CAtChannel::TimedOut(const std::string& sCommand) const {
  // The description reaches logs and the handset's state: never the PIN.
  const std::string shown = sCommand.rfind("AT+CPIN=", 0) == 0 ? "AT+CPIN=<PIN>" : sCommand;
  RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_TIMEOUT), m_Port.Device() + ": no answer to " + shown);
}

void CAtChannel::Stopped() const { RAISE_COM_ERROR(E_ABORT, m_Port.Device() + ": stopped"); }

CAtChannel::EGot CAtChannel::Next(std::string* sLine, Clock::time_point Until, bool bPrompt) {
  constexpr size_t kMaxLine = 4096;
  while (true) {
    if (bPrompt) {
      const size_t start = m_sInput.find_first_not_of("\r\n");
      if (start != std::string::npos && m_sInput[start] == '>' &&
          (m_sInput.size() == start + 1 || m_sInput[start + 1] == ' ')) {
        m_sInput.erase(0, std::min(m_sInput.size(), start + 2));
        return EGot::Prompt;
      }
    }
    const size_t end = m_sInput.find_first_of("\r\n");
    if (end != std::string::npos) {
      *sLine = m_sInput.substr(0, end);
      m_sInput.erase(0, end + 1);
      if (sLine->empty()) continue;
      return EGot::Line;
    }
    if (m_sInput.size() > kMaxLine) {  // no line break in sight: noise on the line
      m_sInput.clear();
      ++m_nGarbage;
    }
    const auto now = Clock::now();
    if (now >= Until) return EGot::Timeout;
    char buffer[512];
    size_t got = 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(Until - now);
    switch (m_Port.Read(buffer, sizeof buffer, &got, wait, &m_Wakeup)) {
      case CSerialPort::EWait::Data: m_sInput.append(buffer, got); break;
      case CSerialPort::EWait::Woken: return EGot::Woken;
      case CSerialPort::EWait::Timeout: break;
    }
  }
}

bool CAtChannel::TakeAsUnsolicited(const std::string& sLine, Clock::time_point Until) {
  if (!IsUnsolicited(sLine)) return false;
  CUnsolicited u{sLine, {}};
  if (CarriesPdu(sLine)) {
    // The PDU follows at once; a modem that says +CDS and never sends it
    // loses that report, not the dialogue.
    const auto until = std::max(Until, Clock::now() + std::chrono::seconds(2));
    std::string next;
    for (EGot got; (got = Next(&next, until, false)) != EGot::Timeout;) {
      if (got == EGot::Woken) {
        if (m_bStop) Stopped();
        continue;
      }
      u.sPdu = next;
      break;
    }
  }
  Queue(std::move(u));
  return true;
}

CAtResponse CAtChannel::Collect(const std::string& sCommand, const std::string& sEcho, Clock::time_point Until) {
  const std::string prefix = AnswerPrefix(sCommand);
  CAtResponse response;
  std::string line;
  while (true) {
    const EGot got = Next(&line, Until, false);
    if (got == EGot::Timeout) TimedOut(sCommand);
    if (got == EGot::Woken) {
      if (m_bStop) Stopped();
      continue;
    }
    if (line == sEcho) continue;
    if (IsFinal(line, &response)) return response;
    if (!prefix.empty() && StartsWith(line, prefix)) {
      response.Lines.push_back(line);
      continue;
    }
    if (TakeAsUnsolicited(line, Until)) continue;
    response.Lines.push_back(line);
  }
}

CAtResponse CAtChannel::Command(const std::string& sCommand, std::chrono::milliseconds Timeout) {
  const auto until = Clock::now() + Timeout;
  m_Port.Write(sCommand + "\r", Timeout);
  return Collect(sCommand, sCommand, until);
}

CAtResponse CAtChannel::SendWithPdu(const std::string& sCommand, const std::string& sPduHex,
                                    std::chrono::milliseconds PromptTimeout, std::chrono::milliseconds Timeout) {
  const auto promptUntil = Clock::now() + PromptTimeout;
  m_Port.Write(sCommand + "\r", PromptTimeout);
  std::string line;
  while (true) {
    const EGot got = Next(&line, promptUntil, true);
    if (got == EGot::Prompt) break;
    if (got == EGot::Woken) {
      if (m_bStop) {
        m_Port.Write("\x1b", std::chrono::milliseconds(500));
        Stopped();
      }
      continue;
    }
    if (got == EGot::Timeout) {
      // Cancel, so the modem does not take the next command for the PDU.
      m_Port.Write("\x1b", std::chrono::milliseconds(500));
      TimedOut(sCommand + " (no prompt)");
    }
    if (line == sCommand) continue;
    if (line == ">") break;  // a prompt some modems end with a line break
    CAtResponse response;
    if (IsFinal(line, &response)) return response;  // refused before the prompt
    if (TakeAsUnsolicited(line, promptUntil)) continue;
    ++m_nGarbage;
  }
  const auto until = Clock::now() + Timeout;
  m_Port.Write(sPduHex + "\x1a", Timeout);
  return Collect(sCommand, sPduHex, until);
}

bool CAtChannel::Idle(Clock::time_point Until) {
  std::string line;
  while (true) {
    const EGot got = Next(&line, Until, false);
    if (got == EGot::Timeout) return true;
    if (got == EGot::Woken) {
      if (m_bStop) Stopped();
      return false;
    }
    if (!TakeAsUnsolicited(line, Until)) ++m_nGarbage;
    if (HasUnsolicited()) return true;
  }
}

}  // namespace Norvale
