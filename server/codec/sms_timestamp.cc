#include "codec/sms_timestamp.h"

#include <cstdio>
#include <cstdlib>

namespace Norvale::Sms {

std::string SmsTimestamp::ToString() const {
  const int nZone = std::abs(nZoneQuarters) * 15;
  char s[40];
  std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d%c%02d:%02d", nYear, nMonth, nDay, nHour, nMinute, nSecond,
                nZoneQuarters < 0 ? '-' : '+', nZone / 60, nZone % 60);
  return s;
}

std::chrono::sys_seconds SmsTimestamp::ToUtc() const {
  using namespace std::chrono;
  // Months and days are counted from the first of the year and month, so a
  // field out of range (the digits are not checked) rolls over.
  const year_month Month = year(nYear) / January + months(nMonth - 1);
  const sys_days Date = sys_days(Month / 1) + days(nDay - 1);
  return Date + hours(nHour) + minutes(nMinute) + seconds(nSecond) - minutes(15 * nZoneQuarters);
}

}  // namespace Norvale::Sms
