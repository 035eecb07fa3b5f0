#include "server/drivers/modem/modem_driver.h"

#include <algorithm>
#include <cctype>

#include "codec/hex.h"
#include "codec/pdu_error.h"
#include "codec/sms_deliver.h"
#include "codec/sms_status_report.h"
#include "codec/sms_submit.h"
#include "config/norvale_encryption.h"
#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "server/drivers/modem/cms_error.h"

namespace Norvale {
using namespace OS;

namespace {

std::string Describe(const _com_error& e) {
  const std::string d = e.DescriptionA();
  return d.empty() ? e.ErrorMessage() : d;
}

// The comma-separated fields of "+CMGL: 3,1,,24", quotes removed.
std::vector<std::string> Fields(const std::string& sValue) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (const char c : sValue) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  for (auto& f : fields) {
    const size_t b = f.find_first_not_of(' '), e = f.find_last_not_of(' ');
    f = b == std::string::npos ? std::string() : f.substr(b, e - b + 1);
  }
  return fields;
}

int Number(const std::string& s, int nDefault = -1) {
  if (s.empty() || s.size() > 9 ||
      !std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return nDefault;
  return std::stoi(s);
}

size_t PduHash(std::string sHex) {
  std::transform(sHex.begin(), sHex.end(), sHex.begin(),
                 [](char c) { return std::toupper(static_cast<unsigned char>(c)); });
  return std::hash<std::string>{}(sHex);
}

// +CMS ERROR 314 or +CME ERROR 14, or a modem's text saying so.
bool SimBusy(const CAtResponse& r) {
  if (r.eFinal == CAtResponse::EFinal::CmsError && r.nCode == 314) return true;
  if (r.eFinal == CAtResponse::EFinal::CmeError && r.nCode == 14) return true;
  return r.nCode == -1 && r.sFinal.find("busy") != std::string::npos;
}

bool IsHex(const std::string& s) {
  return !s.empty() && s.size() % 2 == 0 &&
         std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

const char* RegistrationText(int nStat) {
  switch (nStat) {
    case 0: return "not registered";
    case 1: return "registered (home)";
    case 2: return "searching for a network";
    case 3: return "registration denied";
    case 5: return "registered (roaming)";
    default: return "registration unknown";
  }
}

// The registration status of "+CREG: 0,1" or "+CREG: 1" (the unsolicited
// form), "+CREG: 2,1,\"1A2B\",\"01C2D3\"" too; -1 when unreadable.
int RegistrationStatus(const std::string& sValue) {
  const auto f = Fields(sValue);
  if (sValue.empty()) return -1;
  return Number(f.size() >= 2 ? f[1] : f[0]);
}

}  // namespace

CModemDriver::CModemDriver(int nHandset, const CSettingValues& Values) : m_nHandset(nHandset) {
  const CSettingsReader r(nHandset, "modem", Values);
  m_Serial.sDevice = r.GetText("Device");
  if (m_Serial.sDevice.empty()) r.Fail("Device", "the modem driver needs the serial device, e.g. /dev/ttyUSB0");
  m_Serial.nSpeed = static_cast<int>(r.GetNumber("Speed"));
  m_Serial.bHardwareFlow = r.GetText("FlowControl") == "rtscts";
  if (r.Has("Pin")) {
    const std::string stored = r.GetText("Pin");
    if (!stored.empty()) {
      m_sPin = CNorvaleEncryption().DecryptString(stored);
      if (m_sPin.empty())
        r.Fail("Pin", "not an encrypted value; store it with: velquor config set --handset " +
                          std::to_string(nHandset) + " Pin <PIN> --encrypted");
      if (m_sPin.size() < 4 || m_sPin.size() > 8 ||
          !std::all_of(m_sPin.begin(), m_sPin.end(), [](char c) { return c >= '0' && c <= '9'; }))
        r.Fail("Pin", "a PIN is 4 to 8 digits");
    }
  }
  m_sSmsCentre = r.GetText("SmsCentre");
  if (!m_sSmsCentre.empty() && (m_sSmsCentre.find_first_not_of("+0123456789") != std::string::npos ||
                                m_sSmsCentre.find('+', 1) != std::string::npos))
    r.Fail("SmsCentre", "'" + m_sSmsCentre + "' is not a phone number");
  m_nValidityMinutes = static_cast<int>(r.GetNumber("ValidityPeriod"));
  m_sStorage = r.GetText("Storage");
  if (!std::all_of(m_sStorage.begin(), m_sStorage.end(),
                   [](char c) { return std::isupper(static_cast<unsigned char>(c)); }))
    r.Fail("Storage", "'" + m_sStorage + "' is not a storage name such as SM, ME or MT");
  m_sIndications = r.GetText("Indications");
  if (m_sIndications.find_first_not_of("0123456789,") != std::string::npos)
    r.Fail("Indications", "'" + m_sIndications + "' is not a list of AT+CNMI parameters such as 2,1,0,1,0");
  m_sInitString = r.GetText("InitString");
  if (m_sInitString.find_first_of("\r\n\x1a\x1b") != std::string::npos)
    r.Fail("InitString", "holds a control character");
  m_CommandTimeout = ms(r.GetNumber("CommandTimeout"));
  m_SendTimeout = ms(r.GetNumber("SendTimeout"));
  m_StatusInterval = ms(r.GetNumber("StatusInterval"));
  m_ReconnectDelay = ms(r.GetNumber("ReconnectDelay"));
  m_ReconnectMaxDelay = ms(r.GetNumber("ReconnectMaxDelay"));
  m_ReconnectMaxDelay = std::max(m_ReconnectMaxDelay, m_ReconnectDelay);
  m_State.sDetail = m_Serial.sDevice + ": not started";
}

CModemDriver::~CModemDriver() { Stop(); }

void CModemDriver::Start(IDriverEvents* pEvents) {
  std::lock_guard guard(m_Lock);
  if (m_bStarted) return;
  m_pEvents = pEvents;
  m_bStarted = true;
  m_bStopping = false;
  m_Thread = std::thread([this] { Run(); });
}

void CModemDriver::Stop() {
  {
    std::unique_lock lock(m_Lock);
    if (!m_bStarted) return;
    // The engine acknowledges what it stored last just before it stops the
    // driver: a moment for those deletions, or the messages come again at
    // the next start.
    if (m_State.bConnected)
      m_Changed.wait_for(lock, std::min<ms>(m_CommandTimeout, ms(3000)),
                         [this] { return (m_Acks.empty() && m_nAcksInFlight == 0) || !m_State.bConnected; });
    m_bStopping = true;
    m_Changed.notify_all();
  }
  m_Wakeup.Signal();
  if (m_Thread.joinable()) m_Thread.join();
  std::lock_guard guard(m_Lock);
  m_bStarted = false;
  m_bReady = false;
  m_State.bConnected = m_State.bRegistered = false;
  m_State.sDetail = m_Serial.sDevice + ": stopped";
}

bool CModemDriver::IsReadyToSend() {
  std::lock_guard guard(m_Lock);
  return m_bReady;
}

CDriverState CModemDriver::GetState() {
  std::lock_guard guard(m_Lock);
  return m_State;
}

void CModemDriver::SetDetail(const std::string& sDetail) {
  std::lock_guard guard(m_Lock);
  m_State.sDetail = m_Serial.sDevice + ": " + sDetail;
}

bool CModemDriver::WaitStop(Clock::duration Delay) {
  std::unique_lock lock(m_Lock);
  return m_Changed.wait_for(lock, Delay, [this] { return m_bStopping.load(); });
}

void CModemDriver::Acknowledge(std::uint64_t nReceipt) {
  if (nReceipt == 0) return;
  {
    std::lock_guard guard(m_Lock);
    m_Acks.push_back(nReceipt);
  }
  m_Wakeup.Signal();
}

CSubmitResult CModemDriver::Submit(const COutgoingSms& Message) {
  auto request = std::make_shared<CRequest>(CRequest{Message, {}, false});
  std::unique_lock lock(m_Lock);
  if (!m_bStarted || m_bStopping)
    return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 0, "Driver stopped");
  if (!m_bReady) return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 0, m_State.sDetail);
  m_pRequest = request;
  m_Wakeup.Signal();
  // The I/O thread answers within its time-outs; the bound only guards
  // against a fault of its own.
  const auto bound = SubmitLimit();
  m_Changed.wait_for(lock, bound, [&] { return request->bDone || m_bStopping; });
  if (request->bDone) return request->Result;
  if (m_pRequest == request) m_pRequest.reset();
  return CSubmitResult::Failed(ESubmitOutcome::DeviceError, true, 0,
                               m_bStopping ? "Driver stopped" : "The modem's thread did not answer");
}

