// velquor-http's operations as a process on loopback, asked with curl and
// raw sockets: /health, /ready following the database and the real engine,
// /metrics in the Prometheus text format counting requests by code and the
// queues' rows, the access log in the event log without keys or passwords,
// HTTPS with a certificate made here, and slow clients cut after the
// time-out while others are served.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "config/config_reg.h"
#include "platform/service_control.h"
#include "queue_test_support.h"
#include "queues/queue_schema.h"
#include "server_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

struct Reply {
  int code = 0;
  std::string body;
};

void SetValue(const std::string& name, const std::string& value) {
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, name, value, false);
  Norvale::OS::RegCloseKey(key);
}

std::string EventLogPath() { return TestSupport::Root() + "/http-events.jsonl"; }

// velquor-http on a free loopback port, its records in EventLogPath().
class Daemon {
 public:
  explicit Daemon(bool https = false) {
    setenv("NORVALE_EVENTLOG", ("file:" + EventLogPath()).c_str(), 1);
    process = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    setenv("NORVALE_EVENTLOG", "none", 1);
    const std::string marker = "listening on 127.0.0.1:";
    started = process->WaitForOutput(marker, 20s);
    if (!started) return;
    const std::string output = process->Output();
    port = std::stoi(output.substr(output.find(marker) + marker.size()));
    base = std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
  }

  // A request with curl; `options` go before the URL.
  Reply Get(const std::string& path, const std::string& options = "") const {
    const TestSupport::CommandResult result =
        TestSupport::RunCommand("curl -s -m 20 -o - -w '\\n%{http_code}' " + options + " '" + base + path + "'");
    const std::size_t lastLine = result.out.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return {-1, result.out};
    return {std::stoi(result.out.substr(lastLine + 1)), result.out.substr(0, lastLine)};
  }

  std::unique_ptr<TestSupport::ChildProcess> process;
  bool started = false;
  int port = 0;
  std::string base;
};

// The value of one sample line of a Prometheus text ("name{labels}"), or -1.
double Sample(const std::string& text, const std::string& series) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
  return -1;
}

// Problems of a text in the Prometheus exposition format, line by line.
std::string ExpositionProblems(const std::string& text) {
  static const std::regex help(R"(# HELP [a-zA-Z_:][a-zA-Z0-9_:]* \S.*)");
  static const std::regex type(R"(# TYPE [a-zA-Z_:][a-zA-Z0-9_:]* (counter|gauge|histogram|summary|untyped))");
  static const std::regex sample(
      R"([a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*")*\})? (-?[0-9.]+(e[-+]?[0-9]+)?|\+Inf|NaN))");
  std::string problems;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && !std::regex_match(line, help) && !std::regex_match(line, type) &&
        !std::regex_match(line, sample))
      problems += line + "\n";
  return problems;
}

class HttpOperationsTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override { SKIP_WITHOUT_BACKEND(GetParam()); }
};

TEST_P(HttpOperationsTest, ReadyFollowsTheDatabaseAndTheEngine) {
  TestSupport::TestDatabase db(GetParam());
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  TestSupport::EngineRoot root(db.Dsn());
  root.AddSimulator(1);
  Norvale::OS::ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();

  EXPECT_EQ(daemon.Get("/health").code, 200);
  Reply ready = daemon.Get("/ready");
  EXPECT_EQ(ready.code, 503) << ready.body;
  Json answer = Json::parse(ready.body, nullptr, false);
  EXPECT_EQ(answer.value("database", ""), "ok") << ready.body;
  EXPECT_EQ(answer.value("engine", ""), "the service VelquorServer is not running") << ready.body;
  EXPECT_NE(answer.value("error", "").find("engine: "), std::string::npos) << ready.body;

  TestSupport::ServerProcess engine(root);
  ASSERT_TRUE(engine.StartAndWait()) << engine.Errors();
  ready = daemon.Get("/ready");
  EXPECT_EQ(ready.code, 200) << ready.body;
  EXPECT_EQ(Json::parse(ready.body, nullptr, false).value("status", ""), "ready") << ready.body;

  EXPECT_EQ(engine.Stop(SIGTERM), 0);
  EXPECT_EQ(daemon.Get("/ready").code, 503);
}

