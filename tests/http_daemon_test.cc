// velquor-http as a process on a free loopback port, over a fresh queue
// database, asked with curl: a send lands in SMSOutgoing, its status reads
// back as the library reports it, and refused requests queue nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

struct Reply {
  int code = 0;
  std::string body;
};

class HttpDaemonTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    queues = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    Norvale::CApiAccount account;
    account.sName = "shop";
    key = Norvale::CApiAccountStore().Add(account);
    daemon = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    const std::string marker = "listening on 127.0.0.1:";
    ASSERT_TRUE(daemon->WaitForOutput(marker, 20s)) << daemon->Output();
    const std::string output = daemon->Output();
    base = "http://127.0.0.1:" + std::to_string(std::stoi(output.substr(output.find(marker) + marker.size())));
  }

  // One request with curl; the body, when given, goes from a file so that
  // no byte of it meets the shell.
  Reply Request(const std::string& method, const std::string& path, const std::string* body = nullptr,
                const std::string& header = "") {
    std::string command = "curl -s -m 20 -o - -w '\\n%{http_code}' -H 'Authorization: Bearer " + key + "' -X " + method;
    if (body != nullptr) {
      const std::string file = TestSupport::Root() + "/http-body";
      std::ofstream(file, std::ios::binary) << *body;
      command += " -H 'Content-Type: application/json' --data-binary @" + file;
      if (!header.empty()) command += " -H '" + header + "'";
    }
    const TestSupport::CommandResult result = TestSupport::RunCommand(command + " '" + base + path + "'");
    Reply reply;
    const std::size_t lastLine = result.out.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return {-1, result.out};
    reply.body = result.out.substr(0, lastLine);
    reply.code = std::stoi(result.out.substr(lastLine + 1));
    return reply;
  }
  Reply Post(const std::string& body) { return Request("POST", "/v1/messages", &body); }

  long Queued() const { return queues->db.Value("SELECT COUNT(*) AS N FROM SMSOutgoing", "N").ToLong(); }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  std::string base;
  std::string key;
};

TEST_P(HttpDaemonTest, SendsThroughTheQueueAndReportsTheStatus) {
  const Reply health = Request("GET", "/health");
  EXPECT_EQ(health.code, 200);
  EXPECT_EQ(Json::parse(health.body), Json({{"status", "ok"}}));

  const Reply sent = Post(R"({"to": "+4915112345678", "text": "Hello \u00fc"})");
  ASSERT_EQ(sent.code, 201) << sent.body;
  const int id = Json::parse(sent.body).at("id").get<int>();
  EXPECT_GT(id, 0);
  const std::string row = "FROM SMSOutgoing WHERE Id=" + std::to_string(id);
  EXPECT_EQ(queues->db.Value("SELECT PhoneNumber " + row, "PhoneNumber").ToString(), "+4915112345678");
  EXPECT_EQ(queues->db.Value("SELECT Data " + row, "Data").ToString(), "Hello \xC3\xBC");
  EXPECT_EQ(queues->db.Value("SELECT Type " + row, "Type").ToLong(), 1);
  EXPECT_EQ(Queued(), 1);

  // The status answers the job's own account (HttpJobs), should the send
  // not have recorded it.
  queues->db.Run("INSERT INTO HttpJobs (JobId, Account, CallbackKind, DlrMask, Created) SELECT " + std::to_string(id) +
                 ", 'shop', 0, 0, 0 WHERE NOT EXISTS (SELECT 1 FROM HttpJobs WHERE JobId=" + std::to_string(id) + ")");
  const auto statusOf = [](const Reply& reply) {
    const Json j = Json::parse(reply.body);
    return Json({{"id", j.at("id")}, {"status", j.at("status")}, {"name", j.at("name")}});
  };
  Reply status = Request("GET", "/v1/messages/" + std::to_string(id));
  ASSERT_EQ(status.code, 200) << status.body;
  EXPECT_EQ(statusOf(status), Json({{"id", id}, {"status", 0}, {"name", "pending"}}));
  // What the engine writes is read back as it stands.
  queues->db.Run("UPDATE SMSOutgoing SET Status=9 WHERE Id=" + std::to_string(id));
  status = Request("GET", "/v1/messages/" + std::to_string(id));
  EXPECT_EQ(statusOf(status), Json({{"id", id}, {"status", 9}, {"name", "sent_not_confirmed"}}));

  for (const char* bad : {"abc", "0", "-1", "1x", "99999999999"}) {
    const Reply refused = Request("GET", std::string("/v1/messages/") + bad);
    EXPECT_EQ(refused.code, 400) << bad;
    EXPECT_EQ(Json::parse(refused.body).value("field", ""), "id") << bad;
  }
  EXPECT_EQ(Request("GET", "/v1/nothing").code, 404);
  EXPECT_EQ(Request("GET", "/v1/messages").code, 405);
}

