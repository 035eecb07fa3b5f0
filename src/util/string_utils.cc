#include "util/string_utils.h"

namespace Norvale {

void SplitString(const std::string& string_in, std::string separators, std::vector<std::string>& substrings_out) {
  substrings_out.clear();
  std::string::size_type start = 0;
  while (true) {
    const auto sep = string_in.find_first_of(separators, start);
    const auto piece = string_in.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
    if (!piece.empty()) substrings_out.push_back(piece);
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
}

std::string ExtractParam(std::string ParamName, const std::string& ParamList, bool bToEnd) {
  const std::string key = ParamName + "=";
  const auto at = ParamList.find(key);
  if (at == std::string::npos) return std::string();
  const auto start = at + key.size();
  if (!bToEnd) {
    const auto end = ParamList.find(';', start);
    if (end != std::string::npos) return ParamList.substr(start, end - start);
  }
  return ParamList.substr(start);
}

std::u16string string2wstring(const std::string& StringIn) {
  std::u16string out;
  out.reserve(StringIn.size());
  for (const char c : StringIn) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

std::string wstring2string(const std::u16string& StringIn) {
  std::string out;
  out.reserve(StringIn.size());
  for (const char16_t c : StringIn) out.push_back(static_cast<char>(c & 0xFF));
  return out;
}

}  // namespace Norvale
