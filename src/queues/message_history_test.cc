// The message history: the events the client's insert, the engine's claim and
// its outcome batches write, each in the transaction of what it records; the
// reading of a job's life, the pruning by age, and the table's creation in a
// database made before it, on both backends.
#include <gtest/gtest.h>

#include "fault_injection_database.h"
#include "queue_rows.h"
#include "queue_test_support.h"
#include "queues/engine_outgoing_queue.h"
#include "queues/job_outcome_writer.h"
#include "queues/message_history.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

constexpr std::int64_t kEngine = 4242;

class MessageHistory : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    rows = std::make_unique<TestSupport::QueueRows>(*db);
    dispensor.SetDBSettings(db->Dsn(), "", "");
  }
  void PutJob(LONG id, int handset) const {
    db->Run(
        "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, "
        "SourceName, RetryCount) VALUES (" +
        std::to_string(id) + ", 1, '+4917012345', 'hello', " + std::to_string(handset) +
        ", 0, 1, 'client', 'name', 0)");
  }
  std::vector<std::string> Events(LONG id) {
    std::vector<std::string> names;
    for (const auto& e : history.Read(id)) names.push_back(e.sEvent);
    return names;
  }
  static CJobOutcome Outcome(LONG id, EnumJobStatus expected, LONG expectedRef, EnumJobStatus status,
                             NotificationTypes type, LONG error) {
    CJobOutcome o;
    o.nJobId = id;
    o.eExpectedStatus = expected;
    o.nExpectedMessageRef = expectedRef;
    o.eStatus = status;
    o.eHandset = hsHandset2;
    o.notification.eType = type;
    o.notification.sPhoneNumber = "+4917012345";
    o.notification.eJobType = jtTextMessage;
    o.notification.sData = "hello";
    o.notification.eHandset = hsHandset2;
    o.notification.nErrorCode = error;
    o.notification.sTimeStamp = "2026-12-09 10:00:00";
    o.notification.eJobStatus = status;
    o.notification.Source = CMessageEndpoint(stClientLibrary, "client", "");
    return o;
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueRows> rows;
  CDBConnectionDispensor dispensor;
  CEngineOutgoingQueue outgoing{&dispensor};
  CJobOutcomeWriter writer{&dispensor, kEngine};
  CMessageHistory history{&dispensor};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, MessageHistory, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// A job's whole life: queued by the insert, claimed, sent with its reference
// and parts, delivered, each outcome with its notification; a failed job
// with its error; a job the history never saw reads empty.
TEST_P(MessageHistory, TheClaimAndTheOutcomesWriteEachJobsLifeInOrder) {
  const std::int64_t before = HistoryNow();
  PutJob(1, hsAll);
  PutJob(2, hsHandset2);
  const LONG tag = -77;
  ASSERT_EQ(outgoing.ClaimJobs(hsHandset2, 5, tag, kEngine).jobs.size(), 2U);

  CJobOutcome sent = Outcome(1, jsProcessing, tag, jsSentNotConfirmed, ntMessageSent, 0);
  sent.nMessageRef = 1;
  sent.textReference = "0a1b2c";
  sent.nParts = 3;
  CJobOutcome failed = Outcome(2, jsProcessing, tag, jsErrNumberInvalid, ntSendFailure, 11);
  ASSERT_EQ(writer.Write({sent, failed}), (std::vector<bool>{true, true}));
  CJobOutcome delivered = Outcome(1, jsSentNotConfirmed, 1, jsSent, ntDeliveryReport, 0);
  delivered.nMessageRef = 1;
  delivered.bDropMapping = true;
  ASSERT_EQ(writer.Write({delivered}), (std::vector<bool>{true}));

  EXPECT_EQ(Events(1), (std::vector<std::string>{"queued", "claimed", "sent", "notified", "delivered", "notified"}));
  EXPECT_EQ(Events(2), (std::vector<std::string>{"queued", "claimed", "failed", "notified"}));
  EXPECT_TRUE(history.Read(3).empty());

  const auto life = history.Read(1);
  ASSERT_EQ(life.size(), 6U);
  EXPECT_EQ(life[0].nStatus, jsPending);
  EXPECT_EQ(life[0].nHandset, hsAll);
  EXPECT_EQ(life[1].nEngineId, kEngine);
  EXPECT_EQ(life[1].nHandset, hsHandset2);
  EXPECT_EQ(life[1].nStatus, jsProcessing);
  EXPECT_EQ(life[2].nStatus, jsSentNotConfirmed);
  EXPECT_EQ(life[2].sReference, "0a1b2c");
  EXPECT_EQ(life[2].nParts, 3);
  EXPECT_FALSE(life[2].nErrorCode);
  EXPECT_EQ(life[3].sDetail, "sent");
  EXPECT_EQ(life[4].nStatus, jsSent);
  EXPECT_EQ(life[5].sDetail, "delivered");
  for (const auto& e : life) {
    EXPECT_GE(e.nAt, before - 1000) << e.sEvent;  // the database's clock for 'queued'
    EXPECT_LE(e.nAt, HistoryNow() + 1000) << e.sEvent;
  }
  const auto failure = history.Read(2);
  EXPECT_EQ(failure[2].nErrorCode, 11);
  EXPECT_EQ(failure[2].nStatus, jsErrNumberInvalid);
  EXPECT_EQ(failure[3].sDetail, "send_failed");
  // A batch writer that keeps no history writes none.
  PutJob(3, hsAll);
  ASSERT_EQ(outgoing.ClaimJobs(hsHandset2, 5, tag).jobs.size(), 1U);
  CJobOutcomeWriter plain(&dispensor);
  ASSERT_EQ(plain.Write({Outcome(3, jsProcessing, tag, jsSent, ntMessageSent, 0)}), (std::vector<bool>{true}));
  EXPECT_EQ(Events(3), (std::vector<std::string>{"queued"}));
}

// A batch that fails before its COMMIT leaves no event of it; written again
// it leaves each once. An outcome whose row had moved on writes none.
TEST_P(MessageHistory, ABatchRolledBackWritesNoHistory) {
  PutJob(1, hsAll);
  PutJob(2, hsAll);
  const LONG tag = -5;
  ASSERT_EQ(outgoing.ClaimJobs(hsHandset2, 5, tag, kEngine).jobs.size(), 2U);
  const std::vector<CJobOutcome> batch{Outcome(1, jsProcessing, tag, jsSent, ntMessageSent, 0),
                                       Outcome(2, jsProcessing, tag, jsSent, ntMessageSent, 0)};
  {
    TestSupport::FaultInjectionDatabase faults(db->Dsn());
    dispensor.ResetConnection();
    faults.Fail(TestSupport::InsertInto("SMSNotifications"), E_FAIL);
    EXPECT_THROW(writer.Write(batch), _com_error);
  }
  EXPECT_EQ(Events(1), (std::vector<std::string>{"queued", "claimed"}));
  EXPECT_EQ(rows->Status(1), jsProcessing);
  dispensor.ResetConnection();
  EXPECT_EQ(writer.Write(batch), (std::vector<bool>{true, true}));
  EXPECT_EQ(writer.Write(batch), (std::vector<bool>{false, false}));
  EXPECT_EQ(Events(2), (std::vector<std::string>{"queued", "claimed", "sent", "notified"}));
}

// The claim and its events commit together: should the events fail, the job
// stays pending and unclaimed. (On PostgreSQL they are one statement.)
class MessageHistoryOnSqlite : public MessageHistory {};
INSTANTIATE_TEST_SUITE_P(Backends, MessageHistoryOnSqlite, ::testing::Values(Backend::Sqlite),
                         TestSupport::BackendName);

TEST_P(MessageHistoryOnSqlite, AClaimWhoseEventsFailTakesNoJob) {
  PutJob(1, hsAll);
  {
    TestSupport::FaultInjectionDatabase faults(db->Dsn());
    dispensor.ResetConnection();
    faults.Fail(TestSupport::InsertInto("MessageHistory"), E_FAIL);
    CDatabaseTransaction group(&dispensor, CDatabaseTransaction::kEveryDatabase);
    EXPECT_THROW(outgoing.ClaimJobs(hsHandset2, 5, -5, kEngine), _com_error);
  }
  EXPECT_EQ(rows->Status(1), jsPending);
  EXPECT_EQ(Events(1), (std::vector<std::string>{"queued"}));
}

// Pruning deletes the events older than the time only, in steps of the
// limit; a job identifier used again reads its latest life.
TEST_P(MessageHistory, PruningByAgeAndTheLatestLifeOfAnIdentifier) {
  const std::int64_t day = 86400000LL, now = HistoryNow();
  history.Append(
      {{0, 7, "sent", jsSent, hsHandset1, std::nullopt, std::nullopt, kEngine, "", "", now - 40 * day},
       {0, 7, "notified", jsSent, hsHandset1, std::nullopt, std::nullopt, kEngine, "", "sent", now - 31 * day},
       {0, 8, "sent", jsSent, hsHandset1, 1, std::nullopt, kEngine, "x\"y", "", now - 29 * day}});
  EXPECT_EQ(history.PruneBefore(now - 30 * day, 1), 1);
  EXPECT_EQ(history.PruneBefore(now - 30 * day, 100), 1);
  EXPECT_EQ(history.PruneBefore(now - 30 * day, 100), 0);
  EXPECT_TRUE(history.Read(7).empty());
  ASSERT_EQ(history.Read(8).size(), 1U);
  EXPECT_EQ(history.Read(8)[0].sReference, "x\"y");
  EXPECT_EQ(history.Read(8)[0].nParts, 1);

  PutJob(8, hsAll);  // the identifier again, after its row was deleted
  EXPECT_EQ(Events(8), (std::vector<std::string>{"queued"}));
}

// A database made before the history: the engine's start adds the table and
// the trigger, keeps every row, and the next insert is recorded.
TEST_P(MessageHistory, ADatabaseMadeBeforeTheHistoryGetsItsTableAtTheEnginesStart) {
  db->Run(GetParam() == Backend::Sqlite ? "DROP TRIGGER SMSOutgoing_History"
                                        : "DROP TRIGGER SMSOutgoing_History ON SMSOutgoing");
  db->Run("DROP TABLE MessageHistory");
  PutJob(1, hsAll);
  std::string why;
  ASSERT_TRUE(CMessageHistory::EnsureTable(&dispensor, db->Dsn(), &why)) << why;
  EXPECT_EQ(rows->Status(1), jsPending);
  EXPECT_TRUE(history.Read(1).empty());
  PutJob(2, hsAll);
  EXPECT_EQ(Events(2), (std::vector<std::string>{"queued"}));
  // Running the schema again changes nothing.
  {
    Connection c;
    c.Open("Data Source=" + db->Dsn(), "", "");
    CreateQueueSchema(c, db->Dsn());
  }
  PutJob(3, hsAll);
  EXPECT_EQ(Events(3), (std::vector<std::string>{"queued"}));
  EXPECT_EQ(Events(2), (std::vector<std::string>{"queued"}));
}
