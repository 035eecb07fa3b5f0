// The checks of a webhook address given by a client (callback_url,
// Kannel's dlr-url) or an account: an absolute http or https URL with a
// host, no user name or password in it, no control characters or spaces
// (no header injection), at most 2,048 bytes, and, where the configuration
// names hosts (HttpWebhookHosts, "a.example,b.example"), one of them.
// Shared by velquor-http and the velquor command (`http account`); the URL
// is parsed by libcurl's parser, the one that later calls it.
#pragma once

#include <string>
#include <vector>

namespace Norvale {

// Empty when `sUrl` may be called; else why not, in a client's words.
std::string WebhookUrlProblem(const std::string& sUrl, const std::vector<std::string>& allowedHosts);

// The hosts of HttpWebhookHosts in the configuration, in lower case (empty:
// any host).
std::vector<std::string> ConfiguredWebhookHosts();

}  // namespace Norvale
