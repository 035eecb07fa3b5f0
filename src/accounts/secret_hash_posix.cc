#include "accounts/secret_hash.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>
#include <cstdio>
#include <vector>

#include "errors/com_error_raise.h"

namespace Norvale {
namespace {

// scrypt with N = 2^15, r = 8, p = 1: about 32 MiB and some tens of
// milliseconds per hash, the interactive-login setting of the scrypt paper.
constexpr unsigned kLogN = 15;
constexpr unsigned kR = 8;
constexpr unsigned kP = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

[[noreturn]] void RaiseCrypto(const char* what) {
  const unsigned long code = ERR_get_error();
  char text[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  RAISE_COM_ERROR(OS::E_FAIL, std::string(what) + ": " + text);
}

std::string Base64(const unsigned char* data, std::size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool Unbase64(const std::string& text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  out.assign(3 * text.size() / 4 + 1, 0);
  const int n =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  std::size_t size = static_cast<std::size_t>(n);
  // EVP_DecodeBlock counts the padding as zero bytes.
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
  out.resize(size);
  return true;
}

bool Scrypt(const std::string& secret, const std::vector<unsigned char>& salt, unsigned logN, unsigned r, unsigned p,
            std::vector<unsigned char>& out) {
  out.assign(kHashBytes, 0);
  const std::uint64_t n = std::uint64_t{1} << logN;
  // Room for the 128 * r * N bytes the computation takes, and some over.
  const std::uint64_t maxMem = 128ull * r * n + 1024ull * 1024;
  return EVP_PBE_scrypt(secret.data(), secret.size(), salt.data(), salt.size(), n, r, p, maxMem, out.data(),
                        out.size()) == 1;
}

std::string Hex(const unsigned char* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

}  // namespace

std::string MakeRandomSecret(std::size_t nBytes) {
  std::vector<unsigned char> bytes(nBytes);
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) RaiseCrypto("no random bytes");
  std::string text = Base64(bytes.data(), bytes.size());
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

std::string HashSecret(const std::string& sSecret) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) RaiseCrypto("no random bytes");
  std::vector<unsigned char> hash;
  if (!Scrypt(sSecret, salt, kLogN, kR, kP, hash)) RaiseCrypto("scrypt failed");
  return "$scrypt$ln=" + std::to_string(kLogN) + ",r=" + std::to_string(kR) + ",p=" + std::to_string(kP) + "$" +
         Base64(salt.data(), salt.size()) + "$" + Base64(hash.data(), hash.size());
}

bool VerifySecret(const std::string& sSecret, const std::string& sStored) {
  unsigned logN = 0, r = 0, p = 0;
  char salt[128] = {0}, hash[128] = {0};
  if (std::sscanf(sStored.c_str(), "$scrypt$ln=%u,r=%u,p=%u$%127[^$]$%127s", &logN, &r, &p, salt, hash) != 5)
    return false;
  if (logN < 10 || logN > 20 || r == 0 || r > 32 || p == 0 || p > 16) return false;
  std::vector<unsigned char> saltBytes, expected, actual;
  if (!Unbase64(salt, saltBytes) || !Unbase64(hash, expected) || expected.size() != kHashBytes) return false;
  if (!Scrypt(sSecret, saltBytes, logN, r, p, actual)) RaiseCrypto("scrypt failed");
  // scrypt keys HMAC-SHA256 with the secret, which pads a short key with
  // zero bytes: "key" and "key\0" would pass alike. No secret made here
  // holds a NUL, so one that does is refused (after the same work).
  const bool holdsNul = sSecret.find('\0') != std::string::npos;
  return CRYPTO_memcmp(actual.data(), expected.data(), kHashBytes) == 0 && !holdsNul;
}

std::string Sha256Hex(const std::string& sText) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(sText.data(), sText.size(), digest, &size, EVP_sha256(), nullptr) != 1) RaiseCrypto("SHA-256 failed");
  return Hex(digest, size);
}

std::string HmacSha256Hex(const std::string& sKey, const std::string& sMessage) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (HMAC(EVP_sha256(), sKey.data(), static_cast<int>(sKey.size()),
           reinterpret_cast<const unsigned char*>(sMessage.data()), sMessage.size(), digest, &size) == nullptr)
    RaiseCrypto("HMAC-SHA256 failed");
  return Hex(digest, size);
}

}  // namespace Norvale
