// Helpers of the SMPP unit tests: octets written as spaced hex, and the
// other way round for failure messages.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Norvale::Smpp::Test {

// "00 00 00 10 'ab'" -> octets; text between single quotes stands for its
// ASCII octets, so PDUs in the tests read like their layout.
inline std::vector<uint8_t> Bytes(std::string_view s) {
  std::vector<uint8_t> Out;
  for (size_t i = 0; i < s.size();) {
    char c = s[i];
    if (c == ' ' || c == '\n' || c == '|') {
      ++i;
    } else if (c == '\'') {
      size_t nEnd = s.find('\'', i + 1);
      if (nEnd == std::string_view::npos) throw std::invalid_argument("unclosed quote");
      Out.insert(Out.end(), s.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                 s.begin() + static_cast<std::ptrdiff_t>(nEnd));
      i = nEnd + 1;
    } else {
      Out.push_back(static_cast<uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
      i += 2;
    }
  }
  return Out;
}

inline std::string Hex(const std::vector<uint8_t>& Octets) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t n : Octets) {
    if (!s.empty()) s += ' ';
    s += kDigits[n >> 4];
    s += kDigits[n & 15];
  }
  return s;
}

}  // namespace Norvale::Smpp::Test
