#include "console_api.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "authenticator.h"
#include "config/config_reg.h"
#include "config/handset_values.h"
#include "console_html.h"
#include "console_static.h"
#include "http_database.h"
#include "json_answer.h"
#include "norvale/norvale.h"
#include "operations_api.h"
#include "platform/registry.h"
#include "platform/wall_clock.h"
#include "queues/job_queue.h"
#include "queues/message_history.h"
#include "queues/queue_depths.h"
#include "send_api.h"
#include "status_api.h"

namespace VelquorHttp {
namespace {

using Norvale::OS::_variant_t;
using Norvale::OS::adCmdText;
using Norvale::OS::adExecuteNoRecords;
using Norvale::OS::LONG;

constexpr const char* kCookie = "velquor_console";
constexpr const char* kPrefix = "/console";
constexpr std::size_t kListed = 50;       // outgoing messages on the list
constexpr std::size_t kCandidates = 500;  // looked at for the list, at most
constexpr std::int64_t kMinuteMs = 60000;
constexpr int kChartMinutes = 60;
constexpr int kRateMinutes = 5;  // the per-minute columns average this many minutes

using Norvale::OS::NowMs;

std::string Text(const _variant_t& v) {
  return v.vt == Norvale::OS::VT_NULL || v.vt == Norvale::OS::VT_EMPTY ? "" : v.ToString();
}
std::optional<std::int64_t> Number(const _variant_t& v) {
  if (v.vt == Norvale::OS::VT_NULL || v.vt == Norvale::OS::VT_EMPTY) return std::nullopt;
  return v.ToLongLong();
}

template <class T>
std::optional<T> ParseNumber(const std::string& text) {
  T value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

std::string Description(const Norvale::OS::_com_error& e) {
  return e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA();
}

// Pages are private to the session and must not be framed or cached.
HttpResponse Html(unsigned status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  response.contentType = "text/html; charset=utf-8";
  response.headers = {{"Cache-Control", "no-store"},
                      {"Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'self'"},
                      {"X-Content-Type-Options", "nosniff"},
                      {"Referrer-Policy", "same-origin"}};
  return response;
}

HttpResponse SeeOther(const std::string& location) {
  HttpResponse response = Html(303, "");
  response.headers.emplace_back("Location", location);
  return response;
}

std::string Alert(const std::string& text) {
  return "<p class=\"alert\" role=\"alert\">" + HtmlEscape(text) + "</p>\n";
}

std::string TimeText(std::int64_t ms) {
  std::string text = Norvale::HistoryTimeText(ms);
  // "2026-12-09 16:48:40Z": the milliseconds say nothing to an operator.
  text[10] = ' ';
  return text.substr(0, 19) + " UTC";
}

std::string ErrorPage(const ConsoleSessions::Session& session, const std::string& navigation,
                      const std::string& heading, const std::string& why) {
  return RenderPage(
      {heading, navigation, session.csrfToken, "", "<h1>" + HtmlEscape(heading) + "</h1>\n" + Alert(why)});
}

// The handsets whose key exists (Handsets\N), with their Driver value.
std::map<int, std::string> ConfiguredHandsets() {
  using namespace Norvale::OS;
  std::map<int, std::string> handsets;
  for (int n = 1; n <= 8; ++n) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Norvale::HandsetKeyPath(n).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      continue;
    handsets[n] = Norvale::RUQueryValue(key, "Driver", true);
    RegCloseKey(key);
  }
  return handsets;
}

// The word of a handset's state, as the console shows it: an SMPP link (and
// the simulator, which stands for one) is "bound", a modem "registered" on
// its network, else "connected" or "down".
std::string StateWord(const Json& handset) {
  const std::string driver = handset.value("driver", "");
  if (!handset.value("connected", false)) return "down";
  if (driver == "modem") return handset.value("registered", false) ? "registered" : "connected";
  return "bound";
}

std::string FormatRate(long count) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(count) / kRateMinutes);
  return text;
}

