#include "server/engine/queue_maintenance.h"

#include <gtest/gtest.h>

#include "queue_rows.h"
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
  void Job(LONG id, int status, std::optional<LONG> messageRef = std::nullopt) {
    rows->PutJob({id, status, 0, messageRef});
  }
  using Ids = std::vector<LONG>;
  void SetUp() override {
    if (GetParam() == Backend::Postgres && !TestSupport::PostgresAddress())
      SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    rows = std::make_unique<TestSupport::QueueRows>(*db);
    settings.sDSN = db->Dsn();
    settings.dwMaintenanceInterval = 1000;
    settings.nReportExpiry = 10000;
    settings.nCleanupAge = 20000;
    settings.dwOrphanGrace = 100;
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueRows> rows;
  CEngineSettings settings;
};

}  // namespace

TEST_P(CQueueMaintenanceTest, CleansByAgeButKeepsTheLargestIdOfEveryTable) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  for (LONG id = 1; id <= 6; ++id)
    Job(id, id == 1 ? jsPending : id == 2 ? jsProcessing : id == 5 ? jsSentNotConfirmed : jsSent);
  rows->PutNotification(1, "2000-01-01T00:00:00Z");
  rows->PutNotification(2, "2000-01-01T00:00:01Z");
  maintenance.RunPass(t0);  // marks rows 1..6 as existing at t0
  Job(7, jsErrNetworkFailure);
  maintenance.RunPass(t0 + 15s);  // a mark for row 7; nothing is old enough yet
  EXPECT_EQ(rows->Jobs().size(), 7u);
  maintenance.RunPass(t0 + 21s);             // rows up to 6 are older than 20 s
  EXPECT_EQ(rows->Jobs(), (Ids{1, 2, 7}));   // pending, processing, and younger
  EXPECT_EQ(rows->Notifications(), Ids{2});  // old, but the largest
  maintenance.RunPass(t0 + 40s);
  EXPECT_EQ(rows->Jobs(), (Ids{1, 2, 7}));  // 7 old too now, but the largest
  rows->DeleteJobsBelow(7);
  maintenance.RunPass(t0 + 60s);
  EXPECT_EQ(rows->Jobs(), Ids{7});  // so the next job is 8
  EXPECT_LE(rows->Marks(), 3);      // marks older than any age needs are dropped
}

// The message history's events go after HistoryAge, by their own time.
TEST_P(CQueueMaintenanceTest, PrunesTheMessageHistoryByAge) {
  settings.nHistoryAge = 30 * 86400000LL;
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  Job(1, jsPending);  // its 'queued' event, at t0
  CDBConnectionDispensor dispensor;
  dispensor.SetDBSettings(db->Dsn(), "", "");
  CMessageHistory history(&dispensor);
  const std::int64_t now = HistoryNow();
  history.Append({{0, 2, "sent", jsSent, 1, std::nullopt, std::nullopt, 5, "", "", now - 31 * 86400000LL}});
  maintenance.RunPass(t0);
  EXPECT_TRUE(history.Read(2).empty());
  EXPECT_EQ(history.Read(1).size(), 1u);
  maintenance.RunPass(t0 + std::chrono::hours(24 * 30) - 10s);
  EXPECT_EQ(history.Read(1).size(), 1u);
  maintenance.RunPass(t0 + std::chrono::hours(24 * 30) + 10s);
  EXPECT_TRUE(history.Read(1).empty());
  EXPECT_EQ(rows->Jobs(), Ids{1});  // the queue is not the history's
}

TEST_P(CQueueMaintenanceTest, KeepsReferencesOfJobsQueuedLongBeforeTheyWereSentAndDropsMappingsOfEndedJobs) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  Job(1, jsPending);
  Job(2, jsSentNotConfirmed, 2);
  Job(3, jsSent, 3);
  Job(4, jsProcessing);
  for (const LONG job : {2, 3, 4, 8}) rows->PutMapping(job, 0, std::string(1, static_cast<char>('a' + job - 1)));
  maintenance.RunPass(t0);
  // Job 1 waited in the queue past ReportExpiry (10 s) and is sent now.
  rows->SetJob(1, jsSentNotConfirmed, 77);
  maintenance.RunPass(t0 + 11s);
  EXPECT_EQ(rows->MessageRef(1), 77);
  EXPECT_EQ(rows->MessageRef(2), 2);
  // Job 3 is final and job 8 gone: their mappings go; 2 waits, 4 is in hand.
  EXPECT_EQ(rows->Mappings(), (Ids{2, 4}));
}

