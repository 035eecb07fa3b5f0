// velquor-http's web console as a process, driven with curl and a cookie jar
// as a browser would: the log-in (only accounts with the console flag, the
// cookie's attributes, logout ending the session), forms refused without the
// session's CSRF token, hostile client data escaped in the pages, the
// overview with the real engine's simulator handset bound, a message sent
// from the form followed to its outcome and found by its number, and a
// failing webhook call made due by "Retry now". In this process: the HTML
// escaping and the sessions' idle time.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "accounts/api_account_store.h"
#include "console_html.h"
#include "console_sessions.h"
#include "http_test_support.h"
#include "platform/service_control.h"
#include "server_test_support.h"

namespace {

using Json = nlohmann::json;
using TestSupport::HttpReply;

// A browser: one cookie jar, forms sent url-encoded from files (no byte of a
// field meets the shell).
class Browser {
 public:
  explicit Browser(const TestSupport::HttpDaemon& daemon)
      : m_Daemon(daemon), m_Jar(TestSupport::HttpDaemon::NextTag() + ".jar") {}

  HttpReply Get(const std::string& path) const { return m_Daemon.Curl("-b " + m_Jar + " -c " + m_Jar, path); }
  HttpReply Post(const std::string& path, const std::vector<std::pair<std::string, std::string>>& fields) const {
    std::string options = "-b " + m_Jar + " -c " + m_Jar + " -X POST";
    std::vector<std::string> files;
    for (const auto& [name, value] : fields) {
      files.push_back(TestSupport::HttpDaemon::NextTag() + ".field");
      std::ofstream(files.back(), std::ios::binary) << value;
      options += " --data-urlencode '" + name + "@" + files.back() + "'";
    }
    if (fields.empty()) options += " -d ''";
    HttpReply reply = m_Daemon.Curl(options, path);
    for (const std::string& file : files) std::remove(file.c_str());
    return reply;
  }
  HttpReply LogIn(const std::string& account, const std::string& key) const {
    return Post("/console/login", {{"account", account}, {"key", key}});
  }
  // The CSRF token of the forms of the page.
  std::string Token(const std::string& path = "/console/send") const {
    static const std::regex field(R"re(name="csrf" value="([^"]+)")re");
    const HttpReply page = Get(path);
    std::smatch match;
    return std::regex_search(page.body, match, field) ? match[1].str() : "";
  }

 private:
  const TestSupport::HttpDaemon& m_Daemon;
  std::string m_Jar;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void AllowConsole(const std::string& name, bool allowed) {
  Norvale::CApiAccountStore store;
  Norvale::CApiAccount account = *store.Find(name);
  account.bConsole = allowed;
  store.Save(account);
}

class HttpConsoleTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override { SKIP_WITHOUT_BACKEND(GetParam()); }
};

TEST_P(HttpConsoleTest, OnlyConsoleAccountsLogInAndLogoutEndsTheSession) {
  TestSupport::HttpDaemon daemon(GetParam());
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  Browser browser(daemon);
  HttpReply page = browser.Get("/console/");
  EXPECT_EQ(page.code, 303);
  EXPECT_EQ(page.headers["location"], "/console/login");
  page = browser.Get("/console/login");
  EXPECT_EQ(page.code, 200);
  EXPECT_TRUE(Contains(page.body, "<h1>Log in</h1>")) << page.body;

  // A right key of an account without the flag opens nothing.
  HttpReply login = browser.LogIn("shop", daemon.Key());
  EXPECT_EQ(login.code, 403);
  EXPECT_TRUE(Contains(login.body, "role=\"alert\">This account may not use the console")) << login.body;
  EXPECT_EQ(login.headers.count("set-cookie"), 0u);
  AllowConsole("shop", true);
  login = browser.LogIn("shop", "shop.wrong");
  EXPECT_EQ(login.code, 403);
  EXPECT_TRUE(Contains(login.body, "role=\"alert\">Wrong account or key")) << login.body;
  EXPECT_EQ(browser.Get("/console/").code, 303);

  // The secret part alone is enough; the cookie is for the console only.
  login = browser.LogIn("shop", daemon.Key().substr(daemon.Key().find('.') + 1));
  ASSERT_EQ(login.code, 303) << login.body;
  EXPECT_EQ(login.headers["location"], "/console/");
  const std::string cookie = login.headers["set-cookie"];
  EXPECT_TRUE(std::regex_search(cookie, std::regex("^velquor_console=[A-Za-z0-9_-]{40,};"))) << cookie;
  for (const char* attribute : {"; Path=/console", "; HttpOnly", "; SameSite=Strict"})
    EXPECT_TRUE(Contains(cookie, attribute)) << cookie;
  EXPECT_FALSE(Contains(cookie, "Secure")) << cookie;
  page = browser.Get("/console/");
  ASSERT_EQ(page.code, 200) << page.body;
  EXPECT_TRUE(Contains(page.body, "<h1>Overview</h1>"));
  EXPECT_TRUE(Contains(page.body, "<nav aria-label=\"Console\">"));
  EXPECT_EQ(page.headers["cache-control"], "no-store");
  // The whole key works as well, in a second session.
  Browser other(daemon);
  EXPECT_EQ(other.LogIn("shop", daemon.Key()).code, 303);
  EXPECT_EQ(other.Get("/console/messages").code, 200);

  // Logout needs the token, then the session's id is worth nothing.
  const std::string id = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(browser.Post("/console/logout", {}).code, 403);
  HttpReply logout = browser.Post("/console/logout", {{"csrf", browser.Token()}});
  EXPECT_EQ(logout.code, 303);
  EXPECT_TRUE(Contains(logout.headers["set-cookie"], "Max-Age=0")) << logout.headers["set-cookie"];
  EXPECT_EQ(daemon.Curl("-H 'Cookie: " + id + "'", "/console/").code, 303);
  EXPECT_EQ(other.Get("/console/").code, 200);

  // The console's failures count against the address like the API's.
  for (int i = 0; i < 12; ++i) browser.LogIn("shop", "shop.wrong");
  login = browser.LogIn("shop", daemon.Key());
  EXPECT_EQ(login.code, 429);
  EXPECT_TRUE(Contains(login.body, "Too many failed attempts")) << login.body;
}

TEST_P(HttpConsoleTest, PostsWithoutTheSessionsTokenAreRefused) {
  TestSupport::HttpDaemon daemon(GetParam());
  AllowConsole("shop", true);
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  Browser browser(daemon);
  ASSERT_EQ(browser.LogIn("shop", daemon.Key()).code, 303);
  Browser intruder(daemon);
  ASSERT_EQ(intruder.LogIn("shop", daemon.Key()).code, 303);
  const std::vector<std::pair<std::string, std::string>> message = {{"to", "+4915100001"}, {"text", "hi"}};
  auto with = [&](const std::string& token) {
    auto fields = message;
    fields.emplace_back("csrf", token);
    return fields;
  };
  EXPECT_EQ(browser.Post("/console/send", message).code, 403);
  EXPECT_EQ(browser.Post("/console/send", with("x")).code, 403);
  // Another session's token is no better.
  EXPECT_EQ(browser.Post("/console/send", with(intruder.Token())).code, 403);
  EXPECT_EQ(Browser(daemon).Post("/console/send", with(browser.Token())).code, 403);  // no session at all
  EXPECT_EQ(daemon.Count("SMSOutgoing"), 0);
  const HttpReply sent = browser.Post("/console/send", with(browser.Token()));
  EXPECT_EQ(sent.code, 303) << sent.body;
  EXPECT_EQ(daemon.Count("SMSOutgoing"), 1);
}

TEST_P(HttpConsoleTest, HostileClientDataIsEscapedInThePages) {
  TestSupport::HttpDaemon daemon(GetParam());
  AllowConsole("shop", true);
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  const std::string hostile = "<script>alert('x')</script>\"><img src=x onerror=alert(1)>&amp;";
  const std::string body = Json{{"to", "+4915100002"}, {"text", hostile}, {"client_ref", hostile}}.dump();
  const HttpReply queued = daemon.Request("POST", "/v1/messages", &body);
  ASSERT_EQ(queued.code, 201) << queued.body;
  const std::string id = std::to_string(Json::parse(queued.body).at("id").get<int>());
  daemon.Db().Run(
      "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp) VALUES (1, 0, '+4917000', "
      "'<b onmouseover=alert(2)>hi</b>', 1, '2026-12-10 03:00:00')");
  Browser browser(daemon);
  ASSERT_EQ(browser.LogIn("shop", daemon.Key()).code, 303);
  const std::string escaped = "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&quot;&gt;&lt;img src=x "
                              "onerror=alert(1)&gt;&amp;amp;";
  for (const std::string& path : std::vector<std::string>{"/console/messages", "/console/messages/" + id,
                                                          "/console/messages?q=%3Cscript%3E"}) {
    const HttpReply page = browser.Get(path);
    ASSERT_EQ(page.code, 200) << path;
    EXPECT_FALSE(Contains(page.body, "<script>alert")) << path;
    EXPECT_FALSE(Contains(page.body, "<img src=x")) << path;
    EXPECT_TRUE(Contains(page.body, escaped)) << path << "\n" << page.body;
  }
  const HttpReply list = browser.Get("/console/messages");
  EXPECT_TRUE(Contains(list.body, "&lt;b onmouseover=alert(2)&gt;hi&lt;/b&gt;")) << list.body;
  EXPECT_FALSE(Contains(list.body, "<b onmouseover"));
  // The search echoes the query escaped, and a form field as well.
  const HttpReply search = browser.Get("/console/messages?q=%22%3E%3Csvg%20onload%3Dx%3E");
  EXPECT_TRUE(Contains(search.body, "value=\"&quot;&gt;&lt;svg onload=x&gt;\"")) << search.body;
}

TEST_P(HttpConsoleTest, OverviewShowsTheEngineAndAMessageSentFromTheFormIsFollowed) {
  TestSupport::HttpDaemon daemon(GetParam());
  // The engine's configuration in place of the daemon's (the account anew).
  TestSupport::EngineRoot root(daemon.Db().Dsn());
  root.AddSimulator(1);
  Norvale::CApiAccount account;
  account.sName = "ops";
  account.bConsole = true;
  const std::string key = Norvale::CApiAccountStore().Add(account);
  Norvale::OS::ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  Browser browser(daemon);
  ASSERT_EQ(browser.LogIn("ops", key).code, 303);
  HttpReply overview = browser.Get("/console/");
  ASSERT_EQ(overview.code, 200);
  EXPECT_TRUE(Contains(overview.body, "<caption>Handsets</caption>"));
  EXPECT_TRUE(Contains(overview.body, ">not running</span>")) << overview.body;

  TestSupport::ServerProcess engine(root);
  ASSERT_TRUE(engine.StartAndWait()) << engine.Errors();
  ASSERT_TRUE(TestSupport::WaitUntil([&] {
    overview = browser.Get("/console/");
    return Contains(overview.body, ">bound</span>");
  })) << overview.body;
  EXPECT_TRUE(Contains(overview.body, "<th scope=\"row\">Handset 1</th><td>simulator</td>")) << overview.body;
  EXPECT_TRUE(Contains(overview.body, "role=\"img\" aria-label=\"Messages per minute over the last hour: 0 sent"));

  const HttpReply sendPage = browser.Get("/console/send");
  EXPECT_TRUE(Contains(sendPage.body, "<option value=\"1\">Handset 1</option>")) << sendPage.body;
  const HttpReply sent = browser.Post(
      "/console/send", {{"to", "+4915123456"}, {"text", "console test"}, {"handset", "1"}, {"csrf", browser.Token()}});
  ASSERT_EQ(sent.code, 303) << sent.body;
  const std::string location = sent.headers.at("location");
  ASSERT_TRUE(location.starts_with("/console/messages/")) << location;
  const std::string id = location.substr(std::string("/console/messages/").size());
  Json status;
  ASSERT_TRUE(TestSupport::WaitUntil(
      [&] {
        status = Json::parse(browser.Get("/console/api/messages/" + id).body, nullptr, false);
        return status.is_object() && status.value("final", false);
      },
      30000))
      << status.dump();
  EXPECT_EQ(status.value("state", ""), "delivered") << status.dump();
  const HttpReply message = browser.Get(location);
  EXPECT_TRUE(Contains(message.body, "<h1>Message " + id + "</h1>"));
  EXPECT_TRUE(Contains(message.body, "role=\"status\" data-final=\"1\">delivered")) << message.body;
  for (const char* event : {">queued<", ">claimed<", ">sent<", ">delivered<"})
    EXPECT_TRUE(Contains(message.body, event)) << event << "\n" << message.body;

  // Found by a part of its number; not under another status.
  HttpReply list = browser.Get("/console/messages?q=5123456&status=delivered");
  EXPECT_TRUE(Contains(list.body, "<a href=\"/console/messages/" + id + "\">" + id + "</a>")) << list.body;
  EXPECT_TRUE(Contains(list.body, "+4915123456"));
  list = browser.Get("/console/messages?q=5123456&status=failed");
  EXPECT_FALSE(Contains(list.body, "/console/messages/" + id + "\"")) << list.body;
  list = browser.Get("/console/messages?q=4999");
  EXPECT_FALSE(Contains(list.body, "/console/messages/" + id + "\"")) << list.body;

  overview = browser.Get("/console/");
  EXPECT_TRUE(std::regex_search(overview.body, std::regex("<li>Engine [0-9]+: 1 claims"))) << overview.body;
  EXPECT_TRUE(Contains(overview.body, "aria-label=\"Messages per minute over the last hour: 1 sent, 0 failed, "
                                      "1 delivered\""))
      << overview.body;
  EXPECT_EQ(engine.Stop(SIGTERM), 0);
}

TEST_P(HttpConsoleTest, RetryNowMakesAFailingWebhookCallDue) {
  TestSupport::HttpDaemon daemon(GetParam());
  AllowConsole("shop", true);
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const std::int64_t later = now + 3600 * 1000;
  ASSERT_TRUE(daemon.Start()) << daemon.Output();  // the daemon makes the outbox
  // A call that failed twice, next tried in an hour; nothing listens at its port.
  daemon.Db().Run(
      "INSERT INTO WebhookOutbox (Account, Url, Method, Body, Signed, Attempts, NextAttempt, FirstQueued, "
      "LastStatus, LastError) VALUES ('shop', 'http://127.0.0.1:9/hook?a=<b>', 'POST', '{}', 0, 2, " +
      std::to_string(later) + ", " + std::to_string(now) + ", 500, NULL)");
  const std::string id =
      std::to_string(daemon.Db().Value("SELECT MAX(Id) AS N FROM WebhookOutbox", "N").ToLongLong());
  Browser browser(daemon);
  ASSERT_EQ(browser.LogIn("shop", daemon.Key()).code, 303);
  const HttpReply page = browser.Get("/console/webhooks");
  ASSERT_EQ(page.code, 200);
  EXPECT_TRUE(Contains(page.body, "<caption>Failing receivers</caption>"));
  EXPECT_TRUE(Contains(page.body, "http://127.0.0.1:9/hook?a=&lt;b&gt;")) << page.body;
  EXPECT_TRUE(Contains(page.body, "<td>HTTP 500</td>")) << page.body;
  EXPECT_TRUE(Contains(page.body, "action=\"/console/webhooks/" + id + "/retry\"")) << page.body;
  EXPECT_TRUE(Contains(page.body, ">Retry now</button>"));

  EXPECT_EQ(browser.Post("/console/webhooks/" + id + "/retry", {}).code, 403);
  EXPECT_EQ(daemon.Count("WebhookOutbox", "NextAttempt = " + std::to_string(later)), 1);
  HttpReply retried = browser.Post("/console/webhooks/" + id + "/retry", {{"csrf", browser.Token()}});
  EXPECT_EQ(retried.code, 303);
  EXPECT_EQ(retried.headers["location"], "/console/webhooks");
  // Due at once: the sender calls it again and counts the failed attempt.
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return daemon.Count("WebhookOutbox", "Attempts >= 3") == 1; }, 30000))
      << daemon.Output();
  EXPECT_EQ(daemon.Count("WebhookOutbox", "NextAttempt = " + std::to_string(later)), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpConsoleTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

TEST(ConsoleHtml, EscapesMarkupQuotesAndBrokenText) {
  EXPECT_EQ(VelquorHttp::HtmlEscape("<a href=\"x\" title='y'>&</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;&lt;/a&gt;");
  // Valid UTF-8 stays; a stray byte, an overlong form and control characters do not.
  EXPECT_EQ(VelquorHttp::HtmlEscape("Grüße \xE2\x82\xAC"), "Grüße \xE2\x82\xAC");
  EXPECT_EQ(VelquorHttp::HtmlEscape("a\xFF" "b\xC0\xBC" "c\x01\td\n"),
            "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\td\n");
  EXPECT_EQ(VelquorHttp::HtmlEscape("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
}

class SteppedSessions : public VelquorHttp::ConsoleSessions {
 public:
  Clock::time_point now = Clock::now();

 protected:
  Clock::time_point Now() const override { return now; }
};

TEST(ConsoleSessions, EndAfterTheirIdleTimeAndKeepTheirOwnTokens) {
  SteppedSessions sessions;
  const std::string first = sessions.Open("ops");
  const std::string second = sessions.Open("ops");
  EXPECT_NE(first, second);
  const auto a = sessions.Find(first);
  const auto b = sessions.Find(second);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->account, "ops");
  EXPECT_NE(a->csrfToken, b->csrfToken);
  EXPECT_TRUE(VelquorHttp::ConsoleSessions::TokenMatches(*a, a->csrfToken));
  EXPECT_FALSE(VelquorHttp::ConsoleSessions::TokenMatches(*a, b->csrfToken));
  EXPECT_FALSE(VelquorHttp::ConsoleSessions::TokenMatches(*a, ""));
  EXPECT_FALSE(sessions.Find(""));
  EXPECT_FALSE(sessions.Find(first + "x"));
  // Use keeps a session; idleness ends it.
  sessions.now += VelquorHttp::ConsoleSessions::kIdleTime - std::chrono::minutes(1);
  EXPECT_TRUE(sessions.Find(first));
  sessions.now += std::chrono::minutes(2);
  EXPECT_TRUE(sessions.Find(first));
  EXPECT_FALSE(sessions.Find(second));
  sessions.Close(first);
  EXPECT_FALSE(sessions.Find(first));
}

}  // namespace
