#include "smpp/submit_builder.h"

#include <gtest/gtest.h>

#include "smpp/smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using Test::Hex;

SubmitSettings Account() {
  SubmitSettings Settings;
  Settings.Source = SourceAddress("Velquor");
  return Settings;
}

TEST(SubmitBuilder, ShortGsmTextGoesUnpackedInShortMessage) {
  auto Parts = Sms::SplitText("Hi @ 5€", 1);
  ASSERT_EQ(Parts.size(), 1u);
  ShortMessageBody Sm = BuildSubmitSm(Account(), "+44 7700 900123", Parts[0], true);
  EXPECT_EQ(Sm.nSourceTon, kTonAlphanumeric);
  EXPECT_EQ(Sm.sSourceAddr, "Velquor");
  EXPECT_EQ(Sm.nDestTon, kTonInternational);
  EXPECT_EQ(Sm.nDestNpi, kNpiIsdn);
  EXPECT_EQ(Sm.sDestinationAddr, "447700900123");
  EXPECT_EQ(Sm.nDataCoding, 0x00);
  EXPECT_EQ(Sm.nEsmClass, 0x00);
  EXPECT_EQ(Sm.nRegisteredDelivery, 0x01);
  // One septet per octet: '@' is 0x00, '€' the escape 1B 65.
  EXPECT_EQ(Hex(Sm.ShortMessage), "48 69 20 00 20 35 1B 65");
  EXPECT_FALSE(Sm.MessagePayload);
  EXPECT_EQ(BuildSubmitSm(Account(), "123", Parts[0], false).nRegisteredDelivery, 0);
}

TEST(SubmitBuilder, LongTextAsConcatenatedPartsOrAsOnePayload) {
  std::string sText(300, 'x');
  auto Parts = Sms::SplitText(sText, 0x2A);
  ASSERT_EQ(Parts.size(), 2u);
  for (size_t i = 0; i < Parts.size(); ++i) {
    ShortMessageBody Sm = BuildSubmitSm(Account(), "+1555", Parts[i], false);
    EXPECT_EQ(Sm.nEsmClass, kEsmUdhi);
    ASSERT_GE(Sm.ShortMessage.size(), 6u);
    EXPECT_EQ(Hex({Sm.ShortMessage.begin(), Sm.ShortMessage.begin() + 6}),
              i == 0 ? "05 00 03 2A 02 01" : "05 00 03 2A 02 02");
    EXPECT_EQ(Sm.ShortMessage.size(), 6 + (i == 0 ? 153u : 147u));
    EXPECT_FALSE(Sm.MessagePayload);
  }

  ShortMessageBody Whole = BuildSubmitSm(Account(), "+1555", MergeParts(Parts), false);
  EXPECT_EQ(Whole.nEsmClass, 0);
  EXPECT_TRUE(Whole.ShortMessage.empty());
  ASSERT_TRUE(Whole.MessagePayload);
  EXPECT_EQ(*Whole.MessagePayload, std::vector<uint8_t>(300, 'x'));
}

TEST(SubmitBuilder, Ucs2AndDataKeepTheirCoding) {
  auto Ucs2 = Sms::SplitText("Привет", 1);
  ShortMessageBody Sm = BuildSubmitSm(Account(), "+7900", Ucs2[0], false);
  EXPECT_EQ(Sm.nDataCoding, 0x08);
  EXPECT_EQ(Hex(Sm.ShortMessage), "04 1F 04 40 04 38 04 32 04 35 04 42");

  const uint8_t Ports[] = {0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0};
  const uint8_t Data[] = {0xDE, 0xAD};
  auto Parts = Sms::SplitData(0xF5, Ports, Data, 1);
  ShortMessageBody Bin = BuildSubmitSm(Account(), "+1555", Parts[0], false);
  EXPECT_EQ(Bin.nDataCoding, 0xF5);
  EXPECT_EQ(Bin.nEsmClass, kEsmUdhi);
  EXPECT_EQ(Hex(Bin.ShortMessage), "06 05 04 0B 84 23 F0 DE AD");

  // Merging keeps the port element, drops the concatenation one.
  std::vector<uint8_t> Big(300, 0x11);
  auto BigParts = Sms::SplitData(0x04, Ports, Big, 9);
  ASSERT_EQ(BigParts.size(), 3u);
  Sms::UserDataPart Whole = MergeParts(BigParts);
  EXPECT_EQ(Hex(Whole.Udh), "05 04 0B 84 23 F0");
  EXPECT_EQ(Whole.Payload, Big);
  ShortMessageBody Payload = BuildSubmitSm(Account(), "+1555", Whole, false);
  ASSERT_TRUE(Payload.MessagePayload);
  EXPECT_EQ(Payload.MessagePayload->size(), 1 + 6 + 300u);
  EXPECT_EQ(Payload.nEsmClass, kEsmUdhi);
}

TEST(SubmitBuilder, BadDestinationIsAnInvalidNumber) {
  auto Parts = Sms::SplitText("x", 1);
  EXPECT_THROW(BuildSubmitSm(Account(), "call me", Parts[0], false), InvalidAddress);
  EXPECT_THROW(BuildSubmitSm(Account(), "", Parts[0], false), InvalidAddress);
}

}  // namespace
}  // namespace Norvale::Smpp