// The traffic of the last hour as an SVG chart: one line per kind.
std::string TrafficChart(const std::map<std::string, std::vector<long>>& perMinute) {
  const int width = 600, height = 160, left = 32, bottom = 20, top = 8;
  long highest = 1;
  long totals[3] = {0, 0, 0};
  static const char* const kKinds[] = {"sent", "failed", "delivered"};
  for (int k = 0; k < 3; ++k)
    for (const long n : perMinute.at(kKinds[k])) {
      highest = std::max(highest, n);
      totals[k] += n;
    }
  const std::string label = "Messages per minute over the last hour: " + std::to_string(totals[0]) + " sent, " +
                            std::to_string(totals[1]) + " failed, " + std::to_string(totals[2]) + " delivered";
  std::string svg = "<svg class=\"chart\" role=\"img\" aria-label=\"" + HtmlEscape(label) + "\" viewBox=\"0 0 " +
                    std::to_string(width) + " " + std::to_string(height) +
                    "\" preserveAspectRatio=\"none\" xmlns=\"http://www.w3.org/2000/svg\">\n";
  const int plotHeight = height - bottom - top;
  const double step = static_cast<double>(width - left) / (kChartMinutes - 1);
  svg += "<line class=\"axis\" x1=\"" + std::to_string(left) + "\" y1=\"" + std::to_string(top + plotHeight) +
         "\" x2=\"" + std::to_string(width) + "\" y2=\"" + std::to_string(top + plotHeight) + "\"/>\n";
  svg += "<text class=\"tick\" x=\"0\" y=\"" + std::to_string(top + 10) + "\">" + std::to_string(highest) +
         "</text>\n<text class=\"tick\" x=\"0\" y=\"" + std::to_string(top + plotHeight) +
         "\">0</text>\n<text class=\"tick\" x=\"" + std::to_string(left) + "\" y=\"" + std::to_string(height - 4) +
         "\">-60 min</text>\n<text class=\"tick\" x=\"" + std::to_string(width - 40) + "\" y=\"" +
         std::to_string(height - 4) + "\">now</text>\n";
  for (int k = 0; k < 3; ++k) {
    std::string points;
    const auto& series = perMinute.at(kKinds[k]);
    for (int i = 0; i < kChartMinutes; ++i) {
      char point[64];
      std::snprintf(point, sizeof point, "%.1f,%.1f ", left + i * step,
                    top + plotHeight - static_cast<double>(series[static_cast<std::size_t>(i)]) * plotHeight / highest);
      points += point;
    }
    svg += std::string("<polyline class=\"line ") + kKinds[k] + "\" points=\"" + points + "\"/>\n";
  }
  svg += "</svg>\n<ul class=\"legend\"><li class=\"sent\">sent " + std::to_string(totals[0]) +
         "</li><li class=\"failed\">failed " + std::to_string(totals[1]) + "</li><li class=\"delivered\">delivered " +
         std::to_string(totals[2]) + "</li></ul>\n";
  return svg;
}

std::string HandsetOptions(const std::string& chosen) {
  std::string options = std::string("<option value=\"\"") + (chosen.empty() ? " selected" : "") + ">Any</option>\n";
  for (const auto& [n, driver] : ConfiguredHandsets()) {
    const std::string value = std::to_string(n);
    options +=
        "<option value=\"" + value + "\"" + (chosen == value ? " selected" : "") + ">Handset " + value + "</option>\n";
  }
  return options;
}

// The status as the console words it: the state, and the library's name of
// the job status where it tells more ("failed (err_timeout)").
std::string StatusWords(const MessageLife& life) {
  const std::string state = life.State();
  const std::string name = JobStatusName(static_cast<int>(life.status));
  if (state == "sent" && life.status == Norvale::jsSentNotConfirmed) return "sent, awaiting its delivery report";
  return state == name ? state : state + " (" + name + ")";
}

// Pattern for LIKE, its wildcards taken literally.
std::string LikeContaining(const std::string& text) {
  std::string pattern = "%";
  for (const char c : text) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "%";
}

}  // namespace

ConsoleApi::ConsoleApi(HttpContext& context, SendApi& send, ConsoleOptions options)
    : m_Context(context), m_Send(send), m_Options(std::move(options)) {}

