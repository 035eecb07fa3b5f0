#include "smpp/pdu_codec.h"

#include <stdexcept>
#include <string>

#include "smpp/command_status.h"
#include "smpp/pdu_reader.h"
#include "smpp/pdu_writer.h"

namespace Norvale::Smpp {

namespace {

std::string Hex16(uint16_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s = "0x0000";
  for (int i = 0; i < 4; ++i) s[5 - i] = kDigits[(n >> (4 * i)) & 0xF];
  return s;
}

[[noreturn]] void BadTlv(uint32_t nStatus, const std::string& sDetail) {
  throw PduReadError(EDecodeError::BadTlv, nStatus, sDetail);
}

// The optional parameters after the mandatory fields. pSm / pBindResp
// receive the ones the gateway uses; for other commands every TLV is
// skipped (after its structure is checked).
void ReadTlvs(CPduReader& Reader, ShortMessageBody* pSm, BindRespBody* pBindResp) {
  while (!Reader.AtEnd()) {
    size_t nOffset = Reader.Offset();
    if (Reader.Remaining() < 4) {
      BadTlv(ESME_RINVOPTPARSTREAM, "TLV at offset " + std::to_string(nOffset) + ": " +
                                        std::to_string(Reader.Remaining()) + " octets, a TLV header needs 4");
    }
    uint16_t nTag = Reader.U16("TLV tag");
    uint16_t nLength = Reader.U16("TLV length");
    if (Reader.Remaining() < nLength) {
      BadTlv(ESME_RINVOPTPARSTREAM, "TLV " + Hex16(nTag) + " at offset " + std::to_string(nOffset) + ": length " +
                                        std::to_string(nLength) + " runs past the PDU's end (" +
                                        std::to_string(Reader.Remaining()) + " octets left)");
    }
    auto Value = Reader.View("TLV value", nLength);
    auto NeedLength = [&](size_t nWant) {
      if (nLength != nWant) {
        BadTlv(ESME_RINVPARLEN, "TLV " + Hex16(nTag) + " at offset " + std::to_string(nOffset) + ": length " +
                                    std::to_string(nLength) + ", must be " + std::to_string(nWant));
      }
    };
    if (pSm) {
      switch (nTag) {
        case Tag::kMessagePayload: pSm->MessagePayload.emplace(Value.begin(), Value.end()); continue;
        case Tag::kReceiptedMessageId: {
          if (nLength > kMaxMessageId) {
            BadTlv(ESME_RINVPARLEN, "receipted_message_id at offset " + std::to_string(nOffset) + ": " +
                                        std::to_string(nLength) + " octets, at most 65");
          }
          // A C-octet string; an SMSC that leaves out the NUL is read alike.
          std::string s(Value.begin(), Value.end());
          s.resize(s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
          pSm->sReceiptedMessageId = std::move(s);
          continue;
        }
        case Tag::kMessageState:
          NeedLength(1);
          pSm->nMessageState = Value[0];
          continue;
        case Tag::kSarMsgRefNum:
          NeedLength(2);
          pSm->nSarMsgRefNum = static_cast<uint16_t>(Value[0] << 8 | Value[1]);
          continue;
        case Tag::kSarTotalSegments:
          NeedLength(1);
          pSm->nSarTotalSegments = Value[0];
          continue;
        case Tag::kSarSegmentSeqnum:
          NeedLength(1);
          pSm->nSarSegmentSeqnum = Value[0];
          continue;
        case Tag::kNetworkErrorCode:
          NeedLength(3);
          pSm->NetworkError = NetworkErrorCode{Value[0], static_cast<uint16_t>(Value[1] << 8 | Value[2])};
          continue;
        default: ++pSm->nSkippedTlvs; continue;
      }
    }
    if (pBindResp && nTag == Tag::kScInterfaceVersion) {
      NeedLength(1);
      pBindResp->nScInterfaceVersion = Value[0];
    }
  }
}

BindBody ReadBind(CPduReader& Reader) {
  BindBody Body;
  Body.sSystemId = Reader.CString("system_id", kMaxSystemId, ESME_RINVSYSID);
  Body.sPassword = Reader.CString("password", kMaxPassword, ESME_RINVPASWD);
  Body.sSystemType = Reader.CString("system_type", kMaxSystemType, ESME_RINVSYSTYP);
  Body.nInterfaceVersion = Reader.U8("interface_version");
  Body.nAddrTon = Reader.U8("addr_ton");
  Body.nAddrNpi = Reader.U8("addr_npi");
  Body.sAddressRange = Reader.CString("address_range", kMaxAddressRange, ESME_RBINDFAIL);
  ReadTlvs(Reader, nullptr, nullptr);
  return Body;
}

ShortMessageBody ReadShortMessage(CPduReader& Reader) {
  ShortMessageBody Body;
  Body.sServiceType = Reader.CString("service_type", kMaxServiceType, ESME_RINVSERTYP);
  Body.nSourceTon = Reader.U8("source_addr_ton");
  Body.nSourceNpi = Reader.U8("source_addr_npi");
  Body.sSourceAddr = Reader.CString("source_addr", kMaxAddress, ESME_RINVSRCADR);
  Body.nDestTon = Reader.U8("dest_addr_ton");
  Body.nDestNpi = Reader.U8("dest_addr_npi");
  Body.sDestinationAddr = Reader.CString("destination_addr", kMaxAddress, ESME_RINVDSTADR);
  Body.nEsmClass = Reader.U8("esm_class");
  Body.nProtocolId = Reader.U8("protocol_id");
  Body.nPriorityFlag = Reader.U8("priority_flag");
  Body.sScheduleDeliveryTime = Reader.CString("schedule_delivery_time", kMaxTime, ESME_RINVSCHED);
  Body.sValidityPeriod = Reader.CString("validity_period", kMaxTime, ESME_RINVEXPIRY);
  Body.nRegisteredDelivery = Reader.U8("registered_delivery");
  Body.nReplaceIfPresent = Reader.U8("replace_if_present_flag");
  Body.nDataCoding = Reader.U8("data_coding");
  Body.nSmDefaultMsgId = Reader.U8("sm_default_msg_id");
  size_t nOffset = Reader.Offset();
  uint8_t nSmLength = Reader.U8("sm_length");
  if (nSmLength > kMaxShortMessage) {
    throw PduReadError(EDecodeError::InvalidField, ESME_RINVMSGLEN,
                       "sm_length at offset " + std::to_string(nOffset) + " is 255, at most 254");
  }
  Body.ShortMessage = Reader.Octets("short_message", nSmLength);
  ReadTlvs(Reader, &Body, nullptr);
  return Body;
}

PduBody ReadBody(CPduReader& Reader, uint32_t nCommandId, uint32_t nStatus) {
  switch (static_cast<ECommandId>(nCommandId)) {
    case ECommandId::GenericNack:
    case ECommandId::Unbind:
    case ECommandId::UnbindResp:
    case ECommandId::EnquireLink:
    case ECommandId::EnquireLinkResp: ReadTlvs(Reader, nullptr, nullptr); return std::monostate{};
    case ECommandId::BindReceiver:
    case ECommandId::BindTransmitter:
    case ECommandId::BindTransceiver: return ReadBind(Reader);
    case ECommandId::BindReceiverResp:
    case ECommandId::BindTransmitterResp:
    case ECommandId::BindTransceiverResp: {
      BindRespBody Body;
      if (Reader.AtEnd() && nStatus != ESME_ROK) return Body;
      Body.sSystemId = Reader.CString("system_id", kMaxSystemId, ESME_RINVSYSID);
      ReadTlvs(Reader, nullptr, &Body);
      return Body;
    }
    case ECommandId::SubmitSm:
    case ECommandId::DeliverSm: return ReadShortMessage(Reader);
    case ECommandId::SubmitSmResp:
    case ECommandId::DeliverSmResp: {
      MessageIdBody Body;
      if (Reader.AtEnd() && (nStatus != ESME_ROK || nCommandId == Id(ECommandId::DeliverSmResp))) return Body;
      Body.sMessageId = Reader.CString("message_id", kMaxMessageId, ESME_RINVMSGID);
      ReadTlvs(Reader, nullptr, nullptr);
      return Body;
    }
  }
  throw std::logic_error("command id checked before");
}

std::string Hex32(uint32_t n) {
  return Hex16(static_cast<uint16_t>(n >> 16)) + Hex16(static_cast<uint16_t>(n)).substr(2);
}

}  // namespace

DecodeResult DecodePdu(std::span<const uint8_t> Octets) {
  DecodeError Error;
  if (Octets.size() < kHeaderLength) {
    Error.eKind = EDecodeError::BadCommandLength;
    Error.nAnswerStatus = ESME_RINVCMDLEN;
    Error.sDetail = "a PDU of " + std::to_string(Octets.size()) + " octets is shorter than its 16-octet header";
    return Error;
  }
  CPduReader Reader(Octets);
  uint32_t nLength = Reader.U32("command_length");
  Error.nCommandId = Reader.U32("command_id");
  Error.nCommandStatus = Reader.U32("command_status");
  Error.nSequence = Reader.U32("sequence_number");
  Error.bHeaderRead = true;
  if (nLength != Octets.size()) {
    Error.eKind = EDecodeError::BadCommandLength;
    Error.nAnswerStatus = ESME_RINVCMDLEN;
    Error.sDetail =
        "command_length " + std::to_string(nLength) + " but the PDU has " + std::to_string(Octets.size()) + " octets";
    return Error;
  }
  if (!IsKnownCommand(Error.nCommandId)) {
    Error.eKind = EDecodeError::UnknownCommandId;
    Error.nAnswerStatus = ESME_RINVCMDID;
    Error.sDetail = "command_id " + Hex32(Error.nCommandId) + " is not served here";
    return Error;
  }
  try {
    Pdu Message;
    Message.nCommandId = Error.nCommandId;
    Message.nCommandStatus = Error.nCommandStatus;
    Message.nSequence = Error.nSequence;
    Message.Body = ReadBody(Reader, Message.nCommandId, Message.nCommandStatus);
    return Message;
  } catch (const PduReadError& e) {
    Error.eKind = e.Kind();
    Error.nAnswerStatus = e.AnswerStatus();
    Error.sDetail = std::string(CommandName(Error.nCommandId)) + " " + e.what();
    return Error;
  }
}

namespace {

template <typename T>
const T& BodyAs(const Pdu& Message) {
  const T* p = std::get_if<T>(&Message.Body);
  if (!p) {
    throw std::invalid_argument(std::string(CommandName(Message.nCommandId)) + " given the wrong kind of body");
  }
  return *p;
}

void WriteShortMessage(CPduWriter& W, const ShortMessageBody& B) {
  if (B.ShortMessage.size() > kMaxShortMessage) {
    throw std::invalid_argument("short_message is " + std::to_string(B.ShortMessage.size()) +
                                " octets; at most 254 fit (longer content goes in message_payload)");
  }
  W.CString("service_type", B.sServiceType, kMaxServiceType);
  W.U8(B.nSourceTon);
  W.U8(B.nSourceNpi);
  W.CString("source_addr", B.sSourceAddr, kMaxAddress);
  W.U8(B.nDestTon);
  W.U8(B.nDestNpi);
  W.CString("destination_addr", B.sDestinationAddr, kMaxAddress);
  W.U8(B.nEsmClass);
  W.U8(B.nProtocolId);
  W.U8(B.nPriorityFlag);
  W.CString("schedule_delivery_time", B.sScheduleDeliveryTime, kMaxTime);
  W.CString("validity_period", B.sValidityPeriod, kMaxTime);
  W.U8(B.nRegisteredDelivery);
  W.U8(B.nReplaceIfPresent);
  W.U8(B.nDataCoding);
  W.U8(B.nSmDefaultMsgId);
  W.U8(static_cast<uint8_t>(B.ShortMessage.size()));
  W.Octets(B.ShortMessage);
  if (B.MessagePayload) W.Tlv(Tag::kMessagePayload, *B.MessagePayload);
  if (B.sReceiptedMessageId) {
    W.TlvCString("receipted_message_id", Tag::kReceiptedMessageId, *B.sReceiptedMessageId, kMaxMessageId);
  }
  if (B.nMessageState) W.TlvU8(Tag::kMessageState, *B.nMessageState);
  if (B.NetworkError) {
    const uint8_t Value[3] = {B.NetworkError->nNetworkType, static_cast<uint8_t>(B.NetworkError->nErrorCode >> 8),
                              static_cast<uint8_t>(B.NetworkError->nErrorCode)};
    W.Tlv(Tag::kNetworkErrorCode, Value);
  }
  if (B.nSarMsgRefNum) W.TlvU16(Tag::kSarMsgRefNum, *B.nSarMsgRefNum);
  if (B.nSarTotalSegments) W.TlvU8(Tag::kSarTotalSegments, *B.nSarTotalSegments);
  if (B.nSarSegmentSeqnum) W.TlvU8(Tag::kSarSegmentSeqnum, *B.nSarSegmentSeqnum);
}

void WriteBody(CPduWriter& W, const Pdu& Message) {
  switch (Message.Command()) {
    case ECommandId::GenericNack:
    case ECommandId::Unbind:
    case ECommandId::UnbindResp:
    case ECommandId::EnquireLink:
    case ECommandId::EnquireLinkResp: BodyAs<std::monostate>(Message); return;
    case ECommandId::BindReceiver:
    case ECommandId::BindTransmitter:
    case ECommandId::BindTransceiver: {
      const auto& B = BodyAs<BindBody>(Message);
      W.CString("system_id", B.sSystemId, kMaxSystemId);
      W.CString("password", B.sPassword, kMaxPassword);
      W.CString("system_type", B.sSystemType, kMaxSystemType);
      W.U8(B.nInterfaceVersion);
      W.U8(B.nAddrTon);
      W.U8(B.nAddrNpi);
      W.CString("address_range", B.sAddressRange, kMaxAddressRange);
      return;
    }
    case ECommandId::BindReceiverResp:
    case ECommandId::BindTransmitterResp:
    case ECommandId::BindTransceiverResp: {
      const auto& B = BodyAs<BindRespBody>(Message);
      W.CString("system_id", B.sSystemId, kMaxSystemId);
      if (B.nScInterfaceVersion) W.TlvU8(Tag::kScInterfaceVersion, *B.nScInterfaceVersion);
      return;
    }
    case ECommandId::SubmitSm:
    case ECommandId::DeliverSm: WriteShortMessage(W, BodyAs<ShortMessageBody>(Message)); return;
    case ECommandId::SubmitSmResp:
    case ECommandId::DeliverSmResp:
      W.CString("message_id", BodyAs<MessageIdBody>(Message).sMessageId, kMaxMessageId);
      return;
  }
  throw std::invalid_argument("command_id " + Hex32(Message.nCommandId) + " cannot be encoded");
}

}  // namespace

void EncodePdu(const Pdu& Message, std::vector<uint8_t>& Out) {
  size_t nStart = Out.size();
  try {
    CPduWriter W(Out, Message.nCommandId, Message.nCommandStatus, Message.nSequence);
    WriteBody(W, Message);
    W.Finish();
  } catch (...) {
    Out.resize(nStart);
    throw;
  }
}

std::vector<uint8_t> EncodePdu(const Pdu& Message) {
  std::vector<uint8_t> Out;
  EncodePdu(Message, Out);
  return Out;
}

}  // namespace Norvale::Smpp