TEST_P(HttpOperationsTest, MetricsCountRequestsByCodeAndTheQueues) {
  TestSupport::ConfiguredQueues queues(GetParam());
  Norvale::CApiAccount account;
  account.sName = "shop";
  const std::string key = Norvale::CApiAccountStore().Add(account);
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();

  EXPECT_EQ(daemon.Get("/health").code, 200);
  EXPECT_EQ(daemon.Get("/health").code, 200);
  EXPECT_EQ(daemon.Get("/no/such/thing").code, 404);
  EXPECT_EQ(daemon.Get("/v1/messages/1").code, 401);
  const std::string body = TestSupport::Root() + "/message.json";
  std::ofstream(body) << R"({"to": "+4915112345678", "text": "hi"})";
  EXPECT_EQ(daemon.Get("/v1/messages", "-X POST -H 'Authorization: Bearer " + key + "' --data-binary @" + body).code,
            201);
  queues.db.Run(
      "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
      "JobStatus, SourceType, SourceId, SourceName) VALUES (1, 1, 1, '+49', 1, '', 1, 0, '', 2, 1, '', '')");
  for (int id : {1, 2})
    queues.db.Run(
        "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp, DestType, DestId, DestName) "
        "VALUES (" +
        std::to_string(id) + ", 1, '+49', 'x', 1, '', 0, '', '')");

  Reply metrics = daemon.Get("/metrics");
  ASSERT_EQ(metrics.code, 200) << metrics.body;
  EXPECT_EQ(ExpositionProblems(metrics.body), "");
  EXPECT_EQ(Sample(metrics.body, R"(velquor_http_requests_total{code="200"})"), 2) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_http_requests_total{code="201"})"), 1) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_http_requests_total{code="401"})"), 1) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_http_requests_total{code="404"})"), 1) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_http_request_seconds_count)"), 5) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_queue_depth{queue="outgoing",status="pending"})"), 1) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_queue_depth{queue="outgoing",status="sent"})"), 0) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_queue_depth{queue="notifications",status="waiting"})"), 1);
  EXPECT_EQ(Sample(metrics.body, R"(velquor_queue_depth{queue="incoming",status="waiting"})"), 2);
  for (const char* name :
       {"velquor_http_requests_total", "velquor_http_messages_accepted_total", "velquor_http_messages_sent_total",
        "velquor_http_messages_failed_total", "velquor_http_messages_delivered_total", "velquor_queue_depth",
        "velquor_http_request_seconds", "velquor_http_end_to_end_seconds", "velquor_webhook_attempts_total",
        "velquor_webhook_expired_total", "velquor_webhook_outbox_depth", "velquor_http_auth_failures_total"})
    EXPECT_NE(metrics.body.find(std::string("# HELP ") + name + " "), std::string::npos) << name;

  // The scrape itself is counted, and an emptied status reads 0 again.
  queues.db.Run("UPDATE SMSOutgoing SET Status=2");
  metrics = daemon.Get("/metrics");
  EXPECT_EQ(Sample(metrics.body, R"(velquor_http_requests_total{code="200"})"), 3) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_queue_depth{queue="outgoing",status="pending"})"), 0) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_queue_depth{queue="outgoing",status="sent"})"), 1) << metrics.body;
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpOperationsTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

