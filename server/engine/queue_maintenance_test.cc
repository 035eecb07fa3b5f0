#include "server/engine/queue_maintenance.h"

#include <gtest/gtest.h>

#include "queue_test_support.h"
#include "server/engine/job_ownership.h"
#include "skip_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using namespace std::chrono_literals;

namespace {

class CQueueMaintenanceTest : public ::testing::TestWithParam<Backend> {
 protected:
  long Count(const std::string& table, const std::string& where = "") {
    return db->Value("SELECT COUNT(*) AS N FROM " + table + (where.empty() ? "" : " WHERE " + where), "N").ToLong();
  }
  void Job(LONG id, int status, const std::string& messageRef = "NULL") {
    db->Run("INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, MessageRef) VALUES (" +
            std::to_string(id) + ", 1, '+1', 'x', 0, " + std::to_string(status) + ", 1, " + messageRef + ")");
  }
  void Notification(LONG id, const std::string& stamp) {
    db->Run(
        "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
        "TmStamp, JobStatus, SourceType) VALUES (" +
        std::to_string(id) + ", 1, 2, '+1', 1, 'x', 1, 0, '" + stamp + "', 2, 1)");
  }
  void SetUp() override {
    if (GetParam() == Backend::Postgres && !TestSupport::PostgresAddress())
      SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    settings.sDSN = db->Dsn();
    settings.dwMaintenanceInterval = 1000;
    settings.nReportExpiry = 10000;
    settings.nCleanupAge = 20000;
    settings.dwOrphanGrace = 100;
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  CEngineSettings settings;
};

}  // namespace

TEST_P(CQueueMaintenanceTest, CleansByAgeButKeepsTheLargestIdOfEveryTable) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  for (LONG id = 1; id <= 6; ++id) Job(id, id == 1 ? jsPending : id == 2 ? jsProcessing : id == 5 ? 9 : jsSent);
  Notification(1, "2000-01-01T00:00:00Z");
  Notification(2, "2000-01-01T00:00:01Z");
  maintenance.RunPass(t0);  // marks rows 1..6 as existing at t0
  Job(7, jsErrNetworkFailure);
  maintenance.RunPass(t0 + 15s);  // a mark for row 7; nothing is old enough yet
  EXPECT_EQ(Count("SMSOutgoing"), 7);
  maintenance.RunPass(t0 + 21s);  // rows up to 6 are older than 20 s
  EXPECT_EQ(Count("SMSOutgoing"), 3);
  EXPECT_EQ(Count("SMSOutgoing", "Id IN (1, 2, 7)"), 3);  // pending, processing, and younger
  EXPECT_EQ(Count("SMSNotifications"), 1);
  EXPECT_EQ(Count("SMSNotifications", "Id=2"), 1);  // old, but the largest
  maintenance.RunPass(t0 + 40s);
  EXPECT_EQ(Count("SMSOutgoing", "Id=7"), 1);  // old too now, but the largest
  db->Run("DELETE FROM SMSOutgoing WHERE Id<7");
  maintenance.RunPass(t0 + 60s);
  EXPECT_EQ(db->Value("SELECT MAX(Id) AS M FROM SMSOutgoing", "M").ToLong(), 7);  // so the next job is 8
  EXPECT_LE(Count("SMSOutgoingMarks"), 3);  // marks older than any age needs are dropped
}

