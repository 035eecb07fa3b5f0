// Addresses of submit_sm: TON (type of number) and NPI (numbering plan)
// beside the digits.
//
// Destination numbers of jobs, parsed by Sms::PhoneNumber (its rule for
// separators, '+', "00", '*' '#' and lengths), by their kind:
//   International "+447700900123"  international 1/1, "447700900123"
//   National      "07700900123"    unknown 0/1 as written (default): the SMSC
//                                  applies its own dialling rules, which also
//                                  cover "00..." prefixes;
//                                  or, with ENationalNumbers::National,
//                                  national 2/1 "7700900123": the trunk
//                                  prefix 0 dropped, as a national
//                                  significant number has none ("00..."
//                                  stays unknown 0/1 as written)
//   ShortCode     "12345"          unknown 0/1
// A name (Alphanumeric) is no destination: InvalidAddress, which the caller
// reports as an invalid number (job status 3).
//
// Source addresses (the account's sender):
//   "+4412345"        international 1/1
//   "12345"           unknown 0/1
//   "Velquor"         alphanumeric 5/0: printable ASCII, at most 11
//                     characters (what a handset shows)
// A configured TON/NPI overrides the guess (SourceAddress with both given).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "codec/phone_number.h"

namespace Norvale::Smpp {

inline constexpr uint8_t kTonUnknown = 0;
inline constexpr uint8_t kTonInternational = 1;
inline constexpr uint8_t kTonNational = 2;
inline constexpr uint8_t kTonNetworkSpecific = 3;
inline constexpr uint8_t kTonSubscriber = 4;
inline constexpr uint8_t kTonAlphanumeric = 5;
inline constexpr uint8_t kTonAbbreviated = 6;
inline constexpr uint8_t kNpiUnknown = 0;
inline constexpr uint8_t kNpiIsdn = 1;

inline constexpr size_t kMaxAlphanumericSender = 11;

class InvalidAddress : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct SmppAddress {
  uint8_t nTon = kTonUnknown;
  uint8_t nNpi = kNpiUnknown;
  std::string sAddress;
  bool operator==(const SmppAddress&) const = default;
};

enum class ENationalNumbers { Unknown, National };

SmppAddress DestinationAddress(const Sms::PhoneNumber& Number, ENationalNumbers eNational = ENationalNumbers::Unknown);
SmppAddress SourceAddress(std::string_view sSource);
// The address as configured, with its TON and NPI given; only the length is
// checked (at most 20 octets, no NUL).
SmppAddress SourceAddress(std::string_view sSource, uint8_t nTon, uint8_t nNpi);

}  // namespace Norvale::Smpp
