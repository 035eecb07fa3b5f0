#include "queues/send_options.h"
#include "platform/wall_clock.h"

#include <chrono>
#include <cstring>

namespace Norvale {

namespace {

using Limits = SendOptionLimits;

// UTF-8 characters of a text (continuation bytes not counted).
std::size_t Characters(std::string_view sText) {
  std::size_t n = 0;
  for (const char c : sText) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

bool HasControl(std::string_view sText) {
  for (std::size_t i = 0; i < sText.size(); ++i) {
    const auto c = static_cast<unsigned char>(sText[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < sText.size() && static_cast<unsigned char>(sText[i + 1]) < 0xA0) return true;
  }
  return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `pos`.
bool Digits(std::string_view s, std::size_t& pos, std::size_t count, int& value) {
  if (pos + count > s.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!IsDigit(s[pos + i])) return false;
    value = value * 10 + (s[pos + i] - '0');
  }
  pos += count;
  return true;
}

bool Expect(std::string_view s, std::size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

bool IsSenderCharacter(char c) {
  if (c < 0x20 || c > 0x7E) return false;
  return std::strchr("[\\]^{|}~`", c) == nullptr;
}

std::string SenderProblem(std::string_view sSender) {
  if (sSender.empty()) return "is empty";
  const std::string_view digits = sSender[0] == '+' ? sSender.substr(1) : sSender;
  bool numeric = !digits.empty();
  for (const char c : digits) numeric = numeric && IsDigit(c);
  if (numeric) {
    if (digits.size() > Limits::kMaxNumericSender)
      return "has more than " + std::to_string(Limits::kMaxNumericSender) + " digits";
    return "";
  }
  if (Characters(sSender) > Limits::kMaxAlphanumericSender)
    return "is longer than " + std::to_string(Limits::kMaxAlphanumericSender) +
           " characters (an alphanumeric sender) and is no number of digits with an optional leading '+'";
  for (const char c : sSender)
    if (!IsSenderCharacter(c))
      return "holds a character outside the GSM 7-bit default alphabet's letters, digits, space and "
             "punctuation";
  if (sSender.front() == ' ' || sSender.back() == ' ') return "starts or ends with a space";
  return "";
}

std::optional<CSendOptionsError> CheckSendOptions(const CSendOptions& options, std::int64_t nNowMs) {
  if (!options.sSender.empty())
    if (std::string problem = SenderProblem(options.sSender); !problem.empty())
      return CSendOptionsError{"sender", std::move(problem)};
  if (options.nPriority && *options.nPriority != 0 && *options.nPriority != 1)
    return CSendOptionsError{"priority", "is 0 (normal) or 1 (high), not " + std::to_string(*options.nPriority)};
  if (options.nNotBefore && *options.nNotBefore < nNowMs - Limits::kPastGraceMs)
    return CSendOptionsError{"not_before", "is in the past"};
  if (options.nValidUntil) {
    const std::int64_t start = options.nNotBefore && *options.nNotBefore > nNowMs ? *options.nNotBefore : nNowMs;
    const std::int64_t validity = *options.nValidUntil - start;
    if (validity <= 0) return CSendOptionsError{"validity", "ends before the message may leave"};
    if (validity > Limits::kMaxValiditySeconds * 1000)
      return CSendOptionsError{"validity", "is longer than " + std::to_string(Limits::kMaxValiditySeconds) +
                                               " seconds (63 weeks, the most a relative TP-VP can say)"};
  }
  if (Characters(options.sClientRef) > Limits::kMaxClientRef)
    return CSendOptionsError{"client_ref", "has more than " + std::to_string(Limits::kMaxClientRef) + " characters"};
  if (HasControl(options.sClientRef)) return CSendOptionsError{"client_ref", "holds a control character"};
  return std::nullopt;
}

std::optional<std::int64_t> ParseSendTime(std::string_view s) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(s, pos, 4, year) || !Expect(s, pos, '-') || !Digits(s, pos, 2, month) || !Expect(s, pos, '-') ||
      !Digits(s, pos, 2, day))
    return std::nullopt;
  if (pos >= s.size() || (s[pos] != 'T' && s[pos] != 't' && s[pos] != ' ')) return std::nullopt;
  ++pos;
  if (!Digits(s, pos, 2, hour) || !Expect(s, pos, ':') || !Digits(s, pos, 2, minute)) return std::nullopt;
  if (pos < s.size() && s[pos] == ':' && !(++pos, Digits(s, pos, 2, second))) return std::nullopt;
  std::int64_t millis = 0;
  if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
    ++pos;
    const std::size_t first = pos;
    std::int64_t scale = 100;
    while (pos < s.size() && IsDigit(s[pos])) {
      millis += (s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == first) return std::nullopt;
  }
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  // The offset is required: a time without one would depend on the zone of
  // whoever reads it.
  if (pos >= s.size()) return std::nullopt;
  int offsetMinutes = 0;
  if (s[pos] == 'Z' || s[pos] == 'z') {
    ++pos;
  } else if (s[pos] == '+' || s[pos] == '-') {
    const int sign = s[pos] == '-' ? -1 : 1;
    ++pos;
    int oh = 0, om = 0;
    if (!Digits(s, pos, 2, oh)) return std::nullopt;
    if (pos < s.size() && s[pos] == ':') ++pos;
    if (pos < s.size() && !Digits(s, pos, 2, om)) return std::nullopt;
    if (oh > 23 || om > 59) return std::nullopt;
    offsetMinutes = sign * (oh * 60 + om);
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offsetMinutes * 60;
  return seconds * 1000 + millis;
}

std::optional<std::int64_t> ParseDuration(std::string_view s) {
  if (s.empty() || s.size() > 15) return std::nullopt;
  std::int64_t unit = 1;
  switch (s.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 7 * 86400; break;
    default: unit = 0;
  }
  const std::string_view number = unit == 0 ? s : s.substr(0, s.size() - 1);
  if (unit == 0) unit = 1;
  if (number.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : number) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 100LL * 366 * 86400) return std::nullopt;
  }
  value *= unit;
  if (value > 100LL * 366 * 86400) return std::nullopt;
  return value;
}

std::int64_t SendOptionsNowMs() { return OS::NowMs(); }

}  // namespace Norvale
