#include "smpp/incoming_message.h"

#include <gtest/gtest.h>

#include "codec/sms_split.h"
#include "smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using Test::Bytes;
using Test::Hex;

ShortMessageBody Mo(uint8_t nDataCoding, std::vector<uint8_t> UserData, uint8_t nEsmClass = 0) {
  ShortMessageBody Body;
  Body.nSourceTon = 1;
  Body.nSourceNpi = 1;
  Body.sSourceAddr = "447700900123";
  Body.sDestinationAddr = "12345";
  Body.nDataCoding = nDataCoding;
  Body.nEsmClass = nEsmClass;
  Body.ShortMessage = std::move(UserData);
  return Body;
}

std::string Text(const IncomingMessage& Message) { return Sms::PartsToUtf8(std::span(&Message.Part, 1)); }

TEST(IncomingMessage, TextTypedByDataCoding) {
  std::string sWarning;
  IncomingMessage Gsm = ReadIncomingMessage(Mo(0x00, Bytes("48 69 00 1B 65")), sWarning);
  EXPECT_EQ(Gsm.Part.eCoding, Sms::Coding::Gsm7);
  EXPECT_EQ(Text(Gsm), "Hi@€");
  EXPECT_EQ(Gsm.Source, (SmppAddress{1, 1, "447700900123"}));
  EXPECT_TRUE(sWarning.empty());

  IncomingMessage Ucs2 = ReadIncomingMessage(Mo(0x08, Bytes("04 1F 04 40 D8 3D DE 00")), sWarning);
  EXPECT_EQ(Ucs2.Part.eCoding, Sms::Coding::Ucs2);
  EXPECT_EQ(Text(Ucs2), "Пр😀");

  IncomingMessage Latin1 = ReadIncomingMessage(Mo(0x03, Bytes("'Caf' E9")), sWarning);
  EXPECT_EQ(Latin1.Part.eCoding, Sms::Coding::Ucs2);
  EXPECT_EQ(Text(Latin1), "Café");
  IncomingMessage Ascii = ReadIncomingMessage(Mo(0x01, Bytes("'a{b}'")), sWarning);
  EXPECT_EQ(Text(Ascii), "a{b}");
  EXPECT_TRUE(sWarning.empty());

  IncomingMessage Data = ReadIncomingMessage(Mo(0x04, Bytes("00 FF")), sWarning);
  EXPECT_EQ(Data.Part.eCoding, Sms::Coding::Data8);
  EXPECT_EQ(Hex(Data.Part.Payload), "00 FF");

  IncomingMessage Class1 = ReadIncomingMessage(Mo(0xF1, Bytes("41")), sWarning);  // GSM DCS: 7-bit, class 1
  EXPECT_EQ(Class1.Part.eCoding, Sms::Coding::Gsm7);
  EXPECT_EQ(Class1.Part.nDcs, 0xF1);
  EXPECT_TRUE(sWarning.empty());
}

// An SMSC whose default alphabet is Latin-1: data_coding 0 holds Latin-1,
// where the same octets read as GSM would turn '@' into 0x00 and 'é' (0xE9)
// into a fallback.
TEST(IncomingMessage, DefaultAlphabetLatin1ReadsDataCodingZeroAsLatin1) {
  std::string sWarning;
  IncomingMessage Latin1 = ReadIncomingMessage(Mo(0x00, Bytes("'Caf' E9 ' @ 5' A3")), sWarning, true);
  EXPECT_EQ(Latin1.Part.eCoding, Sms::Coding::Ucs2);
  EXPECT_EQ(Text(Latin1), "Café @ 5£");
  EXPECT_TRUE(sWarning.empty()) << sWarning;
  IncomingMessage Gsm = ReadIncomingMessage(Mo(0x00, Bytes("'Caf' 05 ' ' 00")), sWarning, false);
  EXPECT_EQ(Text(Gsm), "Café @");  // the default: GSM septets (0x05 'é', 0x00 '@')
  IncomingMessage Explicit = ReadIncomingMessage(Mo(0x08, Bytes("00 E9")), sWarning, true);
  EXPECT_EQ(Text(Explicit), "é");  // other codings as before
}

