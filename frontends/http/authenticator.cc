#include "authenticator.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "accounts/rate_limiter.h"
#include "accounts/secret_hash.h"
#include "config/base64.h"
#include "errors/error_logging.h"
#include "json_answer.h"
#include "platform/event_log.h"

namespace VelquorHttp {
namespace {

constexpr const char* kFailureMetric = "velquor_http_auth_failures_total";
constexpr const char* kLogSource = "velquor-http";
// Expired entries of the maps are swept when one grows past this.
constexpr std::size_t kSweepAbove = 4096;

struct Credentials {
  std::string key;
  std::optional<std::string> user;  // HTTP Basic's user name
  bool malformed = false;
};

bool StartsWithScheme(const std::string& field, const std::string& scheme) {
  if (field.size() <= scheme.size() || field[scheme.size()] != ' ') return false;
  return std::equal(scheme.begin(), scheme.end(), field.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

std::string Trimmed(std::string text) {
  text.erase(0, text.find_first_not_of(' '));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// The key of an Authorization field: a bearer token, or the password of
// HTTP Basic (whose user must then be the key's account). Nothing without
// the field; `malformed` for a field of another form.
std::optional<Credentials> CredentialsOf(const std::string& authorization) {
  if (authorization.empty()) return std::nullopt;
  Credentials credentials;
  if (StartsWithScheme(authorization, "Bearer")) {
    credentials.key = Trimmed(authorization.substr(7));
  } else if (StartsWithScheme(authorization, "Basic")) {
    const std::string encoded = Trimmed(authorization.substr(6));
    const bool base64 = !encoded.empty() && encoded.size() % 4 == 0 &&
                        encoded.find_first_not_of(Norvale::base64_chars + "=") == std::string::npos;
    const std::string decoded = base64 ? Norvale::CBase64::Decode(encoded) : "";
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) {
      credentials.malformed = true;
    } else {
      credentials.user = decoded.substr(0, colon);
      credentials.key = decoded.substr(colon + 1);
    }
  } else {
    credentials.malformed = true;
  }
  if (credentials.key.empty()) credentials.malformed = true;
  return credentials;
}

// An account name as the log may show it: a client's text only where it is
// a valid name.
std::string LoggedName(const std::string& name) {
  if (name.empty()) return "(none)";
  return Norvale::CApiAccountStore::IsValidName(name) ? name : "(not a valid name)";
}

unsigned SecondsUntil(Authenticator::Clock::duration wait) {
  const double seconds = std::chrono::duration<double>(wait).count();
  return static_cast<unsigned>(std::max(1.0, std::ceil(seconds)));
}

HttpResponse TooManyFailures(unsigned seconds) {
  HttpResponse refusal =
      Refuse(429, "too many failed authentications from this address: retry after " + std::to_string(seconds) + " s");
  refusal.headers.emplace_back("Retry-After", std::to_string(seconds));
  return refusal;
}

}  // namespace

Authenticator::Authenticator(Norvale::CApiAccountStore& store, Metrics& metrics) : m_Store(store), m_Metrics(metrics) {
  m_Metrics.Describe(kFailureMetric, "counter",
                     "Requests whose authentication failed, by reason (missing, malformed, unknown_account, "
                     "wrong_key, limited: refused unchecked after too many failures)");
}

std::variant<Norvale::CApiAccount, HttpResponse> Authenticator::Authenticate(const HttpRequest& request) {
  if (const unsigned locked = LockedSeconds(request.remoteAddress); locked > 0) {
    m_Metrics.Add(kFailureMetric, {{"reason", "limited"}});
    return TooManyFailures(locked);
  }
  const std::optional<Credentials> credentials = CredentialsOf(request.Header("authorization"));
  std::string reason, why, name;
  std::optional<Norvale::CApiAccount> account;
  if (!credentials) {
    reason = "missing";
    why = "no Authorization field";
  } else if (credentials->malformed) {
    reason = "malformed";
    why = "an Authorization field of no known form";
    if (credentials->user) name = *credentials->user;
  } else {
    const std::optional<std::string> named = Norvale::CApiAccountStore::NameOfKey(credentials->key);
    if (credentials->user) name = *credentials->user;
    if (!named) {
      reason = "malformed";
      why = "a key that names no account";
    } else if (credentials->user && *credentials->user != *named) {
      reason = "malformed";
      why = "a key of another account than the user name";
    } else {
      name = *named;
      account = Verify(name, credentials->key, reason, why);
    }
  }
  if (account) return *account;
  Failed(name, request.remoteAddress, reason, why);
  HttpResponse refusal = Refuse(401, "a valid API key is needed (Authorization: Bearer <key>, or HTTP Basic)");
  refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"velquor\"");
  refusal.headers.emplace_back("WWW-Authenticate", "Basic realm=\"velquor\", charset=\"UTF-8\"");
  return refusal;
}

std::optional<Norvale::CApiAccount> Authenticator::Check(const std::string& name, const std::string& key,
                                                         const std::string& remoteAddress) {
  if (LockedSeconds(remoteAddress) > 0) {
    m_Metrics.Add(kFailureMetric, {{"reason", "limited"}});
    return std::nullopt;
  }
  std::string reason = "malformed", why = "a key of another account than the user name";
  std::optional<Norvale::CApiAccount> account;
  if (Norvale::CApiAccountStore::NameOfKey(key) == name) account = Verify(name, key, reason, why);
  if (!account) Failed(name, remoteAddress, reason, why);
  return account;
}

std::optional<Norvale::CApiAccount> Authenticator::Verify(const std::string& name, const std::string& key,
                                                          std::string& reason, std::string& why) {
  std::optional<Norvale::CApiAccount> account = m_Store.Find(name);
  if (!account || account->sKeyHash.empty()) {
    reason = "unknown_account";
    why = "no such account";
    return std::nullopt;
  }
  const std::string digest = Norvale::Sha256Hex(key);
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto known = m_Verified.find(digest);
    if (known != m_Verified.end()) {
      if (known->second.name == name && known->second.keyHash == account->sKeyHash &&
          Now() - known->second.verifiedAt < kKeyCacheTime)
        return account;
      m_Verified.erase(known);  // expired, or the stored hash is another now
    }
  }
  // scrypt outside the lock: other requests go on meanwhile.
  if (!VerifyKey(key, account->sKeyHash)) {
    reason = "wrong_key";
    why = "a wrong key";
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(m_Mutex);
  const Clock::time_point now = Now();
  if (m_Verified.size() > kSweepAbove)
    std::erase_if(m_Verified, [now](const auto& entry) { return now - entry.second.verifiedAt >= kKeyCacheTime; });
  m_Verified[digest] = VerifiedKey{name, account->sKeyHash, now};
  return account;
}

void Authenticator::Failed(const std::string& name, const std::string& remoteAddress, const std::string& reason,
                           const std::string& why) {
  m_Metrics.Add(kFailureMetric, {{"reason", reason}});
  bool nowLocked = false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Clock::time_point now = Now();
    if (m_Failures.size() > kSweepAbove)
      std::erase_if(m_Failures, [now](const auto& entry) { return now - entry.second.windowStart >= kFailureWindow; });
    Failures& failures = m_Failures[remoteAddress];
    if (failures.count == 0 || now - failures.windowStart >= kFailureWindow) failures = Failures{0, now};
    nowLocked = ++failures.count == kFailuresAllowed;
  }
  std::string text =
      "Authentication failed for the account " + LoggedName(name) + " from " + remoteAddress + ": " + why + ".";
  if (nowLocked)
    text += " That is " + std::to_string(kFailuresAllowed) + " failures within " +
            std::to_string(kFailureWindow.count()) + " s: further requests from " + remoteAddress +
            " are refused until then.";
  Norvale::CEventLogger::LogEvent(Norvale::OS::EVENTLOG_WARNING_TYPE, text, kLogSource);
}

unsigned Authenticator::LockedSeconds(const std::string& remoteAddress) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return LockedSecondsLocked(remoteAddress, Now());
}