TEST_P(HttpDaemonTest, RefusesBadRequestsNamingTheFieldAndQueuesNothing) {
  struct Case {
    std::string body;
    std::string field;  // empty: the body as a whole
    unsigned code = 400;
  };
  const Case cases[] = {
      {"{\"to\": \"+49\", \"text\": ", ""},              // cut off
      {"[\"+49\", \"hi\"]", ""},                         // not an object
      {"", ""},                                          // no body
      {"{\"to\": \"+49\", \"text\": \"\xFF\"}", ""},     // not UTF-8
      {R"({"text": "hi"})", "to"},                       // missing
      {R"({"to": "+49"})", "text"},                      // missing
      {R"({"to": 4915112345678, "text": "hi"})", "to"},  // a number
      {R"({"to": "+49", "text": ["hi"]})", "text"},      // an array
      {R"({"to": "+49", "text": null})", "text"},
      {R"({"to": "  ", "text": "hi"})", "to"},           // blank
      {R"({"to": "+49", "text": "a\u0000b"})", "text"},  // a NUL
      {R"({"to": "+4\u00009", "text": "hi"})", "to"},
      {"{\"to\": \"+49\", \"text\": \"" + std::string(70 * 1024, 'x') + "\"}", "", 413},  // over the limit
  };
  for (const Case& c : cases) {
    const Reply refused = Post(c.body);
    EXPECT_EQ(refused.code, c.code) << c.body.substr(0, 60) << ": " << refused.body;
    const Json answer = Json::parse(refused.body, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << refused.body;
    EXPECT_FALSE(answer.value("error", "").empty()) << refused.body;
    EXPECT_EQ(answer.value("field", ""), c.field) << c.body.substr(0, 60) << ": " << refused.body;
  }
  // Over the limit without a length announced: refused as it is read.
  const std::string chunked = "{\"to\": \"+49\", \"text\": \"" + std::string(70 * 1024, 'x') + "\"}";
  const Reply refused = Request("POST", "/v1/messages", &chunked, "Transfer-Encoding: chunked");
  EXPECT_EQ(refused.code, 413) << refused.body;
  // A length announced over the limit is refused before the body comes: this
  // one never does, and the answer must not wait for it.
  const std::string little = R"({"to": "+49", "text": "hi"})";
  const Reply announced = Request("POST", "/v1/messages", &little, "Content-Length: 1000000000");
  EXPECT_EQ(announced.code, 413) << announced.body;
  EXPECT_EQ(Queued(), 0);
  // The daemon still serves after all of them.
  EXPECT_EQ(Post(R"({"to": "+49", "text": "after"})").code, 201);
  EXPECT_EQ(Queued(), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpDaemonTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace

namespace {

void SetConfigValue(const std::string& name, const std::string& value) {
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, name, value, false);
  Norvale::OS::RegCloseKey(key);
}

// A port that was free a moment ago.
int FreePort() {
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

}  // namespace

TEST(HttpDaemonConfiguration, ListensWhereTheConfigurationSaysAndEndsOnSigterm) {
  TestSupport::ConfiguredQueues queues(TestSupport::Backend::Sqlite);
  SetConfigValue("HttpPort", "80x");
  TestSupport::ChildProcess refused({VELQUOR_HTTP});
  EXPECT_EQ(refused.Wait(20s), 1);
  EXPECT_NE(refused.Output().find("HttpPort in the configuration is not a port: 80x"), std::string::npos)
      << refused.Output();

  const std::string port = std::to_string(FreePort());
  SetConfigValue("HttpListen", "127.0.0.1");
  SetConfigValue("HttpPort", port);
  TestSupport::ChildProcess daemon({VELQUOR_HTTP});
  ASSERT_TRUE(daemon.WaitForOutput("listening on 127.0.0.1:" + port + "\n", 20s)) << daemon.Output();
  const TestSupport::CommandResult health =
      TestSupport::RunCommand("curl -s -m 20 http://127.0.0.1:" + port + "/health");
  EXPECT_EQ(health.out, R"({"status":"ok"})");
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(20s), 0) << daemon.Output();
}