std::optional<HttpResponse> ConsoleApi::Handle(const HttpRequest& request) {
  const std::string& path = request.path;
  if (path != kPrefix && path.rfind(std::string(kPrefix) + "/", 0) != 0) return std::nullopt;
  const bool get = request.method == "GET" || request.method == "HEAD";
  const bool post = request.method == "POST";
  if (!get && !post) return Refuse(405, "use GET or POST");
  if (path == kPrefix) return SeeOther("/console/");
  if (path == "/console/static/console.css" || path == "/console/static/console.js") {
    HttpResponse file;
    const bool css = path.ends_with(".css");
    file.body = css ? kConsoleCss : kConsoleJs;
    file.contentType = css ? "text/css; charset=utf-8" : "text/javascript; charset=utf-8";
    file.headers = {{"Cache-Control", "no-cache"}, {"X-Content-Type-Options", "nosniff"}};
    return file;
  }
  if (path == "/console/login") {
    if (post) return Login(request);
    return Html(200, RenderPage({"Log in", "", "", "",
                                 "<h1>Log in</h1>\n<form class=\"login\" method=\"post\" action=\"/console/login\">\n"
                                 "<label for=\"account\">Account</label>\n"
                                 "<input id=\"account\" name=\"account\" autocomplete=\"username\" required>\n"
                                 "<label for=\"key\">API key</label>\n"
                                 "<input id=\"key\" name=\"key\" type=\"password\" autocomplete=\"current-password\" "
                                 "required>\n<button type=\"submit\">Log in</button>\n</form>\n"}));
  }

  const auto cookie = request.cookies.find(kCookie);
  std::optional<ConsoleSessions::Session> session =
      cookie == request.cookies.end() ? std::nullopt : m_Sessions.Find(cookie->second);
  // The account is read anew on every request, as the API does: a session
  // ends when its account is removed, loses the flag or gets a new key.
  if (session) {
    const std::optional<Norvale::CApiAccount> account = Norvale::CApiAccountStore().Find(session->account);
    if (!account || !account->bConsole || account->sKeyHash != session->keyHash) {
      m_Sessions.Close(cookie->second);
      session.reset();
    }
  }
  static const std::string kApi = "/console/api/";
  if (!session) {
    if (path.rfind(kApi, 0) == 0) return Refuse(401, "log in to the console first");
    if (post)
      return Html(403, RenderPage({"Forbidden", "", "", "",
                                   "<h1>Forbidden</h1>\n" + Alert("Log in to the console first.") +
                                       "<p><a href=\"/console/login\">Log in</a></p>\n"}));
    return SeeOther("/console/login");
  }
  if (post) {
    const std::string* token = request.FormValue("csrf");
    if (token == nullptr || !ConsoleSessions::TokenMatches(*session, *token))
      return Html(403, ErrorPage(*session, "-", "Forbidden",
                                 "The form was not sent from this session's page; load the page and try again."));
  }
  try {
    if (path == "/console/logout" && post) return Logout(request);
    if (path == "/console/" && get) return Overview(*session);
    if (path == "/console/messages" && get) return Messages(request, *session);
    static const std::string kMessage = "/console/messages/";
    if (path.rfind(kMessage, 0) == 0 && get) {
      if (const auto id = ParseNumber<std::int32_t>(path.substr(kMessage.size()))) return Message(*id, *session);
    }
    static const std::string kMessageJson = "/console/api/messages/";
    if (path.rfind(kMessageJson, 0) == 0 && get) {
      if (const auto id = ParseNumber<std::int32_t>(path.substr(kMessageJson.size()))) return MessageJson(*id);
      return Refuse(404, "no such message");
    }
    if (path == "/console/send") return post ? Send(request, *session) : SendPage(*session, "", 200, nullptr);
    if (path == "/console/webhooks" && get) return Webhooks(*session);
    static const std::string kWebhook = "/console/webhooks/";
    if (path.rfind(kWebhook, 0) == 0 && path.ends_with("/retry") && post) {
      const std::string number = path.substr(kWebhook.size(), path.size() - kWebhook.size() - 6);
      if (const auto id = ParseNumber<std::int64_t>(number)) return Retry(*id);
    }
  } catch (const Norvale::OS::_com_error& e) {
    m_Context.database.Connections().ResetConnection();
    if (path.rfind(kApi, 0) == 0) return Refuse(503, Description(e));
    return Html(503, ErrorPage(*session, "-", "Database not available",
                               "The queue database does not answer: " + Description(e)));
  }
  return Html(404, ErrorPage(*session, "-", "Not found", "There is no such page."));
}

HttpResponse ConsoleApi::Login(const HttpRequest& request) {
  const std::string* name = request.FormValue("account");
  const std::string* secret = request.FormValue("key");
  std::string why = "Wrong account or key";
  unsigned status = 403;
  if (name != nullptr && secret != nullptr && !name->empty() && !secret->empty()) {
    // The whole key "<name>.<secret>", or its secret part alone.
    const std::string key = secret->find('.') == std::string::npos ? *name + "." + *secret : *secret;
    const std::optional<Norvale::CApiAccount> account = m_Context.auth.Check(*name, key, request.remoteAddress);
    if (account && account->bConsole) {
      HttpResponse answer = SeeOther("/console/");
      answer.headers.emplace_back(
          "Set-Cookie", std::string(kCookie) + "=" + m_Sessions.Open(account->sName, account->sKeyHash) +
                            "; Path=/console; HttpOnly; SameSite=Strict" + (m_Options.secureCookie ? "; Secure" : ""));
      return answer;
    }
    if (account) {
      why = "This account may not use the console";
    } else if (const unsigned locked = m_Context.auth.LockedSeconds(request.remoteAddress); locked > 0) {
      why = "Wrong account or key. Too many failed attempts: try again in " + std::to_string(locked) + " s";
      status = 429;
    }
  }
  HttpResponse answer =
      Html(status, RenderPage({"Log in", "", "", "",
                               "<h1>Log in</h1>\n" + Alert(why) +
                                   "<form class=\"login\" method=\"post\" action=\"/console/login\">\n"
                                   "<label for=\"account\">Account</label>\n"
                                   "<input id=\"account\" name=\"account\" autocomplete=\"username\" "
                                   "required value=\"" +
                                   HtmlEscape(name != nullptr ? *name : "") +
                                   "\">\n<label for=\"key\">API key</label>\n"
                                   "<input id=\"key\" name=\"key\" type=\"password\" "
                                   "autocomplete=\"current-password\" required>\n"
                                   "<button type=\"submit\">Log in</button>\n</form>\n"}));
  return answer;
}

HttpResponse ConsoleApi::Logout(const HttpRequest& request) {
  if (const auto cookie = request.cookies.find(kCookie); cookie != request.cookies.end())
    m_Sessions.Close(cookie->second);
  HttpResponse answer = SeeOther("/console/login");
  answer.headers.emplace_back("Set-Cookie", std::string(kCookie) +
                                                "=; Path=/console; Max-Age=0; HttpOnly; SameSite=Strict" +
                                                (m_Options.secureCookie ? "; Secure" : ""));
  return answer;
}

