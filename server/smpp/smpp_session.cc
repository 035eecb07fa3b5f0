#include "smpp/smpp_session.h"

#include <algorithm>
#include <stdexcept>

#include "smpp/command_status.h"
#include "smpp/pdu_codec.h"

namespace Norvale::Smpp {

const char* SessionStateName(ESessionState eState) {
  switch (eState) {
    case ESessionState::Closed: return "closed";
    case ESessionState::Binding: return "binding";
    case ESessionState::Bound: return "bound";
    case ESessionState::Unbinding: return "unbinding";
  }
  return "?";
}

namespace {

uint32_t BindCommand(EBindMode eMode) {
  switch (eMode) {
    case EBindMode::Transceiver: return Id(ECommandId::BindTransceiver);
    case EBindMode::Transmitter: return Id(ECommandId::BindTransmitter);
    case EBindMode::Receiver: return Id(ECommandId::BindReceiver);
  }
  return Id(ECommandId::BindTransceiver);
}

std::string Millis(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

}  // namespace

CSmppSession::CSmppSession(SessionSettings Settings)
    : m_Settings(std::move(Settings)), m_Framer(m_Settings.nMaxPduLength) {
  m_Settings.nWindowSize = std::max<size_t>(1, m_Settings.nWindowSize);
}

// --- output and events -----------------------------------------------------

std::span<const uint8_t> CSmppSession::PendingOutput() const { return m_Output.Pending(); }

void CSmppSession::ConsumeOutput(size_t nOctets) { m_Output.Consume(nOctets); }

std::vector<SessionEvent> CSmppSession::TakeEvents() {
  std::vector<SessionEvent> Events;
  Events.swap(m_Events);
  return Events;
}

void CSmppSession::Warn(std::string sText) { m_Events.push_back(WarningEvent{std::move(sText)}); }

uint32_t CSmppSession::NextSequence() {
  do {
    m_nLastSequence = m_nLastSequence >= 0x7FFFFFFF ? 1 : m_nLastSequence + 1;
  } while (m_Requests.count(m_nLastSequence));
  return m_nLastSequence;
}

void CSmppSession::Send(const Pdu& Message) { m_Output.Append(Message); }

uint32_t CSmppSession::SendRequest(uint32_t nCommandId, PduBody Body, ERequest eKind, uint64_t nTag,
                                   Clock::time_point Now) {
  uint32_t nSequence = NextSequence();
  Send(Pdu{nCommandId, ESME_ROK, nSequence, std::move(Body)});
  m_Requests[nSequence] = Request{eKind, nTag, Now + m_Settings.ResponseTimeout, Now};
  return nSequence;
}

void CSmppSession::Answer(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence) {
  Send(EmptyResponse(nCommandId, nStatus, nSequence));
}

// --- the life of a session -------------------------------------------------

void CSmppSession::Open(Clock::time_point Now) {
  if (m_eState != ESessionState::Closed) throw std::logic_error("CSmppSession::Open while not closed");
  m_Framer.Reset();
  m_Output.Clear();
  m_Requests.clear();
  m_nUnansweredSubmits = 0;
  m_HeldDeliveries.clear();
  m_bRefuseDeliveries = false;
  m_bEnquireLinkOut = false;
  m_LastReceived = Now;
  BindBody Bind{m_Settings.sSystemId, m_Settings.sPassword, m_Settings.sSystemType,  kInterfaceVersion,
                m_Settings.nAddrTon,  m_Settings.nAddrNpi,  m_Settings.sAddressRange};
  try {
    SendRequest(BindCommand(m_Settings.eBindMode), std::move(Bind), ERequest::Bind, 0, Now);
  } catch (const std::invalid_argument& e) {
    // A system_id or password over its limit: no SMSC could take this bind.
    m_Events.push_back(BindFailedEvent{0, EBindFailure::Rejected, std::string("bind not sent: ") + e.what()});
    m_Events.push_back(CloseEvent{ECloseReason::BindFailed, e.what()});
    return;
  }
  m_eState = ESessionState::Binding;
}

void CSmppSession::Stop(Clock::time_point Now) {
  switch (m_eState) {
    case ESessionState::Closed:
    case ESessionState::Unbinding: return;
    case ESessionState::Binding: Close(ECloseReason::Stopped, "stopped before the bind was answered"); return;
    case ESessionState::Bound:
      SendRequest(Id(ECommandId::Unbind), std::monostate{}, ERequest::Unbind, 0, Now);
      m_eState = ESessionState::Unbinding;
      return;
  }
}

void CSmppSession::ConnectionLost(std::string_view sWhy) {
  if (m_eState == ESessionState::Closed) return;
  Close(ECloseReason::ConnectionLost, std::string(sWhy));
}

void CSmppSession::Close(ECloseReason eReason, std::string sDetail) {
  // Submits first, so the driver sees their failure before the close.
  for (auto It = m_Requests.begin(); It != m_Requests.end();) {
    if (It->second.eKind == ERequest::Submit) {
      SubmitFailedEvent Failed{It->second.nTag, 0, UnansweredSubmitClass(), ESubmitFailReason::ConnectionClosed,
                               std::string("session closed (") + CloseReasonName(eReason) +
                                   ") before the submit_sm was answered; the SMSC may have taken it"};
      m_Events.push_back(std::move(Failed));
    }
    It = m_Requests.erase(It);
  }
  m_nUnansweredSubmits = 0;
  m_HeldDeliveries.clear();  // unanswered: the SMSC delivers them again
  m_bEnquireLinkOut = false;
  m_eState = ESessionState::Closed;
  m_Events.push_back(CloseEvent{eReason, std::move(sDetail)});
}

void CSmppSession::FailSubmit(uint64_t nTag, uint32_t nStatus, ESubmitFailReason eReason, std::string sDetail,
                              Clock::time_point Now, Clock::time_point Sent) {
  StatusClass Class = nStatus == ESME_ROK ? UnansweredSubmitClass() : ClassifySubmitStatus(nStatus);
  // With several submits in flight the SMSC throttles each of them: only one
  // sent after the pause began makes it longer, the others sent before it
  // are answered within the same pause.
  if (Class.bThrottle && Sent >= m_ThrottleBegan) {
    m_ThrottleBegan = Now;
    m_CurrentThrottlePause = m_CurrentThrottlePause == Clock::duration{}
                                 ? Clock::duration(m_Settings.ThrottlePause)
                                 : std::min<Clock::duration>(m_CurrentThrottlePause * 2, m_Settings.ThrottlePauseMax);
    m_ThrottledUntil = Now + m_CurrentThrottlePause;
    m_WakeForSubmit = std::min(m_WakeForSubmit, m_ThrottledUntil);
  }
  m_Events.push_back(SubmitFailedEvent{nTag, nStatus, Class, eReason, std::move(sDetail)});
}

// --- submitting ------------------------------------------------------------

bool CSmppSession::CanSubmit(Clock::time_point Now) const {
  return m_eState == ESessionState::Bound && m_Settings.eBindMode != EBindMode::Receiver &&
         m_nUnansweredSubmits < m_Settings.nWindowSize && Now >= NextSubmitTime();
}

CSmppSession::Clock::time_point CSmppSession::NextSubmitTime() const {
  return std::max(m_ThrottledUntil, m_NextRateSlot);
}

ESubmitAdmission CSmppSession::Submit(const ShortMessageBody& Message, uint64_t nTag, Clock::time_point Now,
                                      std::string* pError) {
  if (m_eState != ESessionState::Bound || m_Settings.eBindMode == EBindMode::Receiver) {
    return ESubmitAdmission::NotBound;
  }
  if (m_nUnansweredSubmits >= m_Settings.nWindowSize) return ESubmitAdmission::WindowFull;
  if (Now < NextSubmitTime()) {
    m_WakeForSubmit = std::min(m_WakeForSubmit, NextSubmitTime());
    return ESubmitAdmission::Throttled;
  }
  try {
    SendRequest(Id(ECommandId::SubmitSm), Message, ERequest::Submit, nTag, Now);
  } catch (const std::invalid_argument& e) {
    if (pError) *pError = e.what();
    return ESubmitAdmission::Invalid;
  }
  ++m_nUnansweredSubmits;
  if (m_Settings.dMaxSubmitsPerSecond > 0) {
    auto Interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / m_Settings.dMaxSubmitsPerSecond));
    m_NextRateSlot = std::max(m_NextRateSlot, Now) + Interval;
  }
  return ESubmitAdmission::Sent;
}

