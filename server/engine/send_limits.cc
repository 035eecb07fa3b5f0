#include "server/engine/send_limits.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Norvale {

namespace {
constexpr std::int64_t kDayMs = 86400000;
}  // namespace

double CTokenBucket::Size(double rate) { return std::max(1.0, std::floor(rate / 10)); }

CTokenBucket::CTokenBucket(double rate) : m_dRate(rate), m_dSize(Size(rate)), m_dTokens(m_dSize) {}

double CTokenBucket::TokensAt(Clock::time_point now) const {
  if (m_FilledAt == Clock::time_point::min() || now <= m_FilledAt) return m_dTokens;
  return std::min(m_dSize, m_dTokens + std::chrono::duration<double>(now - m_FilledAt).count() * m_dRate);
}

long CTokenBucket::Available(Clock::time_point now) {
  if (!Limited()) return std::numeric_limits<long>::max();
  return static_cast<long>(std::floor(TokensAt(now)));
}

void CTokenBucket::Take(long count, Clock::time_point now) {
  if (!Limited() || count <= 0) return;
  m_dTokens = std::max(0.0, TokensAt(now) - static_cast<double>(count));
  m_FilledAt = std::max(m_FilledAt, now);
}

CTokenBucket::Clock::time_point CTokenBucket::NextToken(Clock::time_point now) const {
  if (!Limited()) return Clock::time_point::max();
  const double tokens = TokensAt(now);
  if (tokens >= 1) return now;
  // Rounded up, so that the bucket holds the token when the worker wakes.
  const auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>((1 - tokens) / m_dRate));
  return now + wait + Clock::duration(1);
}

std::int64_t CDayQuota::DayStart(std::int64_t nowMs) { return nowMs - ((nowMs % kDayMs) + kDayMs) % kDayMs; }

bool CDayQuota::NeedsCount(std::int64_t nowMs, long reserved) const {
  if (!Limited()) return false;
  if (m_nDay != DayStart(nowMs) || nowMs - m_nReadAt >= kRefresh || nowMs < m_nReadAt) return true;
  // Close to the limit, what another engine sent meanwhile matters: the
  // count is read before every claim (a look-up of the index). With nothing
  // left it is read every kRefresh only.
  const long left = m_nMax - m_nSent - reserved;
  return left > 0 && left <= std::max(1L, m_nMax / 10);
}

void CDayQuota::SetCount(std::int64_t nowMs, long sent) {
  m_nDay = DayStart(nowMs);
  m_nReadAt = nowMs;
  m_nSent = sent;
}

long CDayQuota::Remaining(std::int64_t nowMs, long reserved) const {
  if (!Limited()) return std::numeric_limits<long>::max();
  const long sent = m_nDay == DayStart(nowMs) ? m_nSent : 0;
  return std::max(0L, m_nMax - sent - reserved);
}

}  // namespace Norvale
