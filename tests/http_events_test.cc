// velquor-http's events as a process over a fresh queue: notifications the
// engine writes for its jobs reach the account's inbox or webhook outbox once,
// the inbox is taken with a handset filter and a long-poll wait that parks
// its connection, nothing is lost or doubled when the daemon is killed while
// taking, and received messages go to the accounts that receive from their
// handset only when HttpReceive is 1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "accounts/api_account_store.h"
#include "child_process.h"
#include "client_test_support.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Norvale::OS::LONG;

struct Reply {
  int code = 0;
  std::string body;
};

void SetConfigValue(const std::string& name, const std::string& value) {
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, name, value, false);
  Norvale::OS::RegCloseKey(key);
}

// Waits for the condition, checking every 20 ms, at most `cap`.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds cap = 30s) {
  const auto end = std::chrono::steady_clock::now() + cap;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The established TCP connections whose local port is `port`: the daemon's
// side of its clients' connections.
int EstablishedTo(int port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);
  int count = 0;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "01" && std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port) ++count;
  }
  return count;
}

class HttpEventsTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    queues = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    engine = std::make_unique<TestSupport::QueueSet>(queues->db.Dsn());
    Norvale::CApiAccount shop;
    shop.sName = "shop";
    shop.receivedHandsets = {2};
    key = Norvale::CApiAccountStore().Add(shop);
    Norvale::CApiAccount hooks;
    hooks.sName = "hooks";
    hooks.sReportUrl = "http://127.0.0.1:9/reports";
    hooks.sReceivedUrl = "http://127.0.0.1:9/received";
    hooks.receivedHandsets = {3};
    Norvale::CApiAccountStore().Add(hooks);
  }

  void StartDaemon() {
    daemon = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_HTTP, "--listen", "127.0.0.1", "--port", "0"});
    const std::string marker = "listening on 127.0.0.1:";
    ASSERT_TRUE(daemon->WaitForOutput(marker, 20s)) << daemon->Output();
    const std::string output = daemon->Output();
    port = std::stoi(output.substr(output.find(marker) + marker.size()));
  }

  Reply Get(const std::string& path) const {
    const TestSupport::CommandResult result =
        TestSupport::RunCommand("curl -s -m 90 -o - -w '\\n%{http_code}' -H 'Authorization: Bearer " + key +
                                "' 'http://127.0.0.1:" + std::to_string(port) + path + "'");
    const std::size_t lastLine = result.out.rfind('\n');
    if (result.status != 0 || lastLine == std::string::npos) return {-1, result.out};
    return {std::stoi(result.out.substr(lastLine + 1)), result.out.substr(0, lastLine)};
  }
  Json Inbox(const std::string& query = "") const {
    const Reply reply = Get("/v1/inbox" + query);
    EXPECT_EQ(reply.code, 200) << reply.body;
    const Json body = Json::parse(reply.body, nullptr, false);
    return body.is_object() ? body.value("events", Json::array()) : Json::array();
  }

  // A notification as the engine writes it for a job velquor-http queued.
  void Notify(LONG job, const std::string& account, Norvale::NotificationTypes type, int handset,
              Norvale::SourceTypes source = Norvale::stHttpApi) const {
    engine->notifications.InsertJob(job, type, "+4915112345678", Norvale::jtTextMessage, "hello",
                                    static_cast<Norvale::Handsets>(handset), type == Norvale::ntDeliveryFailure ? 7 : 0,
                                    "2026-12-09T16:48:40Z",
                                    type == Norvale::ntDeliveryFailure ? Norvale::jsDeliveryFailed : Norvale::jsSent,
                                    Norvale::CMessageEndpoint(source, account, ""));
  }
  LONG Count(const std::string& sql) const { return queues->db.Value(sql, "N").ToLong(); }
  LONG Notifications() const { return Count("SELECT COUNT(*) AS N FROM SMSNotifications"); }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::QueueSet> engine;
  std::unique_ptr<TestSupport::ChildProcess> daemon;
  int port = 0;
  std::string key;
};

