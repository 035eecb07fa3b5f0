#include "codec/gsm_alphabet.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// The GSM 7-bit default alphabet and its extension table, written out from
// the standard (3GPP TS 23.038, 6.2.1): the Unicode code point of every
// septet. 0x1B is the escape to the extension table.
constexpr char32_t kDefaultAlphabet[128] = {
    U'@',      U'\u00A3', U'$',      U'\u00A5', U'\u00E8', U'\u00E9', U'\u00F9', U'\u00EC',  // 0x00
    U'\u00F2', U'\u00C7', U'\n',     U'\u00D8', U'\u00F8', U'\r',     U'\u00C5', U'\u00E5',  // 0x08
    U'\u0394', U'_',      U'\u03A6', U'\u0393', U'\u039B', U'\u03A9', U'\u03A0', U'\u03A8',  // 0x10
    U'\u03A3', U'\u0398', U'\u039E', 0,         U'\u00C6', U'\u00E6', U'\u00DF', U'\u00C9',  // 0x18
    U' ',      U'!',      U'"',      U'#',      U'\u00A4', U'%',      U'&',      U'\'',      // 0x20
    U'(',      U')',      U'*',      U'+',      U',',      U'-',      U'.',      U'/',       // 0x28
    U'0',      U'1',      U'2',      U'3',      U'4',      U'5',      U'6',      U'7',       // 0x30
    U'8',      U'9',      U':',      U';',      U'<',      U'=',      U'>',      U'?',       // 0x38
    U'\u00A1', U'A',      U'B',      U'C',      U'D',      U'E',      U'F',      U'G',       // 0x40
    U'H',      U'I',      U'J',      U'K',      U'L',      U'M',      U'N',      U'O',       // 0x48
    U'P',      U'Q',      U'R',      U'S',      U'T',      U'U',      U'V',      U'W',       // 0x50
    U'X',      U'Y',      U'Z',      U'\u00C4', U'\u00D6', U'\u00D1', U'\u00DC', U'\u00A7',  // 0x58
    U'\u00BF', U'a',      U'b',      U'c',      U'd',      U'e',      U'f',      U'g',       // 0x60
    U'h',      U'i',      U'j',      U'k',      U'l',      U'm',      U'n',      U'o',       // 0x68
    U'p',      U'q',      U'r',      U's',      U't',      U'u',      U'v',      U'w',       // 0x70
    U'x',      U'y',      U'z',      U'\u00E4', U'\u00F6', U'\u00F1', U'\u00FC', U'\u00E0',  // 0x78
};

constexpr std::pair<uint8_t, char32_t> kExtension[] = {
    {0x0A, U'\f'}, {0x14, U'^'}, {0x28, U'{'}, {0x29, U'}'}, {0x2F, U'\\'},
    {0x3C, U'['},  {0x3D, U'~'}, {0x3E, U']'}, {0x40, U'|'}, {0x65, U'\u20AC'},
};

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | c >> 6);
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | c >> 12);
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

TEST(SmsGsmAlphabet, EveryCharacterIsTheStandardsAndRoundTrips) {
  std::string all;
  for (uint8_t septet = 0; septet < 128; ++septet) {
    if (septet == 0x1B) continue;
    const char32_t c = kDefaultAlphabet[septet];
    EXPECT_EQ(Gsm7ToUtf8(std::vector<uint8_t>{septet}), Utf8(c)) << "septet " << int{septet};
    EXPECT_EQ(Utf8ToGsm7(Utf8(c)), std::vector<uint8_t>{septet}) << "U+" << std::hex << uint32_t{c};
    EXPECT_EQ(Gsm7Length(c), 1u) << "U+" << std::hex << uint32_t{c};
    all += Utf8(c);
  }
  for (const auto& [septet, c] : kExtension) {
    EXPECT_EQ(Gsm7ToUtf8(std::vector<uint8_t>{0x1B, septet}), Utf8(c)) << "escape, septet " << int{septet};
    EXPECT_EQ(Utf8ToGsm7(Utf8(c)), (std::vector<uint8_t>{0x1B, septet})) << "U+" << std::hex << uint32_t{c};
    EXPECT_EQ(Gsm7Length(c), 2u) << "U+" << std::hex << uint32_t{c};
    all += Utf8(c);
  }
  const auto septets = Utf8ToGsm7(all);
  EXPECT_EQ(septets.size(), 127u + 2 * 10);  // all but the escape, and ten extension pairs
  EXPECT_EQ(Gsm7ToUtf8(septets), all);
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
