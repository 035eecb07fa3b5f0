#include "smpp/smpp_server_session.h"

#include <algorithm>
#include <stdexcept>

#include "smpp/command_status.h"
#include "smpp/pdu_codec.h"

namespace Norvale::Smpp {

namespace {

std::optional<EServerBindKind> BindKindOf(uint32_t nCommandId) {
  switch (static_cast<ECommandId>(nCommandId)) {
    case ECommandId::BindTransmitter: return EServerBindKind::Transmitter;
    case ECommandId::BindReceiver: return EServerBindKind::Receiver;
    case ECommandId::BindTransceiver: return EServerBindKind::Transceiver;
    default: return std::nullopt;
  }
}

bool IsBindResponse(uint32_t nCommandId) {
  return nCommandId == Id(ECommandId::BindTransmitterResp) || nCommandId == Id(ECommandId::BindReceiverResp) ||
         nCommandId == Id(ECommandId::BindTransceiverResp);
}

std::string Millis(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

}  // namespace

CSmppServerSession::CSmppServerSession(const ServerSessionOptions& Options, Clock::time_point Now)
    : m_Options(Options),
      m_Framer(Options.MaxPduLength),
      m_BindDeadline(Now + Options.BindTimeout),
      m_LastReceived(Now) {
  m_Options.SubmitWindow = std::max(1u, m_Options.SubmitWindow);
  m_Options.DeliverWindow = std::max(1u, m_Options.DeliverWindow);
}

// --- output, events, state -------------------------------------------------

std::span<const uint8_t> CSmppServerSession::PendingOutput() const {
  return std::span<const uint8_t>(m_Output).subspan(m_nOutputStart);
}

void CSmppServerSession::ConsumeOutput(size_t nOctets) {
  m_nOutputStart += std::min(nOctets, m_Output.size() - m_nOutputStart);
  if (m_nOutputStart == m_Output.size()) {
    m_Output.clear();
    m_nOutputStart = 0;
  } else if (m_nOutputStart > 4096 && m_nOutputStart > m_Output.size() / 2) {
    m_Output.erase(m_Output.begin(), m_Output.begin() + static_cast<std::ptrdiff_t>(m_nOutputStart));
    m_nOutputStart = 0;
  }
}

std::vector<ServerSessionEvent> CSmppServerSession::TakeEvents() {
  std::vector<ServerSessionEvent> Events;
  Events.swap(m_Events);
  return Events;
}

CSmppServerSession::EState CSmppServerSession::State() const { return m_eState; }

std::optional<EServerBindKind> CSmppServerSession::BindKind() const {
  if (m_eState == EState::Bound || m_eState == EState::Unbinding) return m_eBindKind;
  return std::nullopt;
}

const std::string& CSmppServerSession::SystemId() const { return m_sSystemId; }
size_t CSmppServerSession::SubmitsInFlight() const { return m_nSubmits; }
size_t CSmppServerSession::DeliveriesInFlight() const { return m_nDeliveries; }

uint32_t CSmppServerSession::NextSequence() {
  do {
    m_nLastSequence = m_nLastSequence >= 0x7FFFFFFF ? 1 : m_nLastSequence + 1;
  } while (m_Requests.count(m_nLastSequence));
  return m_nLastSequence;
}

void CSmppServerSession::Send(const Pdu& Message) { EncodePdu(Message, m_Output); }

void CSmppServerSession::Answer(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence) {
  // Responses keep their body even with an error status (an empty system_id
  // or message_id): a lone NUL is read by every client, a missing body not.
  PduBody Body;
  if (nCommandId == Id(ECommandId::SubmitSmResp) || nCommandId == Id(ECommandId::DeliverSmResp)) {
    Body = MessageIdBody{};
  } else if (IsBindResponse(nCommandId)) {
    Body = BindRespBody{};
  }
  Send(Pdu{nCommandId, nStatus, nSequence, std::move(Body)});
}

uint32_t CSmppServerSession::SendRequest(uint32_t nCommandId, PduBody Body, ERequest eKind, uint64_t nToken,
                                         Clock::time_point Now) {
  uint32_t nSequence = NextSequence();
  Send(Pdu{nCommandId, ESME_ROK, nSequence, std::move(Body)});
  m_Requests[nSequence] = Request{eKind, nToken, Now + m_Options.ResponseTimeout};
  return nSequence;
}

void CSmppServerSession::Close(std::string sReason) {
  // The deliveries first, so the owner offers them again before it forgets
  // the session.
  for (const auto& [nSequence, Req] : m_Requests) {
    if (Req.eKind == ERequest::Deliver) m_Events.push_back(DeliverAnsweredEvent{Req.nToken, std::nullopt});
  }
  m_Requests.clear();
  m_nDeliveries = 0;
  m_Submits.clear();
  m_nSubmits = 0;
  m_PendingBind.reset();
  m_nPeerUnbindSequence.reset();
  m_bEnquireLinkOut = false;
  m_eState = EState::Closed;
  m_Events.push_back(ServerClosedEvent{std::move(sReason)});
}

// --- the owner's answers ---------------------------------------------------

void CSmppServerSession::AcceptBind(uint32_t nSequence, const std::string& sSystemId) {
  if (m_eState != EState::Open || !m_PendingBind || m_PendingBind->nSequence != nSequence) return;
  PendingBind Bind = std::move(*m_PendingBind);
  m_PendingBind.reset();
  BindRespBody Body{sSystemId.substr(0, kMaxSystemId - 1), std::nullopt};
  // A 3.4 client learns our version; an older one gets no TLV it cannot read.
  if (Bind.nInterfaceVersion >= kInterfaceVersion) Body.nScInterfaceVersion = kInterfaceVersion;
  Send(Pdu{ResponseOf(Bind.nCommandId), ESME_ROK, nSequence, std::move(Body)});
  m_eBindKind = Bind.eKind;
  m_sSystemId = std::move(Bind.sSystemId);
  m_eState = EState::Bound;
}

void CSmppServerSession::RefuseBind(uint32_t nSequence, uint32_t nStatus) {
  if (m_eState != EState::Open || !m_PendingBind || m_PendingBind->nSequence != nSequence) return;
  uint32_t nCommandId = m_PendingBind->nCommandId;
  m_PendingBind.reset();
  Answer(ResponseOf(nCommandId), nStatus == ESME_ROK ? ESME_RBINDFAIL : nStatus, nSequence);
}

void CSmppServerSession::AnswerSubmit(uint32_t nSequence, uint32_t nStatus, const std::string& sMessageId) {
  if (m_eState == EState::Closed) return;
  auto It = m_Submits.find(nSequence);
  if (It == m_Submits.end()) return;
  Send(Pdu{Id(ECommandId::SubmitSmResp), nStatus, nSequence,
           MessageIdBody{nStatus == ESME_ROK ? sMessageId : std::string()}});
  if (--It->second == 0) m_Submits.erase(It);
  --m_nSubmits;
  if (m_nPeerUnbindSequence && m_nSubmits == 0) FinishPeerUnbind();
}

bool CSmppServerSession::CanDeliver() const {
  return m_eState == EState::Bound && m_eBindKind != EServerBindKind::Transmitter &&
         m_nDeliveries < m_Options.DeliverWindow;
}

void CSmppServerSession::Deliver(uint64_t nToken, const ShortMessageBody& Body, Clock::time_point Now) {
  if (!CanDeliver()) throw std::logic_error("CSmppServerSession::Deliver while it cannot deliver");
  SendRequest(Id(ECommandId::DeliverSm), Body, ERequest::Deliver, nToken, Now);
  ++m_nDeliveries;
}

void CSmppServerSession::Unbind(Clock::time_point Now) {
  switch (m_eState) {
    case EState::Open: Close("closed by the server before a bind"); return;
    case EState::Bound:
      SendRequest(Id(ECommandId::Unbind), std::monostate{}, ERequest::Unbind, 0, Now);
      m_eState = EState::Unbinding;
      return;
    case EState::Unbinding:
    case EState::Closed: return;
  }
}

void CSmppServerSession::FinishPeerUnbind() {
  Answer(Id(ECommandId::UnbindResp), ESME_ROK, *m_nPeerUnbindSequence);
  Close("the client unbound");
}

// --- time ------------------------------------------------------------------

CSmppServerSession::Clock::time_point CSmppServerSession::NextDeadline() const {
  Clock::time_point Next = Clock::time_point::max();
  if (m_eState == EState::Closed) return Next;
  if (m_eState == EState::Open) Next = m_BindDeadline;
  for (const auto& [nSequence, Req] : m_Requests) Next = std::min(Next, Req.Deadline);
  if (m_eState == EState::Bound && !m_bEnquireLinkOut) {
    Next = std::min(Next, m_LastReceived + m_Options.EnquireLinkInterval);
  }
  if (m_nPeerUnbindSequence) Next = std::min(Next, m_PeerUnbindDeadline);
  return Next;
}

void CSmppServerSession::Tick(Clock::time_point Now) {
  if (m_eState == EState::Closed) return;
  if (m_eState == EState::Open && Now >= m_BindDeadline) {
    Close("no bind within " + Millis(m_Options.BindTimeout));
    return;
  }
  std::string sWithin = " within " + Millis(m_Options.ResponseTimeout);
  for (auto It = m_Requests.begin(); It != m_Requests.end();) {
    if (It->second.Deadline > Now) {
      ++It;
      continue;
    }
    Request Req = It->second;
    It = m_Requests.erase(It);
    switch (Req.eKind) {
      case ERequest::Deliver:
        --m_nDeliveries;
        m_Events.push_back(DeliverAnsweredEvent{Req.nToken, std::nullopt});
        break;
      case ERequest::EnquireLink: Close("no enquire_link_resp" + sWithin); return;
      case ERequest::Unbind: Close("no unbind_resp" + sWithin); return;
    }
  }
  if (m_nPeerUnbindSequence && Now >= m_PeerUnbindDeadline) {
    // The submits still unanswered stay so: the client may send them again.
    FinishPeerUnbind();
    return;
  }
  if (m_eState == EState::Bound && !m_bEnquireLinkOut && Now >= m_LastReceived + m_Options.EnquireLinkInterval) {
    SendRequest(Id(ECommandId::EnquireLink), std::monostate{}, ERequest::EnquireLink, 0, Now);
    m_bEnquireLinkOut = true;
  }
}

// --- receiving -------------------------------------------------------------

void CSmppServerSession::Receive(std::span<const uint8_t> Octets, Clock::time_point Now) {
  if (m_eState == EState::Closed) return;
  m_Framer.Append(Octets);
  while (m_eState != EState::Closed) {
    auto Next = m_Framer.Next();
    if (!Next) break;
    m_LastReceived = Now;
    HandlePdu(*Next, Now);
  }
  if (m_eState != EState::Closed && m_Framer.Broken()) {
    auto Header = m_Framer.BrokenHeader();
    Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDLEN, Header ? Header->nSequence : 0, {}});
    Close(m_Framer.BrokenReason());
  }
}

