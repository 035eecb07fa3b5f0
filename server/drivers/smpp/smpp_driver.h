// CSmppDriver: a handset that is an SMPP 3.4 session with an SMS centre.
//
// One I/O thread per driver runs the event loop: poll() over the socket (or
// the two sockets of a transmitter+receiver pair) and an eventfd that
// Submit and Stop write to, with the time-out of the next deadline of the
// sessions (smpp/smpp_session.h), the reconnect back-off and the queued
// submissions. Nothing else touches the sockets or the sessions.
//
// SubmitAsync (and Submit, which is SubmitAsync and a wait) may be called
// from any number of threads at once. Each call queues its submit_sm and
// returns; the I/O thread moves queued ones into the session while its
// window (WindowSize unanswered submit_sm, what Window() gives the engine)
// has room and no throttling pause or rate limit holds them back, and runs
// the completion with the answer, holding none of the driver's locks. With
// MaxPerSecond set, SubmitAsync itself waits for its turn (one interval at
// most for a single caller), so that a full window does not sit in the queue
// behind the rate limit. A submission still queued after QueueTimeout (the
// SMSC unreachable, or the window stuck) fails temporarily without having
// been sent; one sent but unanswered within ResponseTimeout fails
// temporarily as a time-out; one caught by a closing connection or by Stop
// completes as CSubmitResult::LinkLost: the SMSC may have taken it, SMPP
// cannot tell, so the engine's retry may send it twice rather than lose it.
// What is still queued when the connection ends waits for the next bind
// (within QueueTimeout); Stop completes it as LinkLost too, and every
// completion has run when Stop returns.
//
// ESME_RTHROTTLED and ESME_RMSGQFUL fail the submission temporarily and hold
// every further submit back for ThrottlePause, doubling with each further
// throttling answer (at most 30 s); an accepted one ends the pause. The
// answers to a window that was already in flight when the pause began count
// as one (smpp/smpp_session.h). A refused bind is logged and retried after
// the back-off; a wrong password or system_id waits RejectedBindDelay
// instead of looping.
//
// Received messages and delivery receipts go to the engine with a receipt;
// their deliver_sm_resp ESME_ROK leaves only when the engine acknowledges
// it, once the row is committed (a report: once its outcome is written), so
// a message the SMSC saw accepted survives a crash of the engine. At most
// ReceiveWindow answers are held per connection; a deliver_sm beyond that is
// answered ESME_RTHROTTLED and the SMSC delivers it again later. The engine
// reassembles UDH and SAR parts alike; it holds the answer of a part until
// its whole message is stored, but at most PartAnswerDelay, since an SMSC
// may send the next part only once the previous one is answered (a part
// answered that way waits in memory and is lost if the engine dies before
// its message is complete). Held answers of a connection that ends are never
// given: the SMSC delivers those again (perhaps a second time, if stored).
// Receipts that are not final (ENROUTE, ACCEPTD) and the deliver_sm kinds
// without a message (SME delivery or user acknowledgement, conversation
// abort) are answered at once and not stored; the latter leave a warning.
// StopIntake (the engine stopping) answers every later deliver_sm
// ESME_RX_T_APPN, so nothing is accepted that the engine could not store.
// Repeated warnings of a kind (alike up to their first digit) are logged ten
// times a minute at most, and then how many were left out.
//
// Values of its Handsets\<n> key (docs/engine.md):
//   Host, Port            the SMSC (Port 2775)
//   SystemId, Password    the account; Password stored encrypted
//                         (velquor config set --handset N Password ... --encrypted)
//   SystemType            ("")
//   BindMode              transceiver | transmitter+receiver (transceiver)
//   SourceAddress         the sender ("": the SMSC's default)
//   SourceTon, SourceNpi  its TON and NPI, both or neither (guessed from it)
//   NationalNumbers       1: numbers with a trunk 0 go as national (0)
//   AllowSender           1: a message's own sender goes as source_addr
//                         (smpp/submit_builder.h); 0: every message goes
//                         with SourceAddress, a sender of its own ignored
//                         (the SMSC would refuse or rewrite it), with one
//                         warning per run (1)
//   WindowSize            unanswered submit_sm at most (10)
//   MaxPerSecond          submit_sm per second at most, 0 no limit (0)
//   EnquireLinkInterval   ms of silence before an enquire_link (30000)
//   ResponseTimeout       ms to wait for any response (10000)
//   ConnectTimeout        ms for the TCP connect and TLS handshake (10000)
//   QueueTimeout          ms a submission may wait to be sent (10000)
//   ReconnectDelay        ms before the first reconnect; doubles (1000)
//   ReconnectDelayMax     ms the back-off grows to at most (60000)
//   RejectedBindDelay     ms before binding again after a refused
//                         password or system_id (300000)
//   ThrottlePause         ms held back after a throttling answer (1000)
//   ReceiveWindow         received messages held unanswered until stored,
//                         per connection (100)
//   PartAnswerDelay       ms a part's answer waits for its message (5000)
//   LongMessages          parts | payload: concatenated parts or one
//                         submit_sm with message_payload (parts)
//   MessageIdFormat       how the message_id of submit_sm_resp and the id of
//                         a receipt name one message (auto):
//                           text         the same text
//                           hex-decimal  hexadecimal in the answer, decimal
//                                        in the receipt
//                           decimal-hex  decimal in the answer, hexadecimal
//                                        in the receipt
//                           auto         the same text, else the same number
//                                        in either base (a slower lookup)
//   Tls                   1: TLS (0)
//   TlsCaFile             PEM file of the CAs to trust ("": the system's)
// and the handset's DeliveryReports (registered_delivery, unless a message
// asks for itself). A message's
// priority goes as priority_flag, its validity (the time left until it
// expires) as a relative validity_period, its report request as
// registered_delivery.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/drivers/driver_settings.h"
#include "server/drivers/smpp/smpp_connection.h"
#include "server/drivers/sms_driver.h"
#include "smpp/reconnect_backoff.h"
#include "smpp/smpp_session.h"
#include "smpp/submit_builder.h"