void CModemDriver::FailRequest(const std::string& sWhy) {
  std::lock_guard guard(m_Lock);
  m_bReady = false;
  if (!m_pRequest) return;
  m_pRequest->Result = CSubmitResult::Failed(ESubmitOutcome::DeviceError, true, 0, sWhy);
  m_pRequest->bDone = true;
  m_pRequest.reset();
  m_Changed.notify_all();
}

void CModemDriver::Run() {
  ms delay = m_ReconnectDelay;
  std::string logged;
  while (!m_bStopping) {
    std::string why;
    try {
      m_Port.Open(m_Serial);
      m_Channel.Reset();
      {
        std::lock_guard guard(m_Lock);
        m_State.bConnected = true;
        m_State.sDetail = m_Serial.sDevice + ": initialising";
      }
      Initialise();
      delay = m_ReconnectDelay;
      logged.clear();
      Serve();
    } catch (const _com_error& e) {
      why = Describe(e);
    } catch (const std::exception& e) {  // a fault of this code must not end the process
      why = m_Serial.sDevice + ": " + e.what();
    }
    m_Port.Close();
    m_bInitialised = false;
    if (m_bStopping) break;
    FailRequest(why);
    {
      std::lock_guard guard(m_Lock);
      m_State.bConnected = m_State.bRegistered = false;
      m_State.nSignal = -1;
      m_nAcksInFlight = 0;
      m_State.sDetail = why + "; trying again in " + std::to_string(delay.count()) + " ms";
      m_Changed.notify_all();
    }
    if (why != logged)  // a device away for hours is logged once, not at every try
      LogEvent(EVENTLOG_WARNING_TYPE, "CModemDriver::Run",
               "Handset " + std::to_string(m_nHandset) + ": " + why + "; the device is opened again in " +
                   std::to_string(delay.count()) + " ms, and later at growing intervals");
    logged = why;
    if (WaitStop(delay)) break;
    delay = std::min(delay * 2, m_ReconnectMaxDelay);
  }
  m_Port.Close();
  FailRequest("Driver stopped");
}

