// From a job's content to the user data of the messages that carry it.
//
// One message holds 140 octets of user data (TP-UD): 160 GSM 7-bit septets
// or 70 UCS-2 code units or 140 data octets. Longer content goes out as
// concatenated messages, each with a concatenation element in its user-data
// header (udh.h), which costs 6 octets (UDHL 05, then 00 03 ref total seq):
//
//               one message   a part of several
//   GSM 7-bit   160 septets   153 septets (6 header octets + 1 fill bit = 7 septets)
//   UCS-2        70 units      67 units   (134 octets)
//   8-bit data  140 octets    134 octets  (less any header the job brings)
//
// A character is never cut between parts: an escape septet stays with its
// extension character, a UTF-16 surrogate pair stays whole, so each part
// can be shown on its own. At most 255 parts (the total is one octet); more
// is std::invalid_argument.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/data_coding.h"

namespace Norvale::Sms {

struct UserDataPart {
  Coding eCoding = Coding::Gsm7;
  uint8_t nDcs = 0;              // data coding scheme of the part (0x00 GSM 7-bit, 0x08 UCS-2, job's DCS for data)
  std::vector<uint8_t> Udh;      // user-data-header information elements WITHOUT the UDHL length octet; empty = no UDH
  std::vector<uint8_t> Payload;  // Gsm7: unpacked septets (escape 0x1B included, one septet per byte); Ucs2: UTF-16BE
                                 // octets; Data8: octets
  size_t Units() const { return Payload.size(); }  // septets for Gsm7 (payload only), octets otherwise
  bool operator==(const UserDataPart&) const = default;
};

inline constexpr size_t kMaxUserDataOctets = 140;
inline constexpr size_t kMaxSeptets = 160;

// Payload units that fit one message beside a UDH of nUdhOctets (without
// UDHL; 0 = no header): septets for Gsm7, octets otherwise.
size_t PayloadCapacity(Coding eCoding, size_t nUdhOctets);

// Text from UTF-8: GSM 7-bit default alphabet when every character fits (extension table included), else UCS-2.
// Longer than one message: concatenated parts with an 8-bit reference concatenation IE (00 03 ref total seq),
// 153 septets (GSM) or 67 UCS-2 code units a part; an escape sequence or a surrogate pair is never split.
// One-part messages carry no UDH. Invalid UTF-8 -> throws std::invalid_argument with a clear message.
std::vector<UserDataPart> SplitText(std::string_view sUtf8, uint8_t nReference);

// Unicode already as hex: 4 hex digits per UTF-16 code unit (upper or lower case). Always UCS-2.
// Bad hex (odd length, non-hex, length not a multiple of 4, lone surrogates) -> std::invalid_argument.
std::vector<UserDataPart> SplitUcs2Hex(std::string_view sHex, uint8_t nReference);

// Data message: DCS, UDH (IEs without UDHL) and user data as given. If UDH+UD exceeds 140 octets,
// split the UD into parts adding a concatenation IE to each part's UDH; the DCS alphabet decides units
// (DCS says GSM 7-bit -> treat UD as septets, 8-bit/UCS-2 -> octets; see data_coding.h).
// GSM 7-bit data must hold septets (values up to 0x7F) and UCS-2 data an even
// number of octets. A UDH that is not a list of whole elements, or that
// already has a concatenation element when the data needs several parts, is
// std::invalid_argument.
std::vector<UserDataPart> SplitData(uint8_t nDcs, std::span<const uint8_t> Udh, std::span<const uint8_t> Ud,
                                    uint8_t nReference);

// The text of parts in sequence: payloads of consecutive parts of one coding
// are joined before decoding, so a character that a foreign sender did cut
// between parts reads whole. GSM and UCS-2 payloads are decoded leniently
// (gsm_alphabet.h, unicode.h); a part of 8-bit data is std::invalid_argument.
std::string PartsToUtf8(std::span<const UserDataPart> Parts);

}  // namespace Norvale::Sms