HttpResponse ConsoleApi::Overview(const ConsoleSessions::Session& session) {
  Json published;
  const std::string engine = EngineState(&published);
  Norvale::CDBConnectionDispensor& db = m_Context.database.Connections();
  const Norvale::CQueueDepths depths = Norvale::CountQueueDepths(db);
  Norvale::CMessageHistory history(&db);
  const std::int64_t now = NowMs();
  const std::int64_t thisMinute = now / kMinuteMs;
  std::vector<Norvale::CHistoryCount> counts;
  std::vector<Norvale::CHistoryEngine> engines;
  std::string historyProblem;
  try {
    counts = history.CountOutcomes((thisMinute - kChartMinutes + 1) * kMinuteMs);
    engines = history.Engines();
  } catch (const Norvale::OS::_com_error& e) {
    historyProblem = Description(e);  // a database without the history
  }
  std::map<std::string, std::vector<long>> perMinute;
  for (const char* kind : {"sent", "failed", "delivered"})
    perMinute[kind].assign(static_cast<std::size_t>(kChartMinutes), 0);
  std::map<std::pair<long, std::string>, long> recent;  // (handset, event): the last kRateMinutes
  for (const auto& c : counts) {
    const std::int64_t index = c.nMinute - (thisMinute - kChartMinutes + 1);
    if (index >= 0 && index < kChartMinutes && perMinute.count(c.sEvent) != 0)
      perMinute[c.sEvent][static_cast<std::size_t>(index)] += c.nCount;
    if (c.nMinute > thisMinute - kRateMinutes) recent[{c.nHandset, c.sEvent}] += c.nCount;
  }

  // Every handset the configuration or the engine names.
  std::map<int, Json> handsets;
  for (const auto& [n, driver] : ConfiguredHandsets()) handsets[n] = Json{{"number", n}, {"driver", driver}};
  std::set<int> failed;
  if (published.is_object()) {
    for (const auto& h : published.value("handsets", Json::array())) handsets[h.value("number", 0)] = h;
    for (const auto& f : published.value("failed_handsets", Json::array())) {
      const int n = f.value("number", 0);
      handsets[n] = f;
      failed.insert(n);
    }
  }
  const bool running = engine == "running";
  std::string rows;
  for (const auto& [n, h] : handsets) {
    std::string state, error = h.value("error", "");
    if (!published.is_object())
      state = "not running";
    else if (failed.count(n) != 0)
      state = "not in use";
    else if (!h.contains("connected"))
      state = "not running";
    else
      state = StateWord(h);
    const std::string detail = h.value("detail", "");
    const int signal = h.value("signal", -1);
    const auto pending = depths.pendingByHandset.find(n);
    const auto rate = [&](const char* kind) {
      const auto found = recent.find({n, kind});
      return FormatRate(found == recent.end() ? 0 : found->second);
    };
    rows += "<tr><th scope=\"row\">Handset " + std::to_string(n) + "</th><td>" + HtmlEscape(h.value("driver", "")) +
            "</td><td><span class=\"state state-" + HtmlEscape(state.substr(0, state.find(' '))) + "\">" +
            HtmlEscape(state) + "</span>" + (detail.empty() ? "" : "<br><small>" + HtmlEscape(detail) + "</small>") +
            "</td><td>" + (signal >= 0 ? std::to_string(signal) + "%" : "-") + "</td><td>" +
            (error.empty() ? "-" : HtmlEscape(error)) + "</td><td>" +
            std::to_string(pending == depths.pendingByHandset.end() ? 0 : pending->second) + "</td><td>" +
            rate("sent") + "</td><td>" + rate("failed") + "</td><td>" + rate("delivered") + "</td></tr>\n";
  }
  if (rows.empty()) rows = "<tr><td colspan=\"9\">No handset is configured.</td></tr>\n";
  const auto anyPending = depths.pendingByHandset.find(0);

  std::string content =
      "<h1>Overview</h1>\n<p class=\"engine\">Engine on this host: " +
      HtmlEscape(running && published.is_object() ? "running (pid " + std::to_string(published.value("pid", 0)) + ")"
                                                  : engine) +
      "</p>\n<div class=\"scroll\"><table>\n<caption>Handsets</caption>\n<thead><tr>"
      "<th scope=\"col\">Handset</th><th scope=\"col\">Driver</th><th scope=\"col\">State</th>"
      "<th scope=\"col\">Signal</th><th scope=\"col\">Last error</th><th scope=\"col\">Queue</th>"
      "<th scope=\"col\">Sent/min</th><th scope=\"col\">Failed/min</th>"
      "<th scope=\"col\">Delivered/min</th></tr></thead>\n<tbody>\n" +
      rows + "</tbody>\n</table></div>\n<p class=\"note\">Per minute: the average of the last " +
      std::to_string(kRateMinutes) + " minutes. Messages for any handset waiting: " +
      std::to_string(anyPending == depths.pendingByHandset.end() ? 0 : anyPending->second) + ".</p>\n";
  content += "<section aria-labelledby=\"queues\">\n<h2 id=\"queues\">Queues</h2>\n<dl class=\"queues\">\n";
  for (int status = Norvale::jsPending; status <= Norvale::jsDeliveryFailed; ++status) {
    const auto found = depths.outgoingByStatus.find(status);
    if (found == depths.outgoingByStatus.end() && status > Norvale::jsSent) continue;
    content += "<dt>outgoing " + std::string(JobStatusName(status)) + "</dt><dd>" +
               std::to_string(found == depths.outgoingByStatus.end() ? 0 : found->second) + "</dd>\n";
  }
  content += "<dt>notifications waiting</dt><dd>" + std::to_string(depths.notifications) +
             "</dd>\n<dt>received waiting</dt><dd>" + std::to_string(depths.incoming) + "</dd>\n</dl>\n</section>\n";
  content += "<section aria-labelledby=\"traffic\">\n<h2 id=\"traffic\">Traffic, last hour</h2>\n" +
             (historyProblem.empty() ? TrafficChart(perMinute)
                                     : Alert("The message history cannot be read: " + historyProblem)) +
             "</section>\n";
  content += "<section aria-labelledby=\"engines\">\n<h2 id=\"engines\">Engines</h2>\n";
  if (engines.empty()) {
    content += "<p>No engine has claimed a message in the history yet.</p>\n";
  } else {
    content += "<ul class=\"engines\">\n";
    for (const auto& e : engines)
      content += "<li>Engine " + std::to_string(e.nEngineId) + ": " + std::to_string(e.nClaims) +
                 " claims, the latest at " + TimeText(e.nLastClaimAt) + "</li>\n";
    content += "</ul>\n";
  }
  content += "</section>\n";
  return Html(200, RenderPage({"Overview", "Overview", session.csrfToken, "data-refresh=\"5\"", content}));
}