// --- time ------------------------------------------------------------------

CSmppSession::Clock::time_point CSmppSession::NextDeadline() const {
  Clock::time_point Next = Clock::time_point::max();
  if (m_eState == ESessionState::Closed) return Next;
  for (const auto& [nSequence, Req] : m_Requests) Next = std::min(Next, Req.Deadline);
  if (m_eState == ESessionState::Bound && !m_bEnquireLinkOut) {
    Next = std::min(Next, m_LastReceived + m_Settings.EnquireLinkInterval);
  }
  // When a pause that held a submit back ends, the driver may submit again.
  if (m_eState == ESessionState::Bound) Next = std::min(Next, m_WakeForSubmit);
  return Next;
}

void CSmppSession::Tick(Clock::time_point Now) {
  if (m_eState == ESessionState::Closed) return;
  if (Now >= m_WakeForSubmit) m_WakeForSubmit = Clock::time_point::max();
  std::vector<std::pair<uint32_t, Request>> Expired;
  for (const auto& [nSequence, Req] : m_Requests) {
    if (Req.Deadline <= Now) Expired.emplace_back(nSequence, Req);
  }
  for (const auto& [nSequence, Req] : Expired) {
    if (m_eState == ESessionState::Closed) return;
    m_Requests.erase(nSequence);
    std::string sWithin = " within " + Millis(m_Settings.ResponseTimeout);
    switch (Req.eKind) {
      case ERequest::Bind:
        m_Events.push_back(BindFailedEvent{0, EBindFailure::Temporary, std::string("no answer to the bind") + sWithin});
        Close(ECloseReason::BindFailed, "bind unanswered");
        return;
      case ERequest::Submit:
        --m_nUnansweredSubmits;
        FailSubmit(
            Req.nTag, ESME_ROK, ESubmitFailReason::ResponseTimeout,
            "no submit_sm_resp" + sWithin + " (sequence " + std::to_string(nSequence) + "); the SMSC may have taken it",
            Now, Req.Sent);
        break;
      case ERequest::EnquireLink: Close(ECloseReason::LinkDead, "no enquire_link_resp" + sWithin); return;
      case ERequest::Unbind: Close(ECloseReason::Stopped, "no unbind_resp" + sWithin); return;
    }
  }
  if (m_eState == ESessionState::Bound && !m_bEnquireLinkOut &&
      Now >= m_LastReceived + m_Settings.EnquireLinkInterval) {
    SendRequest(Id(ECommandId::EnquireLink), std::monostate{}, ERequest::EnquireLink, 0, Now);
    m_bEnquireLinkOut = true;
  }
}

