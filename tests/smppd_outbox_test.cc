// velquor-smppd's way back to its clients, in process over real SQLite and
// PostgreSQL queues: the DeliveryPump turns the notifications of its jobs
// into receipts and the received messages of the handsets its accounts'
// rules name into deliver_sm, in SmppOutbox, in the transaction that takes
// them; the OutboxDeliverer offers them to the accounts with a receiver
// bound (a fake sink stands for the binds) and deletes them only on ESME_ROK.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "client_test_support.h"
#include "codec/hex.h"
#include "delivery_pump.h"
#include "fault_injection_database.h"
#include "outbox_deliverer.h"
#include "queue_test_support.h"
#include "server_test_support.h"
#include "smpp/delivery_receipt.h"
#include "smpp_database.h"
#include "smpp_schema.h"
#include "smppd_test_support.h"

namespace {

using namespace std::chrono_literals;
using Norvale::OS::LONG;

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds cap = 30s) {
  const auto end = std::chrono::steady_clock::now() + cap;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

struct OutboxRow {
  std::int64_t id = 0;
  std::string systemId, sourceAddr, destAddr, text, receiptedId;
  int kind = 0, esmClass = 0, dataCoding = 0, messageState = 0, attempts = 0;
  std::int64_t jobId = 0, nextAttempt = 0;
};

// The binds, as the deliverer sees them: accounts with a receiver, and room
// for `room` unanswered deliver_sm in all.
class FakeSink : public VelquorSmpp::DeliverySink {
 public:
  bool HasReceiver(const std::string& account) const override {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Receivers.count(account) != 0;
  }
  bool Offer(const VelquorSmpp::OutboxDelivery& delivery) override {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    EXPECT_EQ(m_Receivers.count(delivery.sSystemId), 1u) << delivery.sSystemId;
    if (m_Room == 0) return false;
    --m_Room;
    m_Offered.push_back(delivery);
    return true;
  }
  void SetReceiver(const std::string& account, bool bound) {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    if (bound)
      m_Receivers.insert(account);
    else
      m_Receivers.erase(account);
  }
  void AddRoom(std::size_t n) {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_Room += n;
  }
  std::vector<VelquorSmpp::OutboxDelivery> Offered() const {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Offered;
  }

 private:
  mutable std::mutex m_Mutex;
  std::set<std::string> m_Receivers;
  std::size_t m_Room = 1000;
  std::vector<VelquorSmpp::OutboxDelivery> m_Offered;
};

class SmppdOutboxTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    queues = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    engine = std::make_unique<TestSupport::QueueSet>(queues->db.Dsn());
    for (const std::string& statement : VelquorSmpp::SmppSchemaStatements(GetParam() == TestSupport::Backend::Postgres))
      queues->db.Run(statement);
  }

  void Job(LONG id, int registeredDelivery, const std::string& account = "acme") const {
    queues->db.Run(
        "INSERT INTO SmppJobs (Id, SystemId, SourceAddr, DestAddr, RegisteredDelivery, SubmitTime, "
        "TextStart) VALUES (" +
        std::to_string(id) + ", '" + account + "', '4930111', '+4915112345', " + std::to_string(registeredDelivery) +
        ", 1796834920123, 'Hello number " + std::to_string(id) + "')");
  }
  void Notify(LONG job, Norvale::NotificationTypes type, Norvale::EnumJobStatus status, LONG error = 0,
              Norvale::SourceTypes source = Norvale::stSmppServer) const {
    engine->notifications.InsertJob(job, type, "+4915112345", Norvale::jtTextMessage, "Hello", Norvale::hsHandset1,
                                    error, "2026-12-09T16:50:00Z", status,
                                    Norvale::CMessageEndpoint(source, "acme", ""));
  }
  LONG Count(const std::string& sql) const { return queues->db.Value(sql, "N").ToLong(); }
  LONG Notifications() const { return Count("SELECT COUNT(*) AS N FROM SMSNotifications"); }

  std::vector<OutboxRow> Outbox() const {
    Norvale::OS::Connection c;
    c.Open("Data Source=" + queues->db.Dsn(), "", "");
    Norvale::OS::_variant_t affected;
    std::vector<OutboxRow> rows;
    for (auto rs = c.Execute("SELECT * FROM SmppOutbox ORDER BY Id", &affected, Norvale::OS::adCmdText);
         rs && !rs->adoEOF(); rs->MoveNext()) {
      OutboxRow r;
      r.id = rs->GetFieldValue("Id").ToLongLong();
      r.systemId = rs->GetFieldValue("SystemId").ToString();
      r.kind = rs->GetFieldValue("Kind").ToLong();
      r.jobId = rs->GetFieldValue("JobId").ToLongLong();
      r.sourceAddr = rs->GetFieldValue("SourceAddr").ToString();
      r.destAddr = rs->GetFieldValue("DestAddr").ToString();
      r.esmClass = rs->GetFieldValue("EsmClass").ToLong();
      r.dataCoding = rs->GetFieldValue("DataCoding").ToLong();
      r.text = rs->GetFieldValue("ShortMessage").ToString();
      r.receiptedId = rs->GetFieldValue("ReceiptedId").ToString();
      r.messageState = rs->GetFieldValue("MessageState").ToLong();
      r.attempts = rs->GetFieldValue("Attempts").ToLong();
      r.nextAttempt = rs->GetFieldValue("NextAttempt").ToLongLong();
      rows.push_back(r);
    }
    return rows;
  }
  static std::string Text(const OutboxRow& row) {
    const auto octets = Norvale::Sms::FromHex(row.text);
    return {octets.begin(), octets.end()};
  }
  void AddEntry(const std::string& account, const std::string& text, std::int64_t nextAttempt = 0) const {
    queues->db.Run(
        "INSERT INTO SmppOutbox (SystemId, Kind, JobId, SourceAddr, DestAddr, EsmClass, DataCoding, ShortMessage, "
        "ReceiptedId, MessageState, Attempts, NextAttempt, Created) VALUES ('" +
        account + "', 2, 0, '+4917', '4930', 0, 0, '" +
        Norvale::Sms::ToHex(std::vector<std::uint8_t>(text.begin(), text.end())) + "', '', 0, 0, " +
        std::to_string(nextAttempt) + ", 0)");
  }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<TestSupport::QueueSet> engine;
  Norvale::CApiAccountStore accounts;
};

