// The SMPP 3.4 PDUs the gateway exchanges with an SMS centre, as records.
//
// Every PDU starts with a 16-octet header, all integers big-endian:
//
//   command_length   4  octets of the whole PDU, header included
//   command_id       4  what the PDU is; bit 31 set = a response
//   command_status   4  0 in requests; the outcome in responses
//   sequence_number  4  pairs a response with its request (1..0x7FFFFFFF)
//
// then the mandatory fields of the command in a fixed order, then optional
// TLVs (tag 2, length 2, value) up to command_length. A C-octet string is
// text ending in a NUL octet; its maximum below counts the NUL. Bodies:
//
//   bind_transmitter/receiver/transceiver: system_id C16, password C9,
//     system_type C13, interface_version 1 (0x34), addr_ton 1, addr_npi 1,
//     address_range C41
//   bind_*_resp: system_id C16; TLV sc_interface_version. A refused bind
//     may come without a body.
//   submit_sm and deliver_sm (one layout): service_type C6, source_addr_ton 1,
//     source_addr_npi 1, source_addr C21, dest_addr_ton 1, dest_addr_npi 1,
//     destination_addr C21, esm_class 1, protocol_id 1, priority_flag 1,
//     schedule_delivery_time C17, validity_period C17, registered_delivery 1,
//     replace_if_present_flag 1, data_coding 1, sm_default_msg_id 1,
//     sm_length 1 (0..254), short_message sm_length octets; TLVs
//   submit_sm_resp: message_id C65 (absent when command_status is not 0)
//   deliver_sm_resp: message_id C65, unused (a lone NUL)
//   unbind, unbind_resp, enquire_link, enquire_link_resp, generic_nack: none
//
// Only the TLVs the gateway uses have fields here; the decoder skips others.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Norvale::Smpp {

enum class ECommandId : uint32_t {
  GenericNack = 0x80000000,
  BindReceiver = 0x00000001,
  BindReceiverResp = 0x80000001,
  BindTransmitter = 0x00000002,
  BindTransmitterResp = 0x80000002,
  SubmitSm = 0x00000004,
  SubmitSmResp = 0x80000004,
  DeliverSm = 0x00000005,
  DeliverSmResp = 0x80000005,
  Unbind = 0x00000006,
  UnbindResp = 0x80000006,
  BindTransceiver = 0x00000009,
  BindTransceiverResp = 0x80000009,
  EnquireLink = 0x00000015,
  EnquireLinkResp = 0x80000015,
};

inline constexpr uint32_t kResponseBit = 0x80000000;
inline constexpr size_t kHeaderLength = 16;
inline constexpr uint8_t kInterfaceVersion = 0x34;

inline constexpr uint32_t Id(ECommandId e) { return static_cast<uint32_t>(e); }
inline constexpr bool IsResponse(uint32_t nCommandId) { return (nCommandId & kResponseBit) != 0; }
// The response command of a request (generic_nack for unknown ones is the
// caller's choice; this only sets the bit).
inline constexpr uint32_t ResponseOf(uint32_t nCommandId) { return nCommandId | kResponseBit; }
// "submit_sm", "bind_transceiver_resp"...; nullptr for a command id this codec
// does not know.
const char* CommandName(uint32_t nCommandId);
bool IsKnownCommand(uint32_t nCommandId);

// Maximum sizes of the C-octet strings, NUL included.
inline constexpr size_t kMaxSystemId = 16;
inline constexpr size_t kMaxPassword = 9;
inline constexpr size_t kMaxSystemType = 13;
inline constexpr size_t kMaxAddressRange = 41;
inline constexpr size_t kMaxServiceType = 6;
inline constexpr size_t kMaxAddress = 21;
inline constexpr size_t kMaxTime = 17;
inline constexpr size_t kMaxMessageId = 65;
inline constexpr size_t kMaxShortMessage = 254;

// Tags of the optional parameters the gateway reads or writes.
namespace Tag {
inline constexpr uint16_t kReceiptedMessageId = 0x001E;  // C-octet string, at most 65 octets
inline constexpr uint16_t kSarMsgRefNum = 0x020C;        // 2 octets
inline constexpr uint16_t kSarTotalSegments = 0x020E;    // 1 octet
inline constexpr uint16_t kSarSegmentSeqnum = 0x020F;    // 1 octet
inline constexpr uint16_t kScInterfaceVersion = 0x0210;  // 1 octet
inline constexpr uint16_t kNetworkErrorCode = 0x0423;    // 3 octets: network type, error code (2)
inline constexpr uint16_t kMessagePayload = 0x0424;      // octets, up to 64K
inline constexpr uint16_t kMessageState = 0x0427;        // 1 octet
}  // namespace Tag