TEST(HttpOperations, NotReadyWhileTheDatabaseIsMissingAndReadyWhenItComes) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  const std::string dir = TestSupport::Root() + "/not-yet";
  std::filesystem::remove_all(dir);
  SetValue("DSN", "sqlite:" + dir + "/queue.db");
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();
  EXPECT_EQ(daemon.Get("/health").code, 200);
  Reply ready = daemon.Get("/ready");
  EXPECT_EQ(ready.code, 503) << ready.body;
  Json answer = Json::parse(ready.body, nullptr, false);
  EXPECT_NE(answer.value("database", "ok"), "ok") << ready.body;
  EXPECT_NE(answer.value("error", "").find("database: "), std::string::npos) << ready.body;
  // /metrics still answers without the database.
  EXPECT_EQ(daemon.Get("/metrics").code, 200);

  // The database comes: only the engine is missing now.
  std::filesystem::create_directories(dir);
  {
    Norvale::OS::Connection c;
    c.Open("Data Source=sqlite:" + dir + "/queue.db", "", "");
    Norvale::CreateQueueSchema(c, "sqlite:" + dir + "/queue.db");
  }
  ready = daemon.Get("/ready");
  answer = Json::parse(ready.body, nullptr, false);
  EXPECT_EQ(answer.value("database", ""), "ok") << ready.body;
  EXPECT_EQ(answer.value("engine", ""), "the service VelquorServer is not installed") << ready.body;
}

TEST(HttpOperations, AccessLogHoldsOneLinePerRequestWithoutKeysOrPasswords) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  Norvale::CApiAccount account;
  account.sName = "shop";
  const std::string key = Norvale::CApiAccountStore().Add(account);
  const std::string secret = key.substr(key.find('.') + 1);
  std::filesystem::remove(EventLogPath());
  {
    Daemon daemon;
    ASSERT_TRUE(daemon.started) << daemon.process->Output();
    daemon.Get("/cgi-bin/sendsms?username=shop&password=Hunter2Secret&to=%2B4915112345678&text=Hello+world");
    daemon.Get("/v1/messages/7", "-H 'Authorization: Bearer " + key + "'");
    daemon.Get("/v1/messages/8", "-H 'Authorization: Bearer shop.wrong'");
    daemon.Get("/x%0D%0AForged:%20line?api_key=" + secret);
  }
  std::ifstream in(EventLogPath());
  std::vector<std::string> lines;
  std::string all;
  for (std::string line; std::getline(in, line);) {
    all += line + "\n";
    const Json record = Json::parse(line, nullptr, false);
    if (record.value("source", "") == "velquor-http" && record.value("event_id", -1) == 13)
      lines.push_back(record.value("text", ""));
  }
  ASSERT_EQ(lines.size(), 4u) << all;
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(R"(GET /cgi-bin/sendsms\?username=shop&password=\*\*\*&to=%2B4915112345678&text=Hello%20world )"
                 R"(\d{3} \d+\.\dms 127\.0\.0\.1 account=shop)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(GET /v1/messages/7 \d{3} \d+\.\dms 127\.0\.0\.1 account=shop)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(GET /v1/messages/8 401 \d+\.\dms 127\.0\.0\.1)"))) << lines[2];
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(GET /x%0D%0AForged:%20line\?api_key=\*\*\* 404 .*)")))
      << lines[3];
  EXPECT_EQ(all.find("Hunter2Secret"), std::string::npos) << all;
  EXPECT_EQ(all.find(secret), std::string::npos) << all;

  // HttpAccessLog 0: no line.
  SetValue("HttpAccessLog", "0");
  std::filesystem::remove(EventLogPath());
  {
    Daemon daemon;
    ASSERT_TRUE(daemon.started) << daemon.process->Output();
    EXPECT_EQ(daemon.Get("/health").code, 200);
  }
  EXPECT_EQ(TestSupport::ReadFile(EventLogPath()).find("/health"), std::string::npos);
  SetValue("HttpAccessLog", "2");
  TestSupport::ChildProcess refused({VELQUOR_HTTP, "--port", "0"});
  EXPECT_EQ(refused.Wait(20s), 1);
  EXPECT_NE(refused.Output().find("HttpAccessLog in the configuration is not a number from 0 to 1: 2"),
            std::string::npos)
      << refused.Output();
}

