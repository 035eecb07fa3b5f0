// Packing of GSM 7-bit septets into octets (GSM 03.38 section 6.1.2.1).
// Septets are laid down least significant bit first: septet n occupies bits
// 7n .. 7n+6 of the bit string, bit 0 being the lowest bit of the first
// octet. "hellohello" (68 65 6C 6C 6F ...) packs to E8 32 9B FD 46 97 D9 EC 37.
//
// With a user-data header the header occupies whole octets (UDHL and the
// information elements). The septets then start on the next septet boundary
// counted from the start of the user data, so 0..6 fill bits (zero) follow
// the header:
//
//   header octets h   fill bits (7 - 8h mod 7) mod 7   header in septets ceil(8h / 7)
//   6 (concatenation, 8-bit reference)     1           7   -> 153 septets left of 160
//   7 (concatenation, 16-bit reference)    0           8   -> 152 septets left
//
// TP-UDL of a GSM 7-bit message counts the header septets plus the text
// septets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Norvale::Sms {

// Fill bits after a header of nHeaderOctets (UDHL included); 0 for none.
constexpr size_t FillBits(size_t nHeaderOctets) { return (7 - nHeaderOctets * 8 % 7) % 7; }
// Septets the header and its fill bits take from the user-data length.
constexpr size_t HeaderSeptets(size_t nHeaderOctets) { return (nHeaderOctets * 8 + 6) / 7; }
// Octets that nSeptets packed after nFillBits occupy.
constexpr size_t PackedOctets(size_t nSeptets, size_t nFillBits) {
  return nSeptets == 0 ? 0 : (nFillBits + nSeptets * 7 + 7) / 8;
}

// The fill bits are written as zero; only the low 7 bits of each septet count.
std::vector<uint8_t> PackSeptets(std::span<const uint8_t> Septets, size_t nFillBits = 0);

// Reads nSeptets after nFillBits. std::invalid_argument when the octets are
// fewer than that needs.
std::vector<uint8_t> UnpackSeptets(std::span<const uint8_t> Octets, size_t nSeptets, size_t nFillBits = 0);

}  // namespace Norvale::Sms
