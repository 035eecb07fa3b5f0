#include "accounts/webhook_url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

#include "config/config_reg.h"

namespace Norvale {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// One part of a parsed URL, or empty where it has none.
std::string Part(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return "";
  std::string value = text;
  curl_free(text);
  return value;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string WebhookUrlProblem(const std::string& sUrl, const std::vector<std::string>& allowedHosts) {
  if (sUrl.empty()) return "the URL is empty";
  if (sUrl.size() > 2048) return "the URL is longer than 2048 bytes";
  if (std::any_of(sUrl.begin(), sUrl.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; }))
    return "the URL holds a space or a control character";
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, sUrl.c_str(), 0) != CURLUE_OK) return "not an absolute URL";
  const std::string scheme = Lower(Part(parsed.get(), CURLUPART_SCHEME));
  if (scheme != "http" && scheme != "https") return "only http and https URLs are called";
  if (!Part(parsed.get(), CURLUPART_USER).empty() || !Part(parsed.get(), CURLUPART_PASSWORD).empty())
    return "a URL may not carry a user name or password";
  const std::string host = Lower(Part(parsed.get(), CURLUPART_HOST));
  if (host.empty()) return "the URL has no host";
  if (!allowedHosts.empty() && std::find(allowedHosts.begin(), allowedHosts.end(), host) == allowedHosts.end())
    return "the host " + host + " is not among the allowed webhook hosts";
  return "";
}

std::vector<std::string> ConfiguredWebhookHosts() {
  std::vector<std::string> hosts;
  std::stringstream list(RUProductValue("HttpWebhookHosts"));
  std::string host;
  while (std::getline(list, host, ',')) {
    host.erase(0, host.find_first_not_of(' '));
    host.erase(host.find_last_not_of(' ') + 1);
    if (!host.empty()) hosts.push_back(Lower(host));
  }
  return hosts;
}

}  // namespace Norvale
