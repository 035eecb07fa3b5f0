// GET /v1/messages/{id} of velquor-http as a process: a pending job read from
// its row, a job whose row was cleared read from the message history, and
// "unknown or cleared" for a job of another account, an identifier never
// used, and a job of which nothing is left.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "queue_test_support.h"
#include "queues/message_history.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

struct Reply {
  int code = 0;
  Json body;
};

class HttpHistoryTest : public ::testing::TestWithParam<TestSupport::Backend> {
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

  Reply Get(const std::string& path) {
    const TestSupport::CommandResult result = TestSupport::RunCommand(
        "curl -s -m 20 -o - -w '\\n%{http_code}' -H 'Authorization: Bearer " + key + "' '" + base + path + "'");
    const std::size_t lastLine = result.out.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return {-1, result.out};
    return {std::stoi(result.out.substr(lastLine + 1)), Json::parse(result.out.substr(0, lastLine))};
  }
  // A job as a client queues it, and as velquor-http records whose it is.
  void Queue(int id, const std::string& account, const std::string& clientRef) const {
    queues->db.Run(
        "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, "
        "SourceName, RetryCount) VALUES (" +
        std::to_string(id) + ", 1, '+4915112345', 'hello', 0, 0, 10, '" + account + "', ' ', 0)");
    queues->db.Run("INSERT INTO HttpJobs (JobId, Account, ClientRef, CallbackKind, DlrMask, Created) VALUES (" +
                   std::to_string(id) + ", '" + account + "', '" + clientRef + "', 0, 0, 0)");
  }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  std::string base;
  std::string key;
};

TEST_P(HttpHistoryTest, StatusFromTheRowThenFromTheHistoryAndOnlyForTheCallersJobs) {
  Queue(1, "shop", "order-1");
  Reply pending = Get("/v1/messages/1");
  ASSERT_EQ(pending.code, 200) << pending.body;
  EXPECT_EQ(pending.body.at("status"), 0);
  EXPECT_EQ(pending.body.at("name"), "pending");
  EXPECT_EQ(pending.body.at("state"), "pending");
  EXPECT_EQ(pending.body.at("to"), "+4915112345");
  EXPECT_EQ(pending.body.at("client_ref"), "order-1");
  ASSERT_EQ(pending.body.at("history").size(), 1U);
  EXPECT_EQ(pending.body["history"][0].at("event"), "queued");
  EXPECT_TRUE(pending.body["history"][0].at("at").get<std::string>().ends_with("Z"));

  // Job 2 goes its whole way; its row is then cleared.
  Queue(2, "shop", "order-2");
  Norvale::CDBConnectionDispensor dispensor;
  dispensor.SetDBSettings(queues->db.Dsn(), "", "");
  const std::int64_t t = 1796834920123;  // 2026-12-09T16:48:40.123Z
  using Norvale::CHistoryEvent;
  Norvale::CMessageHistory(&dispensor)
      .Append({CHistoryEvent{0, 2, "claimed", Norvale::jsProcessing, 3, std::nullopt, std::nullopt, 99, "", "", t},
               CHistoryEvent{0, 2, "sent", Norvale::jsSentNotConfirmed, 3, 2, std::nullopt, 99, "a1b2", "", t + 1},
               CHistoryEvent{0, 2, "notified", Norvale::jsSentNotConfirmed, 3, std::nullopt, std::nullopt, 99, "",
                             "sent", t + 2},
               CHistoryEvent{0, 2, "delivered", Norvale::jsSent, 3, std::nullopt, std::nullopt, 99, "",
                             "delivery report", t + 3000},
               CHistoryEvent{0, 2, "notified", Norvale::jsSent, 3, std::nullopt, std::nullopt, 99, "", "delivered",
                             t + 3001}});
  queues->db.Run("DELETE FROM SMSOutgoing WHERE Id=2");
  const Reply cleared = Get("/v1/messages/2");
  ASSERT_EQ(cleared.code, 200) << cleared.body;
  EXPECT_EQ(cleared.body.at("status"), 2);
  EXPECT_EQ(cleared.body.at("name"), "sent");
  EXPECT_EQ(cleared.body.at("state"), "delivered");
  EXPECT_EQ(cleared.body.at("to"), nullptr);
  EXPECT_EQ(cleared.body.at("handset"), 3);
  EXPECT_EQ(cleared.body.at("client_ref"), "order-2");
  const Json& history = cleared.body.at("history");
  ASSERT_EQ(history.size(), 6U) << history;
  EXPECT_EQ(history[0].at("event"), "queued");
  EXPECT_EQ(history[1], Json({{"event", "claimed"},
                              {"at", "2026-12-09T16:48:40.123Z"},
                              {"status", 1},
                              {"handset", 3},
                              {"engine_id", 99}}));
  EXPECT_EQ(history[2].at("reference"), "a1b2");
  EXPECT_EQ(history[2].at("parts"), 2);
  EXPECT_EQ(history[3].at("notification"), "sent");
  EXPECT_EQ(history[4].at("event"), "delivered");
  EXPECT_EQ(history[4].at("at"), "2026-12-09T16:48:43.123Z");
  EXPECT_EQ(history[5].at("notification"), "delivered");

  // Another account's job, one never queued, and one of which nothing is
  // left: the same answer.
  Queue(3, "other", "theirs");
  queues->db.Run("INSERT INTO HttpJobs (JobId, Account, CallbackKind, DlrMask, Created) VALUES (4, 'shop', 0, 0, 0)");
  for (const char* id : {"3", "4", "999"}) {
    const Reply unknown = Get(std::string("/v1/messages/") + id);
    EXPECT_EQ(unknown.code, 404) << id;
    EXPECT_EQ(unknown.body, Json({{"error", "unknown or cleared"}, {"field", "id"}})) << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpHistoryTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
