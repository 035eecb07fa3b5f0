#include "smpp/submit_builder.h"

#include <gtest/gtest.h>

#include "smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using Test::Hex;

Sms::PhoneNumber To(const char* szNumber) { return Sms::PhoneNumber::FromText(szNumber); }

SubmitSettings Account() {
  SubmitSettings Settings;
  Settings.Source = SourceAddress("Velquor");
  return Settings;
}

TEST(SubmitBuilder, ShortGsmTextGoesUnpackedInShortMessage) {
  auto Parts = Sms::SplitText("Hi @ 5€", 1);
  ASSERT_EQ(Parts.size(), 1u);
  ShortMessageBody Sm = BuildSubmitSm(Account(), To("+44 7700 900123"), Parts[0], true);
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
  EXPECT_EQ(BuildSubmitSm(Account(), To("123"), Parts[0], false).nRegisteredDelivery, 0);
}

TEST(SubmitBuilder, LongTextAsConcatenatedPartsOrAsOnePayload) {
  std::string sText(300, 'x');
  auto Parts = Sms::SplitText(sText, 0x2A);
  ASSERT_EQ(Parts.size(), 2u);
  for (size_t i = 0; i < Parts.size(); ++i) {
    ShortMessageBody Sm = BuildSubmitSm(Account(), To("+1555"), Parts[i], false);
    EXPECT_EQ(Sm.nEsmClass, kEsmUdhi);
    ASSERT_GE(Sm.ShortMessage.size(), 6u);
    EXPECT_EQ(Hex({Sm.ShortMessage.begin(), Sm.ShortMessage.begin() + 6}),
              i == 0 ? "05 00 03 2A 02 01" : "05 00 03 2A 02 02");
    EXPECT_EQ(Sm.ShortMessage.size(), 6 + (i == 0 ? 153u : 147u));
    EXPECT_FALSE(Sm.MessagePayload);
  }

  ShortMessageBody Whole = BuildSubmitSm(Account(), To("+1555"), MergeParts(Parts), false);
  EXPECT_EQ(Whole.nEsmClass, 0);
  EXPECT_TRUE(Whole.ShortMessage.empty());
  ASSERT_TRUE(Whole.MessagePayload);
  EXPECT_EQ(*Whole.MessagePayload, std::vector<uint8_t>(300, 'x'));
}

TEST(SubmitBuilder, Ucs2AndDataKeepTheirCoding) {
  auto Ucs2 = Sms::SplitText("Привет", 1);
  ShortMessageBody Sm = BuildSubmitSm(Account(), To("+7900"), Ucs2[0], false);
  EXPECT_EQ(Sm.nDataCoding, 0x08);
  EXPECT_EQ(Hex(Sm.ShortMessage), "04 1F 04 40 04 38 04 32 04 35 04 42");

  const uint8_t Ports[] = {0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0};
  const uint8_t Data[] = {0xDE, 0xAD};
  auto Parts = Sms::SplitData(0xF5, Ports, Data, 1);
  ShortMessageBody Bin = BuildSubmitSm(Account(), To("+1555"), Parts[0], false);
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
  ShortMessageBody Payload = BuildSubmitSm(Account(), To("+1555"), Whole, false);
  ASSERT_TRUE(Payload.MessagePayload);
  EXPECT_EQ(Payload.MessagePayload->size(), 1 + 6 + 300u);
  EXPECT_EQ(Payload.nEsmClass, kEsmUdhi);
}

// An SMSC whose data_coding 0 is Latin-1 gets Latin-1 octets, or UCS-2 for
// a character Latin-1 lacks. Data with DCS 0 is GSM text too; UCS-2 stays.
TEST(SubmitBuilder, DefaultAlphabetLatin1SendsLatin1OrUcs2) {
  SubmitSettings Latin1 = Account();
  Latin1.bDefaultIsLatin1 = true;
  auto Cafe = Sms::SplitText("Café @ {5}", 1);
  ASSERT_EQ(Cafe.size(), 1u);
  ShortMessageBody Sm = BuildSubmitSm(Latin1, To("123"), Cafe[0], false);
  EXPECT_EQ(Sm.nDataCoding, 0x00);
  EXPECT_EQ(Hex(Sm.ShortMessage), "43 61 66 E9 20 40 20 7B 35 7D");
  EXPECT_EQ(Hex(BuildSubmitSm(Account(), To("123"), Cafe[0], false).ShortMessage),
            "43 61 66 05 20 00 20 1B 28 35 1B 29");  // the default: GSM septets

  auto Euro = Sms::SplitText("5€", 1);
  Sm = BuildSubmitSm(Latin1, To("123"), Euro[0], false);
  EXPECT_EQ(Sm.nDataCoding, 0x08);
  EXPECT_EQ(Hex(Sm.ShortMessage), "00 35 20 AC");

  // A full GSM part of a long message: as Latin-1 it keeps its size (with
  // the concatenation header in short_message); with a euro sign it would
  // not fit as UCS-2 and is refused rather than sent wrong.
  auto Long = Sms::SplitText(std::string(200, 'e'), 7);
  ASSERT_EQ(Long.size(), 2u);
  Sm = BuildSubmitSm(Latin1, To("123"), Long[0], false);
  EXPECT_EQ(Sm.nDataCoding, 0x00);
  EXPECT_EQ(Sm.ShortMessage.size(), 6u + 153u);
  EXPECT_FALSE(Sm.MessagePayload);
  auto LongEuro = Sms::SplitText("€" + std::string(300, 'e'), 7);
  ASSERT_EQ(LongEuro.size(), 2u);
  EXPECT_THROW(BuildSubmitSm(Latin1, To("123"), LongEuro[0], false), std::invalid_argument);
  EXPECT_EQ(BuildSubmitSm(Latin1, To("123"), LongEuro[1], false).nDataCoding, 0x00);  // all Latin-1
  // The whole message in message_payload goes as UCS-2.
  Sm = BuildSubmitSm(Latin1, To("123"), MergeParts(LongEuro), false);
  EXPECT_EQ(Sm.nDataCoding, 0x08);
  ASSERT_TRUE(Sm.MessagePayload);
  EXPECT_EQ(Sm.MessagePayload->size(), 2u * 301u);

  auto Data = Sms::SplitData(0x00, {}, std::vector<uint8_t>{0x00, 0x05}, 1);
  EXPECT_EQ(Hex(BuildSubmitSm(Latin1, To("123"), Data[0], false).ShortMessage), "40 E9");  // DCS 0: septets
  auto Unicode = Sms::SplitUcs2Hex("00E9", 1);
  EXPECT_EQ(Hex(BuildSubmitSm(Latin1, To("123"), Unicode[0], false).ShortMessage), "00 E9");
}

