// Webhook delivery: rows written into WebhookOutbox are called at a receiver
// of the test's own on loopback (libmicrohttpd through HttpServer), which
// checks every signature with the account's secret and can answer 200 or
// 500, answer after the call's time-out, redirect, or be gone. Most cases run
// velquor-http as a process over a fresh SQLite or PostgreSQL queue
// database; the cases that read counters and journal records run the sender
// in this process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "child_process.h"
#include "client_test_support.h"
#include "config/config_reg.h"
#include "fault_injection_database.h"
#include "http_database.h"
#include "http_schema.h"
#include "http_server.h"
#include "metrics.h"
#include "platform/event_log.h"
#include "queue_test_support.h"
#include "test_support.h"
#include "webhook_sender.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void SetConfigValue(const std::string& name, const std::string& value) {
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, name, value, false);
  Norvale::OS::RegCloseKey(key);
}

// A loopback port that was free a moment ago, and nothing listens on.
std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Waits for `condition`, looking every 50 ms, at most `cap`.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds cap) {
  const auto end = Clock::now() + cap;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The receiver. By path:
//   /ok          200
//   /flaky       500 to the first three calls of an event, then 200
//   /late        the first call of an event waits 2.5 s (beyond the time-out
//                of 1 s) and then answers 200; later ones 200 at once
//   /redirect    302 to /redirected (which answers 200)
// Every request is recorded with whether its signature is right.
class Receiver {
 public:
  struct Call {
    std::string method;
    std::string path;
    std::string query;
    std::string body;
    std::map<std::string, std::string> headers;
    Clock::time_point at;
    bool signatureValid = false;
    std::int64_t EventId() const {
      const auto found = headers.find("x-velquor-event-id");
      return found == headers.end() ? -1 : std::stoll(found->second);
    }
  };

  Receiver(std::string secret, std::uint16_t port = 0) : m_sSecret(std::move(secret)) {
    VelquorHttp::HttpServerOptions options;
    options.port = port;
    options.threads = 8;
    m_pServer = std::make_unique<VelquorHttp::HttpServer>(
        options, [this](const VelquorHttp::HttpRequest& request) { return Answer(request); });
  }
  std::uint16_t Port() const { return m_pServer->Port(); }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(Port()) + path; }
  std::vector<Call> Calls() const {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Calls;
  }
  std::vector<Call> CallsOf(std::int64_t eventId) const {
    std::vector<Call> calls;
    for (const Call& call : Calls())
      if (call.EventId() == eventId) calls.push_back(call);
    return calls;
  }

 private:
  VelquorHttp::HttpResponse Answer(const VelquorHttp::HttpRequest& request) {
    Call call;
    call.method = request.method;
    call.path = request.path;
    for (const auto& [name, value] : request.query) call.query += (call.query.empty() ? "" : "&") + name + "=" + value;
    call.body = request.body;
    call.headers = request.headers;
    call.at = Clock::now();
    const std::string timestamp = request.Header("x-velquor-timestamp");
    call.signatureValid =
        !timestamp.empty() && std::llabs(std::stoll(timestamp) - NowMs() / 1000) < 300 &&
        request.Header("x-velquor-signature") == "v1=" + Norvale::HmacSha256Hex(m_sSecret, timestamp + "." + call.body);
    int earlier = 0;
    {
      const std::lock_guard<std::mutex> lock(m_Mutex);
      for (const Call& before : m_Calls)
        if (before.EventId() == call.EventId() && before.path == call.path) ++earlier;
      m_Calls.push_back(call);
    }
    VelquorHttp::HttpResponse response;
    response.contentType = "text/plain";
    if (request.path == "/flaky" && earlier < 3) {
      response.status = 500;
    } else if (request.path == "/late" && earlier == 0) {
      std::this_thread::sleep_for(2500ms);
    } else if (request.path == "/redirect") {
      response.status = 302;
      // From the request: a call may arrive while the constructor still
      // stores the server (a receiver started again on a port in use).
      response.headers.emplace_back("Location", "http://" + request.Header("host") + "/redirected");
    }
    return response;
  }

  std::string m_sSecret;
  mutable std::mutex m_Mutex;
  std::vector<Call> m_Calls;
  std::unique_ptr<VelquorHttp::HttpServer> m_pServer;
};

class HttpWebhooksTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    queues = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    writer.Open("Data Source=" + queues->db.Dsn(), "", "");
    for (const std::string& statement :
         VelquorHttp::HttpSchemaStatements(GetParam() == TestSupport::Backend::Postgres)) {
      Norvale::OS::_variant_t affected;
      writer.Execute(statement, &affected, Norvale::OS::adExecuteNoRecords);
    }
    Norvale::CApiAccount account;
    account.sName = "shop";
    Norvale::CApiAccountStore().Add(account);
    secret = Norvale::CApiAccountStore().Find("shop")->sWebhookSecret;
    ASSERT_FALSE(secret.empty());
    SetConfigValue("HttpWebhookTimeoutSeconds", "1");
    journal = TestSupport::Root() + "/webhooks-journal.log";
    std::remove(journal.c_str());
    const char* before = std::getenv("NORVALE_EVENTLOG");
    savedEventLog = before == nullptr ? "none" : before;
    setenv("NORVALE_EVENTLOG", ("file:" + journal).c_str(), 1);
  }
  void TearDown() override {
    daemon.reset();
    writer.Close();
    if (!savedEventLog.empty()) setenv("NORVALE_EVENTLOG", savedEventLog.c_str(), 1);
  }

  void StartDaemon() {
    daemon = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(daemon->WaitForOutput("listening on 127.0.0.1:", 20s)) << daemon->Output();
  }

  std::int64_t Insert(const std::string& url, const std::string& body, const std::string& method = "POST",
                      int bSigned = 1, const std::string& account = "shop") {
    auto quoted = [](std::string text) {
      for (std::size_t at = text.find('\''); at != std::string::npos; at = text.find('\'', at + 2))
        text.insert(at, "'");
      return "'" + text + "'";
    };
    const std::string now = std::to_string(NowMs());
    Norvale::OS::_variant_t affected;
    return writer
        .Execute("INSERT INTO WebhookOutbox (Account, Url, Method, Body, Signed, NextAttempt, FirstQueued) VALUES (" +
                     quoted(account) + ", " + quoted(url) + ", " + quoted(method) + ", " + quoted(body) + ", " +
                     std::to_string(bSigned) + ", " + now + ", " + now + ") RETURNING Id",
                 &affected, Norvale::OS::adCmdText)
        ->GetFieldValue("Id")
        .ToLongLong();
  }
  long Rows() const { return queues->db.Value("SELECT COUNT(*) AS N FROM WebhookOutbox", "N").ToLong(); }
  // A column of a row, -1 when the row is gone.
  long Column(std::int64_t id, const std::string& column) const {
    return queues->db
        .Value("SELECT COALESCE(MAX(" + column + "), -1) AS V FROM WebhookOutbox WHERE Id=" + std::to_string(id), "V")
        .ToLong();
  }
  bool Gone(std::int64_t id) const {
    return queues->db.Value("SELECT COUNT(*) AS N FROM WebhookOutbox WHERE Id=" + std::to_string(id), "N").ToLong() ==
           0;
  }
  std::string Journal() const {
    std::ifstream file(journal);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  Norvale::OS::Connection writer;  // the events' writer, as the daemon's would be
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  std::string secret;
  std::string journal;
  std::string savedEventLog;
};

