// SMS-SUBMIT (GSM 03.40 section 9.2.2.2): a message from the mobile to the
// SMS centre, as the modem driver hands it to AT+CMGS.
//
//   SMSC prefix  length octet, 00 = the SIM's centre (sms_address.h)
//   first octet  bit 7 TP-RP reply path, 6 TP-UDHI header present,
//                5 TP-SRR status report requested, 4..3 TP-VPF validity format
//                (00 none, 10 relative, 01 enhanced, 11 absolute),
//                2 TP-RD reject duplicates, 1..0 TP-MTI = 01
//   TP-MR        message reference 0..255, echoed by the status report
//   TP-DA        destination address
//   TP-PID       protocol identifier, 00 for plain SMS
//   TP-DCS       data coding scheme (data_coding.h)
//   TP-VP        0, 1 or 7 octets as TP-VPF says
//   TP-UDL       user-data length: septets for GSM 7-bit (header septets
//                included), octets otherwise
//   TP-UD        UDHL and header when TP-UDHI, then the text or data
//                (septets packed after fill bits, septet_packing.h)
//
// Example (hex): 00 11 00 0B 91 6407281553F8 00 00 AA 0A E8329BFD4697D9EC37
// is "hellohello" to +46708251358, validity 4 days; AT+CMGS=23.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/encoded_pdu.h"
#include "codec/sms_address.h"
#include "codec/sms_split.h"

namespace Norvale::Sms {

// TP-VPF values.
enum class ValidityFormat : uint8_t { None = 0, Enhanced = 1, Relative = 2, Absolute = 3 };

// TP-VP relative (one octet):
//   0..143    (n + 1) x 5 minutes          up to 12 hours
//   144..167  12 hours + (n - 143) x 30 minutes  up to 24 hours
//   168..196  (n - 166) days               up to 30 days
//   197..255  (n - 192) weeks              up to 63 weeks
// The octet for a period rounds up to the next period the code can express
// (at least 5 minutes, at most 63 weeks).
uint8_t RelativeValidity(std::chrono::minutes Period);
std::chrono::minutes RelativeValidityPeriod(uint8_t nOctet);

struct SmsSubmit {
  std::string sSmsc;  // "" = use the SIM's SMS centre (prefix 00)
  bool bRejectDuplicates = false;
  bool bStatusReportRequest = false;
  bool bReplyPath = false;
  uint8_t nMessageReference = 0;
  PhoneAddress Destination;
  uint8_t nPid = 0;
  ValidityFormat eValidityFormat = ValidityFormat::None;
  std::vector<uint8_t> Validity;  // TP-VP octets: 1 for relative, 7 for enhanced or absolute
  UserDataPart UserData;          // its nDcs is TP-DCS; a UDH sets TP-UDHI
  bool operator==(const SmsSubmit&) const = default;
};

// std::invalid_argument when a field cannot be sent: an address that is not
// a number or name, a validity of the wrong size, user data beyond one
// message or with a coding its DCS contradicts.
EncodedPdu EncodeSubmit(const SmsSubmit& Submit);

// bWithSmsc: the octets start with the SMSC prefix (as +CMGL and +CMGR
// show them). PduError for anything malformed.
SmsSubmit DecodeSubmit(std::span<const uint8_t> Pdu, bool bWithSmsc = true);

}  // namespace Norvale::Sms
