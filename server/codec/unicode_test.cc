#include "codec/unicode.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/hex.h"

namespace Norvale::Sms {
namespace {

TEST(SmsUnicode, Utf8RoundTripsThroughUtf16WithSurrogatePairs) {
  const std::string s = "A\u00e9\u20ac\U0001F600z";  // 1, 2, 3 and 4 UTF-8 bytes
  const std::u16string w = Utf8ToUtf16(s);
  EXPECT_EQ(w, (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(w), s);
  EXPECT_EQ(Utf16BeToUtf8(Utf16ToBe(w)), s);
}

TEST(SmsUnicode, RejectsIllFormedUtf8WithPosition) {
  for (const std::string bad : {"ab\x80", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "x\xE2\x82"}) {
    EXPECT_THROW(Utf8ToUtf32(bad), std::invalid_argument) << bad;
  }
  try {
    Utf8ToUtf32("ok\xFF");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("byte 2"), std::string::npos) << e.what();
  }
}

TEST(SmsUnicode, LoneSurrogatesAreErrorsStrictlyAndReplacedLeniently) {
  const std::u16string lone{u'a', 0xD800, u'b'};
  EXPECT_THROW(Utf16ToUtf8(lone), std::invalid_argument);
  EXPECT_THROW(CheckUtf16(std::u16string{0xDC00}, "t"), std::invalid_argument);
  EXPECT_EQ(Utf16ToUtf8(lone, true), "a\uFFFDb");
  // An odd octet of received UCS-2 shows as one replacement character.
  EXPECT_EQ(Utf16BeToUtf8(std::vector<uint8_t>{0x00, 0x41, 0x00}), "A\uFFFD");
}

TEST(SmsHex, RoundTripAndErrors) {
  EXPECT_EQ(ToHex(FromHex("00aBfF10")), "00ABFF10");
  EXPECT_TRUE(FromHex("").empty());
  EXPECT_THROW(FromHex("ABC"), std::invalid_argument);
  EXPECT_THROW(FromHex("0G"), std::invalid_argument);
}

}  // namespace
}  // namespace Norvale::Sms