void CModemDriver::Initialise() {
  m_bInitialised = m_bSimReady = false;
  m_sMemory.clear();
  // The first command after opening may meet leftovers of an earlier
  // dialogue or a modem still booting.
  for (int attempt = 1;; ++attempt) {
    try {
      m_Channel.Command("AT", std::min<ms>(m_CommandTimeout, ms(3000)));
      break;
    } catch (const _com_error& e) {
      if (m_bStopping || attempt == 3 || e.Error() != HRESULT_FROM_WIN32(ERROR_TIMEOUT)) throw;
      m_Port.Write("\x1b\r", m_CommandTimeout);  // ends a PDU the modem may still wait for
    }
  }
  Command("ATE0");
  Command("AT+CMEE=1");
  if (!m_sInitString.empty() && !Command(m_sInitString).Ok())
    LogEvent(EVENTLOG_WARNING_TYPE, "CModemDriver::Initialise",
             "Handset " + std::to_string(m_nHandset) + ": the modem refused the InitString '" + m_sInitString + "'");
  if (UnlockSim()) FinishInitialise();
  m_NextPoll = Clock::now();
}

bool CModemDriver::UnlockSim() {
  for (int attempt = 0;; ++attempt) {
    const CAtResponse r = Command("AT+CPIN?");
    const std::string state = r.Ok() ? r.Value("+CPIN:") : "";
    if (state == "READY") {
      m_sSimState = "SIM ready";
      return m_bSimReady = true;
    }
    if (!r.Ok()) {
      m_sSimState = r.nCode == 10 ? "SIM not inserted" : "SIM not readable (" + r.sFinal + ")";
    } else if (state == "SIM PIN" && m_ePin == EPin::Rejected) {
      m_sSimState = "SIM PIN rejected, not tried again: correct the Pin value and restart the engine";
    } else if (state == "SIM PIN" && m_ePin == EPin::InDoubt) {
      m_sSimState = "SIM PIN entered once without an answer, not tried again: check it and restart the engine";
    } else if (state == "SIM PIN" && m_sPin.empty()) {
      m_sSimState = "SIM PIN needed: set the Pin value (velquor config set --handset " + std::to_string(m_nHandset) +
                    " Pin <PIN> --encrypted)";
    } else if (state == "SIM PIN" && attempt == 0) {
      // Until the modem answers, the PIN counts as perhaps wrong: a time-out
      // here (and the reopening after it) must not lead to a second try.
      m_ePin = EPin::InDoubt;
      const CAtResponse entered = Command("AT+CPIN=\"" + m_sPin + "\"");
      m_ePin = entered.Ok() ? EPin::Accepted : EPin::Rejected;
      if (!entered.Ok()) {
        m_sSimState =
            "SIM PIN rejected (" + entered.sFinal + "), not tried again: correct the Pin value and restart the engine";
        LogEvent(EVENTLOG_ERROR_TYPE, "CModemDriver::UnlockSim",
                 "Handset " + std::to_string(m_nHandset) + ": the SIM refused the PIN (" + entered.sFinal +
                     "); it is not entered again, so the SIM is not blocked");
      } else {
        continue;  // the SIM takes a moment after the PIN
      }
    } else if (state == "SIM PIN" && attempt < 10) {
      if (WaitStop(ms(500))) RAISE_COM_ERROR(E_ABORT, "stopped");
      continue;
    } else {
      m_sSimState = "SIM wants " + (state.empty() ? r.sFinal : state) + "; enter it with another tool";
    }
    SetDetail(m_sSimState);
    return false;
  }
}

