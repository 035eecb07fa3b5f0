#include "codec/septet_packing.h"

#include <stdexcept>
#include <string>

namespace Norvale::Sms {

std::vector<uint8_t> PackSeptets(std::span<const uint8_t> Septets, size_t nFillBits) {
  std::vector<uint8_t> Octets(PackedOctets(Septets.size(), nFillBits), 0);
  size_t nBit = nFillBits;
  for (uint8_t s : Septets) {
    const unsigned v = s & 0x7Fu;
    const size_t nByte = nBit / 8, nShift = nBit % 8;
    Octets[nByte] |= static_cast<uint8_t>(v << nShift);
    if (nShift > 1) Octets[nByte + 1] |= static_cast<uint8_t>(v >> (8 - nShift));
    nBit += 7;
  }
  return Octets;
}

std::vector<uint8_t> UnpackSeptets(std::span<const uint8_t> Octets, size_t nSeptets, size_t nFillBits) {
  if (PackedOctets(nSeptets, nFillBits) > Octets.size())
    throw std::invalid_argument(std::to_string(nSeptets) + " septets need " +
                                std::to_string(PackedOctets(nSeptets, nFillBits)) + " octets, only " +
                                std::to_string(Octets.size()) + " given");
  std::vector<uint8_t> Septets(nSeptets);
  size_t nBit = nFillBits;
  for (auto& s : Septets) {
    const size_t nByte = nBit / 8, nShift = nBit % 8;
    unsigned v = Octets[nByte] >> nShift;
    if (nShift > 1) v |= static_cast<unsigned>(Octets[nByte + 1]) << (8 - nShift);
    s = static_cast<uint8_t>(v & 0x7F);
    nBit += 7;
  }
  return Septets;
}

}  // namespace Norvale::Sms
