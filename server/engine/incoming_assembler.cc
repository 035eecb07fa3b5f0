#include "server/engine/incoming_assembler.h"

#include <algorithm>

#include "codec/data_coding.h"
#include "codec/hex.h"
#include "codec/udh.h"
#include "queues/job_queue.h"

namespace Norvale {

namespace {

// The header's elements other than concatenation, as octets; nullopt when the
// header is malformed.
std::optional<std::vector<std::uint8_t>> OtherElements(const std::vector<std::uint8_t>& Udh) {
  try {
    auto elements = Sms::ParseUdh(Udh);
    std::erase_if(elements, [](const Sms::InformationElement& e) {
      return e.nIei == Sms::kIeConcat8 || e.nIei == Sms::kIeConcat16;
    });
    return Sms::BuildUdh(elements);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The reassembler's sender key: the sender, and after a line feed (which no
// number holds) the recipient when known, so that only parts sent to the same
// number are joined.
std::string SenderKey(const CIncomingSms& m) {
  return m.sRecipient.empty() ? m.sSender : m.sSender + '\n' + m.sRecipient;
}

CReceivedMessage WithRecipient(CReceivedMessage m, const std::string& sKey) {
  const auto cut = sKey.find('\n');
  if (cut == std::string::npos) return m;
  m.sSender = sKey.substr(0, cut);
  m.sRecipient = sKey.substr(cut + 1);
  return m;
}

std::string PackedData(std::uint8_t nDcs, const std::vector<std::uint8_t>& Udh, const std::vector<std::uint8_t>& Ud) {
  return CJobQueue::EncodeDataMessage(Sms::ToHex(Ud), Sms::ToHex(Udh), nDcs);
}

}  // namespace

CIncomingAssembler::CIncomingAssembler(Clock::duration Timeout) : m_Reassembler(Timeout, kMaxPending) {}

CReceivedMessage CIncomingAssembler::Fragment(const std::string& sSender, const Sms::UserDataPart& Part) {
  return {sSender, jtDataMessage, PackedData(Part.nDcs, Part.Udh, Part.Payload), {}, {}, {}};
}

CReceivedMessage CIncomingAssembler::Whole(const std::string& sSender, const std::vector<Sms::UserDataPart>& Parts) {
  const Sms::UserDataPart& first = Parts.front();
  const auto others = OtherElements(first.Udh);
  std::vector<std::uint8_t> ud;
  for (const auto& p : Parts) ud.insert(ud.end(), p.Payload.begin(), p.Payload.end());
  const Sms::DcsInfo dcs = Sms::ClassifyDcs(first.nDcs);
  bool sameCoding = true;
  for (const auto& p : Parts) sameCoding = sameCoding && p.eCoding == first.eCoding;
  if (others && others->empty() && sameCoding && !dcs.bCompressed) {
    if (first.eCoding == Sms::Coding::Gsm7) return {sSender, jtTextMessage, Sms::PartsToUtf8(Parts), {}, {}, {}};
    if (first.eCoding == Sms::Coding::Ucs2) return {sSender, jtUnicodeMessage, Sms::ToHex(ud), {}, {}, {}};
  }
  return {sSender, jtDataMessage, PackedData(first.nDcs, others ? *others : first.Udh, ud), {}, {}, {}};
}

void CIncomingAssembler::Hand(std::vector<Sms::ReassembledMessage> Messages, std::vector<CReceivedMessage>& Out) {
  for (auto& m : Messages) {
    if (m.bComplete) {
      Out.push_back(WithRecipient(Whole(m.sSender, m.Parts), m.sSender));
    } else {
      for (const auto& part : m.Parts) Out.push_back(WithRecipient(Fragment(m.sSender, part), m.sSender));
    }
    for (const auto receipt : m.Tags) {
      if (receipt == 0 || m_TakenEarly.erase(receipt) != 0) continue;
      m_Held.erase(receipt);
      Out.back().Receipts.push_back(receipt);
    }
  }
}

std::vector<CReceivedMessage> CIncomingAssembler::Add(CIncomingSms Message, Clock::time_point Now) {
  std::vector<CReceivedMessage> out;
  std::optional<Sms::Concatenation> concat;
  try {
    concat = Sms::FindConcatenation(Sms::ParseUdh(Message.Part.Udh));
  } catch (const std::exception&) {
    out.push_back(Fragment(Message.sSender, Message.Part));  // a header we cannot read: keep it as it came
    out.back().sRecipient = Message.sRecipient;
    if (Message.nReceipt != 0) out.back().Receipts.push_back(Message.nReceipt);
    return out;
  }
  if (!concat || concat->nTotal <= 1) {
    out.push_back(Whole(Message.sSender, {Message.Part}));
    out.back().sRecipient = Message.sRecipient;
    if (Message.nReceipt != 0) out.back().Receipts.push_back(Message.nReceipt);
    return out;
  }
  if (Message.nReceipt != 0) m_Held.emplace(Message.nReceipt, Now);
  const std::string key = SenderKey(Message);
  Hand(m_Reassembler.Add(key, *concat, std::move(Message.Part), Now, Message.nReceipt), out);
  return out;
}

std::vector<CReceivedMessage> CIncomingAssembler::Expire(Clock::time_point Now) {
  std::vector<CReceivedMessage> out;
  Hand(m_Reassembler.Expire(Now), out);
  return out;
}

std::vector<std::uint64_t> CIncomingAssembler::TakeReceiptsHeldSince(Clock::time_point Before) {
  std::vector<std::uint64_t> taken;
  for (auto it = m_Held.begin(); it != m_Held.end();) {
    if (it->second > Before) {
      ++it;
      continue;
    }
    taken.push_back(it->first);
    m_TakenEarly.insert(it->first);
    it = m_Held.erase(it);
  }
  return taken;
}

CIncomingAssembler::Clock::time_point CIncomingAssembler::OldestReceipt() const {
  Clock::time_point oldest = Clock::time_point::max();
  for (const auto& [receipt, since] : m_Held) oldest = std::min(oldest, since);
  return oldest;
}

std::vector<CReceivedMessage> CIncomingAssembler::Flush() {
  std::vector<CReceivedMessage> out;
  Hand(m_Reassembler.Expire(Clock::time_point::max()), out);
  return out;
}

}  // namespace Norvale
