#include "codec/sms_status_report.h"

#include <gtest/gtest.h>

#include "codec/hex.h"
#include "codec/pdu_error.h"

namespace Norvale::Sms {
namespace {

TEST(SmsStatusReportPdu, DecodesAReportFieldByField) {
  const auto pdu = FromHex("0006D60B911326880736F4111011719551401110117195714000");
  const SmsStatusReport r = DecodeStatusReport(pdu);
  EXPECT_EQ(r.sSmsc, "");
  EXPECT_FALSE(r.bMoreMessagesToSend);
  EXPECT_FALSE(r.bCommandReport);
  EXPECT_EQ(r.nMessageReference, 0xD6);
  EXPECT_EQ(r.Recipient, (PhoneAddress{"+31628870634", 0x91}));
  EXPECT_EQ(r.ServiceCentreTime, (SmsTimestamp{2011, 1, 11, 17, 59, 15, 4}));
  EXPECT_EQ(r.DischargeTime.ToString(), "2011-01-11 17:59:17+01:00");
  EXPECT_EQ(r.nStatus, 0);
  EXPECT_EQ(r.State(), DeliveryState::Delivered);
  EXPECT_FALSE(r.nPid);
  EXPECT_FALSE(r.UserData);
  EXPECT_EQ(EncodeStatusReport(r).Octets, pdu);

  for (size_t n = 0; n < pdu.size(); ++n) EXPECT_THROW(DecodeStatusReport(std::span(pdu).first(n)), PduError) << n;
  EXPECT_THROW(DecodeStatusReport(FromHex("0004D60B911326880736F4")), PduError);  // a DELIVER's MTI
}

TEST(SmsStatusReportPdu, OptionalParametersRoundTrip) {
  SmsStatusReport r;
  r.sSmsc = "+491710760000";
  r.nMessageReference = 3;
  r.Recipient = ParseAddress("+4912345");
  r.nStatus = std::uint8_t{0x46};
  r.nPid = 0x00;
  r.UserData = UserDataPart{Coding::Ucs2, 0x08, {}, FromHex("00480069")};
  const SmsStatusReport back = DecodeStatusReport(EncodeStatusReport(r).Octets);
  EXPECT_EQ(back.nPid, r.nPid);
  EXPECT_EQ(back.UserData, r.UserData);
  EXPECT_EQ(back.State(), DeliveryState::Failed);
  EXPECT_EQ(DescribeStatus(back.nStatus), "validity period expired");

  // A parameter indicator naming fields that are not there.
  EXPECT_THROW(DecodeStatusReport(FromHex("0006D60B911326880736F41110117195514011101171957140"
                                          "00"
                                          "06")),
               PduError);
}

TEST(SmsStatusReportPdu, ClassifiesStatusGroups) {
  const std::pair<uint8_t, DeliveryState> cases[] = {
      {0x00, DeliveryState::Delivered},
      {0x02, DeliveryState::Delivered},
      {0x1F, DeliveryState::Delivered},
      {0x20, DeliveryState::Pending},
      {0x25, DeliveryState::Pending},
      {0x3A, DeliveryState::Pending},
      {0x40, DeliveryState::Failed},
      {0x49, DeliveryState::Failed},
      {0x5F, DeliveryState::Failed},
      {0x60, DeliveryState::Failed},
      {0x7F, DeliveryState::Failed},
      // Reserved values count as "service rejected".
      {0x03, DeliveryState::Failed},
      {0x2C, DeliveryState::Failed},
      {0x80, DeliveryState::Failed},
  };
  for (const auto& [nStatus, eState] : cases) EXPECT_EQ(ClassifyStatus(nStatus), eState) << int(nStatus);
  EXPECT_EQ(DescribeStatus(0x21), "recipient busy, still trying");
  EXPECT_EQ(DescribeStatus(0x62), "no response from the recipient, no more attempts");
}

}  // namespace
}  // namespace Norvale::Sms
