#include "codec/sms_submit.h"

#include <gtest/gtest.h>

#include "codec/hex.h"
#include "codec/pdu_error.h"
#include "codec/sms_split.h"
#include "codec/udh.h"

namespace Norvale::Sms {
namespace {

using std::chrono::hours;
using std::chrono::minutes;

// The SMS-SUBMIT example quoted with AT+CMGS: "hellohello", 4 days validity.
constexpr const char* kClassicSubmit = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";

TEST(SmsSubmitPdu, EncodesAndDecodesThePublishedExample) {
  SmsSubmit s;
  s.Destination = ParseAddress("+46708251358");
  s.eValidityFormat = ValidityFormat::Relative;
  s.Validity = {RelativeValidity(hours(24 * 4))};
  s.UserData = SplitText("hellohello", 0).front();
  const EncodedPdu pdu = EncodeSubmit(s);
  EXPECT_EQ(pdu.Hex(), kClassicSubmit);
  EXPECT_EQ(pdu.nTpduLength, 23u);  // AT+CMGS=23

  const SmsSubmit d = DecodeSubmit(pdu.Octets);
  EXPECT_EQ(d, s);
  EXPECT_EQ(d.Destination.nType, kToaInternational);
  EXPECT_EQ(RelativeValidityPeriod(d.Validity[0]), hours(96));
  // Without the SMSC prefix, as an SMSC-side decoder sees it.
  EXPECT_EQ(DecodeSubmit(std::span(pdu.Octets).subspan(1), false), d);
}

TEST(SmsSubmitPdu, FlagsSmscAndAddressTypes) {
  SmsSubmit s;
  s.sSmsc = "+447785016005";
  s.bRejectDuplicates = s.bStatusReportRequest = s.bReplyPath = true;
  s.nMessageReference = 0x7F;
  s.Destination = ParseAddress("0170*#1");
  s.nPid = 0x41;
  s.UserData = SplitText("x", 0).front();
  const EncodedPdu pdu = EncodeSubmit(s);
  // SMSC 07 91 447758100650, first octet A5 (RP, SRR, RD, SUBMIT), MR 7F,
  // destination 7 digits of unknown type with * and #.
  EXPECT_EQ(pdu.Hex().substr(0, 32),
            "0791447758100650"
            "A5"
            "7F"
            "0781"
            "1007BAF1");
  EXPECT_EQ(pdu.nTpduLength, pdu.Octets.size() - 8);
  EXPECT_EQ(DecodeSubmit(pdu.Octets), s);

  EXPECT_EQ(ParseAddress("Shop 24").nType, kToaAlphanumeric);
  EXPECT_THROW(ParseAddress(""), std::invalid_argument);
  EXPECT_THROW(ParseAddress("+" + std::string(21, '1')), std::invalid_argument);
  EXPECT_THROW(ParseAddress("TooLongSender"), std::invalid_argument);
  EXPECT_THROW(ParseAddress("Привет"), std::invalid_argument);
}

TEST(SmsSubmitPdu, ConcatenatedPartsCarryHeaderAndFillBits) {
  const std::string text = std::string(152, 'a') + "€[^" + std::string(10, 'b');
  const auto parts = SplitText(text, 0x5A);
  ASSERT_EQ(parts.size(), 2u);
  for (const auto& part : parts) {
    SmsSubmit s;
    s.Destination = ParseAddress("+4912345678");
    s.UserData = part;
    const EncodedPdu pdu = EncodeSubmit(s);
    EXPECT_EQ(pdu.Octets[1] & 0x40, 0x40) << "TP-UDHI";
    EXPECT_EQ(DecodeSubmit(pdu.Octets).UserData, part);
  }
  SmsSubmit s;
  s.Destination = ParseAddress("+4912345678");
  s.UserData = parts[0];
  const std::string hex = EncodeSubmit(s).Hex();
  // UDL 7 + 152 septets, then 05 00 03 5A 02 01 and "aaaa" after one fill bit.
  EXPECT_EQ(hex.substr(hex.find("9F050003"), 20), "9F0500035A0201C2E170");

  // A header without text: its fill bit still takes the seventh octet.
  s.UserData.Payload.clear();
  const EncodedPdu empty = EncodeSubmit(s);
  EXPECT_EQ(empty.Hex().substr(empty.Hex().size() - 16),
            "07"
            "0500035A0201"
            "00");
  EXPECT_EQ(DecodeSubmit(empty.Octets).UserData, s.UserData);
  s.UserData.Udh = FromHex("0804ABCD0201");  // 7 header octets, no fill bits
  EXPECT_EQ(EncodeSubmit(s).Hex().substr(empty.Hex().size() - 16),
            "08"
            "060804ABCD0201");
}

TEST(SmsSubmitPdu, DataMessageWithPortsAndValidityFormats) {
  const auto parts = SplitData(0xF5, FromHex("05040B8423F0"), std::vector<uint8_t>(200, 0xAB), 9);
  ASSERT_EQ(parts.size(), 2u);
  SmsSubmit s;
  s.Destination = ParseAddress("+4912345678");
  s.eValidityFormat = ValidityFormat::Absolute;
  s.Validity = FromHex("42211392958500");
  s.UserData = parts[1];
  const SmsSubmit d = DecodeSubmit(EncodeSubmit(s).Octets);
  EXPECT_EQ(d, s);
  const auto elements = ParseUdh(d.UserData.Udh);
  EXPECT_EQ(FindPorts(elements), (PortAddressing{2948, 9200, true}));
  EXPECT_EQ(FindConcatenation(elements), (Concatenation{9, 2, 2, false}));

  s.Validity = {0x10};  // one octet for an absolute format
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);
}

TEST(SmsSubmitPdu, RefusesWhatCannotBeSent) {
  SmsSubmit s;
  s.Destination = ParseAddress("+4912345678");
  s.UserData = {Coding::Gsm7, 0x00, {}, std::vector<uint8_t>(161, 0x41)};
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);  // over 160 septets
  s.UserData = {Coding::Gsm7, 0x08, {}, {0x41}};
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);  // DCS says UCS-2
  s.UserData = {Coding::Data8, 0x04, FromHex("0003010201"), std::vector<uint8_t>(135)};
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);  // 6 + 135 octets
  s.UserData = {Coding::Gsm7, 0x00, {}, {0x80}};
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);  // not a septet
  s.UserData = {};
  s.Destination = {"12x4", kToaUnknown};
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);
  s.Destination = {};
  EXPECT_THROW(EncodeSubmit(s), std::invalid_argument);
}