TEST_P(CQueueMaintenanceTest, ReturnsOnlyClaimsThatNobodyTookOverWithinTheGrace) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  Job(1, jsProcessing);  // claimed, never taken over
  Job(2, jsProcessing, CJobOwnership::Tag(5, 1, CJobOwnership::phSending));
  Job(3, jsProcessing, 0);  // a reference of an earlier send is no owner
  maintenance.RunPass(t0);
  EXPECT_EQ(rows->Jobs(jsProcessing), (Ids{1, 2, 3}));  // seen once: perhaps just claimed
  Job(4, jsProcessing);
  rows->SetMessageRef(3, CJobOwnership::Tag(6, 2, CJobOwnership::phSending));  // its owner took it over meanwhile
  maintenance.RunPass(t0 + 99ms);                                              // within the grace of 100 ms
  EXPECT_EQ(rows->Jobs(jsProcessing), (Ids{1, 2, 3, 4}));
  maintenance.RunPass(t0 + 150ms);  // the pass's own time, no real wait
  EXPECT_EQ(rows->Jobs(jsPending), Ids{1});
  EXPECT_EQ(rows->Jobs(jsProcessing), (Ids{2, 3, 4}));  // 4 was first seen 51 ms before
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
  const TestSupport::QueueRows rows(db);
  rows.PutJob({1, jsProcessing, 0, 5});
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
  rows.SetJob(1, jsPending, std::nullopt);
  EXPECT_FALSE(mine.TakeOver(1));  // returned meanwhile: nobody may send it
}

// A pending job past its ValidUntil that no handset claims (none ready, or
// scheduled after it expires) fails with jsErrTimeout and a send failure
// notification that carries its ClientRef; a job still valid, one without a
// validity and one already taken stay as they are.
TEST_P(CQueueMaintenanceTest, FailsPendingJobsPastTheirValidityWithANotification) {
  CQueueMaintenance maintenance(settings);
  const auto t0 = std::chrono::system_clock::now();
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(t0.time_since_epoch()).count();
  for (LONG id = 1; id <= 5; ++id)
    if (id == 4)
      Job(id, jsProcessing, -5);  // a handset's, tagged
    else
      Job(id, jsPending);
  const auto valid = [&](LONG id, std::int64_t until, const std::string& extra = "") {
    db->Run("UPDATE SMSOutgoing SET ValidUntil=" + std::to_string(until) + extra + " WHERE Id=" + std::to_string(id));
  };
  valid(1, now - 1, ", ClientRef='order-1', NotBefore=" + std::to_string(now + 60000));
  valid(2, now + 5000);
  valid(4, now - 1);
  maintenance.RunPass(t0);
  EXPECT_EQ(maintenance.ExpiredJobsFailed(), 1);
  EXPECT_EQ(db->Value("SELECT Status FROM SMSOutgoing WHERE Id=1", "Status").ToLong(), jsErrTimeout);
  EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSNotifications WHERE OriginalId=1 AND Type=" +
                          std::to_string(ntSendFailure) + " AND JobStatus=" + std::to_string(jsErrTimeout) +
                          " AND ClientRef='order-1'",
                      "N")
                .ToLong(),
            1);
  for (const LONG id : {2, 3, 5})
    EXPECT_EQ(db->Value("SELECT Status FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Status").ToLong(), jsPending);
  maintenance.RunPass(t0 + 6s);  // now 2 has expired too
  EXPECT_EQ(maintenance.ExpiredJobsFailed(), 2);
  EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSNotifications", "N").ToLong(), 2);
}