TEST_P(CQueueMaintenanceTest, KeepsReferencesOfJobsQueuedLongBeforeTheyWereSentAndDropsMappingsOfEndedJobs) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  Job(1, jsPending);
  Job(2, jsSentNotConfirmed, "2");
  Job(3, jsSent, "3");
  Job(4, jsProcessing);
  for (const char* row : {"(2, 0, 'b')", "(3, 0, 'c')", "(4, 0, 'd')", "(8, 0, 'h')"})
    db->Run("INSERT INTO SMSMessageRefs (MessageRef, Handset, Reference) VALUES " + std::string(row));
  maintenance.RunPass(t0);
  // Job 1 waited in the queue past ReportExpiry (10 s) and is sent now.
  db->Run("UPDATE SMSOutgoing SET Status=9, MessageRef=77 WHERE Id=1");
  maintenance.RunPass(t0 + 11s);
  EXPECT_EQ(Count("SMSOutgoing", "Id=1 AND MessageRef=77"), 1);
  EXPECT_EQ(Count("SMSOutgoing", "Id=2 AND MessageRef=2"), 1);
  // Job 3 is final and job 8 gone: their mappings go; 2 waits, 4 is in hand.
  EXPECT_EQ(Count("SMSMessageRefs"), 2);
  EXPECT_EQ(Count("SMSMessageRefs", "MessageRef IN (2, 4)"), 2);
}

TEST_P(CQueueMaintenanceTest, ReturnsOnlyClaimsThatNobodyTookOverWithinTheGrace) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  Job(1, jsProcessing);  // claimed, never taken over
  Job(2, jsProcessing, std::to_string(CJobOwnership::Tag(5, 1, CJobOwnership::phSending)));
  Job(3, jsProcessing, "0");  // a reference of an earlier send is no owner
  maintenance.RunPass(t0);
  EXPECT_EQ(Count("SMSOutgoing", "Status=1"), 3);  // seen once: perhaps just claimed
  Job(4, jsProcessing);
  db->Run("UPDATE SMSOutgoing SET MessageRef=" + std::to_string(CJobOwnership::Tag(6, 2, CJobOwnership::phSending)) +
          " WHERE Id=3");          // its owner took it over meanwhile
  maintenance.RunPass(t0 + 99ms);  // within the grace of 100 ms
  EXPECT_EQ(Count("SMSOutgoing", "Status=1"), 4);
  maintenance.RunPass(t0 + 150ms);  // the pass's own time, no real wait
  EXPECT_EQ(Count("SMSOutgoing", "Status=0"), 1);
  EXPECT_EQ(Count("SMSOutgoing", "Id=1 AND Status=0"), 1);
  EXPECT_EQ(Count("SMSOutgoing", "Id IN (2, 3, 4) AND Status=1"), 3);  // 4 was first seen 51 ms before
  EXPECT_EQ(maintenance.OrphansReturned(), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, CQueueMaintenanceTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST(CJobOwnership, OnlyTheFirstTakeOverOfAnUntaggedClaimWins) {
  TestSupport::TestDatabase db(Backend::Sqlite);
  CDBConnectionDispensor dispensor;
  dispensor.SetDBSettings(db.Dsn(), "", "");
  CJobOwnership mine(&dispensor, 12, 1), theirs(&dispensor, 13, 1);
  EXPECT_LT(CJobOwnership::Tag(1 << 25, 8, CJobOwnership::phWaiting), 0);
  EXPECT_NE(mine.Tag(CJobOwnership::phSending), theirs.Tag(CJobOwnership::phSending));
  db.Run(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, MessageRef) VALUES (1, 1, '+1', "
      "'x', 0, 1, 5)");
  EXPECT_TRUE(mine.TakeOver(1));
  EXPECT_FALSE(theirs.TakeOver(1));
  EXPECT_EQ(mine.FindOwned(CJobOwnership::phSending), 1);
  EXPECT_EQ(theirs.FindOwned(CJobOwnership::phSending), -1);
  mine.SetPhase(1, CJobOwnership::phSending, CJobOwnership::phWaiting);
  EXPECT_EQ(mine.FindOwned(CJobOwnership::phWaiting), 1);
  theirs.Release(1);  // not theirs to release
  EXPECT_EQ(mine.FindOwned(CJobOwnership::phWaiting), 1);
  mine.Release(1);
  EXPECT_EQ(mine.FindOwned(CJobOwnership::phWaiting), -1);
  EXPECT_TRUE(theirs.TakeOver(1));
  db.Run("UPDATE SMSOutgoing SET Status=0, MessageRef=NULL WHERE Id=1");
  EXPECT_FALSE(mine.TakeOver(1));  // returned meanwhile: nobody may send it
}