TEST_P(SmppdOutboxTest, FinalOutcomesBecomeReceiptsAsRegisteredDeliveryAsks) {
  Job(101, 1);  // delivered, receipt on any outcome
  Job(102, 1);  // not delivered
  Job(103, 2);  // delivered, receipt on failure only: none
  Job(104, 2);  // timed out before sending: EXPIRED
  Job(105, 0);  // no receipt
  Job(106, 1);  // sent, report to come: nothing yet
  Job(107, 1);  // refused number: REJECTD
  Notify(101, Norvale::ntDeliveryReport, Norvale::jsSent);
  Notify(102, Norvale::ntDeliveryFailure, Norvale::jsDeliveryFailed, 69);
  Notify(103, Norvale::ntDeliveryReport, Norvale::jsSent);
  Notify(104, Norvale::ntSendFailure, Norvale::jsErrTimeout, 7);
  Notify(105, Norvale::ntDeliveryReport, Norvale::jsSent);
  Notify(106, Norvale::ntMessageSent, Norvale::jsSentNotConfirmed);
  Notify(107, Norvale::ntSendFailure, Norvale::jsErrNumberInvalid, 3);
  Notify(108, Norvale::ntDeliveryReport, Norvale::jsSent);                         // no SmppJobs row: dropped
  Notify(109, Norvale::ntDeliveryReport, Norvale::jsSent, 0, Norvale::stHttpApi);  // not ours
  int written = 0;
  std::mutex mutex;
  {
    VelquorSmpp::SmppDatabase database;
    VelquorSmpp::DeliveryPump pump(database, accounts, [&] {
      const std::lock_guard<std::mutex> lock(mutex);
      ++written;
    });
    ASSERT_TRUE(WaitFor([&] { return Notifications() == 1; }));
  }
  EXPECT_GE(written, 1);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSNotifications WHERE OriginalId=109"), 1);
  // Only the job whose outcome is still to come keeps its record.
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SmppJobs"), 1);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SmppJobs WHERE Id=106"), 1);

  const auto rows = Outbox();
  ASSERT_EQ(rows.size(), 4u);
  std::map<std::int64_t, OutboxRow> byJob;
  for (const auto& r : rows) byJob[r.jobId] = r;
  ASSERT_EQ(byJob.size(), 4u);
  for (const auto& [job, r] : byJob) {
    EXPECT_EQ(r.systemId, "acme");
    EXPECT_EQ(r.kind, 1);
    EXPECT_EQ(r.esmClass, 0x04);
    EXPECT_EQ(r.dataCoding, 0);
    EXPECT_EQ(r.sourceAddr, "+4915112345");  // the submit's destination
    EXPECT_EQ(r.destAddr, "4930111");        // the submit's source
    EXPECT_EQ(r.receiptedId, std::to_string(job));
    EXPECT_EQ(r.attempts, 0);
  }
  auto receipt = Norvale::Smpp::ParseDeliveryReceipt(Text(byJob.at(101)));
  ASSERT_TRUE(receipt) << Text(byJob.at(101));
  EXPECT_EQ(*receipt, (Norvale::Smpp::DeliveryReceipt{"101", "001", "001", "2612091648", "2612091650", "DELIVRD", "000",
                                                      "Hello number 101"}));
  EXPECT_EQ(byJob.at(101).messageState, 2);
  receipt = Norvale::Smpp::ParseDeliveryReceipt(Text(byJob.at(102)));
  EXPECT_EQ(receipt->sStat, "UNDELIV");
  EXPECT_EQ(receipt->sDlvrd, "000");
  EXPECT_EQ(receipt->sErr, "069");
  EXPECT_EQ(byJob.at(102).messageState, 5);
  EXPECT_EQ(Norvale::Smpp::ParseDeliveryReceipt(Text(byJob.at(104)))->sStat, "EXPIRED");
  EXPECT_EQ(byJob.at(104).messageState, 3);
  EXPECT_EQ(Norvale::Smpp::ParseDeliveryReceipt(Text(byJob.at(107)))->sStat, "REJECTD");
  EXPECT_EQ(byJob.at(107).messageState, 8);

  // The report that was still to come.
  Notify(106, Norvale::ntDeliveryReport, Norvale::jsSent);
  VelquorSmpp::SmppDatabase database;
  VelquorSmpp::DeliveryPump pump(database, accounts, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Count("SELECT COUNT(*) AS N FROM SmppJobs") == 0; }));
  ASSERT_TRUE(WaitFor([&] { return Outbox().size() == 5; }));
  EXPECT_EQ(Outbox().back().jobId, 106);
  EXPECT_EQ(Outbox().back().messageState, 2);
}