void CModemDriver::FinishInitialise() {
  static constexpr const char* kSite = "CModemDriver::FinishInitialise";
  CAtResponse pdu;
  for (int attempt = 1;; ++attempt) {
    pdu = Command("AT+CMGF=0");
    if (pdu.Ok() || !SimBusy(pdu) || attempt == 3) break;
    if (WaitStop(ms(500))) RAISE_COM_ERROR(E_ABORT, "stopped");
  }
  if (SimBusy(pdu)) {
    // A SIM still reading its phone book after the PIN: not a fault of the
    // modem, and over after a while.
    m_sSimState = "SIM busy (AT+CMGF=0: " + pdu.sFinal + "); tried again at the next status poll";
    Warn(m_InitLog, kSite, m_sSimState);
    SetDetail(m_sSimState);
    return;
  }
  if (!pdu.Ok()) {
    using E = CAtResponse::EFinal;
    const bool unsupported = pdu.eFinal == E::Error ||
                             (pdu.eFinal == E::CmsError && (pdu.nCode == 303 || pdu.nCode == 304)) ||
                             (pdu.eFinal == E::CmeError && (pdu.nCode == 3 || pdu.nCode == 4));
    RAISE_COM_ERROR(E_FAIL, m_Serial.sDevice +
                                (unsupported ? ": the modem has no PDU mode" : ": the modem refused PDU mode") +
                                " (AT+CMGF=0: " + pdu.sFinal + ")");
  }
  m_sSimState = "SIM ready";
  Settle(m_InitLog, kSite);
  if (!m_sSmsCentre.empty()) {
    const CAtResponse r = Command("AT+CSCA=\"" + m_sSmsCentre + "\"," + (m_sSmsCentre[0] == '+' ? "145" : "129"));
    if (!r.Ok())
      LogEvent(EVENTLOG_WARNING_TYPE, "CModemDriver::FinishInitialise",
               "Handset " + std::to_string(m_nHandset) + ": the modem refused SmsCentre (" + r.sFinal + ")");
  }
  if (!m_sStorage.empty()) {
    const std::string m = "\"" + m_sStorage + "\"";
    if (Command("AT+CPMS=" + m + "," + m + "," + m).Ok() || Command("AT+CPMS=" + m).Ok()) m_sMemory = m_sStorage;
  }
  if (m_sMemory.empty()) {
    // The modem's own choice, by name, so that slots read from the list
    // and slots named by +CMTI compare equal.
    const CAtResponse cpms = Command("AT+CPMS?");
    const std::string first = cpms.Ok() ? Fields(cpms.Value("+CPMS:"))[0] : std::string();
    if (!first.empty() && Number(first) < 0) m_sMemory = first;
  }
  const CAtResponse csms = Command("AT+CSMS?");
  m_bAckDirect = csms.Ok() && Number(Fields(csms.Value("+CSMS:"))[0]) == 1;
  m_bPollStorage = !Command("AT+CNMI=" + m_sIndications).Ok();
  if (m_bPollStorage)
    LogEvent(EVENTLOG_WARNING_TYPE, "CModemDriver::FinishInitialise",
             "Handset " + std::to_string(m_nHandset) + ": the modem refused AT+CNMI=" + m_sIndications +
                 "; its storage is read at every status poll");
  m_bInitialised = true;
  ReadStored();
}

