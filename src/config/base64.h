// Base64 of the standard alphabet (RFC 4648), "=" padding, no line breaks.
// Decoding stops at the first "=" or the first character outside the
// alphabet and ignores the rest. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace Norvale {

extern const std::string base64_chars;

class CBase64 {
 public:
  static std::string Encode(const std::uint8_t* bytes_to_encode, std::uint32_t in_len);
  static std::string Decode(const std::string& encoded_string);
  static bool IsBase64(std::uint8_t c);
};

}  // namespace Norvale
