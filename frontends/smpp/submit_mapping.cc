#include "submit_mapping.h"

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "codec/data_coding.h"
#include "codec/gsm_alphabet.h"
#include "codec/hex.h"
#include "codec/phone_number.h"
#include "codec/sms_split.h"
#include "codec/udh.h"
#include "codec/unicode.h"
#include "queues/job_queue.h"
#include "smpp/command_status.h"
#include "smpp/smpp_time.h"

// What the mapping does with each field of submit_sm:
//
//   destination_addr  digits with an optional leading '+', 1 to 20 of them
//                     (15 after a '+', as the engine sends), else
//                     ESME_RINVDSTADR; dest_addr_ton 1 (international) adds
//                     the '+' where the client left it out.
//   source_addr       kept for the receipt (its destination). Printable
//                     ASCII or empty, else ESME_RINVSRCADR. For an account
//                     with SmppSender it is also the message's sender:
//                     digits (1 to 20, or after a '+' up to 15; TON 1 adds
//                     the '+') or a name of at most 11 characters of the GSM
//                     alphabet, else ESME_RINVSRCADR. Without SmppSender the
//                     handset gives the sender, as before.
//   esm_class         message mode default (0) or store and forward (3) and
//                     the default message type only, else ESME_RINVESMCLASS;
//                     0x40 (UDHI): the message starts with its UDH (UDHL and
//                     the elements); 0x80 (reply path) is ignored.
//   priority_flag     0 to 3, else ESME_RINVPRTFLG; 1 to 3 make the job
//                     high priority (1), 0 leaves it normal.
//   registered_delivery  bits 0-1 kept for the receipt (3 is
//                     ESME_RINVREGDLVFLG); 1 or 2 also ask the network for
//                     a delivery report, whatever the handset's
//                     DeliveryReports (0 leaves that to the handset); the
//                     other bits (SME acknowledgements, intermediate
//                     notifications) ignored.
//   schedule_delivery_time  the job's NotBefore, absolute or relative
//                     (smpp/smpp_time.h); a malformed time, or one more than
//                     a minute past, is ESME_RINVSCHED; one that is due
//                     already (a clock a little ahead of ours) sends now.
//   validity_period   the job's ValidUntil, absolute or relative: pending
//                     after it, the job fails and is never sent. Malformed,
//                     not after now or not after the scheduled time:
//                     ESME_RINVEXPIRY.
//   service_type, protocol_id, replace_if_present_flag, sm_default_msg_id
//                     ignored.
//   data_coding       0 the GSM 7-bit default alphabet, one septet an octet;
//                     1 ASCII (IA5); 3 Latin-1: text, queued as a text job
//                     in UTF-8. 8 UCS-2 (UTF-16BE): a Unicode job. 2 and 4
//                     (8-bit binary): a data job with DCS 04. 0x10 to 0xFF
//                     are taken as the GSM DCS itself (0xF1 class 1, 0x18
//                     UCS-2 flash...): a data job with that DCS, except the
//                     groups GSM reserves. 5-7 and 9-15 (JIS, Cyrillic,
//                     Hebrew, pictograms, ISO-2022-JP, Kanji, KS C 5601 and
//                     reserved values) have no GSM coding: kEsmeRInvDcs, as
//                     is content that is not of its coding (an octet above
//                     0x7F in septets or ASCII, a NUL in ASCII or Latin-1, a
//                     lone UTF-16 surrogate).
//   a UDH (UDHI or the SAR TLVs) makes any coding a data job: text of
//                     coding 1 or 3 goes as GSM 7-bit septets where every
//                     character fits, else as UCS-2.
//   sar_msg_ref_num, sar_total_segments, sar_segment_seqnum  all three or
//                     none (ESME_RMISSINGOPTPARAM); a segment number of 0 or
//                     above the total, a total of 0, or a UDH that already
//                     holds a concatenation element is ESME_RINVOPTPARAMVAL.
//                     They become a concatenation element at the UDH's end:
//                     8-bit reference when below 256, else 16-bit.
//   message_payload   stands for short_message, which must then be empty
//                     (ESME_RINVMSGLEN). An empty message is refused
//                     (ESME_RINVMSGLEN), as is a UDH longer than the message
//                     or with a cut element, and content the engine could
//                     not send: a part of a concatenated message that does
//                     not fit one message, or more than 255 messages' worth.
//
// Handsets: submit_sm names none. An account allowed any handset sends
// through any (hsAll); an account limited to handsets sends through the
// first one of its list, as Kannel's sendsms on velquor-http does without
// its smsc parameter: never through a handset it may not use, and always
// through the same one, so that the parts of a concatenated message leave
// by one route.
namespace VelquorSmpp {
namespace {

using namespace Norvale::Smpp;
namespace Sms = Norvale::Sms;

constexpr std::size_t kTextStartCharacters = 20;
constexpr std::size_t kMaxDigits = 20;
constexpr uint8_t kModeMask = 0x03;
constexpr uint8_t kModeStoreAndForward = 0x03;
constexpr uint8_t kDestTonInternational = 1;
constexpr std::int64_t kScheduleSkewMs = 60 * 1000;
constexpr std::size_t kMaxSenderName = 11;
constexpr std::size_t kMaxSenderDigits = 20;
constexpr std::size_t kMaxInternationalDigits = 15;  // E.164

// source_addr as the message's sender, or nothing when it cannot be one.
std::optional<std::string> Sender(const std::string& sAddr, uint8_t nTon) {
  const bool bPlus = !sAddr.empty() && sAddr[0] == '+';
  const std::string digits = bPlus ? sAddr.substr(1) : sAddr;
  if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) {
    if (bPlus || nTon == kDestTonInternational) {
      if (digits.size() > kMaxInternationalDigits) return std::nullopt;
      return "+" + digits;
    }
    if (digits.size() > kMaxSenderDigits) return std::nullopt;
    return digits;
  }
  if (bPlus || sAddr.size() > kMaxSenderName || !Sms::TryUtf32ToGsm7(Sms::Utf8ToUtf32(sAddr))) return std::nullopt;
  return sAddr;
}

// schedule_delivery_time and validity_period as the job's NotBefore and
// ValidUntil; a status when refused.
std::optional<uint32_t> MapTimes(const ShortMessageBody& body, std::int64_t nNowMs, Norvale::CSendOptions& options) {
  std::optional<SmppTime> schedule, validity;
  try {
    schedule = ParseSmppTime(body.sScheduleDeliveryTime);
  } catch (const std::invalid_argument&) {
    return ESME_RINVSCHED;
  }
  try {
    validity = ParseSmppTime(body.sValidityPeriod);
  } catch (const std::invalid_argument&) {
    return ESME_RINVEXPIRY;
  }
  std::int64_t start = nNowMs;
  if (schedule) {
    const std::int64_t at = ResolveSmppTime(*schedule, nNowMs);
    if (at < nNowMs - kScheduleSkewMs) return ESME_RINVSCHED;
    if (at > nNowMs) options.nNotBefore = start = at;
  }
  if (validity) {
    // A relative validity counts from the time the message was given.
    const std::int64_t until = ResolveSmppTime(*validity, nNowMs);
    if (until <= start) return ESME_RINVEXPIRY;
    options.nValidUntil = until;
  }
  return std::nullopt;
}

// The destination as the job's number, or nothing when it is none.
std::optional<std::string> Destination(const std::string& sAddr, uint8_t nTon) {
  const bool bPlus = !sAddr.empty() && sAddr[0] == '+';
  const std::string digits = bPlus ? sAddr.substr(1) : sAddr;
  if (digits.empty() || digits.size() > kMaxDigits || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  std::string number = bPlus || nTon == kDestTonInternational ? "+" + digits : digits;
  // The engine's own rule (E.164's 15 digits after '+').
  if (!Sms::PhoneNumber::Parse(number)) return std::nullopt;
  return number;
}

// The first characters of UTF-8 text, control characters (line breaks, a
// NUL of UCS-2) as blanks: the receipt's text is one line.
std::string Utf8Start(const std::string& text, std::size_t nCharacters) {
  std::string start;
  std::size_t characters = 0;
  for (const char c : text) {
    const auto octet = static_cast<unsigned char>(c);
    if ((octet & 0xC0) != 0x80 && characters++ == nCharacters) break;
    start += octet < 0x20 || octet == 0x7F ? ' ' : c;
  }
  return start;
}

// A source address is printable ASCII (digits, '+', a sender's name), or
// empty.
bool PrintableAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string Latin1ToUtf8(std::span<const uint8_t> octets) {
  std::string text;
  text.reserve(octets.size());
  for (const uint8_t c : octets) {
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

bool AllBelow(std::span<const uint8_t> octets, uint8_t nLimit) {
  return std::all_of(octets.begin(), octets.end(), [&](uint8_t c) { return c < nLimit; });
}

bool Contains(std::span<const uint8_t> octets, uint8_t nOctet) {
  return std::find(octets.begin(), octets.end(), nOctet) != octets.end();
}

// UTF-16BE octets that are whole code units without lone surrogates.
bool WellFormedUtf16(std::span<const uint8_t> octets) {
  try {
    Sms::CheckUtf16(Sms::Utf16FromBe(octets), "UCS-2 user data");
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

// The user data: the message after its UDH, and the UDH without UDHL.
struct UserData {
  std::vector<uint8_t> udh;
  std::span<const uint8_t> ud;
  bool bHeader = false;  // UDHI or SAR: a data job
};

// The UDH of esm_class's UDHI and the SAR TLVs; a status when refused.
std::variant<UserData, uint32_t> SplitHeader(const ShortMessageBody& body, std::span<const uint8_t> message) {
  UserData data;
  data.ud = message;
  if ((body.nEsmClass & kEsmUdhi) != 0) {
    const std::size_t udhl = message[0];
    if (1 + udhl > message.size()) return ESME_RINVMSGLEN;
    data.udh.assign(message.begin() + 1, message.begin() + 1 + static_cast<std::ptrdiff_t>(udhl));
    data.ud = message.subspan(1 + udhl);
    data.bHeader = true;
  }
  std::vector<Sms::InformationElement> elements;
  try {
    elements = Sms::ParseUdh(data.udh);
  } catch (const std::invalid_argument&) {
    return ESME_RINVMSGLEN;  // an element reaches past the UDH
  }
  const int sar = int(body.nSarMsgRefNum.has_value()) + int(body.nSarTotalSegments.has_value()) +
                  int(body.nSarSegmentSeqnum.has_value());
  if (sar == 0) return data;
  if (sar != 3) return ESME_RMISSINGOPTPARAM;
  const uint16_t ref = *body.nSarMsgRefNum;
  const uint8_t total = *body.nSarTotalSegments;
  const uint8_t seq = *body.nSarSegmentSeqnum;
  if (total == 0 || seq == 0 || seq > total) return ESME_RINVOPTPARAMVAL;
  // A concatenation element that the client wrote itself: the two disagree
  // or say it twice; neither is sent.
  if (std::any_of(elements.begin(), elements.end(), [](const Sms::InformationElement& e) {
        return e.nIei == Sms::kIeConcat8 || e.nIei == Sms::kIeConcat16;
      }))
    return ESME_RINVOPTPARAMVAL;
  const Sms::InformationElement concat = Sms::MakeConcatenationIe({ref, total, seq, ref > 0xFF});
  data.udh.push_back(concat.nIei);
  data.udh.push_back(static_cast<uint8_t>(concat.Data.size()));
  data.udh.insert(data.udh.end(), concat.Data.begin(), concat.Data.end());
  data.bHeader = true;
  return data;
}

// A data job, checked as the engine's job converter will split it.
std::optional<uint32_t> SetDataJob(Norvale::COutgoingJobRow& row, uint8_t nDcs, const std::vector<uint8_t>& udh,
                                   std::span<const uint8_t> ud) {
  try {
    Sms::SplitData(nDcs, udh, ud, 0);
  } catch (const std::invalid_argument&) {
    return ESME_RINVMSGLEN;
  }
  row.eJobType = Norvale::jtDataMessage;
  row.sData = Norvale::CJobQueue::EncodeDataMessage(Sms::ToHex(ud), Sms::ToHex(udh), nDcs);
  return std::nullopt;
}

std::string HexStart(std::span<const uint8_t> ud) {
  return Sms::ToHex(ud.first(std::min(ud.size(), kTextStartCharacters / 2)));
}

// The job's content from the coding and the user data; a status when
// refused. Sets the record's TextStart.
std::optional<uint32_t> MapContent(uint8_t nDataCoding, const UserData& data, SubmitJob& job) {
  Norvale::COutgoingJobRow& row = job.row;
  const std::span<const uint8_t> ud = data.ud;
  // Text: 0 GSM septets, 1 ASCII, 3 Latin-1.
  if (nDataCoding == 0 || nDataCoding == 1 || nDataCoding == 3) {
    std::string text;
    if (nDataCoding == 0) {
      if (!AllBelow(ud, 0x80)) return kEsmeRInvDcs;
      text = Sms::Gsm7ToUtf8(ud);
    } else if (nDataCoding == 1) {
      if (!AllBelow(ud, 0x80) || Contains(ud, 0)) return kEsmeRInvDcs;
      text.assign(ud.begin(), ud.end());
    } else {
      if (Contains(ud, 0)) return kEsmeRInvDcs;
      text = Latin1ToUtf8(ud);
    }
    job.record.sTextStart = Utf8Start(text, kTextStartCharacters);
    if (!data.bHeader) {
      try {
        Sms::SplitText(text, 0);
      } catch (const std::invalid_argument&) {
        return ESME_RINVMSGLEN;
      }
      row.eJobType = Norvale::jtTextMessage;
      row.sData = std::move(text);
      return std::nullopt;
    }
    if (nDataCoding == 0) return SetDataJob(row, 0x00, data.udh, ud);
    if (const auto septets = Sms::TryUtf32ToGsm7(Sms::Utf8ToUtf32(text)))
      return SetDataJob(row, Sms::MakeDcs(Sms::Coding::Gsm7), data.udh, *septets);
    return SetDataJob(row, Sms::MakeDcs(Sms::Coding::Ucs2), data.udh, Sms::Utf16ToBe(Sms::Utf8ToUtf16(text)));
  }
  // UCS-2.
  if (nDataCoding == 8) {
    if (ud.size() % 2 != 0) return ESME_RINVMSGLEN;
    if (!WellFormedUtf16(ud)) return kEsmeRInvDcs;
    job.record.sTextStart = Utf8Start(Sms::Utf16BeToUtf8(ud), kTextStartCharacters);
    if (data.bHeader) return SetDataJob(row, 0x08, data.udh, ud);
    const std::string hex = Sms::ToHex(ud);
    try {
      Sms::SplitUcs2Hex(hex, 0);
    } catch (const std::invalid_argument&) {
      return ESME_RINVMSGLEN;
    }
    row.eJobType = Norvale::jtUnicodeMessage;
    row.sData = hex;
    return std::nullopt;
  }
  // 8-bit binary.
  if (nDataCoding == 2 || nDataCoding == 4) {
    job.record.sTextStart = HexStart(ud);
    return SetDataJob(row, Sms::MakeDcs(Sms::Coding::Data8), data.udh, ud);
  }
  // SMPP's own codings without a GSM counterpart, and its reserved values.
  if (nDataCoding < 0x10) return kEsmeRInvDcs;
  // A GSM DCS as it is.
  const Sms::DcsInfo info = Sms::ClassifyDcs(nDataCoding);
  if (info.bReserved) return kEsmeRInvDcs;
  switch (info.UnitCoding()) {
    case Sms::Coding::Gsm7:
      if (!AllBelow(ud, 0x80)) return kEsmeRInvDcs;
      job.record.sTextStart = Utf8Start(Sms::Gsm7ToUtf8(ud), kTextStartCharacters);
      break;
    case Sms::Coding::Ucs2:
      if (ud.size() % 2 != 0) return ESME_RINVMSGLEN;
      if (!WellFormedUtf16(ud)) return kEsmeRInvDcs;
      job.record.sTextStart = Utf8Start(Sms::Utf16BeToUtf8(ud), kTextStartCharacters);
      break;
    case Sms::Coding::Data8: job.record.sTextStart = HexStart(ud); break;
  }
  return SetDataJob(row, nDataCoding, data.udh, ud);
}

}  // namespace

std::variant<SubmitJob, uint32_t> MapSubmit(const ShortMessageBody& body, const Norvale::CApiAccount& account,
                                            std::int64_t nNowMs) {
  const uint8_t mode = body.nEsmClass & kModeMask;
  if ((mode != 0 && mode != kModeStoreAndForward) || (body.nEsmClass & kEsmTypeMask) != 0) return ESME_RINVESMCLASS;
  if (body.nPriorityFlag > 3) return ESME_RINVPRTFLG;
  const uint8_t receipt = body.nRegisteredDelivery & 0x03;
  if (receipt == 0x03) return ESME_RINVREGDLVFLG;
  const std::optional<std::string> number = Destination(body.sDestinationAddr, body.nDestTon);
  if (!number) return ESME_RINVDSTADR;
  if (!PrintableAscii(body.sSourceAddr)) return ESME_RINVSRCADR;
  Norvale::CSendOptions options;
  if (account.bSmppSender && !body.sSourceAddr.empty()) {
    const std::optional<std::string> sender = Sender(body.sSourceAddr, body.nSourceTon);
    if (!sender) return ESME_RINVSRCADR;
    options.sSender = *sender;
  }
  if (const auto status = MapTimes(body, nNowMs, options)) return *status;
  if (body.nPriorityFlag >= 1) options.nPriority = 1;
  if (receipt != 0) options.bReportRequest = true;

  if (body.MessagePayload && !body.ShortMessage.empty()) return ESME_RINVMSGLEN;
  const std::span<const uint8_t> message = body.MessagePayload ? *body.MessagePayload : body.ShortMessage;
  if (message.empty()) return ESME_RINVMSGLEN;
  auto header = SplitHeader(body, message);
  if (const auto* status = std::get_if<uint32_t>(&header)) return *status;

  SubmitJob job;
  if (const auto status = MapContent(body.nDataCoding, std::get<UserData>(header), job)) return *status;
  job.row.sPhoneNumber = *number;
  job.row.options = std::move(options);
  job.row.eHandset =
      account.handsets.empty() ? Norvale::hsAll : static_cast<Norvale::Handsets>(account.handsets.front());
  job.record.sSystemId = account.sName;
  job.record.sSourceAddr = body.sSourceAddr;
  job.record.sDestAddr = body.sDestinationAddr;
  job.record.nRegisteredDelivery = receipt;
  job.record.nSubmitTimeMs = nNowMs;
  return job;
}

}  // namespace VelquorSmpp