void CModemDriver::PollStatus() {
  if (!m_bSimReady) {
    if (UnlockSim()) FinishInitialise();
  } else if (!m_bInitialised) {
    FinishInitialise();
  }
  int stat = -1, signal = -1;
  m_Missing.clear();
  if (m_bInitialised) {
    const CAtResponse creg = Command("AT+CREG?");
    stat = creg.Ok() ? RegistrationStatus(creg.Value("+CREG:")) : -1;
    if (stat != 1 && stat != 5) {
      // LTE-only modems register for SMS over EPS and may leave +CREG at 0.
      const CAtResponse cereg = Command("AT+CEREG?");
      const int eps = cereg.Ok() ? RegistrationStatus(cereg.Value("+CEREG:")) : -1;
      if (eps == 1 || eps == 5) stat = eps;
    }
    const CAtResponse csq = Command("AT+CSQ");
    const int rssi = csq.Ok() ? Number(Fields(csq.Value("+CSQ:"))[0]) : -1;
    signal = rssi >= 0 && rssi <= 31 ? (rssi * 100 + 15) / 31 : -1;
    if (m_bPollStorage) {
      ReadStored();
      RetryDeletes();
    } else {
      CheckStore();
    }
    if (const long dropped = m_Channel.TakeDropped(); dropped > 0)
      Warn(m_QueueLog, "CModemDriver::PollStatus",
           std::to_string(dropped) + " unsolicited codes dropped: the modem sent them faster than they were handled");
    else
      Settle(m_QueueLog, "CModemDriver::PollStatus");
  }
  const bool registered = stat == 1 || stat == 5;
  std::lock_guard guard(m_Lock);
  m_State.bConnected = true;
  m_State.bRegistered = registered;
  m_State.nSignal = signal;
  m_bReady = m_bInitialised && registered;
  m_State.sDetail = m_Serial.sDevice + ": " + m_sSimState +
                    (m_bInitialised ? std::string(", ") + RegistrationText(stat) : std::string()) +
                    (signal >= 0 ? ", signal " + std::to_string(signal) + "%" : std::string());
}

void CModemDriver::Serve() {
  while (!m_bStopping) {
    std::shared_ptr<CRequest> request;
    std::deque<std::uint64_t> acks;
    {
      std::lock_guard guard(m_Lock);
      request = m_pRequest;
      acks.swap(m_Acks);
      m_nAcksInFlight = acks.size();
    }
    if (request) DoSubmit(*request);
    for (const auto receipt : acks) {
      const auto it = m_Receipts.find(receipt);
      if (it == m_Receipts.end()) continue;
      const CHeld held = it->second;
      m_Receipts.erase(it);
      m_Handed.erase(held.Slot);
      DeleteStored(held.Slot, held.nPdu);
    }
    if (!acks.empty()) {
      std::lock_guard guard(m_Lock);
      m_nAcksInFlight = 0;
      m_Changed.notify_all();
    }
    // Storage indications are gathered: a few are read one by one, a storm
    // (or indications the channel had to drop) by reading the whole store.
    bool readAll = m_Channel.TakeStoreChanged();
    std::vector<CSlot> slots;
    for (const auto& u : m_Channel.TakeUnsolicited()) {
      if (!CAtChannel::IsStorageIndication(u.sLine)) {
        HandleUnsolicited(u);
        continue;
      }
      const auto f = Fields(u.sLine.substr(u.sLine.find(':') + 1));
      if (f.size() < 2 || Number(f[1]) < 0) continue;
      const CSlot slot{f[0], Number(f[1])};
      if (std::find(slots.begin(), slots.end(), slot) == slots.end()) slots.push_back(slot);
    }
    if (m_bInitialised) {
      if (readAll || slots.size() > 4) {
        ReadStored();
      } else {
        for (const auto& slot : slots) ReadSlot(slot);
      }
    }
    if (Clock::now() >= m_NextPoll) {
      PollStatus();
      m_NextPoll = Clock::now() + m_StatusInterval;
    }
    {
      std::lock_guard guard(m_Lock);
      if (m_pRequest || !m_Acks.empty()) continue;
    }
    if (!m_Channel.HasUnsolicited()) m_Channel.Idle(m_NextPoll);
  }
}

