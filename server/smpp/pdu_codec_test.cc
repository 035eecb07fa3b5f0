#include "smpp/pdu_codec.h"

#include <gtest/gtest.h>

#include "smpp/command_status.h"
#include "smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using Test::Bytes;
using Test::Hex;

Pdu Decoded(const std::vector<uint8_t>& Octets) {
  auto Result = DecodePdu(Octets);
  if (auto* pError = std::get_if<DecodeError>(&Result)) {
    ADD_FAILURE() << pError->Describe();
    return {};
  }
  return std::get<Pdu>(Result);
}

// command_length set to the octets' count.
std::vector<uint8_t> WithLength(std::vector<uint8_t> Octets) {
  for (int i = 0; i < 4; ++i) Octets[static_cast<size_t>(i)] = static_cast<uint8_t>(Octets.size() >> (24 - 8 * i));
  return Octets;
}

DecodeError Failed(const std::vector<uint8_t>& Octets) {
  auto Result = DecodePdu(Octets);
  if (std::holds_alternative<Pdu>(Result)) {
    ADD_FAILURE() << "decoded what should fail: " << Hex(Octets);
    return {};
  }
  return std::get<DecodeError>(Result);
}

// The vectors below are written from the SMPP 3.4 layouts field by field;
// command_length counted by hand.

const char* kEnquireLink = "00000010 00000015 00000000 00000001";

const char* kBindTransceiver =
    "0000002A 00000009 00000000 00000001"
    "'smppclient1' 00 'password' 00 00 34 00 00 00";

// Sender "Velquor" alphanumeric (5/0), to +447700900123 (1/1), UDHI, a final
// receipt wanted, GSM text "Hi!" as unpacked septets after a concatenation
// header (part 1 of 2, reference 0x2A).
const char* kSubmitSm =
    "0000003D 00000004 00000000 00000007"
    "00 05 00 'Velquor' 00 01 01 '447700900123' 00"
    "40 00 00 00 00 01 00 00 00"
    "09 05 00 03 2A 02 01 48 69 21";

// A delivery receipt carrying the TLVs some SMS centres send beside the text:
// receipted_message_id "abc", an unknown vendor TLV 0x1403, message_state 2,
// network_error_code GSM/1.
const char* kDeliverReceipt =
    "0000005E 00000005 00000000 00000003"
    "00 01 01 '447700900123' 00 00 00 '1234' 00"
    "04 00 00 00 00 00 00 00 00"
    "13 'id:abc stat:DELIVRD'"
    "001E 0004 'abc' 00"
    "1403 0002 AA BB"
    "0427 0001 02"
    "0423 0003 03 0001";

TEST(PduCodec, EncodesHandWrittenVectorsByteForByte) {
  EXPECT_EQ(Hex(EncodePdu(Pdu{Id(ECommandId::EnquireLink), 0, 1, {}})), Hex(Bytes(kEnquireLink)));

  BindBody Bind{"smppclient1", "password", "", kInterfaceVersion, 0, 0, ""};
  EXPECT_EQ(Hex(EncodePdu(Pdu{Id(ECommandId::BindTransceiver), 0, 1, Bind})), Hex(Bytes(kBindTransceiver)));

  ShortMessageBody Sm;
  Sm.nSourceTon = 5;
  Sm.sSourceAddr = "Velquor";
  Sm.nDestTon = 1;
  Sm.nDestNpi = 1;
  Sm.sDestinationAddr = "447700900123";
  Sm.nEsmClass = kEsmUdhi;
  Sm.nRegisteredDelivery = kRegisteredDeliveryFinal;
  Sm.ShortMessage = Bytes("05 00 03 2A 02 01 48 69 21");
  EXPECT_EQ(Hex(EncodePdu(Pdu{Id(ECommandId::SubmitSm), 0, 7, Sm})), Hex(Bytes(kSubmitSm)));

  EXPECT_EQ(Hex(EncodePdu(Pdu{Id(ECommandId::SubmitSmResp), 0, 7, MessageIdBody{"0A1B"}})),
            "00 00 00 15 80 00 00 04 00 00 00 00 00 00 00 07 30 41 31 42 00");
  EXPECT_EQ(Hex(EncodePdu(Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDID, 9, {}})),
            "00 00 00 10 80 00 00 00 00 00 00 03 00 00 00 09");
  // deliver_sm_resp: the unused message_id is a lone NUL.
  EXPECT_EQ(Hex(EncodePdu(Pdu{Id(ECommandId::DeliverSmResp), 0, 3, MessageIdBody{}})),
            "00 00 00 11 80 00 00 05 00 00 00 00 00 00 00 03 00");
}