TEST(IncomingMessage, DoubtfulCodingsAreKeptWithAWarning) {
  std::string sWarning;
  IncomingMessage NotSeptets = ReadIncomingMessage(Mo(0x00, Bytes("'Caf' E9")), sWarning);
  EXPECT_EQ(Text(NotSeptets), "Café");
  EXPECT_NE(sWarning.find("Latin-1"), std::string::npos);

  sWarning.clear();
  IncomingMessage Kanji = ReadIncomingMessage(Mo(0x0D, Bytes("88 9F")), sWarning);
  EXPECT_EQ(Kanji.Part.eCoding, Sms::Coding::Data8);
  EXPECT_EQ(Hex(Kanji.Part.Payload), "88 9F");
  EXPECT_FALSE(sWarning.empty());
}

TEST(IncomingMessage, ConcatenationFromUdhOrSar) {
  std::string sWarning;
  IncomingMessage Udh = ReadIncomingMessage(Mo(0x00, Bytes("05 00 03 7F 03 02 41 42"), kEsmUdhi), sWarning);
  EXPECT_EQ(Hex(Udh.Part.Udh), "00 03 7F 03 02");
  EXPECT_EQ(Hex(Udh.Part.Payload), "41 42");
  EXPECT_EQ(Udh.Concat, (Sms::Concatenation{0x7F, 3, 2, false}));

  ShortMessageBody Sar = Mo(0x08, Bytes("00 41"));
  Sar.nSarMsgRefNum = 0x1234;
  Sar.nSarTotalSegments = 3;
  Sar.nSarSegmentSeqnum = 3;
  IncomingMessage FromSar = ReadIncomingMessage(Sar, sWarning);
  EXPECT_EQ(FromSar.Concat, (Sms::Concatenation{0x1234, 3, 3, true}));
  EXPECT_EQ(Hex(FromSar.Part.Udh), "08 04 12 34 03 03");  // for the engine's reassembler
  EXPECT_TRUE(sWarning.empty());

  Sar.nSarSegmentSeqnum = 4;  // beyond the total
  IncomingMessage Bad = ReadIncomingMessage(Sar, sWarning);
  EXPECT_FALSE(Bad.Concat);
  EXPECT_TRUE(Bad.Part.Udh.empty());
  EXPECT_NE(sWarning.find("SAR"), std::string::npos);
}

TEST(IncomingMessage, BrokenHeaderKeepsEverythingAsData) {
  std::string sWarning;
  IncomingMessage Long = ReadIncomingMessage(Mo(0x00, Bytes("09 00 03 01 02 01 41"), kEsmUdhi), sWarning);
  EXPECT_EQ(Long.Part.eCoding, Sms::Coding::Data8);
  EXPECT_EQ(Hex(Long.Part.Payload), "09 00 03 01 02 01 41");
  EXPECT_FALSE(sWarning.empty());

  sWarning.clear();
  IncomingMessage BadIe = ReadIncomingMessage(Mo(0x00, Bytes("03 00 05 01 41"), kEsmUdhi), sWarning);
  EXPECT_EQ(BadIe.Part.eCoding, Sms::Coding::Data8);
  EXPECT_EQ(BadIe.Part.Payload.size(), 5u);
  EXPECT_NE(sWarning.find("header"), std::string::npos);

  sWarning.clear();
  ShortMessageBody Payload = Mo(0x00, {});
  Payload.MessagePayload = Bytes("'long text'");
  EXPECT_EQ(Text(ReadIncomingMessage(Payload, sWarning)), "long text");
  EXPECT_TRUE(sWarning.empty());
}

}  // namespace
}  // namespace Norvale::Smpp
