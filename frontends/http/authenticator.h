// Authenticator: who a request comes from. A request names its account by
// its API key, "Authorization: Bearer <key>" or HTTP Basic with the account
// as user and the key as password. The key is checked against the account's
// stored hash (scrypt, so slow on purpose); a key that passed is remembered
// by its SHA-256 for a while so that the next requests do not pay for it
// again, and forgotten when the account's stored hash changes.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "accounts/api_account_store.h"
#include "http_server.h"

namespace VelquorHttp {

class Authenticator {
 public:
  explicit Authenticator(Norvale::CApiAccountStore& store) : m_Store(store) {}
  virtual ~Authenticator() = default;

  // The account, or the refusal to send (401 with WWW-Authenticate).
  virtual std::variant<Norvale::CApiAccount, HttpResponse> Authenticate(const HttpRequest& request);
  // The account whose name and key these are (Kannel's username and
  // password), or nothing.
  virtual std::optional<Norvale::CApiAccount> Check(const std::string& name, const std::string& key,
                                                    const std::string& remoteAddress);
  // Takes `nMessages` from the account's token bucket (RatePerSecond,
  // Burst): nothing when they may go, else the refusal to send (429 with
  // Retry-After). A request is admitted whole or not at all.
  virtual std::optional<HttpResponse> Admit(const Norvale::CApiAccount& account, unsigned nMessages);

 protected:
  Norvale::CApiAccountStore& m_Store;
};

}  // namespace VelquorHttp