TEST(HttpOperations, ServesHttpsWithTheConfiguredCertificateAndGuardsTheKey) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  const std::string dir = TestSupport::Root() + "/tls";
  std::filesystem::create_directories(dir);
  const auto made = TestSupport::RunCommand(
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
      "-keyout " +
      dir + "/key.pem -out " + dir + "/cert.pem");
  ASSERT_EQ(made.status, 0) << made.out;
  SetValue("HttpTlsCertificate", dir + "/cert.pem");

  struct Case {
    std::string key;
    mode_t mode;
    std::string error;
  };
  for (const Case& c : {Case{dir + "/key.pem", 0644, "is readable by every user"},
                        Case{dir + "/missing.pem", 0600, "HttpTlsKey " + dir + "/missing.pem cannot be read"},
                        Case{dir + "/cert.pem", 0600, "cannot serve HTTPS"}}) {  // not the certificate's key
    chmod(c.key.c_str(), c.mode);
    SetValue("HttpTlsKey", c.key);
    TestSupport::ChildProcess refused({VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    EXPECT_EQ(refused.Wait(20s), 1) << c.key;
    EXPECT_NE(refused.Output().find(c.error), std::string::npos) << refused.Output();
  }

  chmod((dir + "/key.pem").c_str(), 0640);
  chmod((dir + "/cert.pem").c_str(), 0644);
  SetValue("HttpTlsKey", dir + "/key.pem");
  Daemon daemon(true);
  ASSERT_TRUE(daemon.started) << daemon.process->Output();
  EXPECT_NE(daemon.process->Output().find("(HTTPS)"), std::string::npos);
  const Reply health = daemon.Get("/health", "--cacert " + dir + "/cert.pem");
  EXPECT_EQ(health.code, 200) << health.body;
  EXPECT_EQ(health.body, R"({"status":"ok"})");
  // Without the certificate's authority curl refuses; plain HTTP gets no answer.
  EXPECT_EQ(daemon.Get("/health").code, -1);
  const TestSupport::CommandResult plain = TestSupport::RunCommand(
      "curl -s -m 10 -o /dev/null -w '%{http_code}' http://127.0.0.1:" + std::to_string(daemon.port) + "/health");
  EXPECT_NE(plain.out, "200") << plain.out;
}

TEST(HttpOperations, CheckAndServiceStatusTellItsValuesAndWhetherItListens) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  SetValue("HttpMaxConnections", "0");
  const std::string velquor = VELQUOR_CLI;
  TestSupport::CommandResult check = TestSupport::RunCommand(velquor + " check");
  EXPECT_NE(check.out.find("FAIL  HttpMaxConnections: not a number from 1 to 1000000: 0"), std::string::npos)
      << check.out;

  SetValue("HttpMaxConnections", "100");
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();
  SetValue("HttpPort", std::to_string(daemon.port));
  const std::string listening = "velquor-http: listening on 127.0.0.1:" + std::to_string(daemon.port);
  check = TestSupport::RunCommand(velquor + " check");
  EXPECT_NE(check.out.find("ok    " + listening + ", /health answers 200"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("ok    HttpMaxConnections: 100"), std::string::npos) << check.out;
  Norvale::OS::ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  const TestSupport::CommandResult status = TestSupport::RunCommand(velquor + " service status");
  EXPECT_NE(status.out.find(listening + ", /health answers 200"), std::string::npos) << status.out;
}

// A socket to the daemon on loopback.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the peer has closed `fd` (a read sees the end or an error).
bool ClosedByPeer(int fd) {
  char byte = 0;
  const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

TEST(HttpOperations, SlowClientsAreCutAfterTheTimeOutWhileOthersAreServed) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  SetValue("HttpTimeoutSeconds", "2");
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();

  // One sends its header a byte at a time, one its body; both keep sending
  // more often than the time-out.
  const int slowHeader = Connect(daemon.port);
  const int slowBody = Connect(daemon.port);
  ASSERT_GE(slowHeader, 0);
  ASSERT_GE(slowBody, 0);
  const std::string head = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
  ASSERT_EQ(send(slowHeader, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
  const std::string post =
      "POST /v1/messages HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Content-Length: 1000\r\n\r\n{\"to\": \"+49\", \"text\": \"";
  ASSERT_EQ(send(slowBody, post.data(), post.size(), MSG_NOSIGNAL), static_cast<ssize_t>(post.size()));

  const auto start = std::chrono::steady_clock::now();
  std::chrono::duration<double> headerCut{0}, bodyCut{0};
  int served = 0;
  // At most 200 bytes each, 150 ms apart: 30 s.
  for (int i = 0; i < 200 && (headerCut.count() == 0 || bodyCut.count() == 0); ++i) {
    std::this_thread::sleep_for(150ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    for (auto [fd, cut] : {std::pair{slowHeader, &headerCut}, std::pair{slowBody, &bodyCut}}) {
      if (cut->count() != 0) continue;
      if (ClosedByPeer(fd) || send(fd, "a", 1, MSG_NOSIGNAL) != 1) *cut = elapsed;
    }
    if (i % 5 == 0 && daemon.Get("/health").code == 200) ++served;
  }
  close(slowHeader);
  close(slowBody);
  EXPECT_GT(headerCut.count(), 0) << "a client trickling its header is never cut";
  EXPECT_GT(bodyCut.count(), 0) << "a client trickling its body is never cut";
  // Not before the time-out (2 s), and well before the trickle would end.
  EXPECT_GE(headerCut.count(), 1.9);
  EXPECT_GE(bodyCut.count(), 1.9);
  EXPECT_LT(headerCut.count(), 10);
  EXPECT_LT(bodyCut.count(), 10);
  EXPECT_GE(served, 2);
  EXPECT_EQ(daemon.Get("/health").code, 200);
}

TEST(HttpOperations, LimitsTheConnectionsOfOneAddress) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  SetValue("HttpMaxConnectionsPerAddress", "2");
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();
  const int first = Connect(daemon.port);
  const int second = Connect(daemon.port);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  // Both are taken: the third is closed unanswered.
  EXPECT_EQ(daemon.Get("/health").code, -1);
  close(first);
  // The daemon notices the closed one within its next look at it.
  bool served = false;
  for (int i = 0; i < 100 && !served; ++i) {
    served = daemon.Get("/health").code == 200;
    if (!served) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(served);
  close(second);
}

}  // namespace

// velquor-smppd's state file as velquor service status, velquor check and
// /metrics read it: its accounts while its process lives, nothing after.
TEST(HttpOperations, TheSmppServersStateShowsInStatusCheckAndMetricsWhileItRuns) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  Norvale::OS::ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  const std::string velquor = VELQUOR_CLI;
  const std::string stateFile = Norvale::OS::ServiceHost::RunDirectory() + "/velquor-smppd.json";
  const auto writeState = [&](pid_t pid) {
    std::ofstream(stateFile) << R"({"pid": )" << pid << R"(, "listen": ["127.0.0.1:2775", "127.0.0.1:2776 tls"],
      "accounts": {"acme": {"binds": 2, "transmitters": 0, "receivers": 1, "transceivers": 1, "window": 37,
      "window_max": 100, "submits_per_second": 812.5, "submitted_total": 1234, "throttled_total": 5,
      "refused_total": 2, "delivered_total": 10, "outbox": 3},
      "b-2": {"binds": 1, "transmitters": 1, "receivers": 0, "transceivers": 0, "window": 0, "window_max": 10,
      "submits_per_second": 0, "submitted_total": 0, "throttled_total": 0, "refused_total": 0,
      "delivered_total": 0, "outbox": 0}}})";
  };
  writeState(getpid());  // a process that lives
  Daemon daemon;
  ASSERT_TRUE(daemon.started) << daemon.process->Output();

  TestSupport::CommandResult status = TestSupport::RunCommand(velquor + " service status");
  EXPECT_NE(status.out.find("velquor-smppd: running (pid " + std::to_string(getpid()) +
                            "), listening on 127.0.0.1:2775, 127.0.0.1:2776 tls\n"),
            std::string::npos)
      << status.out;
  const std::regex acme(R"(\nacme +2 +0 +1 +1 +37/100 +812\.5 +1234 +5 +10 +3\n)");
  EXPECT_TRUE(std::regex_search(status.out, acme)) << status.out;
  EXPECT_TRUE(std::regex_search(status.out, std::regex(R"(\nb-2 +1 +1 +0 +0 +0/10 +0\.0 +0 +0 +0 +0\n)")))
      << status.out;
  TestSupport::CommandResult check = TestSupport::RunCommand(velquor + " check");
  EXPECT_NE(check.out.find("ok    velquor-smppd: running (pid "), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("ok    SmppServerPort: not set: 2775"), std::string::npos) << check.out;

  Reply metrics = daemon.Get("/metrics");
  ASSERT_EQ(metrics.code, 200);
  EXPECT_EQ(ExpositionProblems(metrics.body), "");
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_binds{account="acme",kind="receiver"})"), 1) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_binds{account="acme",kind="transmitter"})"), 0) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_binds{account="b-2",kind="transmitter"})"), 1) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_window{account="acme"})"), 37) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_window_max{account="acme"})"), 100) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_submits_per_second{account="acme"})"), 812.5) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_outbox{account="acme"})"), 3) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_submitted_total{account="acme"})"), 1234) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_throttled_total{account="acme"})"), 5) << metrics.body;
  EXPECT_EQ(Sample(metrics.body, R"(velquor_smpp_delivered_total{account="acme"})"), 10) << metrics.body;
  EXPECT_NE(metrics.body.find("# TYPE velquor_smpp_submitted_total counter"), std::string::npos);
  EXPECT_NE(metrics.body.find("# TYPE velquor_smpp_binds gauge"), std::string::npos);

  // A daemon killed leaves its file: the pid of a process that has ended.
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  writeState(ended);
  status = TestSupport::RunCommand(velquor + " service status");
  EXPECT_NE(status.out.find("velquor-smppd: not running (its state file names pid " + std::to_string(ended) +
                            ", which has ended)\n"),
            std::string::npos)
      << status.out;
  EXPECT_EQ(status.out.find("acme"), std::string::npos) << status.out;
  check = TestSupport::RunCommand(velquor + " check");
  EXPECT_NE(check.out.find("note  velquor-smppd: not running"), std::string::npos) << check.out;
  metrics = daemon.Get("/metrics");
  EXPECT_EQ(metrics.code, 200);
  EXPECT_EQ(metrics.body.find("velquor_smpp_"), std::string::npos) << metrics.body;
  std::filesystem::remove(stateFile);
}

