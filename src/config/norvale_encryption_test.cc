#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <random>

#include "config/base64.h"
#include "config/norvale_encryption.h"

using namespace Norvale;

namespace {

using Des = TqbDESImpl<0>;

std::array<uint8, 8> Hex8(const char* hex) {
  std::array<uint8, 8> out{};
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  return out;
}

std::array<uint8, 8> Single(const std::array<uint8, 8>& key, const std::array<uint8, 8>& in, bool encrypt) {
  Des::SubKeys keys;
  Des::TqbCreateSubKeys(key.data(), keys);
  std::array<uint8, 8> out{};
  Des::TqbEncode64Bits(in.data(), out.data(), keys, encrypt ? 1 : 0);
  return out;
}

}  // namespace

TEST(TqbDESImpl, KnownAnswerVectors) {
  // FIPS 81 example and the classic worked example of FIPS 46.
  EXPECT_EQ(Single(Hex8("0123456789ABCDEF"), Hex8("4E6F772069732074"), true), Hex8("3FA40E8A984D4815"));
  EXPECT_EQ(Single(Hex8("133457799BBCDFF1"), Hex8("0123456789ABCDEF"), true), Hex8("85E813540F0AB405"));
  EXPECT_EQ(Single(Hex8("133457799BBCDFF1"), Hex8("85E813540F0AB405"), false), Hex8("0123456789ABCDEF"));
  // Parity bits are ignored.
  EXPECT_EQ(Single(Hex8("0022446688AACCEE"), Hex8("4E6F772069732074"), true),
            Single(Hex8("0123456789ABCDEF"), Hex8("4E6F772069732074"), true));
}

TEST(TqbDESImpl, SingleBlocksAgreeWithOpenSsl) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::array<uint8, 8> key{}, block{};
    for (auto& b : key) b = static_cast<uint8>(rng());
    for (auto& b : block) b = static_cast<uint8>(rng());
    DES_key_schedule schedule;
    DES_cblock k;
    std::memcpy(k, key.data(), 8);
    DES_set_key_unchecked(&k, &schedule);
    DES_cblock in, out;
    std::memcpy(in, block.data(), 8);
    DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
    std::array<uint8, 8> expected{};
    std::memcpy(expected.data(), out, 8);
    ASSERT_EQ(Single(key, block, true), expected) << round;
    ASSERT_EQ(Single(key, expected, false), block) << round;
  }
}

TEST(TqbDESImpl, EqualKeysReduceToSingleDesAndPaddingStripsOnlyValidPads) {
  Des des;
  const auto key = Hex8("0123456789ABCDEF");
  des.TqbSetKey1(key.data());
  des.TqbSetKey2(key.data());
  ASSERT_TRUE(des.TqbEncrypt("Now is t"));
  ASSERT_EQ(des.TqbGetCryptogramSize(), 24u);
  // The first data block is EDE(P1 xor C0) = E(P1 xor C0) under equal keys.
  std::array<uint8, 8> x{}, c1{};
  const auto plain = Hex8("4E6F772069732074");
  for (int i = 0; i < 8; ++i) x[i] = plain[i] ^ des.TqbGetCryptogram()[i];
  std::memcpy(c1.data(), des.TqbGetCryptogram() + 8, 8);
  EXPECT_EQ(Single(key, x, true), c1);
}

TEST(CNorvaleEncryption, SizesAndRoundTripsOfEveryLength) {
  CNorvaleEncryption enc;
  EXPECT_EQ(enc.EncryptString(""), "");
  EXPECT_EQ(enc.DecryptString(""), "");
  for (int n = 1; n <= 40; ++n) {
    const std::string text(static_cast<size_t>(n), static_cast<char>('a' + n % 26));
    const std::string cipher = enc.EncryptString(text);
    const size_t bytes = 16 + 8 * (static_cast<size_t>(n) / 8);
    EXPECT_EQ(cipher.size(), 4 * ((bytes + 2) / 3)) << n;
    EXPECT_EQ(CBase64::Decode(cipher).size(), bytes) << n;
    EXPECT_EQ(enc.DecryptString(cipher), text) << n;
  }
  EXPECT_EQ(enc.EncryptString("1234567").size(), 24u);
  EXPECT_EQ(enc.EncryptString("1234567").substr(22), "==");
  EXPECT_EQ(enc.EncryptString("12345678").size(), 32u);
  EXPECT_EQ(enc.EncryptString("12345678").find('='), std::string::npos);
  EXPECT_EQ(enc.DecryptString(enc.EncryptString(std::string("cut\0here", 8))), "cut");
  EXPECT_EQ(enc.EncryptString(std::string("\0x", 2)), "");
}

TEST(CNorvaleEncryption, ChainingBlockDiffersBetweenEncryptions) {
  CNorvaleEncryption enc;
  const std::string a = enc.EncryptString("secret"), b = enc.EncryptString("secret");
  EXPECT_NE(a, b);
  EXPECT_EQ(enc.DecryptString(a), "secret");
  EXPECT_EQ(enc.DecryptString(b), "secret");
}

TEST(CNorvaleEncryption, TamperedOrShortCryptogramsDecryptWithoutCrashing) {
  CNorvaleEncryption enc;
  const std::string cipher = enc.EncryptString("password123");
  for (size_t i = 0; i < cipher.size(); ++i) {
    std::string bad = cipher;
    bad[i] = bad[i] == 'A' ? 'B' : 'A';
    (void)enc.DecryptString(bad);  // any text, but no crash and no overread
  }
  EXPECT_EQ(enc.DecryptString(cipher.substr(0, 20)), "");  // fewer than 16 bytes
  EXPECT_EQ(enc.DecryptString("!!!!"), "");
  EXPECT_EQ(enc.DecryptString(cipher.substr(0, 12) + "\n" + cipher.substr(12)), "");  // stops at the line break
}

TEST(CBase64, EncodesAndStopsDecodingAtForeignCharacters) {
  const uint8 bytes[] = {'M', 'a', 'n', 0xFF};
  EXPECT_EQ(CBase64::Encode(bytes, 3), "TWFu");
  EXPECT_EQ(CBase64::Encode(bytes, 1), "TQ==");
  EXPECT_EQ(CBase64::Encode(bytes, 2), "TWE=");
  EXPECT_EQ(CBase64::Encode(bytes, 4), "TWFu/w==");
  EXPECT_EQ(CBase64::Decode("TWFu/w=="), "Man\xFF");
  EXPECT_EQ(CBase64::Decode("TWE"), "Ma");
  EXPECT_EQ(CBase64::Decode("TWFu\nTWFu"), "Man");
  EXPECT_EQ(CBase64::Decode("T"), "");
  EXPECT_FALSE(CBase64::IsBase64('='));
}