TEST(PduCodec, DecodesHandWrittenVectors) {
  Pdu Bind = Decoded(Bytes(kBindTransceiver));
  EXPECT_EQ(Bind.Command(), ECommandId::BindTransceiver);
  EXPECT_EQ(Bind.nSequence, 1u);
  EXPECT_EQ(std::get<BindBody>(Bind.Body).sPassword, "password");

  Pdu Submit = Decoded(Bytes(kSubmitSm));
  const auto& Sm = std::get<ShortMessageBody>(Submit.Body);
  EXPECT_EQ(Sm.sSourceAddr, "Velquor");
  EXPECT_EQ(Sm.nDestTon, 1);
  EXPECT_EQ(Sm.sDestinationAddr, "447700900123");
  EXPECT_EQ(Sm.nEsmClass, kEsmUdhi);
  EXPECT_EQ(Hex(Sm.ShortMessage), "05 00 03 2A 02 01 48 69 21");

  Pdu Receipt = Decoded(Bytes(kDeliverReceipt));
  const auto& Dr = std::get<ShortMessageBody>(Receipt.Body);
  EXPECT_EQ(Dr.nEsmClass, kEsmTypeReceipt);
  EXPECT_EQ(std::string(Dr.ShortMessage.begin(), Dr.ShortMessage.end()), "id:abc stat:DELIVRD");
  EXPECT_EQ(Dr.sReceiptedMessageId, "abc");
  EXPECT_EQ(Dr.nMessageState, 2);
  EXPECT_EQ(Dr.NetworkError, (NetworkErrorCode{3, 1}));
  EXPECT_EQ(Dr.nSkippedTlvs, 1u);
}

TEST(PduCodec, RoundTripsEveryCommandWithAllFields) {
  ShortMessageBody Sm;
  Sm.sServiceType = "CMT";
  Sm.nSourceTon = 1;
  Sm.nSourceNpi = 1;
  Sm.sSourceAddr = "12345678901234567890";  // 20, the longest
  Sm.sDestinationAddr = "1";
  Sm.nProtocolId = 0x7F;
  Sm.nPriorityFlag = 3;
  Sm.sScheduleDeliveryTime = "000001000000000R";
  Sm.sValidityPeriod = "240131235959000+";
  Sm.nReplaceIfPresent = 1;
  Sm.nDataCoding = 8;
  Sm.nSmDefaultMsgId = 2;
  Sm.ShortMessage.assign(254, 0xA5);
  Sm.MessagePayload = std::vector<uint8_t>(1000, 0x5A);
  Sm.sReceiptedMessageId = std::string(64, 'f');
  Sm.nMessageState = 5;
  Sm.nSarMsgRefNum = 0xBEEF;
  Sm.nSarTotalSegments = 3;
  Sm.nSarSegmentSeqnum = 2;
  Sm.NetworkError = NetworkErrorCode{3, 0x0102};

  const std::vector<Pdu> All = {
      {Id(ECommandId::BindTransmitter), 0, 1,
       BindBody{std::string(15, 's'), "12345678", std::string(12, 't'), 0x34, 1, 1, std::string(40, 'r')}},
      {Id(ECommandId::BindReceiver), 0, 2, BindBody{"a", "b", "", 0x34, 0, 0, ""}},
      {Id(ECommandId::BindTransceiver), 0, 3, BindBody{"a", "", "VMA", 0x34, 0, 0, ""}},
      {Id(ECommandId::BindTransmitterResp), 0, 1, BindRespBody{"SMSC", 0x34}},
      {Id(ECommandId::BindReceiverResp), 0, 2, BindRespBody{"SMSC", std::nullopt}},
      {Id(ECommandId::BindTransceiverResp), ESME_RINVPASWD, 3, BindRespBody{"", std::nullopt}},
      {Id(ECommandId::Unbind), 0, 4, {}},
      {Id(ECommandId::UnbindResp), 0, 4, {}},
      {Id(ECommandId::EnquireLink), 0, 0x7FFFFFFF, {}},
      {Id(ECommandId::EnquireLinkResp), 0, 0x7FFFFFFF, {}},
      {Id(ECommandId::GenericNack), ESME_RINVCMDLEN, 0, {}},
      {Id(ECommandId::SubmitSm), 0, 5, Sm},
      {Id(ECommandId::DeliverSm), 0, 6, Sm},
      {Id(ECommandId::SubmitSmResp), 0, 5, MessageIdBody{std::string(64, '9')}},
      {Id(ECommandId::DeliverSmResp), 0, 6, MessageIdBody{}},
  };
  for (const Pdu& Message : All) {
    SCOPED_TRACE(CommandName(Message.nCommandId));
    EXPECT_EQ(Decoded(EncodePdu(Message)), Message);
  }
}