HttpResponse ConsoleApi::Messages(const HttpRequest& request, const ConsoleSessions::Session& session) {
  const std::string search = request.QueryValue("q") != nullptr ? *request.QueryValue("q") : "";
  std::string wanted = request.QueryValue("status") != nullptr ? *request.QueryValue("status") : "";
  static const char* const kStates[] = {"pending", "sent", "delivered", "failed"};
  if (std::find(std::begin(kStates), std::end(kStates), wanted) == std::end(kStates)) wanted.clear();
  Norvale::CDBConnectionDispensor& db = m_Context.database.Connections();
  Norvale::CDatabaseQueryExecuter executer(&db);
  LONG affected = 0;
  // The jobs still queued and those the history remembers, newest first.
  const auto ids = executer.ExecuteCommand(
      "SELECT ids.Id AS Id, o.PhoneNumber AS PhoneNumber, j.ClientRef AS ClientRef, j.Account AS Account FROM "
      "(SELECT Id FROM SMSOutgoing UNION SELECT JobId AS Id FROM MessageHistory WHERE Event = 'queued') AS ids "
      "LEFT JOIN SMSOutgoing o ON o.Id = ids.Id LEFT JOIN HttpJobs j ON j.JobId = ids.Id WHERE $1 = '' OR "
      "o.PhoneNumber LIKE $2 ESCAPE '\\' OR j.ClientRef LIKE $2 ESCAPE '\\' OR CAST(ids.Id AS TEXT) = $1 "
      "ORDER BY ids.Id DESC LIMIT " +
          std::to_string(kCandidates),
      {search, LikeContaining(search)}, affected, adCmdText, -1, Norvale::CJobQueue::kAttempts);
  struct Listed {
    std::int32_t id;
    std::string number, clientRef, account;
  };
  std::vector<Listed> candidates;
  for (; ids && !ids->adoEOF(); ids->MoveNext())
    candidates.push_back({static_cast<std::int32_t>(ids->GetFieldValue("Id").ToLong()),
                          Text(ids->GetFieldValue("PhoneNumber")), Text(ids->GetFieldValue("ClientRef")),
                          Text(ids->GetFieldValue("Account"))});
  std::string rows;
  std::size_t listed = 0;
  for (const Listed& c : candidates) {
    if (listed == kListed) break;
    const std::optional<MessageLife> life = ReadMessageLife(db, c.id);
    if (!life) continue;
    const std::string state = life->State();
    if (!wanted.empty() && !(state == wanted || (wanted == "pending" && state == "processing"))) continue;
    ++listed;
    std::int64_t queuedAt = 0;
    for (const auto& e : life->events)
      if (e.sEvent == Norvale::kHistoryQueued) queuedAt = e.nAt;
    const std::string id = std::to_string(c.id);
    rows += "<tr><th scope=\"row\"><a href=\"/console/messages/" + id + "\">" + id + "</a></th><td>" +
            (c.number.empty() ? "-" : HtmlEscape(c.number)) + "</td><td>" + HtmlEscape(StatusWords(*life)) +
            "</td><td>" + (life->handset ? std::to_string(*life->handset) : "any") + "</td><td>" +
            (c.clientRef.empty() ? "-" : HtmlEscape(c.clientRef)) + "</td><td>" +
            (c.account.empty() ? "-" : HtmlEscape(c.account)) + "</td><td>" +
            (queuedAt != 0 ? TimeText(queuedAt) : "-") + "</td></tr>\n";
  }
  if (rows.empty()) rows = "<tr><td colspan=\"7\">No message matches.</td></tr>\n";

  // Received messages wait in SMSIncoming until their application takes them.
  const auto incoming = executer.ExecuteCommand(
      "SELECT Id, PhoneNumber, Data, Handset, TmStamp FROM SMSIncoming WHERE $1 = '' OR PhoneNumber LIKE $2 "
      "ESCAPE '\\' ORDER BY Id DESC LIMIT " +
          std::to_string(kListed),
      {search, LikeContaining(search)}, affected, adCmdText, -1, Norvale::CJobQueue::kAttempts);
  std::string received;
  for (; incoming && !incoming->adoEOF(); incoming->MoveNext()) {
    const auto handset = Number(incoming->GetFieldValue("Handset"));
    received += "<tr><td>" + Text(incoming->GetFieldValue("Id")) + "</td><td>" +
                HtmlEscape(Text(incoming->GetFieldValue("PhoneNumber"))) + "</td><td>" +
                HtmlEscape(Text(incoming->GetFieldValue("Data"))) + "</td><td>" +
                (handset ? std::to_string(*handset) : "-") + "</td><td>" +
                HtmlEscape(Text(incoming->GetFieldValue("TmStamp"))) + "</td></tr>\n";
  }
  if (received.empty()) received = "<tr><td colspan=\"5\">No received message is waiting.</td></tr>\n";

  std::string options;
  for (const char* state : {"", "pending", "sent", "delivered", "failed"})
    options += std::string("<option value=\"") + state + "\"" + (wanted == state ? " selected" : "") + ">" +
               (*state == '\0' ? "any" : state) + "</option>";
  const std::string content =
      "<h1>Messages</h1>\n<form class=\"search\" method=\"get\" action=\"/console/messages\">\n"
      "<label for=\"q\">Search</label>\n<input id=\"q\" name=\"q\" type=\"search\" value=\"" +
      HtmlEscape(search) +
      "\" aria-describedby=\"q-hint\">\n<small id=\"q-hint\">A number, a message identifier or a client "
      "reference</small>\n<label for=\"status\">Status</label>\n<select id=\"status\" name=\"status\">" +
      options +
      "</select>\n<button type=\"submit\">Search</button>\n</form>\n<div class=\"scroll\"><table>\n"
      "<caption>Outgoing messages</caption>\n<thead><tr><th scope=\"col\">Id</th><th scope=\"col\">Number</th>"
      "<th scope=\"col\">Status</th><th scope=\"col\">Handset</th><th scope=\"col\">Client reference</th>"
      "<th scope=\"col\">Account</th><th scope=\"col\">Queued</th></tr></thead>\n<tbody>\n" +
      rows +
      "</tbody>\n</table></div>\n<p class=\"note\">The number is known while the queue holds the message's row; "
      "its life stays in the message history.</p>\n<div class=\"scroll\"><table>\n<caption>Received "
      "messages</caption>\n<thead><tr><th scope=\"col\">Id</th><th scope=\"col\">From</th><th "
      "scope=\"col\">Text</th><th scope=\"col\">Handset</th><th scope=\"col\">Received</th></tr></thead>\n<tbody>\n" +
      received + "</tbody>\n</table></div>\n";
  return Html(200, RenderPage({"Messages", "Messages", session.csrfToken, "", content}));
}