namespace Norvale {

class CSmppDriver final : public CSMSDriver {
 public:
  // Raises _com_error naming the value when a setting is missing or
  // malformed.
  CSmppDriver(int nHandset, const CSettingValues& Values);
  ~CSmppDriver() override;

  // Starts the I/O thread, which connects and binds in the background (a
  // failure there is logged and retried, never raised).
  void Start(IDriverEvents* pEvents) override;
  void Stop() override;
  CSubmitResult Submit(const COutgoingSms& Message) override;
  void SubmitAsync(const COutgoingSms& Message, SubmitCompletion Done) override;
  int Window() const override;
  CDriverState GetState() override;
  // An SMSC gives a receipt for any submit_sm that asks (registered_delivery):
  // whether one asks is the handset's DeliveryReports or the message's own
  // request, which the engine decides.
  bool CanReport() const override { return true; }
  std::chrono::milliseconds SubmitLimit() const override;
  bool TakesWholeMessages() const override { return m_eLongMessages == Smpp::ELongMessages::MessagePayload; }
  void Acknowledge(std::uint64_t nReceipt) override;
  void StopIntake() override;
  std::chrono::milliseconds HeldPartLimit() const override { return m_PartAnswerDelay; }
  // Whether the transceiver (or the transmitter of a pair) is bound: while
  // not, the handset claims nothing and jobs wait in pending instead of
  // spending their retries on a queue that cannot drain.
  bool IsReadyToSend() override;

 private:
  using Clock = std::chrono::steady_clock;

  struct CPendingSubmit {
    Smpp::ShortMessageBody Body;
    bool bReceipt = false;  // a receipt was asked for: the message_id is worth keeping
    Clock::time_point QueueDeadline;
    SubmitCompletion Done;
  };

  // One connection and its session: the only one for a transceiver, the
  // transmitter or the receiver of a pair.
  struct CLink {
    CLink(Smpp::SessionSettings Settings, Smpp::CReconnectBackoff::Settings Backoff, std::uint64_t nSeed)
        : Session(std::move(Settings)), Backoff(Backoff, nSeed) {}
    Smpp::CSmppSession Session;
    CSmppConnection Connection;
    Smpp::CReconnectBackoff Backoff;
    Clock::time_point ReconnectAt{};  // when closed: the next attempt
    Clock::time_point ConnectDeadline{};
    bool bCloseAfterWrite = false;  // the session closed: write what is left, then close
    bool bBindRejected = false;
    std::uint64_t nEpoch = 0;  // one more for each session opened
    std::string sName;         // "transceiver", "transmitter", "receiver"
  };

  // A deliver_sm whose answer waits for the engine.
  struct CHeldAnswer {
    CLink* pLink;
    std::uint64_t nEpoch;
    std::uint32_t nSequence;
  };

  // Warnings alike up to their first digit: ten a minute, then a count.
  class CWarningThrottle {
   public:
    // What to log for sText now; empty: nothing.
    std::string Admit(const std::string& sText, Clock::time_point Now);

   private:
    struct CKind {
      Clock::time_point Start;
      int nLogged = 0;
      long nHeldBack = 0;
    };
    std::map<std::string, CKind> m_Kinds;
  };