// A batch is taken and written in one transaction: a failure in the middle
// of writing leaves every notification in the queue and no receipt, and the
// next try writes each receipt once.
TEST_P(SmppdOutboxTest, AFailureWhileWritingUndoesTheWholeBatchAndNothingIsDoubled) {
  for (LONG job = 201; job <= 203; ++job) {
    Job(job, 1);
    Notify(job, Norvale::ntDeliveryReport, Norvale::jsSent);
  }
  TestSupport::FaultInjectionDatabase faults;
  faults.Fail("INSERT INTO SmppOutbox", Norvale::OS::E_FAIL, 1, 1);  // the second receipt
  faults.Fail("DELETE FROM SmppJobs", Norvale::OS::E_FAIL, 1, 3);    // the third job's record, next round
  VelquorSmpp::SmppDatabase database;
  VelquorSmpp::DeliveryPump pump(database, accounts, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Notifications() == 0; }));
  EXPECT_EQ(faults.Injected(), 2);
  const auto rows = Outbox();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].jobId, 201);
  EXPECT_EQ(rows[1].jobId, 202);
  EXPECT_EQ(rows[2].jobId, 203);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SmppJobs"), 0);
}

TEST_P(SmppdOutboxTest, ReceivedMessagesGoToTheFirstAccountWhoseRuleMatches) {
  auto add = [&](const std::string& name, std::vector<std::string> rules) {
    Norvale::CApiAccount a;
    a.sName = name;
    a.smppReceive = std::move(rules);
    accounts.Add(a);
  };
  add("acme", {"to:+4917*"});
  add("mid", {"handset:3"});
  add("zeta", {"handset:1", "handset:3"});
  const Norvale::CMessageEndpoint none;
  engine->incoming.StoreMessage("+4412", Norvale::jtTextMessage, "hi {you}", 1, "2026-12-09T16:48:40Z",
                                Norvale::CMessageEndpoint(Norvale::stUnspecified, "", "+4917000"));
  engine->incoming.StoreMessage("+4413", Norvale::jtTextMessage, "\xD0\x96!", 1, "2026-12-09T16:48:41Z",
                                Norvale::CMessageEndpoint(Norvale::stUnspecified, "", "+4916000"));
  engine->incoming.StoreMessage("+4414", Norvale::jtDataMessage,
                                Norvale::CJobQueue::EncodeDataMessage("CAFE", "050415810000", 0xF5), 3,
                                "2026-12-09T16:48:42Z", none);
  engine->incoming.StoreMessage("+4415", Norvale::jtUnicodeMessage, "00480069", 1, "2026-12-09T16:48:43Z", none);
  engine->incoming.StoreMessage("+4416", Norvale::jtTextMessage, "not ours", 2, "2026-12-09T16:48:44Z",
                                Norvale::CMessageEndpoint(Norvale::stUnspecified, "", "+4917000"));
  VelquorSmpp::SmppDatabase database;
  VelquorSmpp::DeliveryPump pump(database, accounts, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Count("SELECT COUNT(*) AS N FROM SMSIncoming") == 1; }));
  // Handset 2 is named by no handset rule: its message stays for others,
  // though acme's "to:" rule would match it.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSIncoming WHERE Handset=2"), 1);
  const auto rows = Outbox();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].systemId, "acme");
  EXPECT_EQ(rows[0].kind, 2);
  EXPECT_EQ(rows[0].sourceAddr, "+4412");
  EXPECT_EQ(rows[0].destAddr, "+4917000");
  EXPECT_EQ(rows[0].esmClass, 0);
  EXPECT_EQ(rows[0].dataCoding, 0);
  EXPECT_EQ(rows[0].text, "6869201B28796F751B29");  // septets, '{' and '}' escaped
  EXPECT_EQ(rows[0].receiptedId, "");
  EXPECT_EQ(rows[0].messageState, 0);
  EXPECT_EQ(rows[1].systemId, "zeta");
  EXPECT_EQ(rows[1].dataCoding, 8);
  EXPECT_EQ(rows[1].text, "04160021");
  EXPECT_EQ(rows[2].systemId, "mid");
  EXPECT_EQ(rows[2].esmClass, 0x40);
  EXPECT_EQ(rows[2].dataCoding, 0xF5);
  EXPECT_EQ(rows[2].text, "06050415810000CAFE");
  EXPECT_EQ(rows[2].destAddr, "");
  EXPECT_EQ(rows[3].systemId, "zeta");
  EXPECT_EQ(rows[3].dataCoding, 8);
  EXPECT_EQ(rows[3].text, "00480069");
}

