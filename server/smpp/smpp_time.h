// The two time formats of SMPP 3.4 (section 7.1.1), as schedule_delivery_time
// and validity_period carry them: 16 characters, or empty for "none".
//
//   absolute  "YYMMDDhhmmsstnnp"  the local time of the sender: year 20YY,
//             month, day, hour, minute, second, tenths (t), and its distance
//             from UTC in quarter hours (nn, 00 to 48), ahead ('+') or
//             behind ('-'): "260310143000004+" is 14:30 at UTC+1, 13:30 UTC.
//   relative  "YYMMDDhhmmss000R"  a period from now: years, months, days,
//             hours, minutes, seconds. A year counts 365 days and a month
//             30 (what an SMSC's clock would add is not knowable here);
//             each field is two digits, any value ("000000240000000R" is
//             a day).
//
// RelativeSmppTime writes a period the way most SMSCs read it: days (up to
// 99), hours, minutes, seconds; a longer period in years (365 days), months
// (30 days, at most 11) and the days left, so that reading it back gives the
// same period.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Norvale::Smpp {

struct SmppTime {
  bool bRelative = false;
  std::int64_t nUtcMs = 0;         // absolute: milliseconds since the epoch, UTC
  std::chrono::seconds period{0};  // relative
};

// Nothing for an empty text; std::invalid_argument naming what is wrong for
// a text of another length, a field out of range (month 13, day 31 of
// April, an offset beyond 48 quarter hours) or an unknown last character.
std::optional<SmppTime> ParseSmppTime(std::string_view sText);

// The moment it names: a relative time counted from nNowMs.
std::int64_t ResolveSmppTime(const SmppTime& time, std::int64_t nNowMs);

// "YYMMDDhhmmss000R" for a period of at least one second (shorter: one
// second); std::out_of_range from 100 years on.
std::string RelativeSmppTime(std::chrono::seconds period);

}  // namespace Norvale::Smpp
