// The checks of a webhook address given by a client (callback_url,
// Kannel's dlr-url) or an account: an absolute http or https URL with a
// host, no user name or password in it, no control characters or spaces
// (no header injection), at most 2,048 bytes, and, where the configuration
// names hosts (HttpWebhookHosts, "a.example,b.example"), one of them.
// The checks live in accounts/webhook_url.h, which the velquor command
// shares; these names forward to them.
#pragma once

#include <string>
#include <vector>

namespace VelquorHttp {

// Empty when `url` may be called; else why not, in a client's words.
std::string CallbackUrlProblem(const std::string& url, const std::vector<std::string>& allowedHosts);

// The hosts of HttpWebhookHosts in the configuration (empty: any host).
std::vector<std::string> ConfiguredWebhookHosts();

}  // namespace VelquorHttp
