// CSmppServerSession: one client's (an ESME's) SMPP 3.4 session with this
// gateway, the server's side, as a state machine without I/O: the mirror of
// CSmppSession. velquor-smppd owns the socket and the clock; it tells the
// session what arrived (Receive) and that time passed (Tick), and takes back
// octets to write (PendingOutput / ConsumeOutput) and events (TakeEvents).
//
//   Open --bind accepted--> Bound --unbind (either side)--> [Unbinding] --> Closed
//     |  bind refused: stays Open, the client may try again
//     +-- no bind within BindTimeout of the connection (a refused bind does
//         not restart it), broken stream, enquire_link or unbind
//         unanswered within ResponseTimeout --> Closed
//
// What it does by itself:
// - answers enquire_link at any time, and sends its own when nothing came
//   from the client for EnquireLinkInterval; one unanswered within
//   ResponseTimeout closes the session;
// - answers a request that needs a bind before one with ESME_RINVBNDSTS, a
//   second bind (also while the first is being checked) with ESME_RALYBND,
//   submit_sm on a receiver bind or while unbinding with ESME_RINVBNDSTS;
//   a PDU it cannot decode is answered as pdu_error.h says: a field that
//   breaks its rule gets the command's own response with the field's status
//   (a bind with a password over 8 characters ESME_RINVPASWD), a body cut
//   short generic_nack ESME_RINVCMDLEN, an unknown command_id (data_sm among
//   them, and deliver_sm, which only goes to the client) generic_nack
//   ESME_RINVCMDID, and the session goes on; a command_length out of bounds
//   gets generic_nack ESME_RINVCMDLEN, then Closed. A response that answers
//   nothing outstanding is dropped;
// - keeps at most SubmitWindow submit_sm unanswered: one beyond is answered
//   ESME_RTHROTTLED at once and raises no event;
// - numbers its own requests (deliver_sm, enquire_link, unbind) 1..0x7FFFFFFF
//   and pairs their responses; at most DeliverWindow deliver_sm unanswered;
//   a deliver_sm unanswered within ResponseTimeout, and every one still
//   unanswered when the session closes, is reported as DeliverAnswered
//   without a status (not delivered, to be offered again later);
// - the client's unbind: unbind_resp, then Closed (the owner writes the
//   pending output before closing the socket). With submits in flight the
//   session is Unbinding until the owner has answered them (or for at most
//   ResponseTimeout), so the client gets the message_id of every message
//   queued; new submits meanwhile get ESME_RINVBNDSTS.
// Responses keep their body with an error status (an empty system_id or
// message_id): clients read a lone NUL, not all read a missing body.
// Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "smpp/output_queue.h"
#include "smpp/pdu.h"
#include "smpp/pdu_error.h"
#include "smpp/pdu_framer.h"

namespace Norvale::Smpp {

enum class EServerBindKind : uint8_t { Transmitter, Receiver, Transceiver };

struct ServerSessionOptions {
  std::chrono::milliseconds bindTimeout{10000};
  std::chrono::milliseconds enquireLinkInterval{30000};
  std::chrono::milliseconds responseTimeout{10000};
  unsigned submitWindow = 100;
  unsigned deliverWindow = 10;
  size_t maxPduLength = 64 * 1024;
};

// A bind to check: the owner answers with AcceptBind or RefuseBind.
struct BindRequestedEvent {
  uint32_t nSequence = 0;
  EServerBindKind eKind = EServerBindKind::Transceiver;
  BindBody body;
};
// A submit_sm within the window: the owner answers with AnswerSubmit.
struct SubmitRequestedEvent {
  uint32_t nSequence = 0;
  ShortMessageBody body;
};
// The client's answer to a deliver_sm, or none (time-out, session closed).
struct DeliverAnsweredEvent {
  uint64_t nToken = 0;
  std::optional<uint32_t> nStatus;
};
struct ServerClosedEvent {
  std::string sReason;
};
using ServerSessionEvent =
    std::variant<BindRequestedEvent, SubmitRequestedEvent, DeliverAnsweredEvent, ServerClosedEvent>;

class CSmppServerSession {
 public:
  using Clock = std::chrono::steady_clock;
  enum class EState { Open, Bound, Unbinding, Closed };

  CSmppServerSession(const ServerSessionOptions& options, Clock::time_point now);

  // Octets read from the client, in order.
  void Receive(std::span<const uint8_t> octets, Clock::time_point now);
  // Time passed: time-outs and enquire_link.
  void Tick(Clock::time_point now);

