// SMS-STATUS-REPORT (GSM 03.40 section 9.2.2.3): the SMS centre's word on a
// message submitted with TP-SRR set (+CDS, +CMGR in PDU mode).
//
//   SMSC prefix  length octet, type, digits (sms_address.h)
//   first octet  bit 6 TP-UDHI, 5 TP-SRQ (1 = report of an SMS-COMMAND),
//                2 TP-MMS (0 = more messages are waiting), 1..0 TP-MTI = 10
//   TP-MR        reference of the SMS-SUBMIT this reports on
//   TP-RA        recipient address (the submit's destination)
//   TP-SCTS      when the centre took the message
//   TP-DT        discharge time: of delivery, or of the last attempt
//   TP-ST        status (below)
//   optional:    TP-PI parameter indicator (bit 0 TP-PID, 1 TP-DCS, 2 TP-UDL
//                follow; bit 7 another indicator octet follows), then those
//                fields and the user data
//
// TP-ST (section 9.2.3.15):
//   0x00..0x1F  transaction completed: 00 received, 01 forwarded but not
//               confirmed, 02 replaced; 10..1F centre specific   -> Delivered
//   0x20..0x3F  temporary error, the centre still tries: 20 congestion,
//               21 recipient busy, 22 no response, 23 service rejected,
//               24 quality of service unavailable, 25 error in recipient;
//               30..3F centre specific                           -> Pending
//   0x40..0x5F  permanent error: 40 remote procedure error, 41 incompatible
//               destination, 42 rejected by recipient, 43 not obtainable,
//               44 quality of service unavailable, 45 no interworking,
//               46 validity period expired, 47 deleted by sender, 48 deleted
//               by the centre, 49 message does not exist          -> Failed
//   0x60..0x7F  temporary error, the centre gave up: 60..65 as 20..25 -> Failed
// Reserved values are taken as "service rejected" (0x63), as 03.40 asks of
// a receiver: failed.
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

enum class DeliveryState { Delivered, Pending, Failed };

DeliveryState ClassifyStatus(uint8_t nStatus);
// A short English description of TP-ST, e.g. "validity period expired".
std::string DescribeStatus(uint8_t nStatus);

struct SmsStatusReport {
  std::string sSmsc;
  bool bMoreMessagesToSend = false;  // TP-MMS clear
  bool bCommandReport = false;       // TP-SRQ
  uint8_t nMessageReference = 0;
  PhoneAddress Recipient;
  SmsTimestamp ServiceCentreTime;
  SmsTimestamp DischargeTime;
  uint8_t nStatus{0};
  std::optional<uint8_t> nPid;
  std::optional<UserDataPart> UserData;  // with TP-DCS (0x00 when the report gives none)
  DeliveryState State() const { return ClassifyStatus(nStatus); }
  bool operator==(const SmsStatusReport&) const = default;
};

// PduError for anything malformed.
SmsStatusReport DecodeStatusReport(std::span<const uint8_t> Pdu, bool bWithSmsc = true);

// For the modem emulator and tests. TP-PI is written when nPid or UserData
// is present.
EncodedPdu EncodeStatusReport(const SmsStatusReport& Report);

}  // namespace Norvale::Sms
