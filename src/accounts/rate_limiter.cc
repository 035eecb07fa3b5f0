#include "accounts/rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace Norvale {

double CRateLimiter::BucketSize(double dRatePerSecond, unsigned nBurst) {
  return nBurst > 0 ? nBurst : std::max(1.0, std::floor(dRatePerSecond));
}

CRateLimiter::Decision CRateLimiter::Take(const std::string& sName, double dRatePerSecond, unsigned nBurst,
                                          unsigned nUnits, Clock::time_point now) {
  Decision decision;
  if (!(dRatePerSecond > 0) || nUnits == 0) return decision;
  const double burst = BucketSize(dRatePerSecond, nBurst);
  if (nUnits > burst) {
    decision.bAdmitted = false;
    decision.bTooLarge = true;
    return decision;
  }
  double missing = 0;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto [entry, added] = m_Buckets.try_emplace(sName, Bucket{burst, now});
    Bucket& bucket = entry->second;
    if (!added) {
      const double elapsed = std::chrono::duration<double>(now - bucket.filledAt).count();
      bucket.dTokens = std::min(burst, bucket.dTokens + std::max(0.0, elapsed) * dRatePerSecond);
      if (now > bucket.filledAt) bucket.filledAt = now;
    }
    if (bucket.dTokens >= nUnits) {
      bucket.dTokens -= nUnits;
      return decision;
    }
    missing = nUnits - bucket.dTokens;
  }
  decision.bAdmitted = false;
  decision.wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(missing / dRatePerSecond));
  return decision;
}

}  // namespace Norvale
