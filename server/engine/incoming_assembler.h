// CIncomingAssembler: from what a driver receives to the rows of
// SMSIncoming. Parts of a concatenated message are joined (Sms::CReassembler);
// a message whose parts do not all arrive within the time-out is given back
// part by part as it is, so what did arrive is never lost.
//
// A whole message is typed by its data coding scheme and header:
//   GSM 7-bit, no header beyond concatenation   text (1), UTF-8;
//   UCS-2, no header beyond concatenation       Unicode (2), upper-case hex
//                                                of its UTF-16 code units;
//   anything else (8-bit data, compressed,      data (3), "DCS=..;UDH=..;
//   other header elements such as ports)        UD=.." (CJobQueue's packing).
// A part given back alone is stored as data with its own header (its
// concatenation element included) and its user data (septets, one an octet,
// for GSM 7-bit), so a reader can tell it is a fragment.
//
// The receipts of the parts (CIncomingSms::nReceipt) travel with the row
// stored last of their message, so a driver deletes a part from its device
// (or answers it) only once everything made of it is stored; a part that
// came twice is acknowledged with the message it repeats. A reference that
// comes round again before its message was complete starts a new message
// (the older one is stored at once as fragments): each message keeps its
// own parts' receipts. TakeReceiptsHeldSince lets a driver that cannot wait
// long have the receipts of parts held since a moment before their message
// is complete.
//
// The recipient (CIncomingSms::sRecipient) goes with the message; parts for
// different recipients are never joined.
//
// One owner, one thread (the handset's worker).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codec/reassembler.h"
#include "queues/message_endpoint.h"
#include "server/drivers/sms_driver.h"

namespace Norvale {

struct CReceivedMessage {
  std::string sSender;
  JOBTYPE eType = jtTextMessage;
  std::string sData;
  std::string sTimeStamp;               // set by the caller: when the message was received
  std::vector<std::uint64_t> Receipts;  // to acknowledge once this row is stored
  std::string sRecipient{};             // the number it was sent to ("" unknown)
};

class CIncomingAssembler {
 public:
  using Clock = std::chrono::steady_clock;
  explicit CIncomingAssembler(Clock::duration Timeout);

  std::vector<CReceivedMessage> Add(CIncomingSms Message, Clock::time_point Now);
  std::vector<CReceivedMessage> Expire(Clock::time_point Now);
  // Gives back everything still waiting, part by part (when stopping).
  std::vector<CReceivedMessage> Flush();
  Clock::time_point NextExpiry() const { return m_Reassembler.NextExpiry(); }
  size_t Pending() const { return m_Reassembler.Pending(); }
  // The receipts of parts held since `Before` or earlier, taken out (they
  // will not travel with their message); and when the oldest receipt held
  // came (max() when none).
  std::vector<std::uint64_t> TakeReceiptsHeldSince(Clock::time_point Before);
  Clock::time_point OldestReceipt() const;

  // The row of one whole message made of these parts.
  static CReceivedMessage Whole(const std::string& sSender, const std::vector<Sms::UserDataPart>& Parts);
  // The row of one part stored as it is.
  static CReceivedMessage Fragment(const std::string& sSender, const Sms::UserDataPart& Part);

 private:
  void Hand(std::vector<Sms::ReassembledMessage> Messages, std::vector<CReceivedMessage>& Out);

  static constexpr size_t kMaxPending = 256;
  Sms::CReassembler m_Reassembler;  // a part's tag is its receipt (0: none)
  // The receipts of the parts held, with when each came; and those taken out
  // early by TakeReceiptsHeldSince, which their message no longer carries.
  std::map<std::uint64_t, Clock::time_point> m_Held;
  std::set<std::uint64_t> m_TakenEarly;
};

}  // namespace Norvale