// --- receiving -------------------------------------------------------------

void CSmppSession::Receive(std::span<const uint8_t> Octets, Clock::time_point Now) {
  if (m_eState == ESessionState::Closed) return;
  m_Framer.Append(Octets);
  while (m_eState != ESessionState::Closed) {
    auto Next = m_Framer.Next();
    if (!Next) break;
    m_LastReceived = Now;
    HandlePdu(*Next, Now);
  }
  if (m_eState != ESessionState::Closed && m_Framer.Broken()) {
    auto Header = m_Framer.BrokenHeader();
    Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDLEN, Header ? Header->nSequence : 0, {}});
    Warn("unusable PDU from the SMSC: " + m_Framer.BrokenReason());
    Close(ECloseReason::StreamBroken, m_Framer.BrokenReason());
  }
}

void CSmppSession::HandlePdu(std::span<const uint8_t> Octets, Clock::time_point Now) {
  DecodeResult Result = DecodePdu(Octets);
  if (auto* pError = std::get_if<DecodeError>(&Result)) {
    HandleUndecodable(*pError, Now);
    return;
  }
  const Pdu& Message = std::get<Pdu>(Result);
  if (IsResponse(Message.nCommandId)) {
    HandleResponse(Message, true, Now);
  } else {
    HandleRequest(Message);
  }
}

void CSmppSession::HandleUndecodable(const DecodeError& Error, Clock::time_point Now) {
  Warn("unusable PDU from the SMSC: " + Error.Describe());
  if (Error.AnswerWithGenericNack()) {
    // A response that is merely short still settles its request below.
    if (Error.eKind == EDecodeError::UnknownCommandId || !IsResponse(Error.nCommandId)) {
      Send(Pdu{Id(ECommandId::GenericNack), Error.nAnswerStatus, Error.nSequence, {}});
      return;
    }
  }
  if (!IsResponse(Error.nCommandId)) {
    Answer(ResponseOf(Error.nCommandId), Error.nAnswerStatus, Error.nSequence);
    return;
  }
  // A response to one of ours whose body is broken: its header still tells
  // the outcome.
  HandleResponse(Pdu{Error.nCommandId, Error.nCommandStatus, Error.nSequence, {}}, false, Now);
}

