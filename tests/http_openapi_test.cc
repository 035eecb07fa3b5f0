// velquor-http's OpenAPI document: served as docs/openapi.json has it, a
// valid OpenAPI document, and the running daemon's answers (sends, status,
// errors, the operations' paths, Kannel's sendsms) as it documents them.
// The checks are tests/http/openapi_check.js (swagger-parser and ajv,
// installed by scripts/setup.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

class HttpOpenApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queues = std::make_unique<TestSupport::ConfiguredQueues>(TestSupport::Backend::Sqlite);
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

  // One request with curl, recorded for the check under the document's
  // `templatePath`. `options` are curl's, quoted by the caller.
  Json Ask(const std::string& method, const std::string& templatePath, const std::string& path,
           const std::string& options = "", const std::string* body = nullptr) {
    std::string command = "curl -s -m 20 -o - -w '\\n%{http_code}\\n%{content_type}' -X " + method + " " + options;
    if (body != nullptr) {
      const std::string file = TestSupport::Root() + "/openapi-body";
      std::ofstream(file, std::ios::binary) << *body;
      command += " -H 'Content-Type: application/json' --data-binary @" + file;
    }
    const TestSupport::CommandResult result = TestSupport::RunCommand(command + " '" + base + path + "'");
    const std::size_t typeLine = result.out.rfind('\n');
    const std::size_t codeLine =
        typeLine == std::string::npos ? std::string::npos : result.out.rfind('\n', typeLine - 1);
    EXPECT_EQ(result.status, 0) << path;
    if (codeLine == std::string::npos) return Json();
    Json answer = {{"method", method},
                   {"path", templatePath},
                   {"status", std::stoi(result.out.substr(codeLine + 1, typeLine - codeLine - 1))},
                   {"contentType", result.out.substr(typeLine + 1)},
                   {"body", result.out.substr(0, codeLine)}};
    answers.push_back(answer);
    return answer;
  }
  std::string Bearer() const { return "-H 'Authorization: Bearer " + key + "'"; }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  std::string base;
  std::string key;
  Json answers = Json::array();
};

TEST_F(HttpOpenApiTest, TheServedDocumentIsValidAndTheAnswersMatchIt) {
  // Served without authentication, exactly the document of docs/.
  const Json served = Ask("GET", "/v1/openapi.json", "/v1/openapi.json");
  ASSERT_EQ(served.value("status", 0), 200) << served.dump();
  std::ifstream file(std::string(VELQUOR_SOURCE_DIR) + "/docs/openapi.json");
  std::stringstream document;
  document << file.rdbuf();
  EXPECT_EQ(Json::parse(served["body"].get<std::string>()), Json::parse(document.str()));

  const std::string good = R"({"to": "+4915112345678", "text": "Hello"})";
  const Json sent = Ask("POST", "/v1/messages", "/v1/messages", Bearer(), &good);
  EXPECT_EQ(sent.value("status", 0), 201) << sent.dump();
  const std::string basic = "-u 'shop:" + key + "'";
  Ask("POST", "/v1/messages", "/v1/messages", basic, &good);
  const std::string bad = R"({"to": 49, "text": "Hello"})";
  EXPECT_EQ(Ask("POST", "/v1/messages", "/v1/messages", Bearer(), &bad).value("status", 0), 400);
  EXPECT_EQ(Ask("POST", "/v1/messages", "/v1/messages", "", &good).value("status", 0), 401);
  const std::string broken = "{\"to\": ";
  Ask("POST", "/v1/messages", "/v1/messages", Bearer(), &broken);
  const std::string batch = R"({"messages": [{"to": "+491", "text": "a"}, {"to": "+492", "unicode_hex": "00E4"}]})";
  Ask("POST", "/v1/messages/batch", "/v1/messages/batch", Bearer(), &batch);
  const std::string badBatch = R"({"messages": [{"to": "+491", "text": "a"}, {"to": 2, "text": "b"}]})";
  Ask("POST", "/v1/messages/batch", "/v1/messages/batch", Bearer(), &badBatch);

  if (sent.value("status", 0) == 201) {
    const std::string id = std::to_string(Json::parse(sent["body"].get<std::string>()).value("id", 0));
    EXPECT_EQ(Ask("GET", "/v1/messages/{id}", "/v1/messages/" + id, Bearer()).value("status", 0), 200);
  }
  Ask("GET", "/v1/messages/{id}", "/v1/messages/abc", Bearer());
  Ask("GET", "/v1/messages/{id}", "/v1/messages/2000000000", Bearer());
  Ask("GET", "/v1/messages/{id}", "/v1/messages/1");
  Ask("GET", "/v1/inbox", "/v1/inbox?wait=0s&limit=10", Bearer());
  Ask("GET", "/v1/inbox", "/v1/inbox");
  Ask("GET", "/health", "/health");
  Ask("GET", "/ready", "/ready");
  Ask("GET", "/metrics", "/metrics");
  Ask("GET", "/cgi-bin/sendsms", "/cgi-bin/sendsms?username=shop&password=" + key + "&to=0123456&text=Hello+world");
  Ask("GET", "/cgi-bin/sendsms", "/cgi-bin/sendsms?username=shop&password=bar&to=0123456&text=Hello+world");

  const std::string answersFile = TestSupport::Root() + "/openapi-answers.json";
  std::ofstream(answersFile) << answers.dump(2);
  const TestSupport::CommandResult check =
      TestSupport::RunCommand("node '" + std::string(VELQUOR_SOURCE_DIR) + "/tests/http/openapi_check.js' '" +
                              std::string(VELQUOR_SOURCE_DIR) + "/docs/openapi.json' '" + answersFile + "' 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find(" passed, 0 failed"), std::string::npos) << check.out;
  std::cout << check.out;
}

}  // namespace