TEST_P(SmppdOutboxTest, TheDelivererOffersToBoundAccountsInOrderAndDeletesOnlyOnSuccess) {
  for (int i = 1; i <= 3; ++i) AddEntry("acme", "a" + std::to_string(i));
  AddEntry("other", "o1");
  FakeSink sink;
  sink.SetReceiver("acme", true);
  VelquorSmpp::SmppDatabase database;
  VelquorSmpp::OutboxDeliverer deliverer(database, sink);
  ASSERT_TRUE(WaitFor([&] { return sink.Offered().size() == 3; }));
  std::this_thread::sleep_for(300ms);
  auto offered = sink.Offered();
  ASSERT_EQ(offered.size(), 3u);  // nothing twice while in flight, nothing of "other"
  std::vector<std::int64_t> ids;
  for (const auto& d : offered) {
    EXPECT_EQ(d.sSystemId, "acme");
    ids.push_back(d.nOutboxId);
  }
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  const std::string first(offered[0].body.ShortMessage.begin(), offered[0].body.ShortMessage.end());
  EXPECT_EQ(first, "a1");
  EXPECT_EQ(offered[0].body.sSourceAddr, "4917");
  EXPECT_EQ(offered[0].body.nSourceTon, 1);
  EXPECT_EQ(offered[0].body.sDestinationAddr, "4930");

  deliverer.Answered(ids[0], true);
  deliverer.Answered(ids[1], false);
  const auto before =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  ASSERT_TRUE(WaitFor([&] { return Outbox().size() == 3 && Outbox()[0].attempts == 1; }));
  auto rows = Outbox();
  EXPECT_EQ(rows[0].id, ids[1]);
  EXPECT_GE(rows[0].nextAttempt, before + 900);  // a second's back-off
  EXPECT_EQ(deliverer.Delivered(), 1u);
  // Offered again after its back-off.
  ASSERT_TRUE(WaitFor([&] { return sink.Offered().size() == 4; }, 10s));
  EXPECT_EQ(sink.Offered().back().nOutboxId, ids[1]);
  deliverer.Answered(ids[1], true);
  deliverer.Answered(ids[2], true);
  ASSERT_TRUE(WaitFor([&] { return Outbox().size() == 1; }));
  EXPECT_EQ(Outbox()[0].systemId, "other");
  ASSERT_TRUE(WaitFor([&] { return deliverer.Depth("other") == 1 && deliverer.Depth("acme") == 0; }));

  // A receiver of "other" binds: its entry goes at once.
  sink.SetReceiver("other", true);
  deliverer.ReceiverBound("other");
  ASSERT_TRUE(WaitFor([&] { return sink.Offered().size() == 5; }, 5s));
  EXPECT_EQ(sink.Offered().back().sSystemId, "other");
}

