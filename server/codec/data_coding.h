// TP-Data-Coding-Scheme (DCS, GSM 03.38 section 4): how the user data of a
// message is coded and which class it has. The coding groups, by the high
// nibble of the octet:
//
//   00xx xxxx  general data coding     bit 5: text compressed
//   01xx xxxx  same, and the message is marked for automatic deletion
//              bit 4: bits 1..0 hold a message class
//              bits 3..2: alphabet 00 GSM 7-bit, 01 8-bit data, 10 UCS-2, 11 reserved
//              bits 1..0: class 0 (flash), 1 (mobile), 2 (SIM), 3 (terminal equipment)
//   1000..1011 reserved groups
//   1100       message waiting indication, discard message, GSM 7-bit
//   1101       message waiting indication, store message, GSM 7-bit
//   1110       message waiting indication, store message, UCS-2
//              bit 3: indication active, bits 1..0: voicemail/fax/e-mail/other
//   1111       data coding/message class: bit 2 alphabet (0 GSM 7-bit, 1 8-bit),
//              bits 1..0 class as above (e.g. F5 = 8-bit data, class 1)
//
// A receiver treats reserved codings as the GSM 7-bit default alphabet, as
// 03.38 asks. Compressed user data is counted in octets whatever the
// alphabet, so it is handled as 8-bit data.
#pragma once

#include <cstdint>
#include <optional>

namespace Norvale::Sms {

// How the user data of one message is counted and read: Gsm7 in septets of
// the default alphabet, Ucs2 in octets of UTF-16BE, Data8 in plain octets.
enum class Coding { Gsm7, Ucs2, Data8 };

enum class MessageClass : uint8_t { Flash = 0, Mobile = 1, Sim = 2, Terminal = 3 };

struct DcsInfo {
  Coding eAlphabet = Coding::Gsm7;  // alphabet the DCS names
  bool bCompressed = false;
  bool bAutoDelete = false;            // group 01xx
  bool bMessageWaiting = false;        // groups 1100..1110
  bool bReserved = false;              // reserved group or alphabet, read as GSM 7-bit
  std::optional<MessageClass> eClass;  // none when the DCS gives no class
  // How the user-data length counts: septets only for uncompressed GSM 7-bit.
  Coding UnitCoding() const { return bCompressed ? Coding::Data8 : eAlphabet; }
};

DcsInfo ClassifyDcs(uint8_t nDcs);

// The DCS a part of the given alphabet carries: 0x00, 0x08 or 0x04, with a
// class (group 00xx with bit 4) when one is given.
uint8_t MakeDcs(Coding eAlphabet, std::optional<MessageClass> eClass = std::nullopt);

}  // namespace Norvale::Sms
