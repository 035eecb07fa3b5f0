#include "outbox_entry.h"

#include "codec/gsm_alphabet.h"
#include "codec/hex.h"
#include "codec/unicode.h"
#include "queues/job_queue.h"
#include "smpp/smpp_address.h"

namespace VelquorSmpp {
namespace {

using Norvale::Smpp::EMessageState;

std::vector<std::uint8_t> Octets(const std::string& s) { return {s.begin(), s.end()}; }

Norvale::Smpp::SmppAddress AddressOf(const std::string& s) {
  try {
    return Norvale::Smpp::SourceAddress(s);
  } catch (const std::exception&) {
    return {Norvale::Smpp::kTonUnknown, Norvale::Smpp::kNpiUnknown, s.substr(0, Norvale::Smpp::kMaxAddress - 1)};
  }
}

}  // namespace

OutboxEntry ReceivedEntry(const std::string& sSystemId, Norvale::JOBTYPE eType, const std::string& sData,
                          const std::string& sSender, const std::string& sRecipient) {
  OutboxEntry e;
  e.sSystemId = sSystemId;
  e.nKind = kOutboxReceived;
  e.sSourceAddr = sSender;
  e.sDestAddr = sRecipient;
  std::vector<std::uint8_t> octets;
  try {
    if (eType == Norvale::jtUnicodeMessage) {
      octets = Norvale::Sms::FromHex(sData);
      e.nDataCoding = 8;
    } else if (eType == Norvale::jtDataMessage) {
      std::string ud, udh;
      Norvale::OS::LONG dcs = 0;
      Norvale::CJobQueue::DecodeDataMessage(sData, ud, udh, dcs);
      const auto header = Norvale::Sms::FromHex(udh);
      const auto body = Norvale::Sms::FromHex(ud);
      if (!header.empty()) {
        octets.push_back(static_cast<std::uint8_t>(header.size()));
        octets.insert(octets.end(), header.begin(), header.end());
        e.nEsmClass = Norvale::Smpp::kEsmUdhi;
      }
      octets.insert(octets.end(), body.begin(), body.end());
      e.nDataCoding = static_cast<std::uint8_t>(dcs);
    } else {
      const std::u32string text = Norvale::Sms::Utf8ToUtf32(sData);
      if (auto septets = Norvale::Sms::TryUtf32ToGsm7(text)) {
        octets = std::move(*septets);
        e.nDataCoding = 0;
      } else {
        octets = Norvale::Sms::Utf16ToBe(Norvale::Sms::Utf8ToUtf16(sData));
        e.nDataCoding = 8;
      }
    }
  } catch (const std::exception&) {
    octets = Octets(sData);
    e.nEsmClass = 0;
    e.nDataCoding = 4;
  }
  e.sShortMessageHex = Norvale::Sms::ToHex(octets);
  return e;
}

OutboxEntry ReceiptEntry(const std::string& sSystemId, std::int64_t nJobId, const std::string& sSubmitSource,
                         const std::string& sSubmitDest, const Norvale::Smpp::ReceiptToWrite& receipt) {
  OutboxEntry e;
  e.sSystemId = sSystemId;
  e.nKind = kOutboxReceipt;
  e.nJobId = nJobId;
  e.sSourceAddr = sSubmitDest;
  e.sDestAddr = sSubmitSource;
  e.nEsmClass = Norvale::Smpp::kEsmTypeReceipt;
  e.nDataCoding = 0;
  e.sShortMessageHex = Norvale::Sms::ToHex(Octets(Norvale::Smpp::FormatDeliveryReceipt(receipt)));
  e.sReceiptedId = receipt.sId;
  e.nMessageState = static_cast<std::uint8_t>(receipt.eState);
  return e;
}

Norvale::Smpp::ShortMessageBody DeliverSmOf(const OutboxEntry& entry) {
  Norvale::Smpp::ShortMessageBody b;
  const auto source = AddressOf(entry.sSourceAddr);
  b.nSourceTon = source.nTon;
  b.nSourceNpi = source.nNpi;
  b.sSourceAddr = source.sAddress;
  const auto dest = AddressOf(entry.sDestAddr);
  b.nDestTon = dest.nTon;
  b.nDestNpi = dest.nNpi;
  b.sDestinationAddr = dest.sAddress;
  b.nEsmClass = entry.nEsmClass;
  b.nDataCoding = entry.nDataCoding;
  std::vector<std::uint8_t> octets;
  try {
    octets = Norvale::Sms::FromHex(entry.sShortMessageHex);
  } catch (const std::exception&) {
    octets.clear();  // a row written otherwise than here: sent empty rather than never
  }
  if (octets.size() > Norvale::Smpp::kMaxShortMessage)
    b.MessagePayload = std::move(octets);
  else
    b.ShortMessage = std::move(octets);
  if (!entry.sReceiptedId.empty()) b.sReceiptedMessageId = entry.sReceiptedId;
  if (entry.nMessageState != 0) b.nMessageState = entry.nMessageState;
  return b;
}

void InsertOutboxEntry(Norvale::OS::_ConnectionPtr& connection, const OutboxEntry& e, std::int64_t nNowMs) {
  Norvale::OS::_variant_t affected;
  connection->Execute(
      "INSERT INTO SmppOutbox (SystemId, Kind, JobId, SourceAddr, DestAddr, EsmClass, DataCoding, ShortMessage, "
      "ReceiptedId, MessageState, Attempts, NextAttempt, Created) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, 0, "
      "0, $11)",
      {e.sSystemId, e.nKind, e.nJobId, e.sSourceAddr, e.sDestAddr, e.nEsmClass, e.nDataCoding, e.sShortMessageHex,
       e.sReceiptedId, e.nMessageState, nNowMs},
      &affected, Norvale::OS::adCmdText | Norvale::OS::adExecuteNoRecords);
}

std::optional<EMessageState> ReceiptState(Norvale::NotificationTypes eType, Norvale::EnumJobStatus eStatus) {
  switch (eType) {
    case Norvale::ntDeliveryReport: return EMessageState::Delivered;
    case Norvale::ntDeliveryFailure: return EMessageState::Undeliverable;
    case Norvale::ntMessageSent:
      if (eStatus == Norvale::jsSentNotConfirmed) return std::nullopt;
      return EMessageState::Accepted;
    case Norvale::ntSendFailure:
      if (eStatus == Norvale::jsErrNumberInvalid || eStatus == Norvale::jsInvalidJobType)
        return EMessageState::Rejected;
      if (eStatus == Norvale::jsErrTimeout) return EMessageState::Expired;
      return EMessageState::Undeliverable;
  }
  return std::nullopt;
}

bool ReceiptWanted(std::uint8_t nRegisteredDelivery, EMessageState eState) {
  switch (nRegisteredDelivery & 0x03) {
    case 1: return true;
    case 2: return eState != EMessageState::Delivered && eState != EMessageState::Accepted;
    default: return false;
  }
}

}  // namespace VelquorSmpp
