// Time stamps of GSM 03.40 PDUs (section 9.2.3.11): TP-SCTS (when the SMS
// centre took the message), TP-DT (discharge time of a status report) and
// an absolute TP-VP. Seven octets, each two decimal digits as swapped
// semi-octets (31 -> 0x13):
//
//   year  month  day  hour  minute  second  time zone
//
// The time zone is the local time's difference from UTC in quarters of an
// hour. Its octet is swapped too, and bit 3 (the top bit of the first
// digit) is the sign: 0x40 = +04 quarters = UTC+1, 0x8A = -28 quarters
// (first digit 0xA & 7 = 2, second 8) = UTC-7. Years 90..99 are read as
// 1990s, the rest as 2000s. Decoding checks that every digit is decimal,
// not that the date exists.
#pragma once

#include <chrono>
#include <string>

namespace Norvale::Sms {

struct SmsTimestamp {
  int nYear = 2000;  // four digits
  int nMonth = 1, nDay = 1, nHour = 0, nMinute = 0, nSecond = 0;
  int nZoneQuarters = 0;  // -79..79, local time minus UTC in 15 minutes

  // "2024-03-01 13:45:10+01:00", the local time with its offset.
  std::string ToString() const;
  // The instant in UTC.
  std::chrono::sys_seconds ToUtc() const;
  bool operator==(const SmsTimestamp&) const = default;
};

}  // namespace Norvale::Sms
