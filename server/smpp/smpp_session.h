// One SMPP 3.4 session with an SMS centre, as a state machine without I/O.
//
// The driver owns the socket and the clock. It tells the session what
// happened (Open when connected, Receive with the octets read, Tick when
// time passed, ConnectionLost, Stop) and takes back what to do: octets to
// write (PendingOutput / ConsumeOutput) and events (TakeEvents). Nothing
// here blocks, sleeps, reads a clock or touches a socket, so the driver can
// run it on any event loop and tests drive it with scripted octets and
// invented times.
//
//   Closed --Open--> Binding --bind_resp OK--> Bound --Stop--> Unbinding
//      ^                |  refused / no answer    | unbind from the SMSC,   | unbind_resp or
//      |                v                         | enquire_link unanswered,| time-out
//      +------------ CloseEvent <-----------------+ broken stream ----------+
//
// What it does by itself:
// - binds as transceiver, transmitter or receiver (the transmitter+receiver
//   pair is two sessions on two connections);
// - numbers requests (1..0x7FFFFFFF, then 1 again) and pairs responses;
// - keeps at most WindowSize submit_sm unanswered: Submit() is refused while
//   the window is full;
// - answers the SMSC's enquire_link, and sends its own when nothing came for
//   EnquireLinkInterval; one unanswered within ResponseTimeout closes the
//   session (LinkDead), so the driver reconnects;
// - answers every deliver_sm: an error status for one that breaks a field's
//   rule, ESME_RINVBNDSTS when not bound to receive. A message or receipt
//   is handed out as an event; with MaxHeldDeliveries 0 its deliver_sm_resp
//   ESME_ROK goes at once, otherwise the answer is held until the driver
//   calls AnswerDelivery (once the engine has stored it). Beyond
//   MaxHeldDeliveries held answers a further deliver_sm is answered
//   ESME_RTHROTTLED, and after RefuseDeliveries() or Stop() ESME_RX_T_APPN,
//   so the SMSC delivers it again later. Held answers of a connection that
//   ends are dropped: the SMSC delivers those again too;
// - answers and ignores (with a warning) the deliver_sm kinds that carry no
//   message: SME delivery acknowledgement, user acknowledgement and
//   conversation abort (esm_class 0x08, 0x10, 0x18);
// - answers what it cannot decode as SMPP says (pdu_error.h): generic_nack
//   for a bad command_length or an unknown command_id, the command's own
//   response with an error otherwise; a command_length out of bounds breaks
//   the stream: generic_nack, then CloseEvent;
// - fails a submit_sm that got no response within ResponseTimeout, and all
//   unanswered ones when the session closes (time-out class, to be tried
//   again: the SMSC may have taken them, SMPP cannot tell, so a retry may
//   send a message twice rather than lose it);
// - after ESME_RTHROTTLED or ESME_RMSGQFUL holds submits back for
//   ThrottlePause, doubling for each further one up to ThrottlePauseMax; an
//   accepted submit ends that. Only answers to submits sent after the
//   pause began count: those of a window already in flight when the first
//   throttling answer came neither lengthen nor end it;
// - spaces submits to MaxSubmitsPerSecond when set.
//
// Order matters at the driver: hand the events of a call to the engine
// before writing the output of that call, so a deliver_sm_resp never leaves
// before its message is taken (when answers are not held). After an accepted or failed submit (or at
// NextDeadline() after a pause) CanSubmit() tells whether the next may go.
// Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "smpp/output_queue.h"
#include "smpp/pdu.h"
#include "smpp/pdu_error.h"
#include "smpp/pdu_framer.h"
#include "smpp/session_event.h"

namespace Norvale::Smpp {

struct SessionSettings {
  EBindMode eBindMode = EBindMode::Transceiver;
  std::string sSystemId;
  std::string sPassword;
  std::string sSystemType;
  uint8_t nAddrTon = 0;
  uint8_t nAddrNpi = 0;
  std::string sAddressRange;

  size_t nWindowSize = 10;
  std::chrono::milliseconds EnquireLinkInterval{30000};
  std::chrono::milliseconds ResponseTimeout{10000};
  std::chrono::milliseconds ThrottlePause{1000};
  std::chrono::milliseconds ThrottlePauseMax{30000};
  double dMaxSubmitsPerSecond = 0;  // 0: no limit but the window
  size_t nMaxHeldDeliveries = 0;    // 0: deliver_sm answered at once
  size_t nMaxPduLength = CPduFramer::kDefaultMaxPduLength;
  bool bDefaultIsLatin1 = false;  // received data_coding 0 is Latin-1 (ReadIncomingMessage)
};

enum class ESessionState { Closed, Binding, Bound, Unbinding };
const char* SessionStateName(ESessionState eState);

enum class ESubmitAdmission {
  Sent,        // queued in PendingOutput; an accepted or failed event follows
  NotBound,    // not bound, or bound as receiver
  WindowFull,  // WindowSize submits unanswered
  Throttled,   // held back after a throttling answer or by the rate limit: see NextSubmitTime()
  Invalid,     // the submit_sm cannot be encoded (a field over its limit)
};

class CSmppSession {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CSmppSession(SessionSettings Settings);

