#include "codec/gsm_alphabet.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/data_coding.h"

namespace Norvale::Sms {
namespace {

TEST(SmsGsmAlphabet, MapsDefaultAndExtensionCharacters) {
  EXPECT_EQ(Utf8ToGsm7("@£$ΔÉ¤¡§¿à\n"),
            (std::vector<uint8_t>{0x00, 0x01, 0x02, 0x10, 0x1F, 0x24, 0x40, 0x5F, 0x60, 0x7F, 0x0A}));
  EXPECT_EQ(Utf8ToGsm7("€[^|"), (std::vector<uint8_t>{0x1B, 0x65, 0x1B, 0x3C, 0x1B, 0x14, 0x1B, 0x40}));
  EXPECT_EQ(Gsm7Length(U'€'), 2u);
  EXPECT_EQ(Gsm7Length(U'a'), 1u);
  EXPECT_EQ(Gsm7Length(U'ç'), 0u);  // only the capital Ç is in the table
}

TEST(SmsGsmAlphabet, EveryCharacterRoundTrips) {
  const std::string s =
      "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?¡ABCDEFGHIJKLMNOPQRSTUVWXYZ"
      "ÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà\f^{}\\[~]|€";
  const auto septets = Utf8ToGsm7(s);
  EXPECT_EQ(septets.size(), 127u + 2 * 10);  // all but the escape, and ten extension pairs
  EXPECT_EQ(Gsm7ToUtf8(septets), s);
}

TEST(SmsGsmAlphabet, FitsOnlyWhenEveryCharacterIsInTheTables) {
  EXPECT_TRUE(FitsGsm7(U"Hello [world] €5"));
  EXPECT_FALSE(FitsGsm7(U"Hello \U0001F600"));
  EXPECT_FALSE(FitsGsm7(U"Привет"));
  try {
    Utf8ToGsm7("ab\u00e7");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("position 2"), std::string::npos) << e.what();
  }
}

TEST(SmsGsmAlphabet, UnknownEscapesReadAsTheBaseCharacter) {
  EXPECT_EQ(Gsm7ToUtf8(std::vector<uint8_t>{0x1B, 0x41, 0x42}), "AB");  // no extension for 0x41
  EXPECT_EQ(Gsm7ToUtf8(std::vector<uint8_t>{0x41, 0x1B}), "A ");        // escape at the end
  EXPECT_EQ(Gsm7ToUtf8(std::vector<uint8_t>{0x1B, 0x1B, 0x41}), " A");  // escape to a further table
  EXPECT_EQ(Gsm7ToUtf8(std::vector<uint8_t>{0x80}), "\uFFFD");
}

TEST(SmsDataCoding, ClassifiesTheCodingGroups) {
  struct Case {
    uint8_t nDcs;
    Coding eAlphabet;
    std::optional<MessageClass> eClass;
    bool bCompressed, bAutoDelete, bWaiting, bReserved;
  } cases[] = {
      {0x00, Coding::Gsm7, {}, false, false, false, false},
      {0x04, Coding::Data8, {}, false, false, false, false},
      {0x08, Coding::Ucs2, {}, false, false, false, false},
      {0x0C, Coding::Gsm7, {}, false, false, false, true},
      {0x10, Coding::Gsm7, MessageClass::Flash, false, false, false, false},
      {0x18, Coding::Ucs2, MessageClass::Flash, false, false, false, false},
      {0x2A, Coding::Ucs2, {}, true, false, false, false},
      {0x46, Coding::Data8, {}, false, true, false, false},
      {0x85, Coding::Gsm7, {}, false, false, false, true},
      {0xC8, Coding::Gsm7, {}, false, false, true, false},
      {0xD0, Coding::Gsm7, {}, false, false, true, false},
      {0xE0, Coding::Ucs2, {}, false, false, true, false},
      {0xF0, Coding::Gsm7, MessageClass::Flash, false, false, false, false},
      {0xF5, Coding::Data8, MessageClass::Mobile, false, false, false, false},
      {0xF6, Coding::Data8, MessageClass::Sim, false, false, false, false},
      {0xF3, Coding::Gsm7, MessageClass::Terminal, false, false, false, false},
  };
  for (const auto& c : cases) {
    const DcsInfo info = ClassifyDcs(c.nDcs);
    SCOPED_TRACE(testing::Message() << "DCS " << int(c.nDcs));
    EXPECT_EQ(info.eAlphabet, c.eAlphabet);
    EXPECT_EQ(info.eClass, c.eClass);
    EXPECT_EQ(info.bCompressed, c.bCompressed);
    EXPECT_EQ(info.bAutoDelete, c.bAutoDelete);
    EXPECT_EQ(info.bMessageWaiting, c.bWaiting);
    EXPECT_EQ(info.bReserved, c.bReserved);
  }
  // Compressed text is counted in octets.
  EXPECT_EQ(ClassifyDcs(0x20).UnitCoding(), Coding::Data8);
  EXPECT_EQ(MakeDcs(Coding::Ucs2, MessageClass::Flash), 0x18);
  EXPECT_EQ(MakeDcs(Coding::Data8), 0x04);
}

}  // namespace
}  // namespace Norvale::Sms
