// A mobile-originated message in a deliver_sm, as the engine stores it.
//
// The user data is short_message, or the message_payload TLV when the SMSC
// sends that. With UDHI (esm_class 0x40) it starts with a user-data header
// (UDHL, elements), which goes to Part.Udh without its UDHL.
//
// data_coding names the alphabet, in SMPP's own table below 0x10 and as a
// GSM DCS from there on:
//   0x00        SMSC default alphabet: GSM 7-bit, one septet per octet;
//               octets above 0x7F cannot be septets, so such text is read
//               as Latin-1 (a warning says so); for an SMSC whose default
//               is Latin-1 (bDefaultIsLatin1), Latin-1 as 0x03
//   0x01 IA5 (ASCII), 0x03 Latin-1
//               turned into UCS-2 (every Latin-1 character has the same
//               code in UTF-16), so the engine stores them as text
//   0x08        UCS-2
//   0x02, 0x04  8-bit data
//   0x05..0x0E other national alphabets: kept as 8-bit data with a warning
//   0x10..0xFF  GSM DCS (codec/data_coding.h): GSM 7-bit, UCS-2 or data
//
// Parts of a concatenated message carry a concatenation element in the UDH
// or the SAR TLVs (sar_msg_ref_num, sar_total_segments,
// sar_segment_seqnum). SAR is turned into a 16-bit-reference concatenation
// element added to Part.Udh, so the engine reassembles both alike; Concat
// holds what either says.
//
// Nothing is dropped: a UDH that does not parse leaves the whole user data
// as 8-bit data, incomplete SAR TLVs are ignored; each with a warning.
#pragma once

#include <optional>
#include <string>

#include "codec/sms_split.h"
#include "codec/udh.h"
#include "smpp/pdu.h"
#include "smpp/smpp_address.h"

namespace Norvale::Smpp {

struct IncomingMessage {
  SmppAddress Source;
  SmppAddress Destination;
  uint8_t nDataCoding = 0;
  uint8_t nEsmClass = 0;
  uint8_t nProtocolId = 0;
  Sms::UserDataPart Part;
  std::optional<Sms::Concatenation> Concat;
};

// sWarning is set (else left empty) when the message was read with a
// fallback. bDefaultIsLatin1: the SMSC's data_coding 0 is Latin-1, read like
// 0x03.
IncomingMessage ReadIncomingMessage(const ShortMessageBody& Body, std::string& sWarning, bool bDefaultIsLatin1 = false);

}  // namespace Norvale::Smpp