  // The transport is connected: sends the bind. Only from Closed.
  void Open(Clock::time_point Now);
  // Octets read from the transport. Ignored while Closed.
  void Receive(std::span<const uint8_t> Octets, Clock::time_point Now);
  // Time passed; call at NextDeadline() at the latest.
  void Tick(Clock::time_point Now);
  // Unbind when bound (CloseEvent follows on unbind_resp or time-out),
  // close at once otherwise.
  void Stop(Clock::time_point Now);
  // The transport is gone: unanswered submits fail, CloseEvent
  // (ConnectionLost) unless already closed.
  void ConnectionLost(std::string_view sWhy);

  // Sends one submit_sm; nTag comes back in its accepted or failed event.
  // sError, when given, says why for Invalid.
  ESubmitAdmission Submit(const ShortMessageBody& Message, uint64_t nTag, Clock::time_point Now,
                          std::string* pError = nullptr);
  bool CanSubmit(Clock::time_point Now) const;
  // When a throttling pause or the rate limit lets the next submit go.
  Clock::time_point NextSubmitTime() const;

  // The next moment Tick() has something to do; max() when nothing waits.
  Clock::time_point NextDeadline() const;

  // Answers a held deliver_sm; false when it is not held (answered, or of a
  // connection that has ended since).
  bool AnswerDelivery(uint32_t nSequence, uint32_t nStatus);
  // From now on until the next Open, a deliver_sm is answered ESME_RX_T_APPN
  // and not handed out; held answers may still be given.
  void RefuseDeliveries() { m_bRefuseDeliveries = true; }
  size_t HeldDeliveries() const { return m_HeldDeliveries.size(); }

  std::span<const uint8_t> PendingOutput() const;
  void ConsumeOutput(size_t nOctets);
  std::vector<SessionEvent> TakeEvents();

  ESessionState State() const { return m_eState; }
  size_t UnansweredSubmits() const { return m_nUnansweredSubmits; }
  const SessionSettings& Settings() const { return m_Settings; }

 private:
  enum class ERequest { Bind, Submit, EnquireLink, Unbind };
  struct Request {
    ERequest eKind;
    uint64_t nTag;
    Clock::time_point Deadline;
    Clock::time_point Sent;
  };

  uint32_t NextSequence();
  void Send(const Pdu& Message);
  uint32_t SendRequest(uint32_t nCommandId, PduBody Body, ERequest eKind, uint64_t nTag, Clock::time_point Now);
  void Answer(uint32_t nCommandId, uint32_t nStatus, uint32_t nSequence);
  void Warn(std::string sText);
  void Close(ECloseReason eReason, std::string sDetail);
  void FailSubmit(uint64_t nTag, uint32_t nStatus, ESubmitFailReason eReason, std::string sDetail,
                  Clock::time_point Now, Clock::time_point Sent);

  void HandlePdu(std::span<const uint8_t> Octets, Clock::time_point Now);
  void HandleUndecodable(const DecodeError& Error, Clock::time_point Now);
  void HandleRequest(const Pdu& Message);
  void HandleResponse(const Pdu& Message, bool bBodyValid, Clock::time_point Now);
  void HandleDeliverSm(const Pdu& Message);
  void HandleBindResponse(const Pdu& Message);

  SessionSettings m_Settings;
  ESessionState m_eState = ESessionState::Closed;
  CPduFramer m_Framer;
  COutputQueue m_Output;
  std::vector<SessionEvent> m_Events;

  uint32_t m_nLastSequence = 0;
  std::map<uint32_t, Request> m_Requests;  // by sequence number
  size_t m_nUnansweredSubmits = 0;
  std::set<uint32_t> m_HeldDeliveries;  // deliver_sm whose answer waits
  bool m_bRefuseDeliveries = false;
  bool m_bEnquireLinkOut = false;
  Clock::time_point m_LastReceived;

  Clock::time_point m_ThrottledUntil;
  Clock::time_point m_ThrottleBegan = Clock::time_point::min();  // the last throttling answer that set a pause
  Clock::duration m_CurrentThrottlePause{};
  Clock::time_point m_NextRateSlot;
  Clock::time_point m_WakeForSubmit = Clock::time_point::max();  // a held-back submit may go then
};

}  // namespace Norvale::Smpp
