#include "codec/unicode.h"

#include <stdexcept>

namespace Norvale::Sms {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

[[noreturn]] void BadUtf8(size_t nAt, const char* sWhy) {
  throw std::invalid_argument("invalid UTF-8 at byte " + std::to_string(nAt) + ": " + sWhy);
}

// Writes c at p (room for 4 bytes), returns the bytes written.
size_t PutUtf8(char* p, char32_t c) {
  if (c < 0x80) {
    p[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    p[0] = static_cast<char>(0xC0 | c >> 6);
    p[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    p[0] = static_cast<char>(0xE0 | c >> 12);
    p[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    p[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  p[0] = static_cast<char>(0xF0 | c >> 18);
  p[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
  p[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  p[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

void AppendUtf8(std::string& sOut, char32_t c) {
  char Buf[4];
  sOut.append(Buf, PutUtf8(Buf, c));
}

}  // namespace

std::u32string Utf8ToUtf32(std::string_view sUtf8) {
  // Written by index into room for the worst case (all ASCII), then cut.
  std::u32string sOut(sUtf8.size(), U'\0');
  size_t nOut = 0;
  for (size_t i = 0; i < sUtf8.size();) {
    const auto b = static_cast<uint8_t>(sUtf8[i]);
    if (b < 0x80) {
      sOut[nOut++] = b;
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
    sOut[nOut++] = c;
    i += n;
  }
  sOut.resize(nOut);
  return sOut;
}

std::string Utf32ToUtf8(std::u32string_view sText) {
  std::string sOut(sText.size() * 4, '\0');
  size_t nOut = 0;
  for (char32_t c : sText)
    nOut += PutUtf8(&sOut[nOut], c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c) ? kReplacement : c);
  sOut.resize(nOut);
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
