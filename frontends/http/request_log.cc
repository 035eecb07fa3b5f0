#include "request_log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "accounts/api_account_store.h"
#include "metrics.h"
#include "platform/event_log.h"

namespace VelquorHttp {
namespace {

// Percent-encodes what is not plainly printable in a URL (and what `keep`
// does not allow), so a line holds no space, line break or control byte.
std::string Encoded(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0 || std::string_view("-._~").find(c) != std::string_view::npos ||
        keep.find(c) != std::string_view::npos) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

bool IsSecretArgument(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  static constexpr std::array<std::string_view, 11> kSecret = {
      "password", "passwd", "pass", "pw", "key", "apikey", "api_key", "token", "access_token", "secret", "pin"};
  return std::find(kSecret.begin(), kSecret.end(), name) != kSecret.end();
}

// The account a request names: a bearer key's name, or Kannel's username.
std::string NamedAccount(const HttpRequest& request) {
  const std::string authorization = request.Header("authorization");
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.rfind(kBearer, 0) == 0) {
    if (auto name = Norvale::CApiAccountStore::NameOfKey(authorization.substr(kBearer.size()))) return *name;
    return "";
  }
  if (const std::string* user = request.QueryValue("username")) return *user;
  return "";
}

}  // namespace

RequestLog::RequestLog(Metrics& metrics, bool accessLog) : m_Metrics(metrics) {
  m_Metrics.Describe("velquor_http_requests_total", "counter", "HTTP requests answered, by status code.");
  m_Metrics.Describe("velquor_http_request_seconds", "histogram",
                     "Seconds from a whole request read to its answer made.");
  if (accessLog) m_hSource = Norvale::OS::RegisterEventSourceA(nullptr, "velquor-http");
}

RequestLog::~RequestLog() {
  if (m_hSource != nullptr) Norvale::OS::DeregisterEventSource(m_hSource);
}

HttpServer::Handler RequestLog::Wrap(HttpServer::Handler inner) {
  return [this, inner = std::move(inner)](const HttpRequest& request) {
    const auto start = std::chrono::steady_clock::now();
    HttpResponse answer;
    try {
      answer = inner(request);
    } catch (const std::exception&) {
      answer = HttpResponse();
      answer.status = 500;
      answer.body = R"({"error":"internal error"})";
    }
    Record(request, answer.status, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return answer;
  };
}

void RequestLog::Record(const HttpRequest& request, unsigned status, double seconds) {
  m_Metrics.Add("velquor_http_requests_total", {{"code", std::to_string(status)}});
  m_Metrics.Observe("velquor_http_request_seconds", {}, seconds);
  if (m_hSource == nullptr) return;
  const std::string line = Line(request, status, seconds);
  const char* strings[1] = {line.c_str()};
  Norvale::OS::ReportEventA(m_hSource, Norvale::OS::EVENTLOG_INFORMATION_TYPE, 0, Norvale::OS::EVENT_HTTP_ACCESS,
                            nullptr, 1, 0, strings, nullptr);
}

std::string RequestLog::Line(const HttpRequest& request, unsigned status, double seconds) {
  std::string line = Encoded(request.method, "") + " " + Encoded(request.path, "/:@!$'()*,;=");
  char separator = '?';
  for (const auto& [name, value] : request.query) {
    line += separator + Encoded(name, "") + "=" + (IsSecretArgument(name) ? "***" : Encoded(value, "/:@!$'()*,;"));
    separator = '&';
  }
  char duration[32];
  std::snprintf(duration, sizeof duration, " %u %.1fms ", status, seconds * 1000);
  line += duration;
  line += request.remoteAddress.empty() ? "-" : Encoded(request.remoteAddress, ":");
  if (status != 401)
    if (const std::string account = NamedAccount(request); !account.empty()) line += " account=" + Encoded(account, "");
  return line;
}

}  // namespace VelquorHttp
