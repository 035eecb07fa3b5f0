// String functions the subsystems share. They hold no state and raise nothing
// of their own; any thread may call them.
#pragma once

#include <string>
#include <vector>

namespace Norvale {

// Splits `string_in` at any of the characters of `separators`; empty pieces
// are dropped. `substrings_out` is emptied first.
void SplitString(const std::string& string_in, std::string separators, std::vector<std::string>& substrings_out);

// The value of "<ParamName>=" in a list such as "DCS=0;UDH=;UD=abc": the text
// after the first occurrence of the key anywhere in the list, up to the next
// ";" or, with bToEnd, to the end. Empty when the key is absent. The key is
// matched as plain text, so "D" is found inside "UD=".
std::string ExtractParam(std::string ParamName, const std::string& ParamList, bool bToEnd);

// Byte-to-unit widening and unit-to-byte narrowing without any code-page
// translation: a unit above 255 loses its high byte.
std::u16string string2wstring(const std::string& StringIn);
std::string wstring2string(const std::u16string& StringIn);

}  // namespace Norvale
