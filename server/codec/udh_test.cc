#include "codec/udh.h"

#include <gtest/gtest.h>

#include "codec/hex.h"
#include "codec/pdu_error.h"

namespace Norvale::Sms {
namespace {

TEST(SmsUdh, ParsesAndBuildsElements) {
  // Ports 16-bit (WAP push 2948 <- 9200), concatenation 16-bit, an unknown element.
  const auto udh = FromHex("05040B8423F00804ABCD020170021122");
  const auto elements = ParseUdh(udh);
  ASSERT_EQ(elements.size(), 3u);
  EXPECT_EQ(FindPorts(elements), (PortAddressing{2948, 9200, true}));
  EXPECT_EQ(FindConcatenation(elements), (Concatenation{0xABCD, 2, 1, true}));
  EXPECT_EQ(elements[2], (InformationElement{0x70, {0x11, 0x22}}));
  EXPECT_EQ(BuildUdh(elements), udh);

  const InformationElement concat8 = MakeConcatenationIe({0x42, 3, 2, false});
  EXPECT_EQ(ToHex(BuildUdh(std::vector{concat8, MakePortsIe({80, 81, false})})),
            "00034203020402"
            "5051");
  EXPECT_TRUE(ParseUdh({}).empty());
}

TEST(SmsUdh, IgnoresImpossibleKnownElementsAndTakesTheLastOne) {
  // Sequence 0, sequence above total, wrong length: none counts.
  EXPECT_FALSE(
      FindConcatenation(ParseUdh(FromHex("0003010300"
                                         "0003010304"
                                         "000401020304"))));
  EXPECT_FALSE(FindPorts(ParseUdh(FromHex("0403010203"))));
  EXPECT_EQ(FindConcatenation(ParseUdh(FromHex("00030102010003070302"))), (Concatenation{7, 3, 2, false}));
}

TEST(SmsUdh, MalformedHeadersRaiseErrors) {
  EXPECT_THROW(ParseUdh(FromHex("0003AA02")), PduError);      // claims 3 octets, 2 left
  EXPECT_THROW(ParseUdh(FromHex("000301020100")), PduError);  // trailing element without length
  EXPECT_THROW(ParseUdh(FromHex("00FF")), PduError);
  EXPECT_THROW(BuildUdh(std::vector{InformationElement{1, std::vector<uint8_t>(256)}}), std::invalid_argument);
}

}  // namespace
}  // namespace Norvale::Sms