unsigned Authenticator::LockedSecondsLocked(const std::string& remoteAddress, Clock::time_point now) {
  const auto failures = m_Failures.find(remoteAddress);
  if (failures == m_Failures.end() || failures->second.count < kFailuresAllowed) return 0;
  const Clock::time_point end = failures->second.windowStart + kFailureWindow;
  if (now >= end) return 0;
  return SecondsUntil(end - now);
}

bool Authenticator::VerifyKey(const std::string& key, const std::string& storedHash) {
  return Norvale::VerifySecret(key, storedHash);
}

std::optional<HttpResponse> Authenticator::Admit(const Norvale::CApiAccount& account, unsigned nMessages) {
  const Norvale::CRateLimiter::Decision decision =
      m_Limiter.Take(account.sName, account.dRatePerSecond, account.nBurst, nMessages, Now());
  if (decision.bAdmitted) return std::nullopt;
  if (decision.bTooLarge)
    return Refuse(429, std::to_string(nMessages) + " messages are more than the account may send at once (" +
                           std::to_string(static_cast<unsigned long>(
                               Norvale::CRateLimiter::BucketSize(account.dRatePerSecond, account.nBurst))) +
                           ")");
  const unsigned seconds = SecondsUntil(decision.wait);
  HttpResponse refusal =
      Refuse(429, "the account's rate limit is reached: retry after " + std::to_string(seconds) + " s");
  refusal.headers.emplace_back("Retry-After", std::to_string(seconds));
  return refusal;
}

}  // namespace VelquorHttp
