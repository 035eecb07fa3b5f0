// Authenticator: who a request comes from, and whether it may send now.
//
// A request names its account by its API key, "Authorization: Bearer <key>"
// or HTTP Basic with the account as user and the key as password. The key is
// checked against the account's stored hash (scrypt, so slow on purpose); a
// key that passed is remembered by its SHA-256 for a minute so that the next
// requests do not pay for it again. The account itself is read from the
// registry on every request (cheap), so a changed setting applies at once,
// and a remembered key is forgotten as soon as the stored hash is another
// (the key was rotated or the account made anew).
//
// Failures are limited per remote address: after kFailuresAllowed within
// kFailureWindow, every further request of that address is refused with 429
// and Retry-After until the window is over, without looking at its key.
// Each failure is counted in velquor_http_auth_failures_total{reason} and
// logged (source "velquor-http") with the account name and the address,
// never the key.
//
// Admit keeps a token bucket per account (RatePerSecond, Burst; a
// Norvale::CRateLimiter). Every function may be called from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>

#include "accounts/api_account_store.h"
#include "accounts/rate_limiter.h"
#include "http_server.h"
#include "metrics.h"

namespace VelquorHttp {

class Authenticator {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kFailuresAllowed = 10;  // per address and window
  static constexpr std::chrono::seconds kFailureWindow{60};
  static constexpr std::chrono::seconds kKeyCacheTime{60};

  Authenticator(Norvale::CApiAccountStore& store, Metrics& metrics);
  virtual ~Authenticator() = default;

  // The account, or the refusal to send: 401 with WWW-Authenticate, or 429
  // with Retry-After while the address has failed too often.
  virtual std::variant<Norvale::CApiAccount, HttpResponse> Authenticate(const HttpRequest& request);
  // The account whose name and key these are (Kannel's username and
  // password), or nothing (also while the address has failed too often; see
  // LockedSeconds).
  virtual std::optional<Norvale::CApiAccount> Check(const std::string& name, const std::string& key,
                                                    const std::string& remoteAddress);
  // Takes `nMessages` from the account's token bucket (RatePerSecond,
  // Burst): nothing when they may go, else the refusal to send (429 with
  // Retry-After in whole seconds, rounded up). A request is admitted whole
  // or not at all; one larger than the bucket never is (429 without
  // Retry-After). A rate of 0 admits everything.
  virtual std::optional<HttpResponse> Admit(const Norvale::CApiAccount& account, unsigned nMessages);

  // Seconds until `remoteAddress` may try to authenticate again; 0 when it
  // may now.
  unsigned LockedSeconds(const std::string& remoteAddress);

 protected:
  // Whether `key` is the one `storedHash` was made from (scrypt).
  virtual bool VerifyKey(const std::string& key, const std::string& storedHash);
  virtual Clock::time_point Now() const { return Clock::now(); }

 private:
  struct VerifiedKey {
    std::string name;
    std::string keyHash;  // the stored hash the key was checked against
    Clock::time_point verifiedAt;
  };
  struct Failures {
    unsigned count = 0;
    Clock::time_point windowStart;
  };

  // The account of a key whose account name is known, or nothing with the
  // reason (a metric label) and the words of the log.
  std::optional<Norvale::CApiAccount> Verify(const std::string& name, const std::string& key, std::string& reason,
                                             std::string& why);
  // Counts, logs and limits one failure.
  void Failed(const std::string& name, const std::string& remoteAddress, const std::string& reason,
              const std::string& why);
  unsigned LockedSecondsLocked(const std::string& remoteAddress, Clock::time_point now);

  Norvale::CApiAccountStore& m_Store;
  Metrics& m_Metrics;
  std::mutex m_Mutex;                                       // guards the two maps
  std::unordered_map<std::string, VerifiedKey> m_Verified;  // by the key's SHA-256
  std::unordered_map<std::string, Failures> m_Failures;     // by remote address
  Norvale::CRateLimiter m_Limiter;                          // by account name
};

}  // namespace VelquorHttp