  // The answer to a BindRequestedEvent: bind_resp with `sSystemId` (this
  // gateway's, cut to 15 characters) and ESME_ROK, and sc_interface_version
  // for a 3.4 client; the session is Bound as `eKind`. An answer to a bind
  // that is not pending (closed, timed out) is ignored, so are the others.
  void AcceptBind(uint32_t nSequence, const std::string& sSystemId);
  // bind_resp with the status (ESME_RINVPASWD, ESME_RBINDFAIL, ...).
  void RefuseBind(uint32_t nSequence, uint32_t nStatus);
  // submit_sm_resp: ESME_ROK with the message_id, or the error status (no
  // message_id). Frees a place in the window. A sequence not in flight is
  // ignored. A message_id over 64 characters is std::invalid_argument.
  void AnswerSubmit(uint32_t nSequence, uint32_t nStatus, const std::string& sMessageId);

  // Whether a deliver_sm may go now: Bound as Receiver or Transceiver and
  // fewer than DeliverWindow unanswered.
  bool CanDeliver() const;
  // The deliver_sm unanswered at once from now on (at least 1); the owner
  // sets the account's window once it knows the account. Those already out
  // stay out.
  void SetDeliverWindow(unsigned nWindow);
  unsigned DeliverWindow() const { return m_Options.deliverWindow; }
  // Sends deliver_sm with `Body`; its answer comes back as a
  // DeliverAnsweredEvent carrying `nToken`. Only when CanDeliver()
  // (std::logic_error otherwise); a body the codec cannot write (a field over
  // its limit) is std::invalid_argument, and nothing is sent.
  void Deliver(uint64_t nToken, const ShortMessageBody& body, Clock::time_point now);
  // The server ends the session: unbind, then Closed on unbind_resp or
  // after ResponseTimeout; before a bind, Closed at once.
  void Unbind(Clock::time_point now);

  EState State() const;
  std::optional<EServerBindKind> BindKind() const;  // while Bound or Unbinding
  const std::string& SystemId() const;              // the client's, once bound
  size_t SubmitsInFlight() const;
  size_t DeliveriesInFlight() const;

  std::span<const uint8_t> PendingOutput() const;
  void ConsumeOutput(size_t nOctets);
  std::vector<ServerSessionEvent> TakeEvents();
  // When Tick must be called next at the latest.
  Clock::time_point NextDeadline() const;

 private:
  enum class ERequest { Deliver, EnquireLink, Unbind };
  struct Request {
    ERequest eKind;
    uint64_t nToken;  // Deliver only
    Clock::time_point deadline;
  };
  struct PendingBind {
    uint32_t nSequence;
    uint32_t nCommandId;
    EServerBindKind eKind;
    std::string sSystemId;
    uint8_t nInterfaceVersion;
  };

  uint32_t NextSequence();
  void Send(const Pdu& message);
  void Answer(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence);
  uint32_t SendRequest(uint32_t nCommandId, PduBody body, ERequest eKind, uint64_t nToken, Clock::time_point now);
  void Close(std::string sReason);
  void FinishPeerUnbind();

  void HandlePdu(std::span<const uint8_t> octets, Clock::time_point now);
  void HandleUndecodable(const DecodeError& error);
  void HandleRequest(const Pdu& message, Clock::time_point now);
  void HandleBind(const Pdu& message);
  void HandleSubmit(const Pdu& message);
  void HandleUnbind(const Pdu& message, Clock::time_point now);
  void HandleResponse(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence);

  ServerSessionOptions m_Options;
  EState m_eState = EState::Open;
  CPduFramer m_Framer;
  COutputQueue m_Output;
  std::vector<ServerSessionEvent> m_Events;

  Clock::time_point m_BindDeadline;
  std::optional<PendingBind> m_PendingBind;  // handed to the owner, not yet answered
  std::optional<EServerBindKind> m_eBindKind;
  std::string m_sSystemId;

  std::map<uint32_t, size_t> m_Submits;  // in flight: sequence -> count (a client may repeat one)
  size_t m_nSubmits = 0;
  uint32_t m_nLastSequence = 0;
  std::map<uint32_t, Request> m_Requests;  // ours, by sequence number
  size_t m_nDeliveries = 0;
  bool m_bEnquireLinkOut = false;
  Clock::time_point m_LastReceived;
  // The client's unbind, answered once the submits in flight are.
  std::optional<uint32_t> m_nPeerUnbindSequence;
  Clock::time_point m_PeerUnbindDeadline;
};

}  // namespace Norvale::Smpp