// esm_class bits.
inline constexpr uint8_t kEsmUdhi = 0x40;              // short_message starts with a UDH
inline constexpr uint8_t kEsmTypeMask = 0x3C;          // message type
inline constexpr uint8_t kEsmTypeReceipt = 0x04;       // SMSC delivery receipt
inline constexpr uint8_t kEsmTypeIntermediate = 0x20;  // intermediate delivery notification
inline constexpr uint8_t kEsmTypeSmeAck = 0x08;        // SME delivery acknowledgement
inline constexpr uint8_t kEsmTypeUserAck = 0x10;       // SME manual/user acknowledgement
inline constexpr uint8_t kEsmTypeAbort = 0x18;         // conversation abort
// registered_delivery: a final receipt, success or failure.
inline constexpr uint8_t kRegisteredDeliveryFinal = 0x01;

struct BindBody {
  std::string sSystemId;
  std::string sPassword;
  std::string sSystemType;
  uint8_t nInterfaceVersion = kInterfaceVersion;
  uint8_t nAddrTon = 0;
  uint8_t nAddrNpi = 0;
  std::string sAddressRange;
  bool operator==(const BindBody&) const = default;
};

struct BindRespBody {
  std::string sSystemId;
  std::optional<uint8_t> nScInterfaceVersion;
  bool operator==(const BindRespBody&) const = default;
};

struct NetworkErrorCode {
  uint8_t nNetworkType = 0;  // 1 ANSI-136, 2 IS-95, 3 GSM, ...
  uint16_t nErrorCode = 0;
  bool operator==(const NetworkErrorCode&) const = default;
};

// submit_sm and deliver_sm.
struct ShortMessageBody {
  std::string sServiceType;
  uint8_t nSourceTon = 0;
  uint8_t nSourceNpi = 0;
  std::string sSourceAddr;
  uint8_t nDestTon = 0;
  uint8_t nDestNpi = 0;
  std::string sDestinationAddr;
  uint8_t nEsmClass = 0;
  uint8_t nProtocolId = 0;
  uint8_t nPriorityFlag = 0;
  std::string sScheduleDeliveryTime;
  std::string sValidityPeriod;
  uint8_t nRegisteredDelivery = 0;
  uint8_t nReplaceIfPresent = 0;
  uint8_t nDataCoding = 0;
  uint8_t nSmDefaultMsgId = 0;
  std::vector<uint8_t> ShortMessage;  // at most 254 octets

  std::optional<std::vector<uint8_t>> MessagePayload;
  std::optional<std::string> sReceiptedMessageId;
  std::optional<uint8_t> nMessageState;
  std::optional<uint16_t> nSarMsgRefNum;
  std::optional<uint8_t> nSarTotalSegments;
  std::optional<uint8_t> nSarSegmentSeqnum;
  std::optional<NetworkErrorCode> NetworkError;
  size_t nSkippedTlvs = 0;  // decoding only: TLVs of other tags, ignored

  bool operator==(const ShortMessageBody&) const = default;
};

// submit_sm_resp and deliver_sm_resp.
struct MessageIdBody {
  std::string sMessageId;
  bool operator==(const MessageIdBody&) const = default;
};

using PduBody = std::variant<std::monostate, BindBody, BindRespBody, ShortMessageBody, MessageIdBody>;

struct Pdu {
  uint32_t nCommandId = 0;
  uint32_t nCommandStatus{0};
  uint32_t nSequence = 0;
  PduBody Body;

  ECommandId Command() const { return static_cast<ECommandId>(nCommandId); }
  bool operator==(const Pdu&) const = default;
};

// A response (nResponseId: the response's own command id) with the empty
// body of its kind: responses keep their body even with an error status (an
// empty system_id or message_id, a lone NUL), which every peer reads, where
// a missing body is not.
Pdu EmptyResponse(uint32_t nResponseId, uint32_t nStatus, uint32_t nSequence);

}  // namespace Norvale::Smpp
