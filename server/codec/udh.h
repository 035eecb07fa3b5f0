// User-data header (UDH, GSM 03.40 section 9.2.3.24). When TP-UDHI is set
// the user data starts with the header:
//
//   UDHL  IEI1 IEDL1 IED1...  IEI2 IEDL2 IED2...  ...
//
// UDHL counts the octets after itself; each information element (IE) is an
// identifier, a length and that many data octets. Throughout this codec a
// UDH is held WITHOUT its UDHL octet (UserDataPart::Udh); the PDU encoders
// add it.
//
// Elements the gateway reads and writes:
//   00 03 ref total seq          concatenated message, 8-bit reference
//   08 04 refHi refLo total seq  concatenated message, 16-bit reference
//   04 02 dst src                application port addressing, 8-bit ports
//   05 04 dstHi dstLo srcHi srcLo application port addressing, 16-bit ports
// The 8-bit forms carry the low octet of a reference or port.
// A known element with the wrong length, or a concatenation element with
// sequence 0, total 0 or sequence above total, is ignored as the receiving
// side of 03.40 does; when an element occurs twice the last one counts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Norvale::Sms {

inline constexpr uint8_t kIeConcat8 = 0x00;
inline constexpr uint8_t kIePorts8 = 0x04;
inline constexpr uint8_t kIePorts16 = 0x05;
inline constexpr uint8_t kIeConcat16 = 0x08;

struct InformationElement {
  uint8_t nIei = 0;
  std::vector<uint8_t> Data;
  bool operator==(const InformationElement&) const = default;
};

// Elements of a UDH given without UDHL; PduError when an element's length
// reaches beyond the end.
std::vector<InformationElement> ParseUdh(std::span<const uint8_t> Udh);
// The UDH octets (without UDHL); std::invalid_argument when an element has
// more than 255 data octets.
std::vector<uint8_t> BuildUdh(std::span<const InformationElement> Elements);

struct Concatenation {
  uint16_t nReference = 0;
  uint8_t nTotal = 0;
  uint8_t nSequence = 0;        // 1-based
  bool bWideReference = false;  // IE 0x08 instead of 0x00
  bool operator==(const Concatenation&) const = default;
};
std::optional<Concatenation> FindConcatenation(std::span<const InformationElement> Elements);
InformationElement MakeConcatenationIe(const Concatenation& Concat);

struct PortAddressing {
  uint16_t nDestination = 0;
  uint16_t nSource = 0;
  bool bWide = false;  // IE 0x05 (16-bit ports) instead of 0x04
  bool operator==(const PortAddressing&) const = default;
};
std::optional<PortAddressing> FindPorts(std::span<const InformationElement> Elements);
InformationElement MakePortsIe(const PortAddressing& Ports);

}  // namespace Norvale::Sms