void CSmppServerSession::HandlePdu(std::span<const uint8_t> Octets, Clock::time_point Now) {
  DecodeResult Result = DecodePdu(Octets);
  if (auto* pError = std::get_if<DecodeError>(&Result)) {
    HandleUndecodable(*pError);
    return;
  }
  const Pdu& Message = std::get<Pdu>(Result);
  if (IsResponse(Message.nCommandId)) {
    HandleResponse(Message.nCommandId, Message.nCommandStatus, Message.nSequence);
  } else {
    HandleRequest(Message, Now);
  }
}

void CSmppServerSession::HandleUndecodable(const DecodeError& Error) {
  if (Error.eKind == EDecodeError::UnknownCommandId) {
    Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDID, Error.nSequence, {}});
    return;
  }
  if (IsResponse(Error.nCommandId)) {
    // An answer to one of ours with a broken body: its header still tells
    // the outcome.
    HandleResponse(Error.nCommandId, Error.nCommandStatus, Error.nSequence);
    return;
  }
  if (Error.AnswerWithGenericNack()) {
    Send(Pdu{Id(ECommandId::GenericNack), Error.nAnswerStatus, Error.nSequence, {}});
  } else {
    Answer(ResponseOf(Error.nCommandId), Error.nAnswerStatus, Error.nSequence);
  }
}