TEST(PduCodec, RefusesToEncodeWhatDoesNotFitAndLeavesTheBufferAlone) {
  std::vector<uint8_t> Out = {1, 2, 3};
  auto Encode = [&](const Pdu& Message) { EncodePdu(Message, Out); };
  EXPECT_THROW(Encode({Id(ECommandId::BindTransceiver), 0, 1, BindBody{std::string(16, 's'), "", "", 0x34, 0, 0, ""}}),
               std::invalid_argument);
  EXPECT_THROW(Encode({Id(ECommandId::BindTransceiver), 0, 1, BindBody{"s", "123456789", "", 0x34, 0, 0, ""}}),
               std::invalid_argument);
  ShortMessageBody Sm;
  Sm.sDestinationAddr = std::string(21, '1');
  EXPECT_THROW(Encode({Id(ECommandId::SubmitSm), 0, 1, Sm}), std::invalid_argument);
  Sm.sDestinationAddr = "1";
  Sm.ShortMessage.assign(255, 0);
  EXPECT_THROW(Encode({Id(ECommandId::SubmitSm), 0, 1, Sm}), std::invalid_argument);
  Sm.ShortMessage.clear();
  Sm.sSourceAddr = std::string("a\0b", 3);
  EXPECT_THROW(Encode({Id(ECommandId::SubmitSm), 0, 1, Sm}), std::invalid_argument);
  // A body that is not the command's.
  EXPECT_THROW(Encode({Id(ECommandId::SubmitSm), 0, 1, MessageIdBody{}}), std::invalid_argument);
  EXPECT_THROW(Encode({Id(ECommandId::EnquireLink), 0, 1, MessageIdBody{}}), std::invalid_argument);
  EXPECT_THROW(Encode({0x00000103, 0, 1, {}}), std::invalid_argument);
  EXPECT_EQ(Out, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(PduCodec, ResponsesWithAnErrorMayComeWithoutBody) {
  Pdu Refused = Decoded(Bytes("00000010 80000009 0000000E 00000001"));
  EXPECT_EQ(Refused.nCommandStatus, ESME_RINVPASWD);
  EXPECT_EQ(std::get<BindRespBody>(Refused.Body).sSystemId, "");
  Pdu Throttled = Decoded(Bytes("00000010 80000004 00000058 00000002"));
  EXPECT_EQ(std::get<MessageIdBody>(Throttled.Body).sMessageId, "");
  Decoded(Bytes("00000010 80000005 00000000 00000003"));  // deliver_sm_resp, no body
  // An accepted submission must carry its message_id.
  EXPECT_EQ(Failed(Bytes("00000010 80000004 00000000 00000002")).eKind, EDecodeError::Truncated);
}

TEST(PduCodec, HeaderFaultsAreAnsweredWithGenericNack) {
  DecodeError Short = Failed(Bytes("00000010 00000015 00000000"));
  EXPECT_EQ(Short.eKind, EDecodeError::BadCommandLength);
  EXPECT_FALSE(Short.bHeaderRead);

  DecodeError Mismatch = Failed(Bytes("00000011 00000015 00000000 00000004"));
  EXPECT_EQ(Mismatch.eKind, EDecodeError::BadCommandLength);
  EXPECT_EQ(Mismatch.nSequence, 4u);
  EXPECT_EQ(Mismatch.nAnswerStatus, ESME_RINVCMDLEN);
  EXPECT_TRUE(Mismatch.AnswerWithGenericNack());

  DecodeError DataSm = Failed(Bytes("00000014 00000103 00000000 00000005 01020304"));
  EXPECT_EQ(DataSm.eKind, EDecodeError::UnknownCommandId);
  EXPECT_EQ(DataSm.nAnswerStatus, ESME_RINVCMDID);
  EXPECT_EQ(DataSm.nSequence, 5u);
  EXPECT_TRUE(DataSm.AnswerWithGenericNack());
  EXPECT_NE(DataSm.Describe().find("0x00000103"), std::string::npos) << DataSm.Describe();
}

TEST(PduCodec, BodyFaultsNameTheFieldAndTheirAnswer) {
  struct Case {
    const char* sName;
    const char* sOctets;
    EDecodeError eKind;
    uint32_t nAnswer;
    const char* sMentions;
  };
  const Case Cases[] = {
      {"ends inside the mandatory fields", "00000000 00000005 00000000 00000001 00 01 01 '4477' 00 00 00",
       EDecodeError::Truncated, ESME_RINVCMDLEN, "destination_addr"},
      {"source_addr longer than 20", "00000000 00000005 00000000 00000001 00 01 01 '123456789012345678901234567890' 00",
       EDecodeError::InvalidField, ESME_RINVSRCADR, "source_addr"},
      {"sm_length 255", "00000000 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF 41",
       EDecodeError::InvalidField, ESME_RINVMSGLEN, "sm_length"},
      {"sm_length past the end",
       "00000000 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0A 41",
       EDecodeError::Truncated, ESME_RINVCMDLEN, "short_message"},
      {"half a TLV header",
       "00000000 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 04 27 00",
       EDecodeError::BadTlv, ESME_RINVOPTPARSTREAM, "TLV"},
      {"TLV value past the end",
       "00000000 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0424 0010 41",
       EDecodeError::BadTlv, ESME_RINVOPTPARSTREAM, "0x0424"},
      {"message_state of two octets",
       "00000000 00000005 00000000 00000001 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0427 0002 0102",
       EDecodeError::BadTlv, ESME_RINVPARLEN, "0x0427"},
      {"message_id without NUL", "00000000 80000004 00000000 00000001 'abcd'", EDecodeError::Truncated, ESME_RINVCMDLEN,
       "message_id"},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.sName);
    DecodeError Error = Failed(WithLength(Bytes(c.sOctets)));
    EXPECT_EQ(Error.eKind, c.eKind) << Error.Describe();
    EXPECT_EQ(Error.nAnswerStatus, c.nAnswer);
    EXPECT_TRUE(Error.bHeaderRead);
    EXPECT_NE(Error.sDetail.find(c.sMentions), std::string::npos) << Error.sDetail;
  }
  // receipted_message_id over its 65 octets.
  std::vector<uint8_t> Long = Bytes("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 001E 0042");
  Long.insert(Long.end(), 66, 'x');
  std::vector<uint8_t> Pdu_ = Bytes("00000000 00000005 00000000 00000001");
  Pdu_.insert(Pdu_.end(), Long.begin(), Long.end());
  EXPECT_EQ(Failed(WithLength(Pdu_)).nAnswerStatus, ESME_RINVPARLEN);
}

// Cutting a valid PDU anywhere (command_length adjusted) gives either a PDU,
// when the cut falls between TLVs, or a clean error; never a read past the
// end, which the address sanitizer build would catch.
TEST(PduCodec, EveryCutOfAValidPduIsHandled) {
  std::vector<uint8_t> Full = Bytes(kDeliverReceipt);
  size_t nDecoded = 0;
  for (size_t n = kHeaderLength; n < Full.size(); ++n) {
    std::vector<uint8_t> Cut(Full.begin(), Full.begin() + static_cast<std::ptrdiff_t>(n));
    Cut[2] = static_cast<uint8_t>(n >> 8);
    Cut[3] = static_cast<uint8_t>(n);
    if (std::holds_alternative<Pdu>(DecodePdu(Cut))) ++nDecoded;
  }
  EXPECT_EQ(nDecoded, 4u);  // before each of the four TLVs
}

}  // namespace
}  // namespace Norvale::Smpp
