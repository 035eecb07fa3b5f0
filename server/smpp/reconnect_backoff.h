// How long to wait before connecting to the SMS centre again.
//
// The n-th attempt after a failure waits Initial * Factor^(n-1), capped at
// Maximum, less a random share of up to Jitter (0.2 = 20 %) so that many
// gateways cut off together do not return together. A refused bind (wrong
// password, unknown system_id: EBindFailure::Rejected) waits at least
// AfterRejectedBind, so a bad account is not hammered in a tight loop.
// Reset() after a successful bind starts again from Initial.
//
// The random source is seeded by the caller: tests pass a fixed seed, the
// driver a random one.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace Norvale::Smpp {

class CReconnectBackoff {
 public:
  struct Settings {
    std::chrono::milliseconds Initial{1000};
    std::chrono::milliseconds Maximum{60000};
    double dFactor = 2.0;
    double dJitter = 0.2;
    std::chrono::milliseconds AfterRejectedBind{300000};
  };

  CReconnectBackoff(Settings Config, uint64_t nSeed);

  std::chrono::milliseconds NextDelay(bool bBindRejected = false);
  void Reset() { m_nFailures = 0; }
  unsigned Failures() const { return m_nFailures; }

 private:
  Settings m_Settings;
  std::mt19937_64 m_Random;
  unsigned m_nFailures = 0;
};

}  // namespace Norvale::Smpp