void CSmppSession::HandleRequest(const Pdu& Message) {
  switch (Message.Command()) {
    case ECommandId::EnquireLink: Answer(Id(ECommandId::EnquireLinkResp), ESME_ROK, Message.nSequence); return;
    case ECommandId::DeliverSm: HandleDeliverSm(Message); return;
    case ECommandId::Unbind:
      Answer(Id(ECommandId::UnbindResp), ESME_ROK, Message.nSequence);
      Close(ECloseReason::PeerUnbound, "the SMSC sent unbind");
      return;
    default:
      // bind_* and submit_sm go from an ESME to an SMSC, never back.
      Warn(std::string("the SMSC sent ") + CommandName(Message.nCommandId) + ", which an ESME does not serve");
      Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDID, Message.nSequence, {}});
      return;
  }
}

namespace {

// The deliver_sm kinds that carry no message; nullptr for the others.
const char* NonMessageKind(uint8_t nEsmClass) {
  switch (nEsmClass & kEsmTypeMask) {
    case kEsmTypeSmeAck: return "an SME delivery acknowledgement";
    case kEsmTypeUserAck: return "a user acknowledgement";
    case kEsmTypeAbort: return "a conversation abort";
    default: return nullptr;
  }
}

}  // namespace

void CSmppSession::HandleDeliverSm(const Pdu& Message) {
  bool bReceiving = m_Settings.eBindMode != EBindMode::Transmitter &&
                    (m_eState == ESessionState::Bound || m_eState == ESessionState::Unbinding);
  if (!bReceiving) {
    Warn("deliver_sm (sequence " + std::to_string(Message.nSequence) + ") while not bound to receive; refused");
    Answer(Id(ECommandId::DeliverSmResp), ESME_RINVBNDSTS, Message.nSequence);
    return;
  }
  const auto& Body = std::get<ShortMessageBody>(Message.Body);
  if (const char* szKind = NonMessageKind(Body.nEsmClass); szKind && !Body.sReceiptedMessageId) {
    // Nothing to store and nothing a job waits for: answered, so the SMSC
    // does not deliver it again, and left out.
    Warn("deliver_sm from " + Body.sSourceAddr + " is " + szKind + ", not a message; ignored");
    Answer(Id(ECommandId::DeliverSmResp), ESME_ROK, Message.nSequence);
    return;
  }
  // While stopping, nothing more is taken: the SMSC keeps it for later.
  if (m_bRefuseDeliveries || m_eState == ESessionState::Unbinding) {
    Answer(Id(ECommandId::DeliverSmResp), ESME_RX_T_APPN, Message.nSequence);
    return;
  }
  const bool bHold = m_Settings.nMaxHeldDeliveries > 0;
  if (bHold && m_HeldDeliveries.size() >= m_Settings.nMaxHeldDeliveries) {
    Warn("deliver_sm refused with ESME_RTHROTTLED: " + std::to_string(m_HeldDeliveries.size()) +
         " received messages wait to be stored");
    Answer(Id(ECommandId::DeliverSmResp), ESME_RTHROTTLED, Message.nSequence);
    return;
  }
  bool bHandedOut = false;
  if (IsReceipt(Body)) {
    std::string sProblem;
    auto Receipt = ReadReceipt(Body, sProblem);
    if (Receipt) {
      m_Events.push_back(ReceiptReceivedEvent{std::move(*Receipt), Body.sSourceAddr, Message.nSequence, bHold});
      bHandedOut = true;
    } else {
      // Nothing the SMSC could resend would be better: accepted and logged.
      Warn("delivery receipt not usable: " + sProblem);
    }
  } else {
    std::string sWarning;
    IncomingMessage Incoming = ReadIncomingMessage(Body, sWarning, m_Settings.bDefaultIsLatin1);
    if (!sWarning.empty()) Warn("message from " + Body.sSourceAddr + ": " + sWarning);
    m_Events.push_back(MessageReceivedEvent{std::move(Incoming), Message.nSequence, bHold});
    bHandedOut = true;
  }
  if (bHandedOut && bHold) {
    m_HeldDeliveries.insert(Message.nSequence);
    return;
  }
  Answer(Id(ECommandId::DeliverSmResp), ESME_ROK, Message.nSequence);
}

