#include "codec/septet_packing.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/gsm_alphabet.h"
#include "codec/hex.h"

namespace Norvale::Sms {
namespace {

TEST(SmsSeptetPacking, PublishedExamples) {
  EXPECT_EQ(ToHex(PackSeptets(Utf8ToGsm7("hellohello"))), "E8329BFD4697D9EC37");
  // Eight septets fill seven octets exactly.
  EXPECT_EQ(ToHex(PackSeptets(Utf8ToGsm7("12345678"))), "31D98C56B3DD70");
  EXPECT_EQ(Gsm7ToUtf8(UnpackSeptets(FromHex("E8329BFD4697D9EC37"), 10)), "hellohello");
  // The text of the widely quoted AT+CMGS walk-through: 12 septets in 11 octets.
  EXPECT_EQ(ToHex(PackSeptets(Utf8ToGsm7("How are you?"))), "C8F71D14969741F977FD07");
  EXPECT_EQ(Gsm7ToUtf8(UnpackSeptets(FromHex("C8F71D14969741F977FD07"), 12)), "How are you?");
}

TEST(SmsSeptetPacking, FillBitsAfterHeadersOfSixAndSevenOctets) {
  EXPECT_EQ(FillBits(6), 1u);
  EXPECT_EQ(HeaderSeptets(6), 7u);
  EXPECT_EQ(FillBits(7), 0u);
  EXPECT_EQ(HeaderSeptets(7), 8u);
  EXPECT_EQ(FillBits(0), 0u);

  // One fill bit: "A" (0x41) starts at bit 1 (0x82), "B" fills the next octet.
  EXPECT_EQ(ToHex(PackSeptets(Utf8ToGsm7("AB"), 1)), "8242");
  for (size_t fill = 0; fill < 7; ++fill) {
    const auto septets = Utf8ToGsm7("The quick brown fox, €15 [ok]");
    const auto octets = PackSeptets(septets, fill);
    EXPECT_EQ(octets.size(), PackedOctets(septets.size(), fill));
    EXPECT_EQ(octets[0] & ((1u << fill) - 1), 0u) << "fill bits are zero";
    EXPECT_EQ(UnpackSeptets(octets, septets.size(), fill), septets) << fill;
  }
}

TEST(SmsSeptetPacking, UnpackRefusesTooFewOctets) {
  EXPECT_THROW(UnpackSeptets(FromHex("E8329BFD4697D9EC"), 10), std::invalid_argument);
  EXPECT_THROW(UnpackSeptets(FromHex("00"), 1, 2), std::invalid_argument);  // 9 bits needed
  EXPECT_TRUE(UnpackSeptets({}, 0, 3).empty());
  // 160 septets take 140 octets.
  EXPECT_EQ(PackedOctets(160, 0), 140u);
  EXPECT_EQ(PackedOctets(153, 1) + 6, 140u);
}

}  // namespace
}  // namespace Norvale::Sms
