// The driver interface: what the engine needs from a way to reach a mobile
// network, whatever it is (the simulator, an SMS centre over SMPP, a GSM
// modem).
//
// The engine calls Start once, then SubmitAsync from one thread (the
// handset's worker), keeping at most Window() parts in flight (handed over
// and not yet completed), and Stop once. A driver whose Submit may be called
// from several threads at once says so in its own header. A driver hands what the
// network sends (received messages and delivery reports) to the
// IDriverEvents given to Start, on any thread of its own; the engine queues
// them and returns at once. GetState may be called on any thread.
//
// A driver whose network would not give a message again once it has been
// taken (an SMSC that got its deliver_sm_resp, a modem whose copy was
// deleted) gives each received message and delivery report a receipt and
// lets it go only when the engine calls Acknowledge: after the row is
// committed, or the report's outcome written (or the report found to match
// no job). A driver bounds how many it holds unacknowledged and leaves the
// rest to the network meanwhile. When the engine stops, it calls StopIntake
// first, stores and acknowledges what it holds, and only then calls Stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/phone_number.h"
#include "codec/sms_split.h"
#include "platform/types.h"

namespace Norvale {

// One message as it goes to the network: one part of a job.
struct COutgoingSms {
  OS::LONG nJobId = 0;
  int nPart = 1;   // 1-based
  int nParts = 1;  // parts of the job
  // The destination, parsed once by the job converter.
  Sms::PhoneNumber Number;
  Sms::UserDataPart Part;
  bool bRequestReport = false;
  // The job's sender ("" the connection's own), priority (0 normal, 1 high)
  // and how long the network may keep trying (none: its default), counted
  // from this submission.
  // (Initialised here, like WholeMessage, so that a brace-initialised
  // message may leave them out.)
  std::string sSender{};
  int nPriority = 0;
  std::optional<std::chrono::seconds> Validity{};
  // Every part of a job of several, in order, when the driver takes whole
  // messages (CSMSDriver::TakesWholeMessages): Submit is then called once
  // for the job, with Part the first part and nPart = nParts = 1.
  std::vector<Sms::UserDataPart> WholeMessage{};
};

// The reference the network gave a message, for matching its delivery
// report: a number (what FindJobAwaitingConfirmation matches) or a text,
// which the engine maps to a number through the table SMSMessageRefs.
struct CNetworkReference {
  bool bValid = false;
  bool bText = false;
  OS::LONG nNumber = 0;
  std::string sText;
  // A text of a report that, when no reference matches it as it is, may
  // match one naming the same number in decimal or hexadecimal (an SMSC
  // that gives the message_id in one base and the receipt's id in the
  // other; CDeliveryReportMatcher).
  bool bNumericFallback = false;

  static CNetworkReference Number(OS::LONG n) { return {true, false, n, {}, false}; }
  static CNetworkReference Text(std::string s, bool bNumericFallback = false) {
    return {true, true, 0, std::move(s), bNumericFallback};
  }
  std::string Describe() const { return !bValid ? "none" : bText ? sText : std::to_string(nNumber); }
};

// How a submission ended. The failure classes become the job's final status
// (3 to 8); a temporary failure is tried again later, up to the engine's
// retry limit, and only then becomes final.
enum class ESubmitOutcome {
  Accepted,
  InvalidNumber,   // 3 jsErrNumberInvalid
  NetworkFailure,  // 4 jsErrNetworkFailure
  DeviceError,     // 5 jsErrPhoneCommsError
  SystemFailure,   // 6 jsErrSystemFailure
  Timeout,         // 7 jsErrTimeout
  InvalidMessage,  // 8 jsInvalidJobType
};

struct CSubmitResult {
  ESubmitOutcome eOutcome = ESubmitOutcome::Accepted;
  bool bTemporary = false;
  CNetworkReference Reference;  // when accepted and the network gave one
  OS::LONG nErrorCode = 0;      // the driver's own cause, 0 when none
  std::string sErrorText;
  // The connection ended (or the driver stopped) before the network
  // answered: the part may or may not have reached it. Always temporary; the
  // engine tries it again without counting an attempt against the job.
  bool bLinkLost = false;

