// CRateLimiter: a token bucket per name (an account's), shared by the front
// ends: velquor-http admits a request's messages with it, velquor-smppd each
// submit_sm. A bucket holds up to `burst` tokens (0: one second's worth, at
// least 1) and fills at `rate` per second; a new bucket starts full. A take
// is whole or nothing. A rate of 0 (or below) admits everything. Every
// function may be called from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Norvale {

class CRateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  struct Decision {
    bool bAdmitted = true;
    // Refused: more than the bucket ever holds (waiting will not help).
    bool bTooLarge = false;
    // Refused: how long until the bucket holds enough.
    Clock::duration wait{};
  };

  // Takes `nUnits` tokens from the bucket of `sName` at `now`.
  Decision Take(const std::string& sName, double dRatePerSecond, unsigned nBurst, unsigned nUnits,
                Clock::time_point now);
  Decision Take(const std::string& sName, double dRatePerSecond, unsigned nBurst, unsigned nUnits = 1) {
    return Take(sName, dRatePerSecond, nBurst, nUnits, Clock::now());
  }

  // The bucket's size for these settings.
  static double BucketSize(double dRatePerSecond, unsigned nBurst);

 private:
  struct Bucket {
    double dTokens = 0;
    Clock::time_point filledAt;
  };
  std::mutex m_Mutex;
  std::unordered_map<std::string, Bucket> m_Buckets;  // guarded by m_Mutex
};

}  // namespace Norvale
