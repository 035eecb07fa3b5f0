// Conversions between UTF-8 (the gateway's narrow text), UTF-32 (what the
// GSM alphabet is looked up by) and UTF-16 (what UCS-2 user data carries on
// the air, big-endian, two octets per code unit).
//
// Strict conversions reject anything that is not well-formed: overlong or
// truncated UTF-8 sequences, encoded surrogates, code points above U+10FFFF,
// lone UTF-16 surrogates. They throw std::invalid_argument saying what and
// where. Text received from the network is decoded leniently instead: an
// ill-formed unit becomes U+FFFD, so a message is never lost for one bad
// character.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Norvale::Sms {

std::u32string Utf8ToUtf32(std::string_view sUtf8);
std::string Utf32ToUtf8(std::u32string_view sText);

std::u16string Utf8ToUtf16(std::string_view sUtf8);
// bLenient: lone surrogates become U+FFFD instead of an error.
std::string Utf16ToUtf8(std::u16string_view sText, bool bLenient = false);

// Throws when a high surrogate is not followed by a low one or a low one
// stands alone; sWhat names the input in the message.
void CheckUtf16(std::u16string_view sText, const char* sWhat);

// UTF-16 code units <-> big-endian octets (UCS-2 user data). Utf16FromBe
// drops an odd last octet; Utf16BeToUtf8 shows it as U+FFFD.
std::vector<uint8_t> Utf16ToBe(std::u16string_view sText);
std::u16string Utf16FromBe(std::span<const uint8_t> Octets);
// Big-endian UTF-16 octets as received -> UTF-8, leniently.
std::string Utf16BeToUtf8(std::span<const uint8_t> Octets);

inline bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace Norvale::Sms
