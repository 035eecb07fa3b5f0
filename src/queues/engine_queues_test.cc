// The engine's statements on the queue tables, on both backends.
#include <gtest/gtest.h>

#include "expect_com_error.h"
#include "queue_rows.h"
#include "queue_test_support.h"
#include "queues/engine_maintenance_queue.h"
#include "queues/engine_outgoing_queue.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

class EngineQueues : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    rows = std::make_unique<TestSupport::QueueRows>(*db);
    dispensor.SetDBSettings(db->Dsn(), "", "");
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueRows> rows;
  CDBConnectionDispensor dispensor;
  CEngineOutgoingQueue outgoing{&dispensor};
  CEngineMaintenanceQueue maintenance{&dispensor};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, EngineQueues, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(EngineQueues, AClaimIsARecordAndAnUnreadableClaimNamesItsJob) {
  const LONG id = outgoing.InsertJob("+49 151 1", jtTextMessage, "it's $1", hsHandset2,
                                     CMessageEndpoint(stClientLibrary, "id'1", "name"));
  EXPECT_FALSE(outgoing.ClaimJob(hsHandset1));  // another handset's job
  const auto job = outgoing.ClaimJob(hsHandset2);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->nJobId, id);
  EXPECT_EQ(job->sPhoneNumber, "+49 151 1");
  EXPECT_EQ(job->sData, "it's $1");
  EXPECT_EQ(job->eType, jtTextMessage);
  EXPECT_EQ(job->source.m_sId, "id'1");
  EXPECT_EQ(rows->Status(id), jsProcessing);

  // A row whose Type cannot be read: the claim gives it back and names it.
  db->Run("INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status) VALUES (5, NULL, '+1', 'x', 0, 0)");
  try {
    outgoing.ClaimJob(hsHandset3);
    FAIL() << "no error";
  } catch (const CClaimFailed& e) {
    EXPECT_EQ(e.JobId(), 5);
    EXPECT_NE(e.DescriptionA().find("Type"), std::string::npos) << e.DescriptionA();
  }
  EXPECT_EQ(rows->Status(5), jsPending);
  ASSERT_TRUE(outgoing.ReadRow(5));
  EXPECT_FALSE(outgoing.ReadRow(6));
  EXPECT_TRUE(outgoing.FailUnreadablePendingJob(5, jsInvalidJobType, hsHandset3));
  EXPECT_FALSE(outgoing.FailUnreadablePendingJob(5, jsErrNumberInvalid, hsHandset4));  // failed once only
  EXPECT_EQ(rows->Status(5), jsInvalidJobType);
  EXPECT_EQ(rows->MessageRef(5), 0);
  EXPECT_TRUE(outgoing.JobExists(5));
  EXPECT_FALSE(outgoing.JobExists(6));
}

TEST_P(EngineQueues, OnlyTheFirstTagOfAnUntaggedClaimWins) {
  const LONG mine = -100, theirs = -200, mineWaiting = -101;
  rows->PutJob({1, jsProcessing, 0, 5});  // a reference of an earlier send is no tag
  EXPECT_TRUE(outgoing.TagClaimedJob(1, mine));
  EXPECT_TRUE(outgoing.TagClaimedJob(1, mine));  // its own repetition still counts
  EXPECT_FALSE(outgoing.TagClaimedJob(1, theirs));
  EXPECT_EQ(outgoing.OldestTagged(mine), 1);
  EXPECT_EQ(outgoing.OldestTagged(theirs), -1);
  outgoing.ReplaceTag(1, theirs, mineWaiting);  // not carrying theirs: unchanged
  EXPECT_EQ(outgoing.OldestTagged(mine), 1);
  outgoing.ReplaceTag(1, mine, mineWaiting);
  EXPECT_EQ(outgoing.OldestTagged(mineWaiting), 1);
  outgoing.ClearTag(1, {theirs});
  EXPECT_EQ(rows->MessageRef(1), mineWaiting);
  outgoing.ClearTag(1, {mine, mineWaiting});
  EXPECT_EQ(rows->MessageRef(1), std::nullopt);
  rows->SetJob(1, jsPending, std::nullopt);
  EXPECT_FALSE(outgoing.TagClaimedJob(1, theirs));  // returned meanwhile: nobody may send it
}

