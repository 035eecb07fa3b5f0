#include "server/drivers/smpp/tls_error.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include "errors/com_error_raise.h"

namespace Norvale {

std::string TakeTlsErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += (text.empty() ? "" : "; ") + std::string(buffer);
  }
  return text;
}

void RaiseTlsError(const std::string& sWhat, long nVerifyResult) {
  std::string text = sWhat;
  if (nVerifyResult != X509_V_OK)
    text += ": certificate not trusted (" + std::string(X509_verify_cert_error_string(nVerifyResult)) + ")";
  const std::string queue = TakeTlsErrors();
  if (!queue.empty()) text += ": " + queue;
  RAISE_COM_ERROR(nVerifyResult != X509_V_OK ? OS::E_ACCESSDENIED : OS::E_FAIL, text);
}

}  // namespace Norvale
