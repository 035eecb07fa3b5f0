// Addresses of GSM 03.40 PDUs (section 9.1.2.5): originator, destination,
// recipient, and the SMS centre in front of a PDU.
//
//   TP-OA / TP-DA / TP-RA:  length  type  value...
//     length  number of useful semi-octets of the value (digits; for an
//             alphanumeric address the semi-octets its packed septets fill)
//     type    1 TON(3 bits) NPI(4 bits):
//               0x91 international ISDN number ("+" in front of the digits)
//               0x81 unknown type (national numbers as dialled), ISDN plan
//               0xD0 alphanumeric (a sender name), GSM 7-bit packed
//     value   digits as swapped semi-octets, "12345" -> 21 43 F5 (F fills
//             an odd count); 0-9, A '*', B '#', C 'a', D 'b', E 'c'
//   SMSC in front of an SMS-SUBMIT for AT+CMGS, or of a received PDU:
//     length  octets that follow (type and value); 00 = none, the SIM's
//             SMS centre is used
//
// At most 20 digits (10 octets of value) or 11 alphanumeric characters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Norvale::Sms {

inline constexpr uint8_t kToaInternational = 0x91;
inline constexpr uint8_t kToaUnknown = 0x81;
inline constexpr uint8_t kToaAlphanumeric = 0xD0;

struct PhoneAddress {
  // As shown: "+4912345" for an international number, "12345" otherwise,
  // the name itself when alphanumeric.
  std::string sValue;
  uint8_t nType = kToaUnknown;  // type-of-address octet as sent or received
  bool IsAlphanumeric() const { return (nType & 0x70) == 0x50; }
  bool IsInternational() const { return (nType & 0x70) == 0x10; }
  bool operator==(const PhoneAddress&) const = default;
};

// The address for a text as it stands (the SMS centre of a modem, a PDU
// built by a test or the modem emulator): "+digits" international, digits
// (and the semi-octets * # a b c) unknown/national, anything else
// alphanumeric. std::invalid_argument when it is empty, too long, or a name
// that the GSM alphabet cannot hold. The destination of a job is not read
// here but by PhoneNumber (phone_number.h), whose ToPduAddress gives its
// address.
PhoneAddress ParseAddress(std::string_view sText);

}  // namespace Norvale::Sms
