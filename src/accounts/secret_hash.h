// Secrets that are only ever compared (API keys, SMPP passwords): made,
// hashed for storage and checked. The hash is scrypt (OpenSSL's
// EVP_PBE_scrypt), written as one text that carries its parameters and salt:
//   $scrypt$ln=<log2 N>,r=<r>,p=<p>$<salt, base64>$<hash, base64>
// so that a stronger setting later still checks the hashes stored before it.
// Checking takes the time of one scrypt whatever the input and compares in
// constant time. Errors of libcrypto become HRESULTs here and nowhere else.
#pragma once

#include <string>

namespace Norvale {

// A new random secret of `nBytes` bytes, as URL-safe base64 without padding.
std::string MakeRandomSecret(std::size_t nBytes = 32);

// The stored form of `sSecret`, with a new random salt.
std::string HashSecret(const std::string& sSecret);

// Whether `sSecret` is the secret `sStored` (a text of HashSecret) was made
// from; false for a stored text that is not such a hash.
bool VerifySecret(const std::string& sSecret, const std::string& sStored);

// SHA-256 of a text, as 64 lower-case hex digits (for keys of caches and
// idempotency records, never as a stored password).
std::string Sha256Hex(const std::string& sText);

// HMAC-SHA256 of `sMessage` with `sKey`, as 64 lower-case hex digits.
std::string HmacSha256Hex(const std::string& sKey, const std::string& sMessage);

}  // namespace Norvale
