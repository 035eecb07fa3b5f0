// What a CSmppSession tells its driver, in the order it happened.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "smpp/command_status.h"
#include "smpp/delivery_receipt.h"
#include "smpp/incoming_message.h"

namespace Norvale::Smpp {

enum class EBindMode { Transceiver, Transmitter, Receiver };
const char* BindModeName(EBindMode eMode);

// The bind was accepted: submits may go (transmitter, transceiver) and
// deliver_sm will come (receiver, transceiver).
struct BoundEvent {
  EBindMode eMode = EBindMode::Transceiver;
  std::string sSmscSystemId;
};

// The bind was refused or not answered. A CloseEvent follows.
struct BindFailedEvent {
  uint32_t nCommandStatus{0};  // 0 when no answer came
  EBindFailure eClass = EBindFailure::Temporary;
  std::string sDetail;
};

struct SubmitAcceptedEvent {
  uint64_t nTag = 0;
  std::string sMessageId;  // the job's network reference; empty if the SMSC sent none usable (a warning says so)
};

enum class ESubmitFailReason {
  Refused,           // submit_sm_resp with an error status
  GenericNack,       // the SMSC did not understand the submit_sm
  ResponseTimeout,   // no answer within the response time-out
  ConnectionClosed,  // the connection ended before the answer
};
const char* SubmitFailReasonName(ESubmitFailReason eReason);

struct SubmitFailedEvent {
  uint64_t nTag = 0;
  uint32_t nCommandStatus{0};  // the SMSC's status; 0 for a time-out or a lost connection
  StatusClass Class;           // final job status, whether to try again, whether to slow down
  ESubmitFailReason eReason = ESubmitFailReason::Refused;
  std::string sDetail;
};

// A mobile-originated message (or a part of one). With bHeld its
// deliver_sm waits for CSmppSession::AnswerDelivery(nSequence, ...);
// otherwise it has been answered with ESME_ROK already.
struct MessageReceivedEvent {
  IncomingMessage Message;
  uint32_t nSequence = 0;
  bool bHeld = false;
};

// A delivery receipt; answered as a received message is.
struct ReceiptReceivedEvent {
  ReceiptInfo Receipt;
  std::string sRecipient;  // the receipt's source_addr: the number the message went to
  uint32_t nSequence = 0;
  bool bHeld = false;
};

// Something worth a line in the log: a PDU that could not be used, an
// answer nobody asked for. The session carries on.
struct WarningEvent {
  std::string sText;
};

enum class ECloseReason {
  Stopped,         // Stop(): unbind answered or timed out, or no bind yet
  BindFailed,      // see the BindFailedEvent before
  PeerUnbound,     // the SMSC sent unbind (answered)
  LinkDead,        // enquire_link unanswered within the response time-out
  StreamBroken,    // a command_length out of bounds: the stream cannot be split any more
  ConnectionLost,  // the driver reported the transport gone
};
const char* CloseReasonName(ECloseReason eReason);

// The session is over: write what PendingOutput() still holds if the socket
// takes it, close the socket, and (unless Stopped) reconnect after the
// back-off.
struct CloseEvent {
  ECloseReason eReason = ECloseReason::Stopped;
  std::string sDetail;
};

using SessionEvent = std::variant<BoundEvent, BindFailedEvent, SubmitAcceptedEvent, SubmitFailedEvent,
                                  MessageReceivedEvent, ReceiptReceivedEvent, WarningEvent, CloseEvent>;

}  // namespace Norvale::Smpp
