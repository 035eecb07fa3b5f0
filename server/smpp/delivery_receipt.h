// Delivery receipts: a deliver_sm with esm_class message type 0x04 (or 0x20,
// an intermediate notification) telling how a submitted message fared.
//
// SMPP 3.4 leaves the receipt's form to the SMS centre; nearly all write the
// text of its appendix B into short_message:
//
//   id:IIIIIIIIII sub:SSS dlvrd:DDD submit date:YYMMDDhhmm done date:YYMMDDhhmm
//   stat:DDDDDDD err:E text: . . . . . . . . .
//
// id is the message_id the submit_sm_resp gave, stat the final state, err a
// network error code, text the first characters of the message. Centres
// differ in case ("Stat:", "Text:"), leave fields out, or write
// "submit_date"; the parser takes any of that, in any order. Many also send
// (or only send) the TLVs receipted_message_id, message_state and
// network_error_code; ReadReceipt prefers the TLVs, then the text.
//
// States, from stat or message_state:
//   DELIVRD  2 DELIVERED                 delivered
//   EXPIRED  3, DELETED 4, UNDELIV 5,
//   UNKNOWN  7, REJECTD 8                failed
//   ENROUTE  1, ACCEPTD 6                pending: a later receipt follows
// ACCEPTD is final in SMPP 3.4 (read by customer service on the subscriber's
// behalf), but centres use it far more for "taken by the SMSC" before the
// real outcome, so it does not end the job. The full words (DELIVERED,
// UNDELIVERABLE, ...) some centres write are read too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "smpp/pdu.h"

namespace Norvale::Smpp {

// The text fields as written; a missing field is empty.
struct DeliveryReceipt {
  std::string sId;
  std::string sSub;
  std::string sDlvrd;
  std::string sSubmitDate;
  std::string sDoneDate;
  std::string sStat;
  std::string sErr;
  std::string sText;
  bool operator==(const DeliveryReceipt&) const = default;
};

// Nothing when the text has neither an id nor a stat field.
std::optional<DeliveryReceipt> ParseDeliveryReceipt(std::string_view sText);

enum class EReceiptState { Delivered, Failed, Pending };

// Case-insensitive; nothing for a state this gateway does not know.
std::optional<EReceiptState> StateFromStat(std::string_view sStat);
// message_state TLV values 1..8; nothing for others.
std::optional<EReceiptState> StateFromMessageState(uint8_t nState);

// What a receipt says about one submitted message.
struct ReceiptInfo {
  std::string sMessageId;
  EReceiptState eState = EReceiptState::Pending;
  std::string sStat;        // as the SMSC wrote it, or the message_state name
  uint32_t nErrorCode = 0;  // network_error_code or err:, 0 when none
  bool operator==(const ReceiptInfo&) const = default;
};

// The message_state values (SMPP 3.4, 5.2.28) and the stat word a receipt
// writes for each.
enum class EMessageState : uint8_t {
  Enroute = 1,
  Delivered = 2,
  Expired = 3,
  Deleted = 4,
  Undeliverable = 5,
  Accepted = 6,
  Unknown = 7,
  Rejected = 8,
};

// "DELIVRD", "UNDELIV", "EXPIRED", "REJECTD", ...
std::string_view StatWord(EMessageState eState);

// What this gateway writes into the receipts it sends to its own clients.
struct ReceiptToWrite {
  std::string sId;  // the message_id the submit_sm_resp gave
  EMessageState eState = EMessageState::Delivered;
  int64_t nErrorCode = 0;     // err:, three digits; beyond 0..999 clamped
  int64_t nSubmitTimeMs = 0;  // unix milliseconds, written as UTC YYMMDDhhmm
  int64_t nDoneTimeMs = 0;
  std::string sText;  // the message's start, UTF-8; its first 20 characters
};

// The text of SMPP 3.4's appendix B, with every field:
//   id:<id> sub:001 dlvrd:<001|000> submit date:<YYMMDDhhmm>
//   done date:<YYMMDDhhmm> stat:<word> err:<ddd> text:<first 20 characters>
// dlvrd is 001 for Delivered only. The text is ASCII: a character outside
// printable ASCII is written as '?', so the receipt goes with data_coding 0
// and reads the same in any alphabet. ParseDeliveryReceipt reads it back
// field for field (the text less any trailing blanks).
std::string FormatDeliveryReceipt(const ReceiptToWrite& Receipt);

// Whether a deliver_sm is a receipt: esm_class type 0x04 or 0x20, or a
// receipted_message_id TLV (which only receipts carry).
bool IsReceipt(const ShortMessageBody& Body);

// The receipt in a deliver_sm. Nothing when it names no message or no state
// this gateway knows; sProblem then says why, for the log.
std::optional<ReceiptInfo> ReadReceipt(const ShortMessageBody& Body, std::string& sProblem);

}  // namespace Norvale::Smpp
