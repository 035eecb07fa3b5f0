#include "callback_url.h"

#include "accounts/webhook_url.h"

namespace VelquorHttp {

std::string CallbackUrlProblem(const std::string& url, const std::vector<std::string>& allowedHosts) {
  return Norvale::WebhookUrlProblem(url, allowedHosts);
}

std::vector<std::string> ConfiguredWebhookHosts() { return Norvale::ConfiguredWebhookHosts(); }

}  // namespace VelquorHttp
