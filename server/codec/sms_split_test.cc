#include "codec/sms_split.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/gsm_alphabet.h"
#include "codec/hex.h"
#include "codec/udh.h"

namespace Norvale::Sms {
namespace {

std::string Repeat(std::string_view s, size_t n) {
  std::string r;
  for (size_t i = 0; i < n; ++i) r += s;
  return r;
}

// Every part carries 00 03 ref total seq and the parts read back as the text.
void ExpectConcatenated(const std::vector<UserDataPart>& parts, uint8_t ref, const std::string& text) {
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].Udh, (std::vector<uint8_t>{0x00, 0x03, ref, uint8_t(parts.size()), uint8_t(i + 1)}));
  }
  EXPECT_EQ(PartsToUtf8(parts), text);
}

TEST(SmsSplitText, OneMessageHasNoHeader) {
  const auto parts = SplitText("Hello €", 9);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].eCoding, Coding::Gsm7);
  EXPECT_EQ(parts[0].nDcs, 0x00);
  EXPECT_TRUE(parts[0].Udh.empty());
  EXPECT_EQ(parts[0].Units(), 8u);  // the euro sign takes two septets

  EXPECT_EQ(SplitText(Repeat("a", 160), 1).size(), 1u);
  EXPECT_EQ(SplitText(Repeat("€", 80), 1).size(), 1u);
  const auto two = SplitText(Repeat("a", 161), 1);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].Units(), 153u);
  EXPECT_EQ(two[1].Units(), 8u);
  EXPECT_EQ(SplitText("", 1).size(), 1u);
}

TEST(SmsSplitText, EscapeSequenceIsNotSplitAtTheBoundary) {
  // 152 septets, then the euro sign would take septets 153 and 154.
  const std::string text = Repeat("a", 152) + "€[^" + Repeat("b", 10);
  const auto parts = SplitText(text, 0x5A);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].Units(), 152u);
  EXPECT_EQ(parts[1].Payload[0], kGsm7Escape);
  EXPECT_EQ(parts[1].Payload[1], 0x65);
  ExpectConcatenated(parts, 0x5A, text);

  // When it ends exactly on septet 153 it stays in the first part.
  const std::string fits = Repeat("a", 151) + "€" + Repeat("b", 10);
  const auto exact = SplitText(fits, 1);
  EXPECT_EQ(exact[0].Units(), 153u);
  EXPECT_EQ(exact[0].Payload.back(), 0x65);
  ExpectConcatenated(exact, 1, fits);
}

TEST(SmsSplitText, FallsBackToUcs2AndKeepsSurrogatePairsWhole) {
  const auto one = SplitText("Grüße ç", 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].eCoding, Coding::Ucs2);
  EXPECT_EQ(one[0].nDcs, 0x08);
  EXPECT_EQ(ToHex(one[0].Payload), "0047007200FC00DF0065002000E7");
  EXPECT_EQ(SplitText(Repeat("Ж", 70), 1).size(), 1u);

  // 66 units, then the emoji's pair would take units 67 and 68.
  const std::string text = Repeat("Ж", 66) + "\U0001F600" + Repeat("Ж", 10);
  const auto parts = SplitText(text, 7);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].Units(), 132u);
  EXPECT_EQ(ToHex(std::span(parts[1].Payload).first(4)), "D83DDE00");
  ExpectConcatenated(parts, 7, text);

  const auto many = SplitText(Repeat("Ж", 67 * 3), 7);
  ASSERT_EQ(many.size(), 3u);
  for (const auto& p : many) EXPECT_EQ(p.Units(), 134u);
}

TEST(SmsSplitText, RejectsBadInput) {
  EXPECT_THROW(SplitText("bad \xC3\x28", 1), std::invalid_argument);
  EXPECT_THROW(SplitText(Repeat("a", 153 * 255 + 1), 1), std::invalid_argument);
  EXPECT_EQ(SplitText(Repeat("a", 153 * 255), 1).size(), 255u);
}

TEST(SmsSplitUcs2Hex, DecodesHexAndChecksIt) {
  const auto parts = SplitUcs2Hex("00480069d83dDE00", 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].eCoding, Coding::Ucs2);
  EXPECT_EQ(PartsToUtf8(parts), "Hi\U0001F600");
  EXPECT_EQ(PartsToUtf8(SplitUcs2Hex("0041", 1)), "A");  // always UCS-2, even when GSM would do
  EXPECT_EQ(SplitUcs2Hex(Repeat("0416", 71), 3).size(), 2u);
  for (const char* bad : {"004", "00480", "0048006", "00G8", "D83D0041", "DE00", "0041D83D"})
    EXPECT_THROW(SplitUcs2Hex(bad, 1), std::invalid_argument) << bad;
}