  static CSubmitResult Accepted(CNetworkReference ref) {
    return {ESubmitOutcome::Accepted, false, std::move(ref), 0, {}, false};
  }
  static CSubmitResult Failed(ESubmitOutcome e, bool bTemporary, OS::LONG nCode, std::string sText) {
    return {e, bTemporary, {}, nCode, std::move(sText), false};
  }
  static CSubmitResult LinkLost(std::string sText) {
    return {ESubmitOutcome::NetworkFailure, true, {}, 0, std::move(sText), true};
  }
};

// One message or one part of a concatenated message as received. The
// concatenation element, when there is one, is still in Part.Udh; the engine
// reassembles. A driver that keeps a message until the engine has stored it
// (a modem's storage) gives it a receipt; the engine calls Acknowledge with
// it once the row holding the message (the whole, or the part as it is) is
// in SMSIncoming.
struct CIncomingSms {
  std::string sSender;
  Sms::UserDataPart Part;
  std::uint64_t nReceipt = 0;  // 0: nothing to acknowledge
  // The number it was sent to, when the network says ("" unknown); stored
  // as the row's DestName.
  std::string sRecipient{};
};

struct CDeliveryReport {
  CNetworkReference Reference;
  bool bDelivered = true;
  OS::LONG nErrorCode = 0;
  std::uint64_t nReceipt = 0;  // 0: nothing to acknowledge
};

struct CDriverState {
  bool bConnected = false;
  bool bRegistered = false;
  int nSignal = -1;  // percent; -1 unknown
  std::string sDetail;
};

class IDriverEvents {
 public:
  virtual ~IDriverEvents() = default;
  virtual void OnMessageReceived(CIncomingSms Message) = 0;
  virtual void OnDeliveryReport(CDeliveryReport Report) = 0;
};

// The outcome of one SubmitAsync, called exactly once per call: on the
// driver's own thread or, for a driver that completes at once, within
// SubmitAsync itself. It must return quickly (the engine queues the result
// and wakes its worker) and never calls back into the driver.
using SubmitCompletion = std::function<void(CSubmitResult)>;

class CSMSDriver {
 public:
  virtual ~CSMSDriver() = default;
  // Connects; a failure is raised as _com_error with a clear description.
  virtual void Start(IDriverEvents* pEvents) = 0;
  // Disconnects and interrupts a Submit in progress (which then returns a
  // temporary failure). No event is delivered after Stop returns.
  virtual void Stop() = 0;
  // Blocks until the network has answered or the driver's own time-out;
  // never throws.
  virtual CSubmitResult Submit(const COutgoingSms& Message) = 0;
  // Hands the part to the network and returns; its outcome arrives through
  // `done`. The engine keeps at most Window() parts in flight. It may block
  // for the driver's own pacing (a throughput cap), within SubmitLimit.
  // Stop completes every part still in flight (CSubmitResult::LinkLost when
  // its answer did not come) before it returns; none completes after it. The
  // default submits at once and completes within the call.
  virtual void SubmitAsync(const COutgoingSms& Message, SubmitCompletion Done) { Done(Submit(Message)); }
  // Parts that may be in flight at once (SubmitAsync not yet completed).
  virtual int Window() const { return 1; }
  virtual CDriverState GetState() = 0;
  // Whether accepted messages come back with a reference whose delivery
  // report will follow.
  virtual bool CanReport() const = 0;
  // Whether a job of several parts goes to the driver in one Submit (see
  // COutgoingSms::WholeMessage), for a network that cuts long messages
  // itself.
  virtual bool TakesWholeMessages() const { return false; }
  // Whether a job could be sent now; while not (a modem not registered on
  // the network), the handset claims nothing and jobs wait in pending.
  virtual bool IsReadyToSend() { return true; }
  // The longest one Submit may block: its own time-outs (and a throttle's
  // wait) with a margin. While a Submit is within it the engine counts as
  // alive for the service manager's watchdog.
  virtual std::chrono::milliseconds SubmitLimit() const = 0;
  // The message or report with this receipt is stored; called on the
  // handset's worker.
  virtual void Acknowledge(std::uint64_t nReceipt) { (void)nReceipt; }
  // Takes nothing more from the network (what arrives is refused so that
  // the network keeps it); no event is delivered after it returns, while
  // Acknowledge still answers what was delivered before. Called before Stop.
  virtual void StopIntake() {}
  // How long the acknowledgement of a part held for reassembly may wait for
  // the rest of its message; after that the part is acknowledged while it
  // still waits in memory (and would be lost if the engine died before its
  // message is complete). max(): until its message is stored.
  virtual std::chrono::milliseconds HeldPartLimit() const { return std::chrono::milliseconds::max(); }
};

}  // namespace Norvale