TEST_P(HttpEventsTest, ReportsReachTheInboxOrTheOutboxOnce) {
  StartDaemon();
  const long long now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  queues->db.Run(
      "INSERT INTO HttpJobs (JobId, Account, ClientRef, CallbackKind, DlrMask, Created) VALUES (7, "
      "'shop', 'order-7', 0, 0, " +
      std::to_string(now) + ")");
  // Kannel's dlr-url, asking for delivered (1) only.
  queues->db.Run(
      "INSERT INTO HttpJobs (JobId, Account, CallbackUrl, CallbackKind, DlrMask, Created) VALUES (11, "
      "'shop', 'http://127.0.0.1:9/dlr', 1, 1, " +
      std::to_string(now) + ")");
  Notify(7, "shop", Norvale::ntDeliveryReport, 2);
  Notify(8, "shop", Norvale::ntDeliveryFailure, 1);
  Notify(9, "hooks", Norvale::ntMessageSent, 1);
  Notify(11, "shop", Norvale::ntMessageSent, 1);
  Notify(11, "shop", Norvale::ntDeliveryReport, 1);
  Notify(12, "shop", Norvale::ntDeliveryReport, 1, static_cast<Norvale::SourceTypes>(1));  // another reader's
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 1; })) << daemon->Output();
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSNotifications WHERE OriginalId=12"), 1);

  const Json events = Inbox();
  ASSERT_EQ(events.size(), 2u) << events.dump();
  const Json& delivered = events[0];
  EXPECT_EQ(delivered.at("type"), "report");
  EXPECT_GT(delivered.at("event_id").get<long long>(), 0);
  EXPECT_EQ(delivered.at("id"), 7);
  EXPECT_EQ(delivered.at("client_ref"), "order-7");
  EXPECT_EQ(delivered.at("notification"), "delivered");
  EXPECT_EQ(delivered.at("status"), 2);
  EXPECT_EQ(delivered.at("name"), "sent");
  EXPECT_EQ(delivered.at("to"), "+4915112345678");
  EXPECT_EQ(delivered.at("handset"), 2);
  EXPECT_EQ(delivered.at("error_code"), 0);
  EXPECT_EQ(delivered.at("time"), "2026-12-09T16:48:40.000Z");
  EXPECT_EQ(events[1].at("id"), 8);
  EXPECT_EQ(events[1].at("notification"), "delivery_failed");
  EXPECT_EQ(events[1].at("client_ref"), nullptr);
  EXPECT_EQ(events[1].at("error_code"), 7);
  EXPECT_EQ(events[1].at("name"), "delivery_failed");
  EXPECT_TRUE(Inbox().empty());  // taken once
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM HttpEvents"), 0);

  // The account with a ReportUrl: a signed POST in the outbox, due now.
  ASSERT_EQ(Count("SELECT COUNT(*) AS N FROM WebhookOutbox WHERE Account='hooks'"), 1);
  Norvale::OS::Connection c;
  c.Open("Data Source=" + queues->db.Dsn(), "", "");
  Norvale::OS::_variant_t affected;
  auto row = c.Execute("SELECT * FROM WebhookOutbox WHERE Account='hooks'", &affected, Norvale::OS::adCmdText);
  EXPECT_EQ(row->GetFieldValue("Url").ToString(), "http://127.0.0.1:9/reports");
  EXPECT_EQ(row->GetFieldValue("Method").ToString(), "POST");
  EXPECT_EQ(row->GetFieldValue("Signed").ToLong(), 1);
  // Due at once: the daemon's sender may already have tried it (nothing
  // listens on port 9) and moved its next attempt on.
  EXPECT_GE(row->GetFieldValue("FirstQueued").ToLongLong(), now);
  EXPECT_LE(row->GetFieldValue("FirstQueued").ToLongLong(), now + 60000);
  const Json body = Json::parse(row->GetFieldValue("Body").ToString());
  EXPECT_EQ(body.at("event_id").get<long long>(), row->GetFieldValue("Id").ToLongLong());
  EXPECT_EQ(body.at("id"), 9);
  EXPECT_EQ(body.at("notification"), "sent");
  // Kannel's dlr-url: one unsigned GET, for the delivery only (the mask).
  row = c.Execute("SELECT * FROM WebhookOutbox WHERE Account='shop'", &affected, Norvale::OS::adCmdText);
  ASSERT_EQ(row->RecordCount(), 1u);
  EXPECT_EQ(row->GetFieldValue("Method").ToString(), "GET");
  EXPECT_EQ(row->GetFieldValue("Signed").ToLong(), 0);
  EXPECT_EQ(row->GetFieldValue("Url").ToString(), "http://127.0.0.1:9/dlr");
}

TEST_P(HttpEventsTest, AnAccountMadeWhileRunningHasItsReportsPostedAtOnce) {
  StartDaemon();
  // Let the daemon read the accounts it knows, then add one with a webhook.
  ASSERT_TRUE(Inbox().empty());
  Norvale::CApiAccount late;
  late.sName = "late";
  late.sReportUrl = "http://127.0.0.1:9/late";
  Norvale::CApiAccountStore().Add(late);
  Notify(21, "late", Norvale::ntDeliveryReport, 1);
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 0; })) << daemon->Output();
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM WebhookOutbox WHERE Account='late'"), 1);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM HttpEvents"), 0);
}

