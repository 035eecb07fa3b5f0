// Comparison of names the way the registry and the database columns compare
// them: ASCII letters without regard to case, every other byte as it is.
#pragma once

#include <algorithm>
#include <string_view>

namespace Norvale::OS {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

}  // namespace Norvale::OS