bool CSmppSession::AnswerDelivery(uint32_t nSequence, uint32_t nStatus) {
  if (m_eState == ESessionState::Closed || m_HeldDeliveries.erase(nSequence) == 0) return false;
  Answer(Id(ECommandId::DeliverSmResp), nStatus, nSequence);
  return true;
}

void CSmppSession::HandleBindResponse(const Pdu& Message) {
  if (Message.nCommandStatus == ESME_ROK && Message.nCommandId != Id(ECommandId::GenericNack)) {
    std::string sSystemId;
    if (const auto* pBody = std::get_if<BindRespBody>(&Message.Body)) sSystemId = pBody->sSystemId;
    m_eState = ESessionState::Bound;
    m_CurrentThrottlePause = {};
    m_Events.push_back(BoundEvent{m_Settings.eBindMode, std::move(sSystemId)});
    return;
  }
  std::string sDetail =
      std::string("bind_") + BindModeName(m_Settings.eBindMode) + " refused: " + DescribeStatus(Message.nCommandStatus);
  if (Message.nCommandId == Id(ECommandId::GenericNack) && Message.nCommandStatus == ESME_RINVCMDID) {
    sDetail += " (the SMSC may not take this bind mode; try the other)";
  }
  m_Events.push_back(BindFailedEvent{Message.nCommandStatus, ClassifyBindStatus(Message.nCommandStatus), sDetail});
  Close(ECloseReason::BindFailed, sDetail);
}

void CSmppSession::HandleResponse(const Pdu& Message, bool bBodyValid, Clock::time_point Now) {
  auto It = m_Requests.find(Message.nSequence);
  if (It == m_Requests.end()) {
    Warn(std::string(CommandName(Message.nCommandId) ? CommandName(Message.nCommandId) : "response") +
         " with sequence " + std::to_string(Message.nSequence) + " answers nothing outstanding (" +
         DescribeStatus(Message.nCommandStatus) + ")");
    return;
  }
  Request Req = It->second;
  bool bNack = Message.nCommandId == Id(ECommandId::GenericNack);
  auto Mismatch = [&](uint32_t nExpected) { return !bNack && Message.nCommandId != nExpected; };
  switch (Req.eKind) {
    case ERequest::Bind: {
      uint32_t nExpected = ResponseOf(BindCommand(m_Settings.eBindMode));
      if (Mismatch(nExpected)) {
        Warn(std::string(CommandName(Message.nCommandId)) + " answers bind_" + BindModeName(m_Settings.eBindMode));
      }
      m_Requests.erase(It);
      HandleBindResponse(Message);
      return;
    }
    case ERequest::Submit: {
      if (Mismatch(Id(ECommandId::SubmitSmResp))) {
        Warn(std::string(CommandName(Message.nCommandId)) + " answers a submit_sm; ignored");
        return;
      }
      m_Requests.erase(It);
      --m_nUnansweredSubmits;
      if (Message.nCommandStatus == ESME_ROK && !bNack) {
        std::string sMessageId;
        if (const auto* pBody = std::get_if<MessageIdBody>(&Message.Body)) sMessageId = pBody->sMessageId;
        if (!bBodyValid || sMessageId.empty()) {
          Warn("submit_sm_resp (sequence " + std::to_string(Message.nSequence) +
               ") accepted the message without a usable message_id: its receipt cannot be matched");
        }
        // Only a submit sent after the last throttling answer shows that the
        // SMSC takes messages again.
        if (Req.Sent >= m_ThrottleBegan) m_CurrentThrottlePause = {};
        m_Events.push_back(SubmitAcceptedEvent{Req.nTag, std::move(sMessageId)});
        return;
      }
      uint32_t nStatus = Message.nCommandStatus;
      if (nStatus == ESME_ROK) nStatus = ESME_RUNKNOWNERR;  // generic_nack without a status
      FailSubmit(Req.nTag, nStatus, bNack ? ESubmitFailReason::GenericNack : ESubmitFailReason::Refused,
                 std::string(bNack ? "generic_nack: " : "submit_sm refused: ") + DescribeStatus(nStatus), Now,
                 Req.Sent);
      return;
    }
    case ERequest::EnquireLink:
      // Any answer, even generic_nack, shows the link is alive.
      m_Requests.erase(It);
      m_bEnquireLinkOut = false;
      return;
    case ERequest::Unbind:
      m_Requests.erase(It);
      Close(ECloseReason::Stopped, "unbound");
      return;
  }
}

}  // namespace Norvale::Smpp