// velquor check tells which SMPP server value is wrong.
TEST(HttpOperations, CheckTellsTheSmppServersBadValues) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  const std::string dir = TestSupport::Root() + "/smpp-tls";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/key.pem") << "key";
  chmod((dir + "/key.pem").c_str(), 0644);
  SetValue("SmppServerPort", "70000");
  SetValue("SmppServerTlsPort", "2776");
  SetValue("SmppServerTlsKey", dir + "/key.pem");
  SetValue("SmppServerSystemId", "a-system-id-too-long");
  const TestSupport::CommandResult check = TestSupport::RunCommand(std::string(VELQUOR_CLI) + " check");
  for (const std::string& line : std::vector<std::string>{
           "FAIL  SmppServerPort: not a number from 0 to 65535: 70000", "ok    SmppServerTlsPort: 2776",
           "FAIL  SmppServerTlsCertificate: SmppServerTlsPort is set: TLS needs SmppServerTlsCertificate",
           "FAIL  SmppServerTlsKey: " + dir + "/key.pem is readable by every user; the daemon refuses it (chmod o-r)",
           "FAIL  SmppServerSystemId: longer than the 15 characters of a system_id",
           "note  velquor-smppd: not running"})
    EXPECT_NE(check.out.find(line), std::string::npos) << line << "\n" << check.out;
  for (const char* name : {"SmppServerPort", "SmppServerTlsPort", "SmppServerTlsKey", "SmppServerSystemId"})
    SetValue(name, "");
}