TEST_P(HttpWebhooksTest, CallsEachRowOnceSignedAndDropsWhatItMayNotCall) {
  Receiver receiver(secret);
  std::vector<std::int64_t> posts;
  for (int i = 0; i < 5; ++i)
    posts.push_back(Insert(receiver.Url("/ok"), R"({"type":"report","id":)" + std::to_string(i) +
                                                    R"(,"text":"Gr\u00fc\u00dfe, it's )" + "\xC3\xBC" + R"("})"));
  const std::int64_t get = Insert(receiver.Url("/ok?status=8&id=42"), "", "GET", 0);
  const std::int64_t file = Insert("file:///etc/passwd", "{}");
  const std::int64_t credentials = Insert("http://user:pw@127.0.0.1:" + std::to_string(receiver.Port()) + "/ok", "{}");
  const std::int64_t noAccount = Insert(receiver.Url("/ok"), "{}", "POST", 1, "gone");
  // No late answers here: a time-out long enough for a busy machine.
  SetConfigValue("HttpWebhookTimeoutSeconds", "10");
  StartDaemon();

  ASSERT_TRUE(WaitFor([&] { return Rows() == 0; }, 30s)) << Rows() << " rows left\n" << daemon->Output();
  const std::vector<Receiver::Call> calls = receiver.Calls();
  ASSERT_EQ(calls.size(), 6u);
  for (const std::int64_t id : posts) {
    const std::vector<Receiver::Call> mine = receiver.CallsOf(id);
    ASSERT_EQ(mine.size(), 1u) << id;
    Receiver::Call call = mine.front();
    EXPECT_EQ(call.method, "POST");
    EXPECT_TRUE(call.signatureValid) << call.headers["x-velquor-signature"];
    EXPECT_EQ(call.headers["content-type"], "application/json");
    EXPECT_EQ(call.headers["user-agent"], "velquor-http");
    EXPECT_NE(call.body.find("it's \xC3\xBC"), std::string::npos) << call.body;
  }
  // The GET of a Kannel dlr-url: unsigned, without a body; its event id is
  // not sent either, so it is the one call without one.
  int gets = 0;
  for (const Receiver::Call& call : calls) {
    if (call.method != "GET") continue;
    ++gets;
    EXPECT_EQ(call.query, "status=8&id=42");
    EXPECT_EQ(call.headers.count("x-velquor-signature"), 0u);
    EXPECT_TRUE(call.body.empty());
  }
  EXPECT_EQ(gets, 1) << get;
  EXPECT_TRUE(receiver.CallsOf(noAccount).empty());

  const std::string logged = Journal();
  for (const std::int64_t id : {file, credentials, noAccount})
    EXPECT_NE(logged.find("webhook call dropped: outbox row " + std::to_string(id)), std::string::npos) << logged;
  EXPECT_EQ(logged.find(secret), std::string::npos);
  EXPECT_EQ(logged.find("pw@"), std::string::npos) << "only the host of a URL is logged";
}

TEST_P(HttpWebhooksTest, RetriesWithGrowingPausesAndFollowsNoRedirect) {
  Receiver receiver(secret);
  // A handler that waits holds its server thread and the connections on it:
  // the late answers come from a receiver of their own.
  Receiver slow(secret);
  const std::int64_t flaky = Insert(receiver.Url("/flaky"), R"({"n":1})");
  const std::int64_t late = Insert(slow.Url("/late"), R"({"n":2})");
  const std::int64_t redirect = Insert(receiver.Url("/redirect"), R"({"n":3})");
  StartDaemon();

  ASSERT_TRUE(WaitFor([&] { return Gone(flaky) && Gone(late); }, 40s)) << daemon->Output();
  const std::vector<Receiver::Call> tries = receiver.CallsOf(flaky);
  ASSERT_EQ(tries.size(), 4u);
  std::vector<double> pauses;
  for (std::size_t i = 1; i < tries.size(); ++i)
    pauses.push_back(std::chrono::duration<double>(tries[i].at - tries[i - 1].at).count());
  // 1 s, 2 s, 4 s, of which a random half is taken away: never sooner, and
  // the third pause is longer than the first whatever the draws.
  EXPECT_GE(pauses[0], 0.45);
  EXPECT_GE(pauses[1], 0.95);
  EXPECT_GE(pauses[2], 1.95);
  EXPECT_GT(pauses[2], pauses[0]);
  for (const Receiver::Call& call : tries) EXPECT_TRUE(call.signatureValid);

  // Answered after the time-out: called again, the one case of a repeat.
  const std::vector<Receiver::Call> lateCalls = slow.CallsOf(late);
  ASSERT_EQ(lateCalls.size(), 2u);
  EXPECT_EQ(lateCalls[0].body, lateCalls[1].body);

  // A redirect is a failed call; its target is never asked.
  ASSERT_TRUE(WaitFor([&] { return Column(redirect, "Attempts") >= 2 || Gone(redirect); }, 20s)) << daemon->Output();
  ASSERT_FALSE(Gone(redirect));
  EXPECT_EQ(Column(redirect, "LastStatus"), 302);
  for (const Receiver::Call& call : receiver.Calls()) EXPECT_NE(call.path, "/redirected");
}

// A whole number from the environment, or `fallback`.
int FromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || std::atoi(text) <= 0 ? fallback : std::atoi(text);
}

// The receiver gone for a while under a steady flow of events: 5 s at 20
// events/s here; bench/webhook_outage.sh runs it for 10 minutes at 50/s
// (VELQUOR_WEBHOOK_OUTAGE_SECONDS, VELQUOR_WEBHOOK_RATE) and reads the
// figures it prints.
TEST_P(HttpWebhooksTest, DeliversEverythingOnceWhenTheReceiverComesBack) {
  const int outage = FromEnvironment("VELQUOR_WEBHOOK_OUTAGE_SECONDS", 5);
  const int rate = FromEnvironment("VELQUOR_WEBHOOK_RATE", 20);
  const int events = outage * rate;
  const std::uint16_t port = FreePort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/ok";
  SetConfigValue("HttpWebhookTimeoutSeconds", "10");
  StartDaemon();
  std::set<std::int64_t> ids;
  const auto start = Clock::now();
  for (int i = 0; i < events; ++i) {
    std::this_thread::sleep_until(start + i * std::chrono::microseconds(1000000 / rate));
    ids.insert(Insert(url, R"({"type":"report","n":)" + std::to_string(i) + "}"));
  }
  EXPECT_EQ(Rows(), events);
  const auto back = Clock::now();
  Receiver receiver(secret, port);
  // The longest pause is 10 minutes; the back-off reaches it after about as
  // long an outage.
  const auto cap = 90s + 2 * std::chrono::seconds(outage);
  ASSERT_TRUE(WaitFor([&] { return Rows() == 0; }, cap)) << Rows() << " rows left\n" << daemon->Output();
  std::map<std::int64_t, int> seen;
  Clock::time_point last = back;
  for (const Receiver::Call& call : receiver.Calls()) {
    ++seen[call.EventId()];
    last = std::max(last, call.at);
    EXPECT_TRUE(call.signatureValid);
  }
  EXPECT_EQ(seen.size(), ids.size());
  int twice = 0;
  for (const std::int64_t id : ids) {
    EXPECT_EQ(seen[id], 1) << id;
    twice += seen[id] > 1;
  }
  std::cout << "webhook outage: " << outage << " s at " << rate << "/s, " << events << " events, " << seen.size()
            << " delivered, " << twice << " more than once, the last "
            << std::chrono::duration<double>(last - back).count() << " s after the receiver came back\n";
}

TEST_P(HttpWebhooksTest, DeliversAfterBeingKilled) {
  const std::uint16_t port = FreePort();
  Receiver lateReceiver(secret);
  StartDaemon();
  std::vector<std::int64_t> waiting;
  for (int i = 0; i < 10; ++i)
    waiting.push_back(Insert("http://127.0.0.1:" + std::to_string(port) + "/ok", R"({"n":)" + std::to_string(i) + "}"));
  ASSERT_TRUE(WaitFor(
      [&] { return queues->db.Value("SELECT COUNT(*) AS N FROM WebhookOutbox WHERE Attempts=0", "N").ToLong() == 0; },
      20s));
  // One call in flight when the process dies: it is made again.
  const std::int64_t inFlight = Insert(lateReceiver.Url("/late"), R"({"n":"in flight"})");
  ASSERT_TRUE(WaitFor([&] { return !lateReceiver.CallsOf(inFlight).empty(); }, 20s));
  daemon->Signal(SIGKILL);
  daemon->Wait(20s);

  Receiver receiver(secret, port);
  StartDaemon();
  ASSERT_TRUE(WaitFor([&] { return Rows() == 0; }, 60s)) << Rows() << " rows left\n" << daemon->Output();
  for (const std::int64_t id : waiting) EXPECT_EQ(receiver.CallsOf(id).size(), 1u) << id;
  EXPECT_EQ(lateReceiver.CallsOf(inFlight).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpWebhooksTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

// The sender in this process, for its counters and journal records.
class WebhookSenderTest : public HttpWebhooksTest {
 protected:
  VelquorHttp::WebhookSenderOptions Options() const {
    VelquorHttp::WebhookSenderOptions options;
    options.callTimeout = 1s;
    options.claimMargin = 1s;
    return options;
  }
  static double Value(const std::string& rendered, const std::string& line) {
    std::istringstream text(rendered);
    std::string row;
    while (std::getline(text, row))
      if (row.rfind(line + " ", 0) == 0) return std::stod(row.substr(line.size() + 1));
    return 0;
  }
  Norvale::CApiAccountStore accounts;
  VelquorHttp::Metrics metrics;
};

TEST_P(WebhookSenderTest, GivesUpAfterTheRetryTimeLoggingAndCountingIt) {
  const Norvale::OS::EventLogCapture capture;
  const std::uint16_t port = FreePort();
  const std::int64_t id = Insert("http://127.0.0.1:" + std::to_string(port) + "/ok?token=abc", "{}");
  VelquorHttp::HttpDatabase database;
  VelquorHttp::WebhookSenderOptions options = Options();
  options.retryTime = 3s;
  VelquorHttp::WebhookSender sender(database, accounts, metrics, options);
  ASSERT_TRUE(WaitFor([&] { return Gone(id); }, 30s));
  sender.Stop();
  const std::string rendered = metrics.Render();
  EXPECT_EQ(Value(rendered, "velquor_webhook_expired_total"), 1) << rendered;
  const double attempts = Value(rendered, R"(velquor_webhook_attempts_total{result="network_error"})");
  EXPECT_GE(attempts, 3) << rendered;  // after 0, about 0.75 and 2.25 s, and at 3 s
  std::string given;
  for (const Norvale::OS::EventRecord& record : capture.Records())
    if (record.text.find("given up") != std::string::npos) given += record.text + "\n";
  EXPECT_NE(given.find("outbox row " + std::to_string(id) + ", account shop, host 127.0.0.1, " +
                       std::to_string(static_cast<int>(attempts)) + " attempts"),
            std::string::npos)
      << given;
  EXPECT_EQ(given.find("token"), std::string::npos) << given;
}

TEST_P(WebhookSenderTest, KeepsTheRowsWhileTheDatabaseFailsAndLogsItOnce) {
  const Norvale::OS::EventLogCapture capture;
  Receiver receiver(secret);
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(Insert(receiver.Url("/ok"), R"({"n":)" + std::to_string(i) + "}"));
  {
    TestSupport::FaultInjectionDatabase faults(queues->db.Dsn());
    faults.Fail("WebhookOutbox", Norvale::OS::E_FAIL, TestSupport::FaultInjectionDatabase::kEvery);
    VelquorHttp::HttpDatabase database;
    VelquorHttp::WebhookSender sender(database, accounts, metrics, Options());
    ASSERT_TRUE(WaitFor([&] { return faults.Injected() >= 6; }, 30s));
    // (The test's own statements would fail too: what is left is seen below.)
    EXPECT_TRUE(receiver.Calls().empty());
    faults.Clear();
    ASSERT_TRUE(WaitFor([&] { return Rows() == 0; }, 30s));
  }
  for (const std::int64_t id : ids) EXPECT_EQ(receiver.CallsOf(id).size(), 1u);
  int failing = 0;
  int again = 0;
  for (const Norvale::OS::EventRecord& record : capture.Records()) {
    failing += record.text.find("cannot be read or written") != std::string::npos;
    again += record.text.find("read and written again") != std::string::npos;
  }
  EXPECT_EQ(failing, 1);
  EXPECT_EQ(again, 1);
  const std::string rendered = metrics.Render();
  EXPECT_EQ(Value(rendered, R"(velquor_webhook_attempts_total{result="ok"})"), 5) << rendered;
}

TEST_P(WebhookSenderTest, TwoSendersNeverCallOneRowTwice) {
  Receiver receiver(secret);
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 300; ++i) ids.push_back(Insert(receiver.Url("/ok"), R"({"n":)" + std::to_string(i) + "}"));
  {
    VelquorHttp::HttpDatabase database;
    VelquorHttp::WebhookSenderOptions options = Options();
    options.maxCalls = 8;  // many small claims, so that they interleave
    options.callTimeout = 10s;
    VelquorHttp::WebhookSender one(database, accounts, metrics, options);
    VelquorHttp::WebhookSender two(database, accounts, metrics, options);
    ASSERT_TRUE(WaitFor([&] { return Rows() == 0; }, 60s)) << Rows();
  }
  std::map<std::int64_t, int> seen;
  for (const Receiver::Call& call : receiver.Calls()) ++seen[call.EventId()];
  for (const std::int64_t id : ids) EXPECT_EQ(seen[id], 1) << id;
}

INSTANTIATE_TEST_SUITE_P(Backends, WebhookSenderTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

TEST(WebhookBackoff, DoublesFromOneSecondUpToTenMinutesKeepingAtLeastHalf) {
  const VelquorHttp::WebhookSenderOptions options;
  EXPECT_EQ(VelquorHttp::WebhookBackoff(1, options, 0).count(), 500);
  EXPECT_EQ(VelquorHttp::WebhookBackoff(1, options, 0.999).count(), 999);
  EXPECT_EQ(VelquorHttp::WebhookBackoff(2, options, 0).count(), 1000);
  EXPECT_EQ(VelquorHttp::WebhookBackoff(4, options, 0).count(), 4000);
  EXPECT_EQ(VelquorHttp::WebhookBackoff(11, options, 0.999).count(), 599700);
  EXPECT_EQ(VelquorHttp::WebhookBackoff(1000, options, 0).count(), 300000);
}

}  // namespace
