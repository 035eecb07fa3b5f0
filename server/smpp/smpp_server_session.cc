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

std::string Millis(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

}  // namespace

CSmppServerSession::CSmppServerSession(const ServerSessionOptions& options, Clock::time_point now)
    : m_Options(options),
      m_Framer(options.maxPduLength),
      m_BindDeadline(now + options.bindTimeout),
      m_LastReceived(now) {
  m_Options.submitWindow = std::max(1u, m_Options.submitWindow);
  m_Options.deliverWindow = std::max(1u, m_Options.deliverWindow);
}

// --- output, events, state -------------------------------------------------

std::span<const uint8_t> CSmppServerSession::PendingOutput() const { return m_Output.Pending(); }

void CSmppServerSession::ConsumeOutput(size_t nOctets) { m_Output.Consume(nOctets); }

std::vector<ServerSessionEvent> CSmppServerSession::TakeEvents() {
  std::vector<ServerSessionEvent> events;
  events.swap(m_Events);
  return events;
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

void CSmppServerSession::Send(const Pdu& message) { m_Output.Append(message); }

void CSmppServerSession::Answer(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence) {
  Send(EmptyResponse(nCommandId, nStatus, nSequence));
}

uint32_t CSmppServerSession::SendRequest(uint32_t nCommandId, PduBody body, ERequest eKind, uint64_t nToken,
                                         Clock::time_point now) {
  uint32_t nSequence = NextSequence();
  Send(Pdu{nCommandId, ESME_ROK, nSequence, std::move(body)});
  m_Requests[nSequence] = Request{eKind, nToken, now + m_Options.responseTimeout};
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
  PendingBind bind = std::move(*m_PendingBind);
  m_PendingBind.reset();
  BindRespBody body{sSystemId.substr(0, kMaxSystemId - 1), std::nullopt};
  // A 3.4 client learns our version; an older one gets no TLV it cannot read.
  if (bind.nInterfaceVersion >= kInterfaceVersion) body.nScInterfaceVersion = kInterfaceVersion;
  Send(Pdu{ResponseOf(bind.nCommandId), ESME_ROK, nSequence, std::move(body)});
  m_eBindKind = bind.eKind;
  m_sSystemId = std::move(bind.sSystemId);
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
  auto it = m_Submits.find(nSequence);
  if (it == m_Submits.end()) return;
  Send(Pdu{Id(ECommandId::SubmitSmResp), nStatus, nSequence,
           MessageIdBody{nStatus == ESME_ROK ? sMessageId : std::string()}});
  if (--it->second == 0) m_Submits.erase(it);
  --m_nSubmits;
  if (m_nPeerUnbindSequence && m_nSubmits == 0) FinishPeerUnbind();
}

bool CSmppServerSession::CanDeliver() const {
  return m_eState == EState::Bound && m_eBindKind != EServerBindKind::Transmitter &&
         m_nDeliveries < m_Options.deliverWindow;
}

void CSmppServerSession::SetDeliverWindow(unsigned nWindow) { m_Options.deliverWindow = std::max(1u, nWindow); }

void CSmppServerSession::Deliver(uint64_t nToken, const ShortMessageBody& body, Clock::time_point now) {
  if (!CanDeliver()) throw std::logic_error("CSmppServerSession::Deliver while it cannot deliver");
  SendRequest(Id(ECommandId::DeliverSm), body, ERequest::Deliver, nToken, now);
  ++m_nDeliveries;
}

void CSmppServerSession::Unbind(Clock::time_point now) {
  switch (m_eState) {
    case EState::Open: Close("closed by the server before a bind"); return;
    case EState::Bound:
      SendRequest(Id(ECommandId::Unbind), std::monostate{}, ERequest::Unbind, 0, now);
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
  Clock::time_point next = Clock::time_point::max();
  if (m_eState == EState::Closed) return next;
  if (m_eState == EState::Open) next = m_BindDeadline;
  for (const auto& [nSequence, Req] : m_Requests) next = std::min(next, Req.deadline);
  if (m_eState == EState::Bound && !m_bEnquireLinkOut) {
    next = std::min(next, m_LastReceived + m_Options.enquireLinkInterval);
  }
  if (m_nPeerUnbindSequence) next = std::min(next, m_PeerUnbindDeadline);
  return next;
}

void CSmppServerSession::Tick(Clock::time_point now) {
  if (m_eState == EState::Closed) return;
  if (m_eState == EState::Open && now >= m_BindDeadline) {
    Close("no bind within " + Millis(m_Options.bindTimeout));
    return;
  }
  std::string sWithin = " within " + Millis(m_Options.responseTimeout);
  for (auto it = m_Requests.begin(); it != m_Requests.end();) {
    if (it->second.deadline > now) {
      ++it;
      continue;
    }
    Request req = it->second;
    it = m_Requests.erase(it);
    switch (req.eKind) {
      case ERequest::Deliver:
        --m_nDeliveries;
        m_Events.push_back(DeliverAnsweredEvent{req.nToken, std::nullopt});
        break;
      case ERequest::EnquireLink: Close("no enquire_link_resp" + sWithin); return;
      case ERequest::Unbind: Close("no unbind_resp" + sWithin); return;
    }
  }
  if (m_nPeerUnbindSequence && now >= m_PeerUnbindDeadline) {
    // The submits still unanswered stay so: the client may send them again.
    FinishPeerUnbind();
    return;
  }
  if (m_eState == EState::Bound && !m_bEnquireLinkOut && now >= m_LastReceived + m_Options.enquireLinkInterval) {
    SendRequest(Id(ECommandId::EnquireLink), std::monostate{}, ERequest::EnquireLink, 0, now);
    m_bEnquireLinkOut = true;
  }
}

// --- receiving -------------------------------------------------------------

void CSmppServerSession::Receive(std::span<const uint8_t> octets, Clock::time_point now) {
  if (m_eState == EState::Closed) return;
  m_Framer.Append(octets);
  while (m_eState != EState::Closed) {
    auto next = m_Framer.Next();
    if (!next) break;
    m_LastReceived = now;
    HandlePdu(*next, now);
  }
  if (m_eState != EState::Closed && m_Framer.Broken()) {
    auto header = m_Framer.BrokenHeader();
    Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDLEN, header ? header->nSequence : 0, {}});
    Close(m_Framer.BrokenReason());
  }
}

