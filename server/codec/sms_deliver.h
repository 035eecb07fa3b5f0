// SMS-DELIVER (GSM 03.40 section 9.2.2.1): a message from the SMS centre to
// the mobile, as a modem reports it (+CMT, +CMGR, +CMGL in PDU mode).
//
//   SMSC prefix  length octet, type, digits (sms_address.h)
//   first octet  bit 7 TP-RP reply path, 6 TP-UDHI header present,
//                5 TP-SRI status report will be returned to the sender,
//                2 TP-MMS (0 = more messages are waiting), 1..0 TP-MTI = 00
//   TP-OA        originating address, a number or an alphanumeric name
//   TP-PID       protocol identifier
//   TP-DCS       data coding scheme (data_coding.h)
//   TP-SCTS      service-centre time stamp, 7 octets (sms_timestamp.h)
//   TP-UDL       user-data length: septets for GSM 7-bit, octets otherwise
//   TP-UD        UDHL and header when TP-UDHI, then the text or data
//
// Example (hex): 07 917283010010F5 04 0B C87238880900F1 00 00 99309251619580
// 0A E8329BFD4697D9EC37 is "hellohello" from 27838890001 through the centre
// +27381000015, stamped 1999-03-29 15:16:59 at UTC+2.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "codec/encoded_pdu.h"
#include "codec/sms_address.h"
#include "codec/sms_split.h"
#include "codec/sms_timestamp.h"

namespace Norvale::Sms {

struct SmsDeliver {
  std::string sSmsc;
  bool bMoreMessagesToSend = false;  // TP-MMS clear
  bool bStatusReportIndication = false;
  bool bReplyPath = false;
  PhoneAddress Originator;
  uint8_t nPid = 0;
  SmsTimestamp ServiceCentreTime;
  UserDataPart UserData;  // its nDcs is TP-DCS
  // The text of the user data, decoded leniently from GSM 7-bit or UCS-2;
  // nothing for 8-bit data. Filled by DecodeDeliver, unused by EncodeDeliver.
  std::optional<std::string> sText;
  bool operator==(const SmsDeliver&) const = default;
};

// bWithSmsc: the octets start with the SMSC prefix, as modems report them.
// PduError for anything malformed.
SmsDeliver DecodeDeliver(std::span<const uint8_t> Pdu, bool bWithSmsc = true);

// For the modem emulator and tests; std::invalid_argument as EncodeSubmit.
EncodedPdu EncodeDeliver(const SmsDeliver& Deliver);

}  // namespace Norvale::Sms