void CSmppServerSession::HandleRequest(const Pdu& Message, Clock::time_point Now) {
  switch (Message.Command()) {
    case ECommandId::EnquireLink: Answer(Id(ECommandId::EnquireLinkResp), ESME_ROK, Message.nSequence); return;
    case ECommandId::BindTransmitter:
    case ECommandId::BindReceiver:
    case ECommandId::BindTransceiver: HandleBind(Message); return;
    case ECommandId::SubmitSm: HandleSubmit(Message); return;
    case ECommandId::Unbind: HandleUnbind(Message, Now); return;
    default:
      // deliver_sm goes from the server to the client, never back.
      Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDID, Message.nSequence, {}});
      return;
  }
}

void CSmppServerSession::HandleBind(const Pdu& Message) {
  uint32_t nAnswer = ESME_ROK;
  if (m_eState == EState::Bound || (m_eState == EState::Open && m_PendingBind)) {
    nAnswer = ESME_RALYBND;
  } else if (m_eState != EState::Open) {
    nAnswer = ESME_RINVBNDSTS;
  }
  if (nAnswer != ESME_ROK) {
    Answer(ResponseOf(Message.nCommandId), nAnswer, Message.nSequence);
    return;
  }
  const auto& Body = std::get<BindBody>(Message.Body);
  EServerBindKind eKind = *BindKindOf(Message.nCommandId);
  m_PendingBind = PendingBind{Message.nSequence, Message.nCommandId, eKind, Body.sSystemId, Body.nInterfaceVersion};
  m_Events.push_back(BindRequestedEvent{Message.nSequence, eKind, Body});
}