void CSmppServerSession::HandlePdu(std::span<const uint8_t> octets, Clock::time_point now) {
  DecodeResult result = DecodePdu(octets);
  if (auto* pError = std::get_if<DecodeError>(&result)) {
    HandleUndecodable(*pError);
    return;
  }
  const Pdu& message = std::get<Pdu>(result);
  if (IsResponse(message.nCommandId)) {
    HandleResponse(message.nCommandId, message.nCommandStatus, message.nSequence);
  } else {
    HandleRequest(message, now);
  }
}

void CSmppServerSession::HandleUndecodable(const DecodeError& error) {
  if (error.eKind == EDecodeError::UnknownCommandId) {
    Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDID, error.nSequence, {}});
    return;
  }
  if (IsResponse(error.nCommandId)) {
    // An answer to one of ours with a broken body: its header still tells
    // the outcome.
    HandleResponse(error.nCommandId, error.nCommandStatus, error.nSequence);
    return;
  }
  if (error.AnswerWithGenericNack()) {
    Send(Pdu{Id(ECommandId::GenericNack), error.nAnswerStatus, error.nSequence, {}});
  } else {
    Answer(ResponseOf(error.nCommandId), error.nAnswerStatus, error.nSequence);
  }
}

void CSmppServerSession::HandleRequest(const Pdu& message, Clock::time_point now) {
  switch (message.Command()) {
    case ECommandId::EnquireLink: Answer(Id(ECommandId::EnquireLinkResp), ESME_ROK, message.nSequence); return;
    case ECommandId::BindTransmitter:
    case ECommandId::BindReceiver:
    case ECommandId::BindTransceiver: HandleBind(message); return;
    case ECommandId::SubmitSm: HandleSubmit(message); return;
    case ECommandId::Unbind: HandleUnbind(message, now); return;
    default:
      // deliver_sm goes from the server to the client, never back.
      Send(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDID, message.nSequence, {}});
      return;
  }
}