TEST_P(SmppdOutboxTest, AFullWindowStopsTheOffersAndAnswersAndBindsResumeThem) {
  for (int i = 1; i <= 5; ++i) AddEntry("acme", "m" + std::to_string(i));
  VelquorSmpp::SmppDatabase database;
  // A bind with room for two unanswered deliver_sm.
  struct Windowed : VelquorSmpp::DeliverySink {
    std::mutex mutex;
    std::size_t room = 2;
    std::vector<std::int64_t> offered;
    bool HasReceiver(const std::string&) const override { return true; }
    bool Offer(const VelquorSmpp::OutboxDelivery& d) override {
      const std::lock_guard<std::mutex> lock(mutex);
      if (room == 0) return false;
      --room;
      offered.push_back(d.nOutboxId);
      return true;
    }
    std::vector<std::int64_t> Offered() {
      const std::lock_guard<std::mutex> lock(mutex);
      return offered;
    }
    void Free() {
      const std::lock_guard<std::mutex> lock(mutex);
      ++room;
    }
  } windowed;
  VelquorSmpp::OutboxDeliverer narrow(database, windowed);
  ASSERT_TRUE(WaitFor([&] { return windowed.Offered().size() == 2; }));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(windowed.Offered().size(), 2u);
  // A bind that ends unanswered: both come back, after their back-off or at
  // once when a receiver binds again.
  // The window opens only after the answers and the new bind, as a bind's
  // would: otherwise the next entries could take the room first.
  narrow.Answered(windowed.Offered()[0], false);
  narrow.Answered(windowed.Offered()[1], false);
  ASSERT_TRUE(WaitFor([&] { return Count("SELECT COUNT(*) AS N FROM SmppOutbox WHERE Attempts>0") == 2; }));
  narrow.ReceiverBound("acme");
  windowed.Free();
  windowed.Free();
  ASSERT_TRUE(WaitFor([&] { return windowed.Offered().size() == 4; }, 5s));
  const auto offered = windowed.Offered();
  EXPECT_EQ(offered[2], offered[0]);  // oldest first again
  EXPECT_EQ(offered[3], offered[1]);
  // Answered as they come: each of the five goes once more, in order.
  std::set<std::int64_t> answered;
  std::vector<std::int64_t> order;
  ASSERT_TRUE(WaitFor([&] {
    const auto all = windowed.Offered();
    for (std::size_t i = 2; i < all.size(); ++i)
      if (answered.insert(all[i]).second) {
        order.push_back(all[i]);
        windowed.Free();
        narrow.Answered(all[i], true);
      }
    return Outbox().empty();
  }));
  EXPECT_EQ(order.size(), 5u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(narrow.Delivered(), 5u);
}

// End to end: velquor-server with a simulator handset, velquor-smppd, and
// test clients bound to it.
class SmppdReceiptsTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    daemon = std::make_unique<TestSupport::SmppDaemon>(GetParam());
    root = std::make_unique<TestSupport::EngineRoot>(daemon->Db().Dsn());
    root->AddSimulator(1, {{"AutoReply", "echo"}, {"ReplyDelay", "20"}});
    daemon->AddAccount("acme", "secret1");
    daemon->AddAccount("inbox", "secret2", [](Norvale::CApiAccount& a) { a.smppReceive = {"handset:1"}; });
    engine = std::make_unique<TestSupport::ServerProcess>(*root);
    ASSERT_TRUE(engine->StartAndWait()) << engine->Errors();
    ASSERT_TRUE(daemon->Start()) << daemon->Output();
  }
  using Kind = Norvale::Smpp::ECommandId;
  static std::string ShortMessage(const Norvale::Smpp::Pdu& pdu) {
    const auto& body = std::get<Norvale::Smpp::ShortMessageBody>(pdu.Body);
    return {body.ShortMessage.begin(), body.ShortMessage.end()};
  }
  static const Norvale::Smpp::ShortMessageBody& Body(const Norvale::Smpp::Pdu& pdu) {
    return std::get<Norvale::Smpp::ShortMessageBody>(pdu.Body);
  }
  // Waits until the client has `count` deliver_sm, reading in short steps
  // (a read runs to its limit once it has answered a deliver_sm itself).
  static bool Deliveries(TestSupport::SmppTestClient& client, std::size_t count, std::chrono::milliseconds cap = 30s) {
    return WaitFor([&] { return client.WaitDelivered(count, 100ms); }, cap);
  }
  // The message_id of each receipt among the client's deliver_sm.
  static std::vector<std::string> Receipted(const TestSupport::SmppTestClient& client) {
    std::vector<std::string> ids;
    for (const auto& pdu : client.Delivered())
      if (Body(pdu).nEsmClass == Norvale::Smpp::kEsmTypeReceipt)
        ids.push_back(Body(pdu).sReceiptedMessageId.value_or(""));
    return ids;
  }

  std::unique_ptr<TestSupport::SmppDaemon> daemon;
  std::unique_ptr<TestSupport::EngineRoot> root;
  std::unique_ptr<TestSupport::ServerProcess> engine;
};