TEST_P(HttpEventsTest, TheInboxFiltersByHandsetAndLongPollsWait) {
  StartDaemon();
  Notify(1, "shop", Norvale::ntDeliveryReport, 1);
  Notify(2, "shop", Norvale::ntDeliveryReport, 2);
  Notify(3, "shop", Norvale::ntDeliveryReport, 2);
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 0; })) << daemon->Output();
  Json events = Inbox("?handset=2&limit=1");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("id"), 2);
  events = Inbox("?handset=2");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("id"), 3);
  EXPECT_TRUE(Inbox("?handset=2").empty());
  events = Inbox();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("id"), 1);

  for (const char* bad : {"abc", "61s", "-1", "1h", "5%20s", ""}) {
    const Reply refused = Get(std::string("/v1/inbox?wait=") + bad);
    EXPECT_EQ(refused.code, 400) << bad;
    EXPECT_EQ(Json::parse(refused.body).value("field", ""), "wait") << bad;
  }
  for (const char* bad : {"handset=0", "handset=9", "limit=0", "limit=1001", "limit=x"}) {
    const Reply refused = Get(std::string("/v1/inbox?") + bad);
    EXPECT_EQ(refused.code, 400) << bad;
    EXPECT_EQ(Json::parse(refused.body).value("field", ""), std::string(bad).substr(0, std::string(bad).find('=')));
  }

  // An empty inbox: the answer comes at the end of the wait, empty.
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Inbox("?wait=700ms").empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 650ms);

  // An event arriving while the poll waits ends the wait.
  Reply polled;
  start = std::chrono::steady_clock::now();
  std::thread poll([&] { polled = Get("/v1/inbox?wait=40s&handset=1"); });
  ASSERT_TRUE(WaitFor([&] { return EstablishedTo(port) == 1; }));
  Notify(4, "shop", Norvale::ntDeliveryReport, 2);  // another handset: the poll waits on
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 0; }));
  Notify(5, "shop", Norvale::ntMessageSent, 1);
  poll.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 35s);
  ASSERT_EQ(polled.code, 200) << polled.body;
  events = Json::parse(polled.body).at("events");
  ASSERT_EQ(events.size(), 1u) << polled.body;
  EXPECT_EQ(events[0].at("id"), 5);
  EXPECT_EQ(Inbox().size(), 1u);  // the other handset's
}

TEST_P(HttpEventsTest, LongPollsHoldNoServerThread) {
  StartDaemon();
  constexpr int kPolls = 20;
  std::vector<std::thread> polls;
  std::atomic<int> answered{0};
  std::mutex mutex;
  std::multiset<int> ids;
  for (int i = 0; i < kPolls; ++i)
    polls.emplace_back([&] {
      const Reply r = Get("/v1/inbox?wait=60s&limit=1");
      ++answered;
      const Json body = Json::parse(r.body, nullptr, false);
      const std::lock_guard<std::mutex> lock(mutex);
      if (r.code == 200 && body.is_object())
        for (const Json& event : body.at("events")) ids.insert(event.at("id").get<int>());
    });
  ASSERT_TRUE(WaitFor([&] { return EstablishedTo(port) >= kPolls; }));
  // The server has four threads: were the polls holding them, these would
  // wait for the polls' end.
  for (int i = 0; i < 3; ++i) {
    const Reply health = Get("/health");
    EXPECT_EQ(health.code, 200);
    const TestSupport::CommandResult sent =
        TestSupport::RunCommand("curl -s -m 90 -o /dev/null -w '%{http_code}' -H 'Authorization: Bearer " + key +
                                "' -H 'Content-Type: application/json' --data '{\"to\": \"+49\", \"text\": \"x\"}' "
                                "'http://127.0.0.1:" +
                                std::to_string(port) + "/v1/messages'");
    EXPECT_EQ(sent.out, "201");
  }
  EXPECT_EQ(answered.load(), 0);
  // Reports for the account end the waits, one each.
  const auto start = std::chrono::steady_clock::now();
  for (int job = 1; job <= kPolls; ++job) Notify(job, "shop", Norvale::ntDeliveryReport, 1);
  for (auto& poll : polls) poll.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 50s);
  EXPECT_EQ(answered.load(), kPolls);
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kPolls));
  EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), static_cast<std::size_t>(kPolls));
}

TEST_P(HttpEventsTest, SigtermEndsTheDaemonWithLongPollsWaiting) {
  StartDaemon();
  std::vector<std::thread> polls;
  std::atomic<int> answered{0};
  for (int i = 0; i < 5; ++i)
    polls.emplace_back([&] {
      Get("/v1/inbox?wait=60s");
      ++answered;
    });
  ASSERT_TRUE(WaitFor([&] { return EstablishedTo(port) >= 5; }));
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(20s), 0) << daemon->Output();
  for (auto& poll : polls) poll.join();
  EXPECT_EQ(answered.load(), 5);
}

