#include "codec/unicode.h"

#include <stdexcept>

namespace Norvale::Sms {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

[[noreturn]] void BadUtf8(size_t nAt, const char* sWhy) {
  throw std::invalid_argument("invalid UTF-8 at byte " + std::to_string(nAt) + ": " + sWhy);
}

void AppendUtf8(std::string& sOut, char32_t c) {
  if (c < 0x80) {
    sOut += static_cast<char>(c);
  } else if (c < 0x800) {
    sOut += static_cast<char>(0xC0 | c >> 6);
    sOut += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    sOut += static_cast<char>(0xE0 | c >> 12);
    sOut += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    sOut += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    sOut += static_cast<char>(0xF0 | c >> 18);
    sOut += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    sOut += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    sOut += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::u32string Utf8ToUtf32(std::string_view sUtf8) {
  std::u32string sOut;
  sOut.reserve(sUtf8.size());
  for (size_t i = 0; i < sUtf8.size();) {
    const auto b = static_cast<uint8_t>(sUtf8[i]);
    if (b < 0x80) {
      sOut += b;
      ++i;
      continue;
    }
    size_t n;
    char32_t c, nMin;
    if ((b & 0xE0) == 0xC0) {
      n = 2, c = b & 0x1F, nMin = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3, c = b & 0x0F, nMin = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4, c = b & 0x07, nMin = 0x10000;
    } else {
      BadUtf8(i, "not a lead byte");
    }
    if (sUtf8.size() - i < n) BadUtf8(i, "sequence cut short");
    for (size_t k = 1; k < n; ++k) {
      const auto t = static_cast<uint8_t>(sUtf8[i + k]);
      if ((t & 0xC0) != 0x80) BadUtf8(i + k, "expected a continuation byte");
      c = c << 6 | (t & 0x3F);
    }
    if (c < nMin) BadUtf8(i, "overlong encoding");
    if (c > 0x10FFFF) BadUtf8(i, "beyond U+10FFFF");
    if (IsHighSurrogate(c) || IsLowSurrogate(c)) BadUtf8(i, "encoded surrogate");
    sOut += c;
    i += n;
  }
  return sOut;
}

std::string Utf32ToUtf8(std::u32string_view sText) {
  std::string sOut;
  sOut.reserve(sText.size());
  for (char32_t c : sText) AppendUtf8(sOut, c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c) ? kReplacement : c);
  return sOut;
}

std::u16string Utf8ToUtf16(std::string_view sUtf8) {
  std::u16string sOut;
  for (char32_t c : Utf8ToUtf32(sUtf8)) {
    if (c < 0x10000) {
      sOut += static_cast<char16_t>(c);
    } else {
      c -= 0x10000;
      sOut += static_cast<char16_t>(0xD800 | c >> 10);
      sOut += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
  }
  return sOut;
}

void CheckUtf16(std::u16string_view sText, const char* sWhat) {
  for (size_t i = 0; i < sText.size(); ++i) {
    if (IsHighSurrogate(sText[i])) {
      if (i + 1 == sText.size() || !IsLowSurrogate(sText[i + 1]))
        throw std::invalid_argument(std::string(sWhat) + ": high surrogate without a low one at code unit " +
                                    std::to_string(i));
      ++i;
    } else if (IsLowSurrogate(sText[i])) {
      throw std::invalid_argument(std::string(sWhat) + ": low surrogate without a high one at code unit " +
                                  std::to_string(i));
    }
  }
}

std::string Utf16ToUtf8(std::u16string_view sText, bool bLenient) {
  if (!bLenient) CheckUtf16(sText, "invalid UTF-16");
  std::string sOut;
  sOut.reserve(sText.size());
  for (size_t i = 0; i < sText.size(); ++i) {
    const char32_t c = sText[i];
    if (IsHighSurrogate(c) && i + 1 < sText.size() && IsLowSurrogate(sText[i + 1])) {
      AppendUtf8(sOut, 0x10000 + ((c - 0xD800) << 10) + (sText[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendUtf8(sOut, IsHighSurrogate(c) || IsLowSurrogate(c) ? kReplacement : c);
    }
  }
  return sOut;
}

std::vector<uint8_t> Utf16ToBe(std::u16string_view sText) {
  std::vector<uint8_t> Octets;
  Octets.reserve(sText.size() * 2);
  for (char16_t c : sText) {
    Octets.push_back(static_cast<uint8_t>(c >> 8));
    Octets.push_back(static_cast<uint8_t>(c));
  }
  return Octets;
}

std::u16string Utf16FromBe(std::span<const uint8_t> Octets) {
  std::u16string sText(Octets.size() / 2, u'\0');
  for (size_t i = 0; i < sText.size(); ++i) sText[i] = static_cast<char16_t>(Octets[2 * i] << 8 | Octets[2 * i + 1]);
  return sText;
}

std::string Utf16BeToUtf8(std::span<const uint8_t> Octets) {
  std::string sOut = Utf16ToUtf8(Utf16FromBe(Octets), true);
  if (Octets.size() % 2 != 0) AppendUtf8(sOut, kReplacement);
  return sOut;
}

}  // namespace Norvale::Sms
