#include "codec/sms_deliver.h"

#include <gtest/gtest.h>

#include "codec/gsm_alphabet.h"
#include "codec/hex.h"
#include "codec/pdu_error.h"
#include "codec/udh.h"

namespace Norvale::Sms {
namespace {

// The SMS-DELIVER example quoted with the PDU-mode AT commands: "hellohello".
constexpr const char* kClassicDeliver = "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";

TEST(SmsDeliverPdu, DecodesThePublishedExampleFieldByField) {
  const SmsDeliver d = DecodeDeliver(FromHex(kClassicDeliver));
  EXPECT_EQ(d.sSmsc, "+27381000015");
  EXPECT_FALSE(d.bMoreMessagesToSend);
  EXPECT_FALSE(d.bStatusReportIndication);
  EXPECT_FALSE(d.bReplyPath);
  EXPECT_EQ(d.Originator, (PhoneAddress{"27838890001", 0xC8}));
  EXPECT_EQ(d.nPid, 0);
  EXPECT_EQ(d.UserData.nDcs, 0);
  EXPECT_EQ(d.ServiceCentreTime, (SmsTimestamp{1999, 3, 29, 15, 16, 59, 8}));
  EXPECT_EQ(d.ServiceCentreTime.ToString(), "1999-03-29 15:16:59+02:00");
  EXPECT_EQ(d.ServiceCentreTime.ToUtc(), std::chrono::sys_days(std::chrono::year(1999) / 3 / 29) +
                                             std::chrono::hours(13) + std::chrono::minutes(16) +
                                             std::chrono::seconds(59));
  EXPECT_EQ(d.UserData.eCoding, Coding::Gsm7);
  EXPECT_TRUE(d.UserData.Udh.empty());
  EXPECT_EQ(d.sText, "hellohello");
  EXPECT_EQ(EncodeDeliver(d).Hex(), kClassicDeliver);
}

TEST(SmsDeliverPdu, AlphanumericSenderNegativeZoneAndConcatenatedUcs2) {
  SmsDeliver d;
  d.sSmsc = "+491710760000";
  d.bMoreMessagesToSend = true;
  d.Originator = ParseAddress("Velquor");
  d.ServiceCentreTime = {2024, 12, 31, 23, 59, 58, -28};
  d.UserData = {Coding::Ucs2, 0x08, BuildUdh(std::vector{MakeConcatenationIe({0x1234, 2, 2, true})}),
                FromHex("04100431D83DDE00")};
  const EncodedPdu pdu = EncodeDeliver(d);
  // Sender: 13 semi-octets, type D0, "Velquor" packed; zone -7 h is 0x8A.
  EXPECT_NE(pdu.Hex().find("0DD0D6323B5E7FCB01"), std::string::npos) << pdu.Hex();
  EXPECT_NE(pdu.Hex().find("4221133295858A"), std::string::npos) << pdu.Hex();
  EXPECT_EQ(pdu.nTpduLength + 8, pdu.Octets.size());

  const SmsDeliver back = DecodeDeliver(pdu.Octets);
  EXPECT_EQ(back.sSmsc, d.sSmsc);
  EXPECT_EQ(back.Originator, (PhoneAddress{"Velquor", 0xD0}));
  EXPECT_EQ(back.ServiceCentreTime, d.ServiceCentreTime);
  EXPECT_EQ(back.ServiceCentreTime.ToString(), "2024-12-31 23:59:58-07:00");
  EXPECT_EQ(back.UserData, d.UserData);
  EXPECT_EQ(FindConcatenation(ParseUdh(back.UserData.Udh)), (Concatenation{0x1234, 2, 2, true}));
  EXPECT_EQ(back.sText, "Аб\U0001F600");
  EXPECT_TRUE(back.bMoreMessagesToSend);
}

TEST(SmsDeliverPdu, DataKeepsOctetsAndGsmAfterSevenOctetHeaderHasNoFillBits) {
  SmsDeliver d;
  d.Originator = ParseAddress("+4912345");
  d.UserData = {Coding::Data8, 0xF5, FromHex("05040B8423F0"), FromHex("00FF10")};
  const SmsDeliver data = DecodeDeliver(EncodeDeliver(d).Octets);
  EXPECT_EQ(data.UserData, d.UserData);
  EXPECT_FALSE(data.sText);

  // 16-bit reference: UDHL + 7 octets fill 8 septets exactly, no fill bits.
  d.UserData = {Coding::Gsm7, 0x00, FromHex("080400070301"), Utf8ToGsm7("hellohello")};
  const EncodedPdu pdu = EncodeDeliver(d);
  EXPECT_EQ(pdu.Hex().substr(pdu.Hex().size() - 2 * 17),
            "12"
            "06080400070301"
            "E8329BFD4697D9EC37");
  EXPECT_EQ(DecodeDeliver(pdu.Octets).sText, "hellohello");
}

TEST(SmsDeliverPdu, EveryTruncationIsAnError) {
  const auto pdu = FromHex(kClassicDeliver);
  for (size_t n = 0; n < pdu.size(); ++n)
    EXPECT_THROW(DecodeDeliver(std::span(pdu).first(n)), PduError) << n << " octets";
}

TEST(SmsDeliverPdu, MalformedFieldsAreNamed) {
  const auto Error = [](const std::string& hex) {
    try {
      DecodeDeliver(FromHex(hex));
    } catch (const PduError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  // Absurd address lengths.
  EXPECT_NE(Error("00"
                  "04"
                  "FF91" +
                  std::string(200, '1'))
                .find("TP-OA"),
            std::string::npos);
  EXPECT_NE(Error("FF" + std::string(40, '1')).find("SMSC"), std::string::npos);
  // User-data length beyond the end, and above 160 septets.
  EXPECT_NE(Error("00040B91214365870900000099309251619580"
                  "20"
                  "E8329B")
                .find("TP-UD"),
            std::string::npos);
  EXPECT_NE(Error("00040B91214365870900000099309251619580"
                  "A1" +
                  std::string(282, '0'))
                .find("TP-UDL"),
            std::string::npos);
  // Header longer than the user data; header element cut short.
  EXPECT_NE(Error("00440B91214365870900"
                  "0004"
                  "99309251619580"
                  "03"
                  "0500AA")
                .find("header"),
            std::string::npos);
  EXPECT_NE(Error("00440B91214365870900"
                  "0004"
                  "99309251619580"
                  "04"
                  "030003AA")
                .find("header"),
            std::string::npos);
  // Not a DELIVER; a time stamp digit that is not decimal.
  EXPECT_NE(Error("0011000B916407281553F80000AA0AE8329BFD4697D9EC37").find("TP-MTI"), std::string::npos);
  EXPECT_NE(Error("00040B912143658709000000993092516195F0"
                  "00")
                .find("TP-SCTS"),
            std::string::npos);
}

}  // namespace
}  // namespace Norvale::Sms