TEST(SmsSplitData, KeepsTheJobsHeaderAndAddsConcatenation) {
  const std::vector<uint8_t> ports = FromHex("05040B8423F0");  // 16-bit ports 2948 <- 9200
  std::vector<uint8_t> ud(200);
  for (size_t i = 0; i < ud.size(); ++i) ud[i] = uint8_t(i);

  const auto one = SplitData(0xF5, ports, std::span(ud).first(133), 4);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].eCoding, Coding::Data8);
  EXPECT_EQ(one[0].nDcs, 0xF5);
  EXPECT_EQ(one[0].Udh, ports);

  // UDHL + 6 + 5 octets of header leave 128 octets a part.
  const auto parts = SplitData(0xF5, ports, ud, 4);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(ToHex(parts[0].Udh),
            "05040B8423F000030402"
            "01");
  EXPECT_EQ(ToHex(parts[1].Udh),
            "05040B8423F000030402"
            "02");
  EXPECT_EQ(parts[0].Units(), 128u);
  const auto elements = ParseUdh(parts[1].Udh);
  EXPECT_EQ(FindPorts(elements), (PortAddressing{2948, 9200, true}));
  std::vector<uint8_t> joined = parts[0].Payload;
  joined.insert(joined.end(), parts[1].Payload.begin(), parts[1].Payload.end());
  EXPECT_EQ(joined, ud);
}

TEST(SmsSplitData, DcsDecidesTheUnits) {
  // GSM 7-bit data counts septets: 160 fit one message.
  const auto gsm = SplitData(0x00, {}, Utf8ToGsm7(Repeat("x", 160)), 1);
  ASSERT_EQ(gsm.size(), 1u);
  EXPECT_EQ(gsm[0].eCoding, Coding::Gsm7);
  EXPECT_EQ(SplitData(0xF1, {}, Utf8ToGsm7(Repeat("x", 161)), 1).size(), 2u);
  // UCS-2 data keeps whole code units and pairs: 134 octets a part.
  const auto ucs2 = SplitData(0x08, {}, FromHex(Repeat("0416", 66) + "D83DDE00" + Repeat("0416", 10)), 1);
  ASSERT_EQ(ucs2.size(), 2u);
  EXPECT_EQ(ucs2[0].Units(), 132u);
}

TEST(SmsSplitData, RejectsInconsistentInput) {
  EXPECT_THROW(SplitData(0x00, {}, FromHex("41FF"), 1), std::invalid_argument);               // not septets
  EXPECT_THROW(SplitData(0x08, {}, FromHex("004100"), 1), std::invalid_argument);             // odd UCS-2
  EXPECT_THROW(SplitData(0x04, FromHex("0003AA"), FromHex("00"), 1), std::invalid_argument);  // cut element
  const std::vector<uint8_t> big(200);
  EXPECT_THROW(SplitData(0x04, FromHex("0003AA0201"), big, 1), std::invalid_argument);  // already a part
  EXPECT_THROW(SplitData(0x04, std::vector<uint8_t>(139), {}, 1), std::invalid_argument);
}

TEST(SmsPartsToUtf8, JoinsPayloadsBeforeDecoding) {
  // A foreign sender cut an escape and a surrogate pair between parts.
  const std::vector<UserDataPart> gsm{{Coding::Gsm7, 0, {}, {0x41, 0x1B}}, {Coding::Gsm7, 0, {}, {0x65, 0x42}}};
  EXPECT_EQ(PartsToUtf8(gsm), "A€B");
  const std::vector<UserDataPart> ucs2{{Coding::Ucs2, 8, {}, FromHex("D83D")}, {Coding::Ucs2, 8, {}, FromHex("DE00")}};
  EXPECT_EQ(PartsToUtf8(ucs2), "\U0001F600");
  const std::vector<UserDataPart> data{{Coding::Data8, 4, {}, {1}}};
  EXPECT_THROW(PartsToUtf8(data), std::invalid_argument);
}

}  // namespace
}  // namespace Norvale::Sms