void CModemDriver::DoSubmit(CRequest& Request) {
  CSubmitResult result;
  try {
    result = SendPdu(Request.Message);
  } catch (const _com_error& e) {
    // Perhaps sent, perhaps not: the job comes back and is tried again
    // once the modem answers.
    FailRequest("No answer from the modem while sending: " + Describe(e));
    throw;
  }
  std::lock_guard guard(m_Lock);
  if (result.eOutcome == ESubmitOutcome::NetworkFailure && result.bTemporary) {
    // The network went away since the last poll (+CMS ERROR 331): claim
    // nothing more until a poll finds the modem registered, or every job
    // would spend its retries against a modem that cannot send.
    m_bReady = false;
    m_NextPoll = Clock::now();
  }
  Request.Result = std::move(result);
  Request.bDone = true;
  if (m_pRequest.get() == &Request) m_pRequest.reset();
  m_Changed.notify_all();
}

CSubmitResult CModemDriver::SendPdu(const COutgoingSms& Message) {
  Sms::SmsSubmit submit;
  if (Message.Number.GetKind() == Sms::PhoneNumber::Kind::Alphanumeric)
    return CSubmitResult::Failed(ESubmitOutcome::InvalidNumber, false, 0, "a name is no destination");
  submit.Destination = Message.Number.ToPduAddress();
  submit.bStatusReportRequest = Message.bRequestReport;
  // The message's own validity (the time it has left), else the handset's;
  // TP-VP rounds it up to the next period it can express.
  if (Message.Validity) {
    submit.eValidityFormat = Sms::ValidityFormat::Relative;
    submit.Validity = {Sms::RelativeValidity(std::chrono::ceil<std::chrono::minutes>(*Message.Validity))};
  } else if (m_nValidityMinutes > 0) {
    submit.eValidityFormat = Sms::ValidityFormat::Relative;
    submit.Validity = {Sms::RelativeValidity(std::chrono::minutes(m_nValidityMinutes))};
  }
  submit.UserData = Message.Part;
  Sms::EncodedPdu pdu;
  try {
    pdu = Sms::EncodeSubmit(submit);
  } catch (const std::invalid_argument& e) {
    return CSubmitResult::Failed(ESubmitOutcome::InvalidMessage, false, 0, e.what());
  }
  const CAtResponse r =
      m_Channel.SendWithPdu("AT+CMGS=" + std::to_string(pdu.nTpduLength), pdu.Hex(), m_CommandTimeout, m_SendTimeout);
  if (r.eFinal == CAtResponse::EFinal::CmsError) return SubmitFailureFromCms(r.nCode);
  if (r.eFinal == CAtResponse::EFinal::CmeError) return SubmitFailureFromCme(r.nCode);
  if (!r.Ok()) return CSubmitResult::Failed(ESubmitOutcome::DeviceError, true, 0, "AT+CMGS: " + r.sFinal);
  const int reference = Number(Fields(r.Value("+CMGS:"))[0]);
  if (!Message.bRequestReport || reference < 0) return CSubmitResult::Accepted({});
  return CSubmitResult::Accepted(CNetworkReference::Number(reference & 0xFF));
}

void CModemDriver::HandleUnsolicited(const CUnsolicited& U) {
  if (U.sLine.rfind("+CDS:", 0) == 0 || U.sLine.rfind("+CMT:", 0) == 0) {
    HandlePdu(U.sPdu, nullptr);
    AcknowledgeDirect();
  } else if (U.sLine.rfind("+CREG:", 0) == 0) {
    m_NextPoll = Clock::now();  // registration changed: look at it now
  }
}

