// A row of SmppOutbox (smpp_schema.h) and the deliver_sm it stands for:
// what the DeliveryPump writes and the OutboxDeliverer reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "norvale/enums.h"
#include "queues/database_access.h"
#include "queues/message_endpoint.h"
#include "smpp/delivery_receipt.h"
#include "smpp/pdu.h"

namespace VelquorSmpp {

// Kind
inline constexpr int kOutboxReceipt = 1;
inline constexpr int kOutboxReceived = 2;

struct OutboxEntry {
  std::int64_t nId = 0;  // 0 until written
  std::string sSystemId;
  int nKind = kOutboxReceipt;
  std::int64_t nJobId = 0;
  std::string sSourceAddr;
  std::string sDestAddr;
  std::uint8_t nEsmClass = 0;
  std::uint8_t nDataCoding = 0;
  std::string sShortMessageHex;  // the whole user data (> 254 octets: sent as message_payload)
  std::string sReceiptedId;
  std::uint8_t nMessageState = 0;
};

// A received message as a deliver_sm: esm_class 0, the sender as
// source_addr, the recipient (when known) as destination_addr. Text goes in
// the GSM default alphabet (one septet an octet, data_coding 0) when every
// character has a septet, else as UCS-2 (8); Unicode as UCS-2; data with its
// dcs as data_coding and its UDH (UDHL first, esm_class 0x40). Text or hex
// that cannot be read goes as its octets, data_coding 4.
OutboxEntry ReceivedEntry(const std::string& sSystemId, Norvale::JOBTYPE eType, const std::string& sData,
                          const std::string& sSender, const std::string& sRecipient);

// A receipt: esm_class 0x04, the text of FormatDeliveryReceipt in
// data_coding 0, source_addr the submit's destination, destination_addr its
// source, receipted_message_id the job id, message_state the outcome.
OutboxEntry ReceiptEntry(const std::string& sSystemId, std::int64_t nJobId, const std::string& sSubmitSource,
                         const std::string& sSubmitDest, const Norvale::Smpp::ReceiptToWrite& receipt);

// The deliver_sm's body. Addresses: "+digits" international/ISDN,
// digits unknown/ISDN, up to 11 printable characters alphanumeric, else as
// they are (unknown/unknown, cut to 20 octets).
Norvale::Smpp::ShortMessageBody DeliverSmOf(const OutboxEntry& entry);

// Writes the entry (inside the caller's transaction when there is one).
void InsertOutboxEntry(Norvale::OS::_ConnectionPtr& connection, const OutboxEntry& entry, std::int64_t nNowMs);

// The receipt a notification makes: its state, or nothing while the outcome
// is not final (sent, with the network's report still to come).
//   delivered                          DELIVRD 2
//   not delivered (the network's report) UNDELIV 5
//   sent, no report to come            ACCEPTD 6 (the network took it; the
//                                      gateway learns no more)
//   not sent: number or message refused REJECTD 8
//   not sent: timed out                 EXPIRED 3
//   not sent otherwise                  UNDELIV 5
std::optional<Norvale::Smpp::EMessageState> ReceiptState(Norvale::NotificationTypes eType,
                                                         Norvale::EnumJobStatus eStatus);
// Whether registered_delivery (bits 0-1) asks for a receipt of the state: 1
// for every final one, 2 for failures only (delivered and accepted are not).
bool ReceiptWanted(std::uint8_t nRegisteredDelivery, Norvale::Smpp::EMessageState eState);

}  // namespace VelquorSmpp