TEST_P(SmppdReceiptsTest, AReceiptReachesTheTransceiverAndWaitsForALaterBindWhenNoneIsBound) {
  auto client = daemon->Client(Kind::BindTransceiver, "acme", "secret1");
  const auto answer = client->SubmitOne(TestSupport::SmppTest::TextSubmit("+4915112345", "Hello receipt", 1));
  ASSERT_EQ(answer.nStatus, Norvale::Smpp::ESME_ROK) << daemon->Output();
  // The echo of the simulator comes back on handset 1: inbox's, not acme's.
  ASSERT_TRUE(Deliveries(*client, 1)) << daemon->Output();
  const auto& receipt = client->Delivered().front();
  EXPECT_EQ(Body(receipt).nEsmClass, Norvale::Smpp::kEsmTypeReceipt);
  EXPECT_EQ(Body(receipt).sReceiptedMessageId, answer.sMessageId);
  EXPECT_EQ(Body(receipt).nMessageState, 2);
  EXPECT_EQ(Body(receipt).sSourceAddr, "4915112345");
  EXPECT_EQ(Body(receipt).sDestinationAddr, "12345");
  const auto text = Norvale::Smpp::ParseDeliveryReceipt(ShortMessage(receipt));
  ASSERT_TRUE(text) << ShortMessage(receipt);
  EXPECT_EQ(text->sId, answer.sMessageId);
  EXPECT_EQ(text->sStat, "DELIVRD");
  EXPECT_EQ(text->sDlvrd, "001");
  EXPECT_EQ(text->sText, "Hello receipt");
  // (The simulator's echo waits for inbox's receiver meanwhile.)
  ASSERT_TRUE(WaitFor([&] { return daemon->Count("SmppOutbox", "Kind=1") == 0; })) << daemon->Output();
  EXPECT_EQ(daemon->Count("SmppJobs"), 0);

  // No receiver bound: the receipts wait in the outbox.
  EXPECT_EQ(client->Request(Kind::Unbind), Norvale::Smpp::ESME_ROK);
  client.reset();
  auto sender = daemon->Client(Kind::BindTransmitter, "acme", "secret1");
  std::vector<TestSupport::SmppTest::ShortMessageBody> bodies;
  for (int i = 0; i < 3; ++i)
    bodies.push_back(TestSupport::SmppTest::TextSubmit("+491510" + std::to_string(i), "later " + std::to_string(i), 1));
  const auto answers = sender->Submit(bodies, 3);
  std::set<std::string> ids;
  for (const auto& a : answers) {
    ASSERT_EQ(a.nStatus, Norvale::Smpp::ESME_ROK);
    ids.insert(a.sMessageId);
  }
  ASSERT_TRUE(WaitFor([&] { return daemon->Count("SmppOutbox", "Kind=1") == 3; })) << daemon->Output();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(daemon->Count("SmppOutbox", "Kind=1"), 3);
  EXPECT_EQ(daemon->Count("SmppOutbox", "Kind=1 AND Attempts=0"), 3);
  EXPECT_TRUE(sender->Delivered().empty());  // a transmitter gets none
  auto receiver = daemon->Client(Kind::BindReceiver, "acme", "secret1");
  ASSERT_TRUE(Deliveries(*receiver, 3)) << daemon->Output();
  const auto got = Receipted(*receiver);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), ids);
  ASSERT_TRUE(WaitFor([&] { return daemon->Count("SmppOutbox", "Kind=1") == 0; })) << daemon->Output();
}

