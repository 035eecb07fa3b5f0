#include "accounts/secret_hash.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using namespace Norvale;

TEST(SecretHash, VerifiesTheSecretItWasMadeFromOnly) {
  const std::string stored = HashSecret("shop.s3cret");
  EXPECT_EQ(stored.rfind("$scrypt$ln=15,r=8,p=1$", 0), 0u) << stored;
  EXPECT_TRUE(VerifySecret("shop.s3cret", stored));
  for (const std::string& wrong :
       std::vector<std::string>{"shop.s3cre", "shop.s3cret ", "Shop.s3cret", "", std::string("shop.s3cret\0", 12)})
    EXPECT_FALSE(VerifySecret(wrong, stored)) << wrong;
  // A new salt each time: the same secret never gives the same text.
  const std::string again = HashSecret("shop.s3cret");
  EXPECT_NE(again, stored);
  EXPECT_TRUE(VerifySecret("shop.s3cret", again));
}

TEST(SecretHash, RefusesStoredTextsThatAreNoHash) {
  const std::string stored = HashSecret("key");
  // "$scrypt$<parameters>$<salt>$<hash>"
  const std::size_t hashAt = stored.rfind('$') + 1;
  const std::size_t saltAt = stored.rfind('$', hashAt - 2) + 1;
  const std::string salt = stored.substr(saltAt, hashAt - 1 - saltAt);
  const std::string hash = stored.substr(hashAt);
  const std::string cases[] = {
      "",
      "key",
      "$scrypt$",
      "$2y$10$abcdefghijklmnopqrstuu",                             // another scheme
      "$scrypt$ln=15,r=8,p=1$" + salt,                             // no hash
      "$scrypt$ln=15,r=8,p=1$" + salt + "$" + hash.substr(0, 40),  // cut short
      "$scrypt$ln=15,r=8,p=1$" + salt + "$" + hash + "AAAA",       // too long
      "$scrypt$ln=15,r=8,p=1$" + salt + "$!!!!" + hash.substr(4),  // not base64
      "$scrypt$ln=40,r=8,p=1$" + salt + "$" + hash,                // parameters out of range
      "$scrypt$ln=15,r=0,p=1$" + salt + "$" + hash,
      "$scrypt$ln=15,r=8,p=99$" + salt + "$" + hash,
      "$scrypt$ln=14,r=8,p=1$" + salt + "$" + hash,  // valid form, other cost: another hash
  };
  for (const std::string& bad : cases) EXPECT_FALSE(VerifySecret("key", bad)) << bad;
  EXPECT_TRUE(VerifySecret("key", "$scrypt$ln=15,r=8,p=1$" + salt + "$" + hash));
}

TEST(SecretHash, DigestsMatchKnownVectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // RFC 4231, test cases 1 and 2.
  EXPECT_EQ(HmacSha256Hex(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(HmacSha256Hex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  // Test case 6: a key longer than the block is hashed first.
  EXPECT_EQ(HmacSha256Hex(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(SecretHash, MakesDistinctUrlSafeSecrets) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string secret = MakeRandomSecret();
    EXPECT_EQ(secret.size(), 43u) << secret;  // 32 bytes in base64 without padding
    EXPECT_EQ(secret.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << secret;
    seen.insert(secret);
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_EQ(MakeRandomSecret(3).size(), 4u);
}
