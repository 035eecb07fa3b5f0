#include "codec/hex.h"

#include <stdexcept>

namespace Norvale::Sms {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

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
  for (size_t i = 0; i < sHex.size(); ++i) {
    const int v = HexValue(sHex[i]);
    if (v < 0) throw std::invalid_argument("hex text has a non-hex character at position " + std::to_string(i));
    Octets[i / 2] = static_cast<uint8_t>(Octets[i / 2] << 4 | v);
  }
  return Octets;
}

}  // namespace Norvale::Sms