void CModemDriver::SelectMemory(const std::string& sMemory) {
  if (sMemory.empty() || sMemory == m_sMemory) return;
  if (!Command("AT+CPMS=\"" + sMemory + "\"").Ok())
    RAISE_COM_ERROR(E_FAIL, m_Serial.sDevice + ": the modem refused storage " + sMemory);
  m_sMemory = sMemory;
}

int CModemDriver::ReadStored() {
  const CAtResponse r = Command("AT+CMGL=4");
  if (!r.Ok()) return 0;  // an empty storage answers ERROR on some modems
  int handed = 0;
  std::set<CSlot> listed;
  for (size_t i = 0; i + 1 < r.Lines.size(); ++i) {
    if (r.Lines[i].rfind("+CMGL:", 0) != 0) continue;
    const int index = Number(Fields(r.Lines[i].substr(6))[0]);
    const std::string& pdu = r.Lines[i + 1];
    if (index < 0 || !IsHex(pdu)) continue;
    const CSlot slot{m_sMemory, index};
    listed.insert(slot);
    ++i;
    if (m_Handed.count(slot)) continue;
    if (const auto left = m_Left.find(slot); left != m_Left.end() && left->second == PduHash(pdu)) continue;
    handed += HandlePdu(pdu, &slot);
  }
  // What the list no longer holds went by other means (deleted after all).
  std::erase_if(m_Stored, [&](const auto& e) { return e.first.sMemory == m_sMemory && !listed.count(e.first); });
  std::erase_if(m_Left, [&](const auto& e) { return e.first.sMemory == m_sMemory && !listed.count(e.first); });
  return handed;
}

void CModemDriver::ReadSlot(const CSlot& Slot) {
  static constexpr const char* kSite = "CModemDriver::ReadSlot";
  // A slot found empty is not read again before the next status poll, which
  // looks at the store's count anyway: a storm for it costs one command.
  if (m_Handed.count(Slot) || m_Missing.count(Slot)) return;
  SelectMemory(Slot.sMemory);
  const CAtResponse r = Command("AT+CMGR=" + std::to_string(Slot.nIndex));
  for (size_t i = 0; r.Ok() && i + 1 < r.Lines.size(); ++i) {
    if (r.Lines[i].rfind("+CMGR:", 0) == 0 && IsHex(r.Lines[i + 1])) {
      Settle(m_ReadLog, kSite);
      // An indication for a slot kept on purpose names a new message there.
      if (const auto left = m_Left.find(Slot); left != m_Left.end() && left->second == PduHash(r.Lines[i + 1])) return;
      HandlePdu(r.Lines[i + 1], &Slot);
      return;
    }
  }
  m_Missing.insert(Slot);
  Warn(m_ReadLog, kSite,
       "message " + Slot.sMemory + " " + std::to_string(Slot.nIndex) + " could not be read (" + r.sFinal + ")");
}

bool CModemDriver::Delete(const CSlot& Slot) {
  static constexpr const char* kSite = "CModemDriver::Delete";
  SelectMemory(Slot.sMemory);
  const CAtResponse r = Command("AT+CMGD=" + std::to_string(Slot.nIndex));
  if (r.Ok()) {
    Settle(m_DeleteLog, kSite);
    return true;
  }
  Warn(m_DeleteLog, kSite,
       "message " + Slot.sMemory + " " + std::to_string(Slot.nIndex) + " could not be deleted (" + r.sFinal +
           "); it is deleted again at the next status poll, and not handed over again");
  return false;
}

void CModemDriver::DeleteStored(const CSlot& Slot, size_t nPdu) {
  if (Delete(Slot)) {
    m_Stored.erase(Slot);
  } else {
    m_Stored[Slot] = nPdu;
  }
}

void CModemDriver::RetryDeletes() {
  const auto pending = m_Stored;
  for (const auto& [slot, hash] : pending) DeleteStored(slot, hash);
}

