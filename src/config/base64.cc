#include "config/base64.h"

namespace Norvale {

const std::string base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool CBase64::IsBase64(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::string CBase64::Encode(const std::uint8_t* bytes, std::uint32_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  std::uint32_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int k = 3; k >= 0; --k) out += base64_chars[(v >> (6 * k)) & 0x3F];
  }
  const std::uint32_t rest = len - i;
  if (rest > 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    out += base64_chars[(v >> 18) & 0x3F];
    out += base64_chars[(v >> 12) & 0x3F];
    out += rest == 2 ? base64_chars[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::string CBase64::Decode(const std::string& encoded) {
  std::string out;
  std::uint32_t acc = 0;
  int count = 0;
  for (const char ch : encoded) {
    const auto c = static_cast<std::uint8_t>(ch);
    if (c == '=' || !IsBase64(c)) break;
    acc = (acc << 6) | static_cast<std::uint32_t>(base64_chars.find(static_cast<char>(c)));
    if (++count == 4) {
      out += static_cast<char>((acc >> 16) & 0xFF);
      out += static_cast<char>((acc >> 8) & 0xFF);
      out += static_cast<char>(acc & 0xFF);
      acc = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out += static_cast<char>((acc >> 4) & 0xFF);
  } else if (count == 3) {
    out += static_cast<char>((acc >> 10) & 0xFF);
    out += static_cast<char>((acc >> 2) & 0xFF);
  }
  return out;
}

}  // namespace Norvale