TEST(SmsSubmitPdu, RelativeValidityRoundsUpToTheNextStep) {
  EXPECT_EQ(RelativeValidity(minutes(0)), 0);
  EXPECT_EQ(RelativeValidity(minutes(5)), 0);
  EXPECT_EQ(RelativeValidity(minutes(6)), 1);
  EXPECT_EQ(RelativeValidity(hours(12)), 143);
  EXPECT_EQ(RelativeValidity(hours(12) + minutes(1)), 144);
  EXPECT_EQ(RelativeValidity(hours(24)), 167);
  EXPECT_EQ(RelativeValidity(hours(25)), 168);
  EXPECT_EQ(RelativeValidity(hours(24 * 30)), 196);
  EXPECT_EQ(RelativeValidity(hours(24 * 31)), 197);
  EXPECT_EQ(RelativeValidity(hours(24 * 7 * 63)), 255);
  EXPECT_EQ(RelativeValidity(hours(24 * 7 * 100)), 255);
  for (int n = 0; n < 256; ++n) EXPECT_EQ(RelativeValidity(RelativeValidityPeriod(uint8_t(n))), n);
}

TEST(SmsSubmitPdu, MalformedSubmitsRaiseErrors) {
  const auto pdu = FromHex(kClassicSubmit);
  for (size_t n = 0; n < pdu.size(); ++n) EXPECT_THROW(DecodeSubmit(std::span(pdu).first(n)), PduError) << n;
  EXPECT_THROW(DecodeSubmit(FromHex("0019000B916407281553F80000"
                                    "AABBCC")),
               PduError);                                                                           // absolute VP cut
  EXPECT_THROW(DecodeSubmit(FromHex("00040B916407281553F80000AA0AE8329BFD4697D9EC37")), PduError);  // a DELIVER
}

}  // namespace
}  // namespace Norvale::Sms