TEST_P(EngineQueues, TextReferencesMapExactlyOrByNumericForm) {
  for (const LONG id : {1, 2, 3, 4}) rows->PutJob({id, jsSentNotConfirmed, 2, id});
  outgoing.MapTextReference(1, hsHandset2, "it's $1");
  EXPECT_EQ(outgoing.FindMappedJob(hsHandset2, "it's $1"), 1);
  EXPECT_EQ(outgoing.FindMappedJob(hsHandset3, "it's $1"), -1);
  outgoing.MapTextReference(2, hsHandset2, "it's $1");  // handed out again: job 1's wait ends
  EXPECT_EQ(outgoing.FindMappedJob(hsHandset2, "it's $1"), 2);
  EXPECT_EQ(rows->MessageRef(1), std::nullopt);
  EXPECT_EQ(rows->Mappings(), std::vector<LONG>{2});
  outgoing.MapTextReference(3, hsHandset2, "00FF");
  EXPECT_EQ(outgoing.FindMappedJobByNumericForm(hsHandset2, {"255", "ff"}), 3);
  EXPECT_EQ(outgoing.FindMappedJobByNumericForm(hsHandset2, {"254", "fe"}), -1);
  outgoing.MapTextReference(4, hsHandset2, "");  // stored as one blank, as always
  EXPECT_EQ(rows->Mappings(" "), std::vector<LONG>{4});
  EXPECT_EQ(outgoing.FindMappedJob(hsHandset2, ""), 4);

  EXPECT_EQ(outgoing.FindNewestWaitingForNumber(hsHandset2, 3), 3);
  outgoing.EndWaitsForNumber(hsHandset2, 3, 4);
  EXPECT_EQ(outgoing.FindNewestWaitingForNumber(hsHandset2, 3), -1);
  const auto next = outgoing.NextWaitingJob(hsHandset2, 2);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->nJobId, 4);
  EXPECT_EQ(next->nMessageRef, 4);
  outgoing.EndWait(4, 4);
  outgoing.DropMapping(4);
  EXPECT_FALSE(outgoing.NextWaitingJob(hsHandset2, 2));
  EXPECT_EQ(rows->Mappings(), (std::vector<LONG>{2, 3}));
}

TEST_P(EngineQueues, MaintenanceFailsStraysOnceAndKeepsMarksOf64BitTimes) {
  db->Run("INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status) VALUES (1, 1, '+1', 'x', 0, NULL)");
  rows->PutJob({2, jsPending, 9, std::nullopt});
  rows->PutJob({3, jsPending, 8, std::nullopt});
  rows->PutJob({4, jsProcessing, 0, -7});  // tagged
  rows->PutJob({5, jsProcessing, 0, 7});   // untagged
  EXPECT_EQ(maintenance.NextStrayJob(0), 1);
  EXPECT_EQ(maintenance.NextStrayJob(1), 2);
  EXPECT_EQ(maintenance.NextStrayJob(2), -1);
  EXPECT_TRUE(maintenance.FailStrayJob(1));
  EXPECT_FALSE(maintenance.FailStrayJob(1));
  EXPECT_FALSE(maintenance.FailStrayJob(3));
  EXPECT_EQ(rows->Status(1), jsInvalidJobType);
  EXPECT_EQ(maintenance.NextUntaggedProcessingJob(0), 5);
  EXPECT_EQ(maintenance.ReturnUntagged(4), 0);
  EXPECT_EQ(maintenance.ReturnUntagged(5), 1);
  EXPECT_EQ(rows->Jobs(jsPending), (std::vector<LONG>{2, 3, 5}));

  const std::int64_t t = std::int64_t{1} << 41;
  EXPECT_FALSE(maintenance.NewestMarkTime());
  EXPECT_TRUE(maintenance.RecordMark(t, 3));
  EXPECT_FALSE(maintenance.RecordMark(t, 4));  // the same instant: another engine's mark serves
  EXPECT_TRUE(maintenance.RecordMark(t + 1000, 5));
  EXPECT_EQ(maintenance.NewestMarkTime(), t + 1000);
  EXPECT_EQ(maintenance.LargestJobId(), 5);
  EXPECT_EQ(maintenance.MarkAtOrBefore(t - 1), -1);
  EXPECT_EQ(maintenance.MarkAtOrBefore(t + 999), 3);
  maintenance.DropMarksBefore(t + 999);  // the newest at or before stays
  EXPECT_EQ(rows->Marks(), 2);
  maintenance.DropMarksBefore(t + 1000);
  EXPECT_EQ(rows->Marks(), 1);
}

TEST_P(EngineQueues, ANotificationIsTakenAsARecord) {
  CNotificationQueue notifications(nullptr, &dispensor);
  notifications.InsertJob(7, ntSendFailure, "+1 'x'", jtTextMessage, "$2 it's", hsHandset3, 42, "2026-12-09 10:00:00",
                          jsErrNetworkFailure, CMessageEndpoint(stClientLibrary, "a", "b"));
  EXPECT_FALSE(notifications.TakeNotification(hsHandset2, stClientLibrary));
  const auto n = notifications.TakeNotification(hsAll, stClientLibrary);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->nJobId, 7);
  EXPECT_EQ(n->eType, ntSendFailure);
  EXPECT_EQ(n->sPhoneNumber, "+1 'x'");
  EXPECT_EQ(n->sData, "$2 it's");
  EXPECT_EQ(n->eHandset, hsHandset3);
  EXPECT_EQ(n->nErrorCode, 42);
  EXPECT_EQ(n->sTimeStamp, "2026-12-09 10:00:00");
  EXPECT_EQ(n->eJobStatus, jsErrNetworkFailure);
  EXPECT_EQ(n->Source.m_sName, "b");
  EXPECT_FALSE(notifications.TakeNotification(hsAll, stClientLibrary));
}