HttpResponse ConsoleApi::Message(std::int32_t id, const ConsoleSessions::Session& session) {
  Norvale::CDBConnectionDispensor& db = m_Context.database.Connections();
  const std::string heading = "Message " + std::to_string(id);
  const std::optional<MessageLife> life = ReadMessageLife(db, id);
  if (!life) return Html(404, ErrorPage(session, "Messages", heading, "No such message, or its history was cleared."));
  Norvale::CDatabaseQueryExecuter executer(&db);
  LONG affected = 0;
  std::string clientRef, account, text;
  const auto job =
      executer.ExecuteCommand("SELECT ClientRef, Account FROM HttpJobs WHERE JobId=$1", {static_cast<std::int64_t>(id)},
                              affected, adCmdText, -1, Norvale::CJobQueue::kAttempts);
  if (job && !job->BOF() && !job->adoEOF()) {
    clientRef = Text(job->GetFieldValue("ClientRef"));
    account = Text(job->GetFieldValue("Account"));
  }
  const auto row = executer.ExecuteCommand("SELECT Data FROM SMSOutgoing WHERE Id=$1", {static_cast<std::int64_t>(id)},
                                           affected, adCmdText, -1, Norvale::CJobQueue::kAttempts);
  if (row && !row->BOF() && !row->adoEOF()) text = Text(row->GetFieldValue("Data"));

  std::string events;
  for (const auto& e : life->events) {
    std::string detail;
    if (!e.sReference.empty()) detail += "network reference " + e.sReference;
    if (e.nParts) detail += (detail.empty() ? "" : ", ") + std::to_string(*e.nParts) + " part(s)";
    if (e.nErrorCode) detail += (detail.empty() ? "" : ", ") + std::string("error ") + std::to_string(*e.nErrorCode);
    if (!e.sDetail.empty()) detail += (detail.empty() ? "" : ", ") + e.sDetail;
    events += "<tr><th scope=\"row\">" + HtmlEscape(e.sEvent) + "</th><td>" + TimeText(e.nAt) + "</td><td>" +
              (e.nStatus ? HtmlEscape(JobStatusName(static_cast<int>(*e.nStatus))) : "-") + "</td><td>" +
              (e.nHandset && *e.nHandset != 0 ? std::to_string(*e.nHandset) : "-") + "</td><td>" +
              (e.nEngineId ? std::to_string(*e.nEngineId) : "-") + "</td><td>" +
              (detail.empty() ? "-" : HtmlEscape(detail)) + "</td></tr>\n";
  }
  if (events.empty()) events = "<tr><td colspan=\"6\">The history holds nothing of it.</td></tr>\n";
  const std::string content =
      "<h1>" + heading + "</h1>\n<p>Status: <strong id=\"status\" role=\"status\" data-final=\"" +
      (life->Final() ? "1" : "0") + "\">" + HtmlEscape(StatusWords(*life)) +
      "</strong></p>\n<dl class=\"facts\">\n<dt>Number</dt><dd>" +
      (life->row ? HtmlEscape(life->row->sPhoneNumber) : "- (its row was cleared)") + "</dd>\n<dt>Handset</dt><dd>" +
      (life->handset ? std::to_string(*life->handset) : "any") + "</dd>\n<dt>Text</dt><dd>" +
      (text.empty() ? "-" : HtmlEscape(text)) + "</dd>\n<dt>Client reference</dt><dd>" +
      (clientRef.empty() ? "-" : HtmlEscape(clientRef)) + "</dd>\n<dt>Account</dt><dd>" +
      (account.empty() ? "-" : HtmlEscape(account)) +
      "</dd>\n</dl>\n<div class=\"scroll\"><table>\n<caption>History</caption>\n<thead><tr><th "
      "scope=\"col\">Event</th><th scope=\"col\">At</th><th scope=\"col\">Status</th><th scope=\"col\">Handset</th>"
      "<th scope=\"col\">Engine</th><th scope=\"col\">Details</th></tr></thead>\n<tbody>\n" +
      events + "</tbody>\n</table></div>\n";
  return Html(200, RenderPage({heading, "Messages", session.csrfToken,
                               "data-status-url=\"/console/api/messages/" + std::to_string(id) + "\"", content}));
}