void CModemDriver::CheckStore() {
  RetryDeletes();
  const CAtResponse r = Command("AT+CPMS?");
  const auto f = Fields(r.Ok() ? r.Value("+CPMS:") : std::string());
  const int used = f.size() >= 3 ? Number(f[1]) : -1;
  if (used < 0) return;  // a modem that does not tell: indications only
  if (static_cast<size_t>(used) <= m_Handed.size() + m_Left.size() + m_Stored.size()) return;
  // Messages nobody told of: perhaps the modem turned routing off (a
  // missing acknowledgement, a restart of its own). Read them, and ask for
  // indications again.
  if (ReadStored() > 0) {
    LogEvent(EVENTLOG_WARNING_TYPE, "CModemDriver::CheckStore",
             "Handset " + std::to_string(m_nHandset) +
                 ": the modem stored messages without an indication; AT+CNMI is set again");
    Command("AT+CNMI=" + m_sIndications);
  }
}

void CModemDriver::AcknowledgeDirect() {
  static constexpr const char* kSite = "CModemDriver::AcknowledgeDirect";
  if (!m_bAckDirect) return;
  const CAtResponse r = Command("AT+CNMA");
  if (r.Ok()) {
    Settle(m_AckLog, kSite);
  } else {
    Warn(m_AckLog, kSite, "the modem refused AT+CNMA (" + r.sFinal + ")");
  }
}

void CModemDriver::Warn(CRepeatThrottle& Throttle, const char* szSite, const std::string& sWhy) {
  Throttle.Run(szSite, [&] { RAISE_COM_ERROR(E_FAIL, "Handset " + std::to_string(m_nHandset) + ": " + sWhy); });
}

void CModemDriver::Settle(CRepeatThrottle& Throttle, const char* szSite) {
  Throttle.Run(szSite, [] {});
}

bool CModemDriver::HandlePdu(const std::string& sHex, const CSlot* pSlot) {
  const size_t hash = PduHash(sHex);
  if (pSlot) {
    // Handed over before and not deleted: delete it, never store it twice.
    if (const auto it = m_Stored.find(*pSlot); it != m_Stored.end()) {
      if (it->second == hash) {
        DeleteStored(*pSlot, hash);
        return false;
      }
      m_Stored.erase(it);  // another message in that slot
    }
    m_Left.erase(*pSlot);
  }
  try {
    const std::vector<std::uint8_t> octets = Sms::FromHex(sHex);
    if (octets.empty() || octets.size() < 2u + octets[0]) throw Sms::PduError("PDU shorter than its SMSC prefix");
    const int type = octets[1u + octets[0]] & 0x03;
    if (type == 0x00) {
      Sms::SmsDeliver d = Sms::DecodeDeliver(octets);
      CIncomingSms message{d.Originator.sValue, std::move(d.UserData)};
      if (pSlot) {
        message.nReceipt = m_nNextReceipt++;
        m_Receipts[message.nReceipt] = {*pSlot, hash};
        m_Handed.insert(*pSlot);
      }
      m_pEvents->OnMessageReceived(std::move(message));
      Settle(m_PduLog, "CModemDriver::HandlePdu");
      return true;
    } else if (type == 0x02) {
      const Sms::SmsStatusReport s = Sms::DecodeStatusReport(octets);
      if (s.State() != Sms::DeliveryState::Pending) {
        CDeliveryReport report;
        report.Reference = CNetworkReference::Number(s.nMessageReference);
        report.bDelivered = s.State() == Sms::DeliveryState::Delivered;
        report.nErrorCode = report.bDelivered ? 0 : s.nStatus;
        m_pEvents->OnDeliveryReport(report);
      }
      Settle(m_PduLog, "CModemDriver::HandlePdu");
      if (pSlot) DeleteStored(*pSlot, hash);
      return true;
    }
    // An SMS-SUBMIT in storage was written by someone else: left alone.
    if (pSlot) m_Left[*pSlot] = hash;
  } catch (const std::invalid_argument& e) {
    if (pSlot) m_Left[*pSlot] = hash;  // kept in storage, not read again in this run
    Warn(m_PduLog, "CModemDriver::HandlePdu",
         std::string("a PDU the gateway cannot read") +
             (pSlot ? " (left in " + pSlot->sMemory + " " + std::to_string(pSlot->nIndex) + ")" : std::string()) +
             ": " + e.what() + ": " + sHex);
    return false;
  }
  Settle(m_PduLog, "CModemDriver::HandlePdu");
  return false;
}

}  // namespace Norvale
