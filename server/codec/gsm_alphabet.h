// The GSM 03.38 default alphabet: 128 characters, one septet (7-bit value)
// each, plus an extension table reached by the escape septet 0x1B. An
// extension character takes two septets on the air:
//
//   1B 0A form feed   1B 14 ^   1B 28 {   1B 29 }   1B 2F \ (backslash)
//   1B 3C [           1B 3D ~   1B 3E ]   1B 40 |   1B 65 €
//
// Septets here are unpacked: one septet a byte, values 0x00..0x7F. Packing
// them into octets is septet_packing.h's job.
//
// Reading septets (Gsm7ToUtf8) follows 03.38 for what it cannot map:
//   - an escape followed by a septet with no extension character gives the
//     default-table character of that septet (1B 41 reads as "A");
//   - an escape followed by another escape (reserved for a further table)
//     gives a space, both septets consumed;
//   - an escape as the last septet gives a space;
//   - values above 0x7F, which a septet cannot hold, read as U+FFFD.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Norvale::Sms {

inline constexpr uint8_t kGsm7Escape = 0x1B;

// True when every character is in the default alphabet or its extension.
bool FitsGsm7(std::u32string_view sText);

// Septets of one character: 1 (default table), 2 (escape + extension) or 0
// when the character is not in the alphabet.
size_t Gsm7Length(char32_t c);

// Septets of the text; std::invalid_argument names the first character that
// does not fit.
std::vector<uint8_t> Utf32ToGsm7(std::u32string_view sText);
std::vector<uint8_t> Utf8ToGsm7(std::string_view sUtf8);
// Nothing when a character does not fit.
std::optional<std::vector<uint8_t>> TryUtf32ToGsm7(std::u32string_view sText);

std::string Gsm7ToUtf8(std::span<const uint8_t> Septets);

}  // namespace Norvale::Sms