HttpResponse ConsoleApi::MessageJson(std::int32_t id) {
  const std::optional<MessageLife> life = ReadMessageLife(m_Context.database.Connections(), id);
  if (!life) return Refuse(404, "no such message");
  HttpResponse answer = Answer(200, {{"id", id},
                                     {"status", life->status},
                                     {"name", JobStatusName(static_cast<int>(life->status))},
                                     {"state", life->State()},
                                     {"text", StatusWords(*life)},
                                     {"final", life->Final()}});
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

HttpResponse ConsoleApi::SendPage(const ConsoleSessions::Session& session, const std::string& error, unsigned status,
                                  const HttpRequest* request) {
  const auto field = [&](const char* name) {
    const std::string* value = request != nullptr ? request->FormValue(name) : nullptr;
    return value != nullptr ? *value : std::string();
  };
  const std::string content =
      "<h1>Send</h1>\n" + (error.empty() ? "" : Alert(error)) +
      "<form class=\"send\" method=\"post\" action=\"/console/send\">\n" + CsrfField(session.csrfToken) +
      "\n<label for=\"to\">Number</label>\n<input id=\"to\" name=\"to\" type=\"tel\" required "
      "autocomplete=\"off\" value=\"" +
      HtmlEscape(field("to")) +
      "\">\n<label for=\"text\">Text</label>\n<textarea id=\"text\" name=\"text\" rows=\"4\" "
      "required>" +
      HtmlEscape(field("text")) +
      "</textarea>\n<label for=\"handset\">Handset</label>\n<select id=\"handset\" "
      "name=\"handset\">\n" +
      HandsetOptions(field("handset")) + "</select>\n<button type=\"submit\">Send</button>\n</form>\n";
  return Html(status, RenderPage({"Send", "Send", session.csrfToken, "", content}));
}

HttpResponse ConsoleApi::Send(const HttpRequest& request, const ConsoleSessions::Session& session) {
  Json message = Json::object();
  const std::string* to = request.FormValue("to");
  const std::string* text = request.FormValue("text");
  const std::string* handset = request.FormValue("handset");
  message["to"] = to != nullptr ? *to : "";
  message["text"] = text != nullptr ? *text : "";
  if (handset != nullptr && !handset->empty()) {
    const auto n = ParseNumber<int>(*handset);
    if (!n) return SendPage(session, "Choose a handset from the list.", 400, &request);
    message["handset"] = *n;
  }
  const std::optional<Norvale::CApiAccount> account = Norvale::CApiAccountStore().Find(session.account);
  if (!account) return SendPage(session, "The account " + session.account + " is gone.", 403, &request);
  // The web form's text may be any string; the API wants valid UTF-8.
  HttpResponse answer;
  try {
    answer = m_Send.SendOne(*account, message);
  } catch (const Json::exception&) {
    return SendPage(session, "The text is not valid UTF-8.", 400, &request);
  }
  const Json body = Json::parse(answer.body, nullptr, false);
  if (answer.status == 201 && body.is_object() && body.contains("id"))
    return SeeOther("/console/messages/" + std::to_string(body["id"].get<std::int64_t>()));
  const std::string why = body.is_object() ? body.value("error", "the message was not queued") : answer.body;
  return SendPage(session, "Not sent: " + why, answer.status, &request);
}

HttpResponse ConsoleApi::Webhooks(const ConsoleSessions::Session& session) {
  Norvale::CDBConnectionDispensor& db = m_Context.database.Connections();
  Norvale::CDatabaseQueryExecuter executer(&db);
  LONG affected = 0;
  const auto depth = executer.ExecuteCommand("SELECT COUNT(*) AS N FROM WebhookOutbox", affected, adCmdText, -1,
                                             Norvale::CJobQueue::kAttempts);
  const long waiting = depth->GetFieldValue("N").ToLong();
  const auto failing = executer.ExecuteCommand(
      "SELECT Id, Account, Url, Attempts, LastStatus, LastError, NextAttempt, FirstQueued FROM WebhookOutbox WHERE "
      "Attempts > 0 ORDER BY NextAttempt, Id LIMIT 100",
      affected, adCmdText, -1, Norvale::CJobQueue::kAttempts);
  const std::int64_t now = NowMs();
  std::string rows;
  for (; failing && !failing->adoEOF(); failing->MoveNext()) {
    const std::string id = Text(failing->GetFieldValue("Id"));
    const auto lastStatus = Number(failing->GetFieldValue("LastStatus"));
    std::string answer = lastStatus && *lastStatus > 0 ? "HTTP " + std::to_string(*lastStatus) : "";
    const std::string error = Text(failing->GetFieldValue("LastError"));
    if (!error.empty()) answer += (answer.empty() ? "" : ": ") + error;
    const std::int64_t next = Number(failing->GetFieldValue("NextAttempt")).value_or(0);
    rows += "<tr><th scope=\"row\" class=\"url\">" + HtmlEscape(Text(failing->GetFieldValue("Url"))) + "</th><td>" +
            HtmlEscape(Text(failing->GetFieldValue("Account"))) + "</td><td>" +
            Text(failing->GetFieldValue("Attempts")) + "</td><td>" + (answer.empty() ? "-" : HtmlEscape(answer)) +
            "</td><td>" + (next <= now ? "due now" : TimeText(next)) +
            "</td><td><form method=\"post\" "
            "action=\"/console/webhooks/" +
            id + "/retry\">" + CsrfField(session.csrfToken) + "<button type=\"submit\" aria-describedby=\"call-" + id +
            "\">Retry now</button><span hidden id=\"call-" + id + "\">call " + id + "</span></form></td></tr>\n";
  }
  if (rows.empty()) rows = "<tr><td colspan=\"6\">No webhook call is failing.</td></tr>\n";
  const std::string content =
      "<h1>Webhooks</h1>\n<p>Calls waiting in the outbox: <strong>" + std::to_string(waiting) +
      "</strong></p>\n<div class=\"scroll\"><table>\n<caption>Failing receivers</caption>\n<thead><tr><th "
      "scope=\"col\">URL</th><th scope=\"col\">Account</th><th scope=\"col\">Attempts</th><th scope=\"col\">Last "
      "answer</th><th scope=\"col\">Next attempt</th><th scope=\"col\">Action</th></tr></thead>\n<tbody>\n" +
      rows + "</tbody>\n</table></div>\n";
  return Html(200, RenderPage({"Webhooks", "Webhooks", session.csrfToken, "", content}));
}

HttpResponse ConsoleApi::Retry(std::int64_t id) {
  Norvale::CDatabaseQueryExecuter executer(&m_Context.database.Connections());
  LONG affected = 0;
  // A call that failed before and waits; one in flight right now (its claim
  // looks the same) is called once more, which the outbox allows (at least once).
  executer.ExecuteCommand("UPDATE WebhookOutbox SET NextAttempt=$2 WHERE Id=$1 AND Attempts > 0 AND NextAttempt > $2",
                          {id, NowMs()}, affected, adCmdText | adExecuteNoRecords, -1, Norvale::CJobQueue::kAttempts);
  if (affected > 0 && m_Options.outboxWritten) m_Options.outboxWritten();
  return SeeOther("/console/webhooks");
}

}  // namespace VelquorHttp
