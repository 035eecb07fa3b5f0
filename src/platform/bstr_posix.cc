#include "platform/bstr.h"

#include <cstdlib>
#include <cstring>

namespace Norvale::OS {

BSTR SysAllocStringLen(const char16_t* strIn, UINT ui) {
  const size_t bytes = static_cast<size_t>(ui) * sizeof(char16_t);
  auto* block = static_cast<char*>(std::malloc(sizeof(std::uint32_t) + bytes + sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  const auto len = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &len, sizeof len);
  auto* text = reinterpret_cast<char16_t*>(block + sizeof(std::uint32_t));
  if (strIn != nullptr)
    std::memcpy(text, strIn, bytes);
  else
    std::memset(text, 0, bytes);
  text[ui] = u'\0';
  return text;
}

BSTR SysAllocString(const char16_t* psz) {
  if (psz == nullptr) return nullptr;
  UINT n = 0;
  while (psz[n] != u'\0') ++n;
  return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR b) {
  if (b != nullptr) std::free(reinterpret_cast<char*>(b) - sizeof(std::uint32_t));
}

UINT SysStringLen(BSTR b) {
  if (b == nullptr) return 0;
  std::uint32_t len;
  std::memcpy(&len, reinterpret_cast<char*>(b) - sizeof(std::uint32_t), sizeof len);
  return len / sizeof(char16_t);
}

std::u16string AnsiToWide(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    char32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < len && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (k < len || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // One replacement for the maximal invalid prefix, then go on after it.
      out.push_back(u'\uFFFD');
      i += (k < len) ? k : len;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::string WideToAnsi(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace Norvale::OS