TEST_P(SmppdReceiptsTest, AReceivedMessageGoesToTheAccountWhoseHandsetRuleMatches) {
  auto acme = daemon->Client(Kind::BindTransceiver, "acme", "secret1");
  auto inbox = daemon->Client(Kind::BindReceiver, "inbox", "secret2");
  ASSERT_EQ(acme->SubmitOne(TestSupport::SmppTest::TextSubmit("+4915112345", "ping back")).nStatus,
            Norvale::Smpp::ESME_ROK);
  // The simulator echoes it from +4915112345 on handset 1.
  ASSERT_TRUE(Deliveries(*inbox, 1)) << daemon->Output();
  const auto& mo = inbox->Delivered().front();
  EXPECT_EQ(Body(mo).nEsmClass, 0);
  EXPECT_EQ(Body(mo).nDataCoding, 0);
  EXPECT_EQ(ShortMessage(mo), "ping back");
  EXPECT_EQ(Body(mo).sSourceAddr, "4915112345");
  EXPECT_EQ(Body(mo).nSourceTon, 1);
  EXPECT_FALSE(Body(mo).sReceiptedMessageId.has_value());
  ASSERT_TRUE(WaitFor([&] { return daemon->Count("SmppOutbox") == 0; })) << daemon->Output();
  EXPECT_FALSE(acme->WaitDelivered(1, 300ms));
  EXPECT_TRUE(acme->Delivered().empty());  // registered_delivery 0, and not acme's handset
  EXPECT_EQ(daemon->Count("SMSIncoming"), 0);
}

TEST_P(SmppdReceiptsTest, KilledWithReceiptsInFlightItDeliversEveryOneAfterTheRestart) {
  constexpr int kMessages = 20;
  auto client = daemon->Client(Kind::BindTransceiver, "acme", "secret1");
  client->AnswerDeliveries(std::nullopt);  // receipts stay in flight
  std::vector<TestSupport::SmppTest::ShortMessageBody> bodies;
  for (int i = 0; i < kMessages; ++i)
    bodies.push_back(TestSupport::SmppTest::TextSubmit("+49152" + std::to_string(100 + i), "m" + std::to_string(i), 1));
  std::set<std::string> ids;
  for (const auto& a : client->Submit(bodies, 10)) {
    ASSERT_EQ(a.nStatus, Norvale::Smpp::ESME_ROK) << daemon->Output();
    ids.insert(a.sMessageId);
  }
  // The account's window (100) holds for deliver_sm too: every receipt is
  // out at once, none answered.
  ASSERT_TRUE(Deliveries(*client, kMessages)) << daemon->Output();
  daemon->Process().Signal(SIGKILL);
  daemon->Process().Wait(10s);
  client.reset();
  // What the engine reports meanwhile waits in the queue.
  ASSERT_TRUE(daemon->Start()) << daemon->Output();
  auto again = daemon->Client(Kind::BindTransceiver, "acme", "secret1");
  ASSERT_TRUE(WaitFor(
      [&] {
        again->Read(50ms);
        return daemon->Count("SmppOutbox", "Kind=1") == 0 && daemon->Count("SmppJobs") == 0;
      },
      60s))
      << daemon->Output();
  const auto got = Receipted(*again);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), ids);  // every one, at least once
}

INSTANTIATE_TEST_SUITE_P(Backends, SmppdReceiptsTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

INSTANTIATE_TEST_SUITE_P(Backends, SmppdOutboxTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