TEST_P(HttpEventsTest, AKillWhileTakingNeitherLosesNorDoublesAnEvent) {
  constexpr int kEvents = 3000;
  queues->db.Run("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kEvents) +
                 ") INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, "
                 "ErrorCode, TmStamp, JobStatus, SourceType, SourceId, SourceName) SELECT i, i, 0, '+49', 1, 'x', 1, "
                 "0, ' ', 2, 10, 'shop', ' ' FROM n");
  StartDaemon();
  ASSERT_TRUE(WaitFor([&] { return Notifications() < kEvents; }, 60s)) << daemon->Output();
  daemon->Signal(SIGKILL);
  daemon->Wait(20s);
  const LONG left = Notifications();
  const LONG inbox = Count("SELECT COUNT(*) AS N FROM HttpEvents");
  EXPECT_EQ(left + inbox, kEvents);
  // No job in both places.
  Norvale::OS::Connection c;
  c.Open("Data Source=" + queues->db.Dsn(), "", "");
  Norvale::OS::_variant_t affected;
  std::multiset<LONG> seen;
  for (auto rs = c.Execute("SELECT OriginalId FROM SMSNotifications", &affected, Norvale::OS::adCmdText);
       rs && !rs->adoEOF(); rs->MoveNext())
    seen.insert(rs->GetFieldValue("OriginalId").ToLong());
  for (auto rs = c.Execute("SELECT Body FROM HttpEvents", &affected, Norvale::OS::adCmdText); rs && !rs->adoEOF();
       rs->MoveNext())
    seen.insert(Json::parse(rs->GetFieldValue("Body").ToString()).at("id").get<LONG>());
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kEvents));
  EXPECT_EQ(std::set<LONG>(seen.begin(), seen.end()).size(), static_cast<std::size_t>(kEvents));
  // Started again, it takes the rest.
  StartDaemon();
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 0; }, 60s)) << daemon->Output();
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM HttpEvents"), kEvents);
}

TEST_P(HttpEventsTest, ReceivedMessagesGoToTheAccountsOfTheirHandsetWithHttpReceive) {
  // HttpReceive unset: received messages are another application's.
  for (int handset = 1; handset <= 3; ++handset)
    engine->incoming.StoreMessage("+4917" + std::to_string(handset), Norvale::jtTextMessage, "hi there", handset,
                                  "2026-12-09T16:48:40Z", Norvale::CMessageEndpoint());
  StartDaemon();
  Notify(1, "shop", Norvale::ntMessageSent, 1);  // the pump's round is over once this is taken
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 0; })) << daemon->Output();
  ASSERT_EQ(Inbox().size(), 1u);
  std::this_thread::sleep_for(300ms);  // a few more rounds
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSIncoming"), 3);
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(20s), 0);

  SetConfigValue("HttpReceive", "1");
  engine->incoming.StoreMessage("+4917", Norvale::jtUnicodeMessage, "00480069", 2, "2026-12-09T16:48:41Z",
                                Norvale::CMessageEndpoint());
  StartDaemon();
  // Handset 1: nobody receives from it; 2: shop's inbox; 3: hooks' ReceivedUrl.
  ASSERT_TRUE(WaitFor([&] { return Count("SELECT COUNT(*) AS N FROM SMSIncoming") == 1; })) << daemon->Output();
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSIncoming WHERE Handset=1"), 1);
  const Json events = Inbox();
  ASSERT_EQ(events.size(), 2u) << events.dump();
  EXPECT_EQ(events[0].at("type"), "received");
  EXPECT_EQ(events[0].at("from"), "+49172");
  EXPECT_EQ(events[0].at("text"), "hi there");
  EXPECT_EQ(events[0].at("handset"), 2);
  EXPECT_EQ(events[0].at("time"), "2026-12-09T16:48:40.000Z");
  EXPECT_EQ(events[1].at("unicode_hex"), "00480069");
  EXPECT_FALSE(events[1].contains("text"));
  Norvale::OS::Connection c;
  c.Open("Data Source=" + queues->db.Dsn(), "", "");
  Norvale::OS::_variant_t affected;
  const auto row = c.Execute("SELECT * FROM WebhookOutbox", &affected, Norvale::OS::adCmdText);
  ASSERT_EQ(row->RecordCount(), 1u);
  EXPECT_EQ(row->GetFieldValue("Account").ToString(), "hooks");
  EXPECT_EQ(row->GetFieldValue("Url").ToString(), "http://127.0.0.1:9/received");
  const Json body = Json::parse(row->GetFieldValue("Body").ToString());
  EXPECT_EQ(body.at("from"), "+49173");
  EXPECT_EQ(body.at("handset"), 3);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpEventsTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
