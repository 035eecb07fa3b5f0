// Hexadecimal text of octets, as AT commands carry PDUs (AT+CMGS, +CMGL,
// +CMT, +CDS) and as Unicode jobs carry their text: two hex digits per
// octet, most significant digit first, no separators.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Norvale::Sms {

// Upper-case hex digits, two per octet.
std::string ToHex(std::span<const uint8_t> Octets);

// Accepts upper and lower case. Odd length or a non-hex character ->
// std::invalid_argument naming the offending position.
std::vector<uint8_t> FromHex(std::string_view sHex);

}  // namespace Norvale::Sms