  void Run();
  void Turn(CLink& Link, short nRevents, Clock::time_point Now, bool bStopping);
  void StartConnect(CLink& Link, Clock::time_point Now);
  void ConnectionFailed(CLink& Link, const std::string& sWhy, Clock::time_point Now);
  void HandleEvents(CLink& Link, Clock::time_point Now);
  void FeedSubmits(Clock::time_point Now);
  void Flush(CLink& Link, Clock::time_point Now);
  void CloseLink(CLink& Link, Clock::time_point Now, bool bStopping);
  void Complete(std::uint64_t nTag, CSubmitResult Result);
  // Runs the completions gathered so far; called with no lock held.
  void RunCompletions();
  // With MaxPerSecond: waits for the caller's turn; false when the driver
  // stops meanwhile.
  bool Pace(std::unique_lock<std::mutex>& Lock);
  void ExpireQueue(Clock::time_point Now);
  void FailAll(const std::string& sWhy);
  void OpenSession(CLink& Link, Clock::time_point Now);
  void AnswerAcknowledged();
  void Warn(const std::string& sText, Clock::time_point Now);
  // A receipt for an event the session handed out; 0 when its answer is not
  // held.
  std::uint64_t Hold(CLink& Link, std::uint32_t nSequence, bool bHeld);
  Clock::time_point NextWake(Clock::time_point Now) const;
  CLink* Transmitter();
  // The message's sender (where AllowSender), priority and validity.
  Smpp::MessageControls ControlsOf(const COutgoingSms& Message);
  // The reference to match a receipt by, from submit_sm_resp's message_id
  // and from a receipt's id (MessageIdFormat).
  CNetworkReference SubmittedReference(const std::string& sId) const;
  CNetworkReference ReceiptReference(const std::string& sId) const;
  void Log(unsigned short nType, const std::string& sText) const;
  void Wake() const;
  std::string Where() const;

  // Settings, fixed after construction.
  int m_nHandset;
  std::string m_sHost;
  std::uint16_t m_nPort = 2775;
  Smpp::SessionSettings m_Session;
  Smpp::SubmitSettings m_Submit;
  Smpp::CReconnectBackoff::Settings m_Backoff;
  Smpp::ELongMessages m_eLongMessages = Smpp::ELongMessages::ConcatenatedParts;
  bool m_bPair = false;  // transmitter+receiver
  bool m_bAllowSender = true;
  std::atomic<bool> m_bSenderIgnoredLogged{false};
  enum class EMessageIdFormat { Auto, Text, HexDecimal, DecimalHex } m_eMessageIdFormat = EMessageIdFormat::Auto;
  std::chrono::milliseconds m_ConnectTimeout{10000}, m_QueueTimeout{10000}, m_PartAnswerDelay{5000};
  std::unique_ptr<CTlsContext> m_pTls;

  int m_nWakeFd = -1;
  std::thread m_Thread;
  std::vector<std::unique_ptr<CLink>> m_Links;                          // the I/O thread's, between Start and Stop
  std::map<std::uint64_t, std::shared_ptr<CPendingSubmit>> m_InFlight;  // the I/O thread's: by tag
  std::map<std::uint64_t, CHeldAnswer> m_Held;                          // the I/O thread's: by receipt
  std::uint64_t m_nNextReceipt = 1;                                     // the I/O thread's
  CWarningThrottle m_Warnings;                                          // the I/O thread's
  // Finished submissions whose completion is still to run: the I/O thread's.
  std::vector<std::pair<SubmitCompletion, CSubmitResult>> m_Completed;

  // Held while an event goes to the engine, so StopIntake returns only once
  // nothing more can.
  std::mutex m_IntakeLock;
  bool m_bIntakeStopped = false;

  mutable std::mutex m_Lock;
  IDriverEvents* m_pEvents = nullptr;
  bool m_bStarted = false, m_bStopping = false;
  std::deque<std::pair<std::uint64_t, std::shared_ptr<CPendingSubmit>>> m_Queue;
  std::vector<std::uint64_t> m_Acknowledged;  // receipts the engine has stored
  std::uint64_t m_nNextTag = 1;
  Clock::time_point m_NextPaceSlot{};  // MaxPerSecond: when the next SubmitAsync may go on
  int m_nSubmitting = 0;               // SubmitAsync calls in progress
  // Wakes a SubmitAsync waiting for its turn when the driver stops, and Stop
  // when no SubmitAsync is left in progress.
  std::condition_variable m_Submitting;
  CDriverState m_State;        // as the I/O thread last saw it
  bool m_bCanSend = false;     // the transmitter bound, as the I/O thread last saw it
  std::string m_sLastProblem;  // why the last connection or bind failed; cleared when bound
};

}  // namespace Norvale
