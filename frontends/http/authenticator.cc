#include "authenticator.h"

#include "accounts/secret_hash.h"
#include "json_answer.h"

namespace VelquorHttp {
namespace {

// The key of an Authorization field: a bearer token, or the password of
// HTTP Basic (whose user must then be the key's account).
std::optional<std::string> KeyOf(const std::string& authorization) {
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.rfind(kBearer, 0) == 0) return authorization.substr(kBearer.size());
  return std::nullopt;
}

}  // namespace

std::variant<Norvale::CApiAccount, HttpResponse> Authenticator::Authenticate(const HttpRequest& request) {
  const std::optional<std::string> key = KeyOf(request.Header("authorization"));
  std::optional<std::string> name;
  if (key) name = Norvale::CApiAccountStore::NameOfKey(*key);
  std::optional<Norvale::CApiAccount> account;
  if (key && name) account = Check(*name, *key, request.remoteAddress);
  if (account) return *account;
  HttpResponse refusal = Refuse(401, "a valid API key is needed (Authorization: Bearer <key>)");
  refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"velquor\"");
  return refusal;
}

std::optional<Norvale::CApiAccount> Authenticator::Check(const std::string& name, const std::string& key,
                                                         const std::string& /*remoteAddress*/) {
  std::optional<Norvale::CApiAccount> account = m_Store.Find(name);
  if (!account || !Norvale::VerifySecret(key, account->sKeyHash)) return std::nullopt;
  return account;
}

std::optional<HttpResponse> Authenticator::Admit(const Norvale::CApiAccount& /*account*/, unsigned /*nMessages*/) {
  return std::nullopt;
}

}  // namespace VelquorHttp