void CSmppServerSession::HandleSubmit(const Pdu& Message) {
  uint32_t nRefusal = ESME_ROK;
  if (m_eState != EState::Bound || m_nPeerUnbindSequence || m_eBindKind == EServerBindKind::Receiver) {
    nRefusal = ESME_RINVBNDSTS;
  } else if (m_nSubmits >= m_Options.SubmitWindow) {
    nRefusal = ESME_RTHROTTLED;
  }
  if (nRefusal != ESME_ROK) {
    Answer(Id(ECommandId::SubmitSmResp), nRefusal, Message.nSequence);
    return;
  }
  ++m_Submits[Message.nSequence];
  ++m_nSubmits;
  m_Events.push_back(SubmitRequestedEvent{Message.nSequence, std::get<ShortMessageBody>(Message.Body)});
}

void CSmppServerSession::HandleUnbind(const Pdu& Message, Clock::time_point Now) {
  if (m_eState == EState::Bound && m_nSubmits > 0) {
    // Answered once the submits in flight are (or after ResponseTimeout),
    // so the client learns their message_ids before the session ends.
    m_nPeerUnbindSequence = Message.nSequence;
    m_PeerUnbindDeadline = Now + m_Options.ResponseTimeout;
    m_eState = EState::Unbinding;
    return;
  }
  if (m_nPeerUnbindSequence) Answer(Id(ECommandId::UnbindResp), ESME_ROK, *m_nPeerUnbindSequence);
  Answer(Id(ECommandId::UnbindResp), ESME_ROK, Message.nSequence);
  Close(m_eState == EState::Open ? "the client unbound before binding" : "the client unbound");
}

void CSmppServerSession::HandleResponse(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence) {
  auto It = m_Requests.find(nSequence);
  if (It == m_Requests.end()) return;  // answers nothing of ours: dropped
  bool bNack = nCommandId == Id(ECommandId::GenericNack);
  Request Req = It->second;
  switch (Req.eKind) {
    case ERequest::Deliver:
      if (!bNack && nCommandId != Id(ECommandId::DeliverSmResp)) return;
      m_Requests.erase(It);
      --m_nDeliveries;
      // A generic_nack without a status still did not take the message.
      if (bNack && nStatus == ESME_ROK) nStatus = ESME_RUNKNOWNERR;
      m_Events.push_back(DeliverAnsweredEvent{Req.nToken, nStatus});
      return;
    case ERequest::EnquireLink:
      // Any answer, even generic_nack, shows the client is alive.
      m_Requests.erase(It);
      m_bEnquireLinkOut = false;
      return;
    case ERequest::Unbind:
      m_Requests.erase(It);
      Close("unbound by the server");
      return;
  }
}

}  // namespace Norvale::Smpp