TEST(SubmitBuilder, ANameAsDestinationIsAnInvalidNumber) {
  auto Parts = Sms::SplitText("x", 1);
  EXPECT_THROW(BuildSubmitSm(Account(), *Sms::PhoneNumber::ParseSender("Velquor").number, Parts[0], false),
               InvalidAddress);
}

TEST(SubmitBuilder, AMessagesOwnSenderPriorityAndValidityReplaceTheAccounts) {
  auto Parts = Sms::SplitText("x", 1);
  SubmitSettings Settings = Account();
  Settings.sValidityPeriod = "000001000000000R";
  const ShortMessageBody Plain = BuildSubmitSm(Settings, To("123"), Parts[0], false);
  EXPECT_EQ(Plain.sSourceAddr, "Velquor");
  EXPECT_EQ(Plain.nPriorityFlag, 0);
  EXPECT_EQ(Plain.sValidityPeriod, "000001000000000R");

  MessageControls Controls{"Shop", 1, std::chrono::seconds(2 * 3600)};
  ShortMessageBody Sm = BuildSubmitSm(Settings, To("123"), Parts[0], true, Controls);
  EXPECT_EQ(SmppAddress({Sm.nSourceTon, Sm.nSourceNpi, Sm.sSourceAddr}),
            SmppAddress({kTonAlphanumeric, kNpiUnknown, "Shop"}));
  EXPECT_EQ(Sm.nPriorityFlag, 1);
  EXPECT_EQ(Sm.sValidityPeriod, "000000020000000R");
  EXPECT_EQ(Sm.nRegisteredDelivery, kRegisteredDeliveryFinal);

  Controls = {"+4930123", 0, std::nullopt};
  Sm = BuildSubmitSm(Settings, To("123"), Parts[0], false, Controls);
  EXPECT_EQ(SmppAddress({Sm.nSourceTon, Sm.nSourceNpi, Sm.sSourceAddr}),
            SmppAddress({kTonInternational, kNpiIsdn, "4930123"}));
  EXPECT_EQ(Sm.sValidityPeriod, "000001000000000R");
  Controls.sSender = "030123";
  Sm = BuildSubmitSm(Settings, To("123"), Parts[0], false, Controls);
  EXPECT_EQ(SmppAddress({Sm.nSourceTon, Sm.nSourceNpi, Sm.sSourceAddr}),
            SmppAddress({kTonUnknown, kNpiIsdn, "030123"}));
  // A handset with a configured TON/NPI gives them to digits without '+'.
  Settings.Source = SourceAddress("4930", kTonNational, kNpiIsdn);
  Settings.bConfiguredTonNpi = true;
  Sm = BuildSubmitSm(Settings, To("123"), Parts[0], false, Controls);
  EXPECT_EQ(SmppAddress({Sm.nSourceTon, Sm.nSourceNpi, Sm.sSourceAddr}),
            SmppAddress({kTonNational, kNpiIsdn, "030123"}));
}

TEST(SubmitBuilder, ASenderOrPriorityThatCannotBeSentRefusesTheMessageNotTheNumber) {
  auto Parts = Sms::SplitText("x", 1);
  for (const MessageControls& Bad : {MessageControls{"TwelveChars!", 0, {}}, MessageControls{"Caf\xC3\xA9", 0, {}},
                                     MessageControls{"+123456789012345678901", 0, {}}, MessageControls{"", 4, {}}}) {
    try {
      BuildSubmitSm(Account(), To("123"), Parts[0], false, Bad);
      ADD_FAILURE() << Bad.sSender;
    } catch (const InvalidAddress&) {
      ADD_FAILURE() << Bad.sSender << ": taken for the destination's fault";
    } catch (const std::invalid_argument&) {
    }
  }
}

}  // namespace
}  // namespace Norvale::Smpp
