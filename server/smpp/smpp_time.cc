#include "smpp/smpp_time.h"

#include <algorithm>
#include <stdexcept>

namespace Norvale::Smpp {

namespace {

constexpr std::int64_t kDay = 24 * 3600;
constexpr std::int64_t kRelativeYear = 365 * kDay;
constexpr std::int64_t kRelativeMonth = 30 * kDay;
constexpr size_t kLength = 16;

bool IsTimeDigit(char c) { return c >= '0' && c <= '9'; }

int TwoDigits(std::string_view s, size_t nAt) { return (s[nAt] - '0') * 10 + (s[nAt + 1] - '0'); }

std::invalid_argument Bad(std::string_view sText, const std::string& sWhy) {
  return std::invalid_argument("SMPP time \"" + std::string(sText) + "\": " + sWhy);
}

}  // namespace

std::optional<SmppTime> ParseSmppTime(std::string_view sText) {
  if (sText.empty()) return std::nullopt;
  if (sText.size() != kLength) throw Bad(sText, "not 16 characters");
  for (size_t i = 0; i < 15; ++i) {
    if (!IsTimeDigit(sText[i])) throw Bad(sText, "a character other than a digit before the last");
  }
  const int yy = TwoDigits(sText, 0), mo = TwoDigits(sText, 2), dd = TwoDigits(sText, 4);
  const int hh = TwoDigits(sText, 6), mi = TwoDigits(sText, 8), ss = TwoDigits(sText, 10);
  SmppTime time;
  const char p = sText[15];
  if (p == 'R') {
    time.bRelative = true;
    time.period = std::chrono::seconds(yy * kRelativeYear + mo * kRelativeMonth + dd * kDay + std::int64_t{hh} * 3600 +
                                       mi * 60 + ss);
    return time;
  }
  if (p != '+' && p != '-') throw Bad(sText, "ends in neither '+', '-' nor 'R'");
  using namespace std::chrono;
  const year_month_day date{year(2000 + yy), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(dd))};
  if (!date.ok()) throw Bad(sText, "no such date");
  if (hh > 23 || mi > 59 || ss > 59) throw Bad(sText, "no such time of day");
  const int quarters = TwoDigits(sText, 13);
  if (quarters > 48) throw Bad(sText, "more than 48 quarter hours from UTC");
  const int tenths = sText[12] - '0';
  const std::int64_t local =
      duration_cast<milliseconds>(sys_days(date).time_since_epoch() + hours(hh) + minutes(mi) + seconds(ss)).count() +
      tenths * 100;
  // Local time ahead of UTC ('+') is later on the clock than UTC.
  const std::int64_t offset = std::int64_t{quarters} * 15 * 60 * 1000;
  time.nUtcMs = p == '+' ? local - offset : local + offset;
  return time;
}

std::int64_t ResolveSmppTime(const SmppTime& time, std::int64_t nNowMs) {
  return time.bRelative ? nNowMs + time.period.count() * 1000 : time.nUtcMs;
}

std::string RelativeSmppTime(std::chrono::seconds period) {
  std::int64_t s = std::max<std::int64_t>(period.count(), 1);
  std::int64_t days = s / kDay;
  s %= kDay;
  std::int64_t years = 0, months = 0;
  if (days > 99) {
    years = days / 365;
    days %= 365;
    months = std::min<std::int64_t>(days / 30, 11);
    days -= months * 30;
  }
  if (years > 99) throw std::out_of_range("a validity beyond 99 years has no SMPP relative time");
  std::string text;
  for (const std::int64_t n : {years, months, days, s / 3600, s / 60 % 60, s % 60}) {
    text += static_cast<char>('0' + n / 10);
    text += static_cast<char>('0' + n % 10);
  }
  return text + "000R";
}

}  // namespace Norvale::Smpp
