#include "codec/hex.h"

#include <stdexcept>

namespace Norvale::Sms {

namespace {

// Digit value by character, -1 for a non-hex character.
struct HexTable {
  int8_t Value[256];
  constexpr HexTable() : Value{} {
    for (int c = 0; c < 256; ++c)
      Value[c] = c >= '0' && c <= '9'   ? c - '0'
                 : c >= 'A' && c <= 'F' ? c - 'A' + 10
                 : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                        : -1;
  }
};
constexpr HexTable kHex;

}  // namespace

std::string ToHex(std::span<const uint8_t> Octets) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string sHex(Octets.size() * 2, '0');
  for (size_t i = 0; i < Octets.size(); ++i) {
    sHex[2 * i] = kDigits[Octets[i] >> 4];
    sHex[2 * i + 1] = kDigits[Octets[i] & 0x0F];
  }
  return sHex;
}

std::vector<uint8_t> FromHex(std::string_view sHex) {
  if (sHex.size() % 2 != 0)
    throw std::invalid_argument("hex text has an odd number of digits (" + std::to_string(sHex.size()) + ")");
  std::vector<uint8_t> Octets(sHex.size() / 2);
  for (size_t i = 0; i < Octets.size(); ++i) {
    const int nHigh = kHex.Value[static_cast<uint8_t>(sHex[2 * i])];
    const int nLow = kHex.Value[static_cast<uint8_t>(sHex[2 * i + 1])];
    if ((nHigh | nLow) < 0)
      throw std::invalid_argument("hex text has a non-hex character at position " +
                                  std::to_string(nHigh < 0 ? 2 * i : 2 * i + 1));
    Octets[i] = static_cast<uint8_t>(nHigh << 4 | nLow);
  }
  return Octets;
}

}  // namespace Norvale::Sms
