#include "codec/gsm_alphabet.h"

#include <array>
#include <stdexcept>

#include "codec/unicode.h"

namespace Norvale::Sms {

namespace {

// Default table, indexed by septet. 0x1B (escape) reads as a space when no
// extension follows it.
constexpr std::array<char32_t, 128> kDefault = {
    U'@', U'£', U'$',  U'¥', U'è', U'é',  U'ù', U'ì',   // 0x00
    U'ò', U'Ç', U'\n', U'Ø', U'ø', U'\r', U'Å', U'å',   // 0x08
    U'Δ', U'_', U'Φ',  U'Γ', U'Λ', U'Ω',  U'Π', U'Ψ',   // 0x10
    U'Σ', U'Θ', U'Ξ',  U' ', U'Æ', U'æ',  U'ß', U'É',   // 0x18
    U' ', U'!', U'"',  U'#', U'¤', U'%',  U'&', U'\'',  // 0x20
    U'(', U')', U'*',  U'+', U',', U'-',  U'.', U'/',   // 0x28
    U'0', U'1', U'2',  U'3', U'4', U'5',  U'6', U'7',   // 0x30
    U'8', U'9', U':',  U';', U'<', U'=',  U'>', U'?',   // 0x38
    U'¡', U'A', U'B',  U'C', U'D', U'E',  U'F', U'G',   // 0x40
    U'H', U'I', U'J',  U'K', U'L', U'M',  U'N', U'O',   // 0x48
    U'P', U'Q', U'R',  U'S', U'T', U'U',  U'V', U'W',   // 0x50
    U'X', U'Y', U'Z',  U'Ä', U'Ö', U'Ñ',  U'Ü', U'§',   // 0x58
    U'¿', U'a', U'b',  U'c', U'd', U'e',  U'f', U'g',   // 0x60
    U'h', U'i', U'j',  U'k', U'l', U'm',  U'n', U'o',   // 0x68
    U'p', U'q', U'r',  U's', U't', U'u',  U'v', U'w',   // 0x70
    U'x', U'y', U'z',  U'ä', U'ö', U'ñ',  U'ü', U'à',   // 0x78
};

struct Extension {
  uint8_t nSeptet;
  char32_t c;
};
constexpr std::array<Extension, 10> kExtension = {{
    {0x0A, U'\f'},
    {0x14, U'^'},
    {0x28, U'{'},
    {0x29, U'}'},
    {0x2F, U'\\'},
    {0x3C, U'['},
    {0x3D, U'~'},
    {0x3E, U']'},
    {0x40, U'|'},
    {0x65, U'€'},
}};

constexpr uint16_t kNone = 0xFFFF;

// Code point -> septet for the first 256 code points (0x1B00 | n marks an
// extension character), the few characters beyond by search.
struct ReverseTable {
  std::array<uint16_t, 256> Low{};
  constexpr ReverseTable() {
    Low.fill(kNone);
    for (size_t i = 0; i < kDefault.size(); ++i)
      if (i != kGsm7Escape && kDefault[i] < 256) Low[kDefault[i]] = static_cast<uint16_t>(i);
    for (const auto& e : kExtension)
      if (e.c < 256) Low[e.c] = static_cast<uint16_t>(0x1B00 | e.nSeptet);
  }
};
constexpr ReverseTable kReverse;

uint16_t LookupBeyond(char32_t c) {
  for (size_t i = 0; i < kDefault.size(); ++i)
    if (kDefault[i] == c) return static_cast<uint16_t>(i);
  for (const auto& e : kExtension)
    if (e.c == c) return static_cast<uint16_t>(0x1B00 | e.nSeptet);
  return kNone;
}

inline uint16_t Lookup(char32_t c) { return c < 256 ? kReverse.Low[c] : LookupBeyond(c); }

}  // namespace

size_t Gsm7Length(char32_t c) {
  const uint16_t n = Lookup(c);
  return n == kNone ? 0 : n > 0x7F ? 2 : 1;
}

bool FitsGsm7(std::u32string_view sText) {
  for (char32_t c : sText)
    if (Lookup(c) == kNone) return false;
  return true;
}

std::optional<std::vector<uint8_t>> TryUtf32ToGsm7(std::u32string_view sText) {
  std::vector<uint8_t> Septets;
  Septets.reserve(sText.size());
  for (char32_t c : sText) {
    const uint16_t n = Lookup(c);
    if (n == kNone) return std::nullopt;
    if (n > 0x7F) Septets.push_back(kGsm7Escape);
    Septets.push_back(static_cast<uint8_t>(n & 0x7F));
  }
  return Septets;
}

std::vector<uint8_t> Utf32ToGsm7(std::u32string_view sText) {
  if (auto Septets = TryUtf32ToGsm7(sText)) return std::move(*Septets);
  for (size_t i = 0; i < sText.size(); ++i)
    if (Lookup(sText[i]) == kNone)
      throw std::invalid_argument("character " + Utf32ToUtf8(sText.substr(i, 1)) + " at position " + std::to_string(i) +
                                  " is not in the GSM 7-bit alphabet");
  throw std::logic_error("unreachable");
}

std::vector<uint8_t> Utf8ToGsm7(std::string_view sUtf8) { return Utf32ToGsm7(Utf8ToUtf32(sUtf8)); }

std::string Gsm7ToUtf8(std::span<const uint8_t> Septets) {
  std::u32string sText(Septets.size(), U'\0');
  size_t n = 0;
  for (size_t i = 0; i < Septets.size(); ++i) {
    const uint8_t s = Septets[i];
    if (s > 0x7F) {
      sText[n++] = U'\uFFFD';
    } else if (s != kGsm7Escape) {
      sText[n++] = kDefault[s];
    } else if (i + 1 == Septets.size()) {
      sText[n++] = U' ';
    } else {
      const uint8_t x = Septets[++i];
      char32_t c = x > 0x7F ? U'\uFFFD' : kDefault[x];
      for (const auto& e : kExtension)
        if (e.nSeptet == x) c = e.c;
      sText[n++] = c;
    }
  }
  sText.resize(n);
  return Utf32ToUtf8(sText);
}

}  // namespace Norvale::Sms