void CSmppServerSession::HandleBind(const Pdu& message) {
  uint32_t nAnswer = ESME_ROK;
  if (m_eState == EState::Bound || (m_eState == EState::Open && m_PendingBind)) {
    nAnswer = ESME_RALYBND;
  } else if (m_eState != EState::Open) {
    nAnswer = ESME_RINVBNDSTS;
  }
  if (nAnswer != ESME_ROK) {
    Answer(ResponseOf(message.nCommandId), nAnswer, message.nSequence);
    return;
  }
  const auto& body = std::get<BindBody>(message.Body);
  EServerBindKind eKind = *BindKindOf(message.nCommandId);
  m_PendingBind = PendingBind{message.nSequence, message.nCommandId, eKind, body.sSystemId, body.nInterfaceVersion};
  m_Events.push_back(BindRequestedEvent{message.nSequence, eKind, body});
}

void CSmppServerSession::HandleSubmit(const Pdu& message) {
  uint32_t nRefusal = ESME_ROK;
  if (m_eState != EState::Bound || m_nPeerUnbindSequence || m_eBindKind == EServerBindKind::Receiver) {
    nRefusal = ESME_RINVBNDSTS;
  } else if (m_nSubmits >= m_Options.submitWindow) {
    nRefusal = ESME_RTHROTTLED;
  }
  if (nRefusal != ESME_ROK) {
    Answer(Id(ECommandId::SubmitSmResp), nRefusal, message.nSequence);
    return;
  }
  ++m_Submits[message.nSequence];
  ++m_nSubmits;
  m_Events.push_back(SubmitRequestedEvent{message.nSequence, std::get<ShortMessageBody>(message.Body)});
}

void CSmppServerSession::HandleUnbind(const Pdu& message, Clock::time_point now) {
  if (m_eState == EState::Bound && m_nSubmits > 0) {
    // Answered once the submits in flight are (or after ResponseTimeout),
    // so the client learns their message_ids before the session ends.
    m_nPeerUnbindSequence = message.nSequence;
    m_PeerUnbindDeadline = now + m_Options.responseTimeout;
    m_eState = EState::Unbinding;
    return;
  }
  if (m_nPeerUnbindSequence) Answer(Id(ECommandId::UnbindResp), ESME_ROK, *m_nPeerUnbindSequence);
  Answer(Id(ECommandId::UnbindResp), ESME_ROK, message.nSequence);
  Close(m_eState == EState::Open ? "the client unbound before binding" : "the client unbound");
}

void CSmppServerSession::HandleResponse(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence) {
  auto it = m_Requests.find(nSequence);
  if (it == m_Requests.end()) return;  // answers nothing of ours: dropped
  bool bNack = nCommandId == Id(ECommandId::GenericNack);
  Request req = it->second;
  switch (req.eKind) {
    case ERequest::Deliver:
      if (!bNack && nCommandId != Id(ECommandId::DeliverSmResp)) return;
      m_Requests.erase(it);
      --m_nDeliveries;
      // A generic_nack without a status still did not take the message.
      if (bNack && nStatus == ESME_ROK) nStatus = ESME_RUNKNOWNERR;
      m_Events.push_back(DeliverAnsweredEvent{req.nToken, nStatus});
      return;
    case ERequest::EnquireLink:
      // Any answer, even generic_nack, shows the client is alive.
      m_Requests.erase(it);
      m_bEnquireLinkOut = false;
      return;
    case ERequest::Unbind:
      m_Requests.erase(it);
      Close("unbound by the server");
      return;
  }
}

}  // namespace Norvale::Smpp
