// The engine's batch statements: the claim of several jobs at once, racing
// claimers in threads and processes, and the outcomes of a batch written in
// one transaction, on both backends.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "fault_injection_database.h"
#include "queue_rows.h"
#include "queue_test_support.h"
#include "queues/engine_outgoing_queue.h"
#include "queues/job_outcome_writer.h"
#include "queues/message_history.h"
#include "queues/outgoing_batch.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

class EngineBatch : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    rows = std::make_unique<TestSupport::QueueRows>(*db);
    dispensor.SetDBSettings(db->Dsn(), "", "");
  }
  // Jobs first..last, pending, for the handset.
  void PutJobs(LONG first, LONG last, int handset) const {
    db->Run("WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n WHERE i < " +
            std::to_string(last) +
            ") INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, "
            "SourceName, RetryCount) SELECT i, 1, '+49 ' || i, 'text ' || i, " +
            std::to_string(handset) + ", 0, 1, 'client', 'name', 2 FROM n");
  }
  // The notifications: (OriginalId, Type, JobStatus) by Id.
  std::map<LONG, std::tuple<LONG, LONG, LONG>> Notifications() const {
    std::map<LONG, std::tuple<LONG, LONG, LONG>> found;
    Connection c;
    c.Open("Data Source=" + db->Dsn(), "", "");
    _variant_t affected;
    const auto rs = c.Execute("SELECT * FROM SMSNotifications WHERE Id>$1", {0}, &affected, adCmdText);
    for (; !rs->adoEOF(); rs->MoveNext())
      found[rs->GetFieldValue("Id").ToLong()] = {rs->GetFieldValue("OriginalId").ToLong(),
                                                 rs->GetFieldValue("Type").ToLong(),
                                                 rs->GetFieldValue("JobStatus").ToLong()};
    return found;
  }
  static std::vector<LONG> IdsOf(const CClaimBatch& batch) {
    std::vector<LONG> ids;
    for (const auto& job : batch.jobs) ids.push_back(job.nJobId);
    return ids;
  }
  // A submission's outcome of a job the tag claimed.
  static CJobOutcome Sent(LONG id, LONG tag, EnumJobStatus status = jsSent) {
    CJobOutcome o;
    o.nJobId = id;
    o.eExpectedStatus = jsProcessing;
    o.nExpectedMessageRef = tag;
    o.eStatus = status;
    o.eHandset = hsHandset2;
    o.nMessageRef = 0;
    o.notification.eType = status == jsSent || status == jsSentNotConfirmed ? ntMessageSent : ntSendFailure;
    o.notification.sPhoneNumber = "+49 " + std::to_string(id);
    o.notification.eJobType = jtTextMessage;
    o.notification.sData = "it's {\"quoted\"} \\ $1";
    o.notification.eHandset = hsHandset2;
    o.notification.sTimeStamp = "2026-12-09 10:00:00";
    o.notification.eJobStatus = status;
    o.notification.Source = CMessageEndpoint(stClientLibrary, "client", "");
    return o;
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueRows> rows;
  CDBConnectionDispensor dispensor;
  CEngineOutgoingQueue outgoing{&dispensor};
  CJobOutcomeWriter writer{&dispensor};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, EngineBatch, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(EngineBatch, ABatchClaimTakesTheJobsGetJobAWouldInItsOrderAndTagsThem) {
  PutJobs(1, 4, hsHandset3);
  PutJobs(5, 8, hsAll);
  PutJobs(9, 10, hsHandset2);
  const LONG tag = -42;
  auto batch = outgoing.ClaimJobs(hsHandset2, 5, tag);
  EXPECT_EQ(IdsOf(batch), (std::vector<LONG>{5, 6, 7, 8, 9}));
  EXPECT_TRUE(batch.unreadable.empty());
  ASSERT_EQ(batch.jobs.size(), 5U);
  EXPECT_EQ(batch.jobs[0].sPhoneNumber, "+49 5");
  EXPECT_EQ(batch.jobs[0].sData, "text 5");
  EXPECT_EQ(batch.jobs[0].eType, jtTextMessage);
  EXPECT_EQ(batch.jobs[0].nRetryCount, 2);
  EXPECT_EQ(batch.jobs[0].source.m_sId, "client");
  for (const LONG id : IdsOf(batch)) {
    EXPECT_EQ(rows->Status(id), jsProcessing);
    EXPECT_EQ(rows->MessageRef(id), tag);
  }
  EXPECT_EQ(IdsOf(outgoing.ClaimJobs(hsHandset2, 100, tag)), std::vector<LONG>{10});
  if (GetParam() == Backend::Postgres) {
    // However the server plans the claim, it takes at most n jobs: here its
    // statistics say that no job is pending (all were sent when it last
    // looked) and it is kept from joining otherwise, so that it plans to
    // look at the choice again for every row it considers.
    PutJobs(100, 2099, hsAll);
    db->Run("UPDATE SMSOutgoing SET Status=9 WHERE Id>=100");
    db->Run("ANALYZE SMSOutgoing");
    db->Run("DELETE FROM SMSOutgoing WHERE Id>=100");
    PutJobs(100, 2099, hsAll);
    CDBConnectionDispensor fresh;
    fresh.SetDBSettings(db->Dsn() + "%20-cenable_hashjoin%3Doff%20-cenable_mergejoin%3Doff%20-cenable_material%3Doff",
                        "", "");
    CEngineOutgoingQueue queue(&fresh);
    for (LONG first = 100; first < 140; first += 4)
      EXPECT_EQ(IdsOf(queue.ClaimJobs(hsHandset2, 4, tag)),
                (std::vector<LONG>{first, first + 1, first + 2, first + 3}));
    db->Run("DELETE FROM SMSOutgoing WHERE Id>=100");
  }
  EXPECT_TRUE(outgoing.ClaimJobs(hsHandset2, 100, tag).jobs.empty());
  EXPECT_TRUE(outgoing.ClaimJobs(hsHandset3, 0, tag).jobs.empty());
  EXPECT_EQ(rows->Jobs(jsPending), (std::vector<LONG>{1, 2, 3, 4}));

  // The tags of several jobs change in one statement; others stay.
  TestSupport::FaultInjectionDatabase faults(db->Dsn());
  dispensor.ResetConnection();
  outgoing.ReplaceTags({5, 6, 10, 99}, tag, -43);
  EXPECT_EQ(faults.Seen(TestSupport::UpdateOf("SMSOutgoing")), 1);
  EXPECT_EQ(rows->MessageRef(5), -43);
  EXPECT_EQ(rows->MessageRef(10), -43);
  EXPECT_EQ(rows->MessageRef(7), tag);
  outgoing.ReplaceTags({7}, -1, -43);  // not carrying that tag: unchanged
  EXPECT_EQ(rows->MessageRef(7), tag);
  outgoing.ReplaceTags({}, tag, -43);
}

TEST_P(EngineBatch, UnreadableClaimedRowsGoBackUntaggedAndAreListed) {
  PutJobs(1, 6, hsAll);
  db->Run("UPDATE SMSOutgoing SET Type=NULL WHERE Id=2");
  db->Run("UPDATE SMSOutgoing SET PhoneNumber=NULL WHERE Id=4");
  if (GetParam() == Backend::Sqlite) db->Run("UPDATE SMSOutgoing SET Type='text' WHERE Id=5");
  const auto batch = outgoing.ClaimJobs(hsHandset1, 10, -7);
  const std::vector<LONG> unreadable =
      GetParam() == Backend::Sqlite ? std::vector<LONG>{2, 4, 5} : std::vector<LONG>{2, 4};
  EXPECT_EQ(batch.unreadable, unreadable);
  EXPECT_EQ(IdsOf(batch),
            GetParam() == Backend::Sqlite ? (std::vector<LONG>{1, 3, 6}) : (std::vector<LONG>{1, 3, 5, 6}));
  for (const LONG id : unreadable) {
    EXPECT_EQ(rows->Status(id), jsPending) << id;
    EXPECT_EQ(rows->MessageRef(id), std::nullopt) << id;
  }
  EXPECT_EQ(rows->MessageRef(1), -7);
}

// Two claimers on connections of their own in this process and two in other
// processes take batches from one backlog until it is empty: every job is
// taken once, and carries the tag of the claimer that reported it.
TEST_P(EngineBatch, RacingClaimersInThreadsAndProcessesNeverTakeOneJob) {
  constexpr LONG kJobs = 1200;
  PutJobs(1, kJobs / 2, hsAll);
  PutJobs(kJobs / 2 + 1, kJobs, hsHandset1);
  const auto claimAll = [&](LONG tag) {
    CDBConnectionDispensor own;
    own.SetDBSettings(db->Dsn(), "", "");
    CEngineOutgoingQueue queue(&own);
    std::vector<LONG> taken;
    // Bounded: far more rounds than the backlog needs.
    for (int round = 0; round < kJobs; ++round) {
      const auto batch = queue.ClaimJobs(hsHandset1, 25, tag);
      if (batch.jobs.empty()) break;
      for (const auto& job : batch.jobs) taken.push_back(job.nJobId);
    }
    return taken;
  };
  std::vector<pid_t> children;
  std::vector<std::string> files;
  for (int k = 0; k < 2; ++k) {
    files.push_back(TestSupport::Root() + "/claims-" + std::to_string(getpid()) + "-" + std::to_string(k));
    const pid_t child = fork();
    if (child == 0) {
      int status = 0;
      try {
        std::ofstream out(files.back());
        for (const LONG id : claimAll(-100 - k)) out << id << "\n";
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    ASSERT_GT(child, 0);
    children.push_back(child);
  }
  std::vector<LONG> inThreads[2];
  std::thread first([&] { inThreads[0] = claimAll(-200); });
  std::thread second([&] { inThreads[1] = claimAll(-201); });
  first.join();
  second.join();
  std::map<LONG, LONG> takenBy;  // job: tag
  int twice = 0;
  const auto record = [&](LONG id, LONG tag) {
    if (!takenBy.emplace(id, tag).second) ++twice;
  };
  for (int k = 0; k < 2; ++k) {
    int status = -1;
    ASSERT_EQ(waitpid(children[k], &status, 0), children[k]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(files[k]);
    for (LONG id = 0; in >> id;) record(id, -100 - k);
    std::remove(files[k].c_str());
  }
  for (int k = 0; k < 2; ++k)
    for (const LONG id : inThreads[k]) record(id, -200 - k);
  EXPECT_EQ(twice, 0);
  EXPECT_EQ(takenBy.size(), static_cast<size_t>(kJobs));
  EXPECT_TRUE(rows->Jobs(jsPending).empty());
  // Each row carries the tag of the claimer that reported it (sampled).
  for (LONG id = 1; id <= kJobs; id += 97) EXPECT_EQ(rows->MessageRef(id), takenBy[id]) << id;
}

TEST_P(EngineBatch, OutcomesAreWrittenOnlyWhereTheJobIsStillAsExpected) {
  PutJobs(1, 8, hsAll);
  const LONG tag = -5;
  ASSERT_EQ(outgoing.ClaimJobs(hsHandset2, 8, tag).jobs.size(), 8U);
  rows->SetJob(3, jsPending, std::nullopt);  // returned meanwhile
  rows->DeleteJob(4);                        // deleted
  rows->SetMessageRef(5, -6);                // taken over by another owner
  db->Run(
      "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
      "TmStamp, JobStatus, SourceType) VALUES (40, 1, 2, '+1', 1, 'x', 1, 0, 't', 2, 1)");
  std::vector<CJobOutcome> batch;
  for (const LONG id : {1, 2, 3, 4, 5}) batch.push_back(Sent(id, tag));
  batch[1] = Sent(2, tag, jsErrNumberInvalid);
  batch.push_back(Sent(6, tag, jsSentNotConfirmed));
  batch.back().nMessageRef = 6;
  batch.back().textReference = "ab\"c";
  batch.push_back(Sent(7, tag, jsSentNotConfirmed));
  batch.back().nMessageRef = 77;
  batch.back().bNumericReference = true;
  // An older job waiting for the same number and another for the same text.
  rows->PutJob({20, jsSentNotConfirmed, hsHandset2, 77});
  rows->PutJob({21, jsSentNotConfirmed, hsHandset2, 21});
  rows->PutMapping(21, hsHandset2, "ab\"c");
  rows->PutJob({22, jsSent, 0, 0});  // sent, older than no written sent job: stays

  EXPECT_EQ(writer.Write(batch), (std::vector<bool>{true, true, false, false, false, true, true}));
  EXPECT_EQ(rows->Status(1), jsSent);
  EXPECT_EQ(rows->Status(2), jsErrNumberInvalid);
  EXPECT_EQ(rows->Status(3), jsPending);
  EXPECT_EQ(rows->MessageRef(5), -6);
  EXPECT_EQ(rows->Status(6), jsSentNotConfirmed);
  EXPECT_EQ(rows->MessageRef(6), 6);
  EXPECT_EQ(rows->MessageRef(7), 77);
  EXPECT_EQ(rows->MessageRef(20), std::nullopt);  // its wait ended by the number
  EXPECT_EQ(rows->MessageRef(21), std::nullopt);  // and by the text
  EXPECT_EQ(rows->Mappings("ab\"c"), std::vector<LONG>{6});
  EXPECT_EQ(outgoing.FindMappedJob(hsHandset2, "ab\"c"), 6);
  EXPECT_EQ(rows->Status(22), jsSent);
  // Notifications of the written rows only, numbered above the largest in
  // the batch's order, texts as written.
  const auto notes = Notifications();
  ASSERT_EQ(notes.size(), 5U);
  EXPECT_EQ(notes.at(41), std::make_tuple(1, ntMessageSent, jsSent));
  EXPECT_EQ(notes.at(42), std::make_tuple(2, ntSendFailure, jsErrNumberInvalid));
  EXPECT_EQ(std::get<0>(notes.at(43)), 6);
  EXPECT_EQ(std::get<0>(notes.at(44)), 7);
  CNotificationQueue reader(nullptr, &dispensor);
  db->Run("DELETE FROM SMSNotifications WHERE Id=40");
  const auto first = reader.TakeNotification(hsAll, stClientLibrary);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->sData, "it's {\"quoted\"} \\ $1");
  EXPECT_EQ(first->Source.m_sName, " ");

  // A report's outcome drops the mapping; a sent job deletes the sent rows
  // before it, as JobUpdate does.
  CJobOutcome report = Sent(6, 0, jsSent);
  report.eExpectedStatus = jsSentNotConfirmed;
  report.nExpectedMessageRef = 6;
  report.bDropMapping = true;
  report.notification.eType = ntDeliveryReport;
  const size_t notesBefore = Notifications().size();
  EXPECT_EQ(writer.Write({report}), std::vector<bool>{true});
  EXPECT_TRUE(rows->Mappings().empty());
  EXPECT_EQ(rows->Status(1), std::nullopt);
  EXPECT_EQ(rows->Status(22), jsSent);
  EXPECT_EQ(rows->Status(6), jsSent);
  // Already reported: nothing written, no notification.
  EXPECT_EQ(Notifications().size(), notesBefore + 1);
  EXPECT_EQ(writer.Write({report}), std::vector<bool>{false});
  EXPECT_EQ(Notifications().size(), notesBefore + 1);
}

// The answer to the batch's COMMIT is lost after the database committed: the
// batch written again finds its rows moved on and writes nothing twice. A
// batch that fails before its COMMIT leaves nothing of it behind.
TEST_P(EngineBatch, ABatchRepeatedAfterItsCommitWasLostWritesNoNotificationTwice) {
  PutJobs(1, 6, hsAll);
  const LONG tag = -9;
  ASSERT_EQ(outgoing.ClaimJobs(hsHandset2, 6, tag).jobs.size(), 6U);
  std::vector<CJobOutcome> batch;
  for (LONG id = 1; id <= 3; ++id) batch.push_back(Sent(id, tag, jsSentNotConfirmed));
  TestSupport::FaultInjectionDatabase faults(db->Dsn());
  dispensor.ResetConnection();
  faults.FailAfterRunning(TestSupport::Keyword("COMMIT"), E_FAIL);
  EXPECT_THROW(writer.Write(batch), _com_error);
  EXPECT_EQ(writer.Write(batch), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(Notifications().size(), 3U);

  std::vector<CJobOutcome> next;
  for (LONG id = 4; id <= 6; ++id) next.push_back(Sent(id, tag));
  faults.Fail(TestSupport::InsertInto("SMSNotifications"), E_FAIL);
  EXPECT_THROW(writer.Write(next), _com_error);
  EXPECT_EQ(rows->Status(4), jsProcessing);
  EXPECT_EQ(Notifications().size(), 3U);
  EXPECT_EQ(writer.Write(next), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(Notifications().size(), 6U);
}

// On PostgreSQL a batch costs the same statements at any size; engines
// writing at once never give two notifications one identifier.
class EngineBatchOnPostgres : public EngineBatch {};
INSTANTIATE_TEST_SUITE_P(Backends, EngineBatchOnPostgres, ::testing::Values(Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(EngineBatchOnPostgres, ABatchCostsTheSameStatementsAtAnySizeAndWritersTakeTurns) {
  constexpr LONG kJobs = 400;
  PutJobs(1, kJobs, hsAll);
  const LONG tag = -3;
  ASSERT_EQ(outgoing.ClaimJobs(hsHandset2, kJobs, tag).jobs.size(), static_cast<size_t>(kJobs));
  const auto statementsFor = [&](LONG first, LONG last) {
    TestSupport::FaultInjectionDatabase faults(db->Dsn());
    dispensor.ResetConnection();
    std::vector<CJobOutcome> batch;
    for (LONG id = first; id <= last; ++id) batch.push_back(Sent(id, tag));
    writer.Write(batch);
    return faults.Seen(TestSupport::kAnyStatement);
  };
  EXPECT_EQ(statementsFor(1, 2), statementsFor(3, 102));

  // Four writers, each on its own connection, batches of 20 at once.
  std::vector<std::thread> writers;
  std::vector<LONG> written[4];
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([&, w] {
      CDBConnectionDispensor own;
      own.SetDBSettings(db->Dsn(), "", "");
      CJobOutcomeWriter mine(&own);
      for (LONG first = 103 + w * 20; first + 19 <= kJobs; first += 80) {
        std::vector<CJobOutcome> batch;
        for (LONG id = first; id < first + 20; ++id) batch.push_back(Sent(id, tag, jsSentNotConfirmed));
        const auto done = mine.Write(batch);
        for (size_t i = 0; i < done.size(); ++i)
          if (done[i]) written[w].push_back(batch[i].nJobId);
      }
    });
  for (auto& t : writers) t.join();
  size_t expected = 102;
  for (const auto& ids : written) expected += ids.size();
  EXPECT_GT(expected, 300U);
  std::set<LONG> jobs;
  const auto notes = Notifications();
  for (const auto& [id, note] : notes) jobs.insert(std::get<0>(note));
  EXPECT_EQ(notes.size(), expected);
  EXPECT_EQ(jobs.size(), expected);  // every job's once
}

// The per-message options: a batch insert writes them, the claim reads them
// back with the row's Handset, takes high priority first, leaves jobs whose
// NotBefore is ahead, and takes jobs for any handset only where the routes'
// condition lets it.
TEST_P(EngineBatch, TheClaimHonoursPriorityScheduleAndTheConditionAndReadsTheOptions) {
  COutgoingBatch inserts(&dispensor);
  const std::int64_t now = HistoryNow();
  CSendOptions high;
  high.nPriority = 1;
  high.sSender = "Shop";
  high.nValidUntil = now + 600000;
  high.bReportRequest = false;
  high.sClientRef = "order-7";
  CSendOptions later;
  later.nNotBefore = now + 3600000;
  CSendOptions due;
  due.nNotBefore = now - 1000;
  const std::vector<COutgoingJobRow> jobs = {
      {"+491", jtTextMessage, "plain", hsAll, {}},         // 1
      {"+492", jtTextMessage, "later", hsAll, later},      // 2: not yet
      {"+493", jtTextMessage, "high", hsHandset2, high},   // 3
      {"+494", jtTextMessage, "due", hsAll, due},          // 4: its time has come
      {"+445", jtTextMessage, "routed", hsAll, {}},        // 5: another route's
      {"+496", jtTextMessage, "other", hsHandset3, high},  // 6: another handset's
  };
  std::vector<LONG> ids;
  inserts.Run([&] { ids = inserts.Insert(jobs, CMessageEndpoint(stHttpApi, "shop", "")); });
  ASSERT_EQ(ids, (std::vector<LONG>{1, 2, 3, 4, 5, 6}));
  const auto batch = outgoing.ClaimJobs(hsHandset2, 10, -3, std::nullopt, "PhoneNumber LIKE '+49%'");
  EXPECT_EQ(IdsOf(batch), (std::vector<LONG>{3, 1, 4}));
  ASSERT_EQ(batch.jobs.size(), 3U);
  const CClaimedJob& first = batch.jobs[0];
  EXPECT_EQ(first.eHandset, hsHandset2);
  EXPECT_EQ(first.options.sSender, "Shop");
  EXPECT_EQ(first.options.nPriority, 1);
  EXPECT_EQ(first.options.nValidUntil, now + 600000);
  EXPECT_EQ(first.options.bReportRequest, false);
  EXPECT_EQ(first.options.sClientRef, "order-7");
  EXPECT_FALSE(first.options.nNotBefore);
  EXPECT_EQ(batch.jobs[1].eHandset, hsAll);
  EXPECT_TRUE(batch.jobs[1].options.Empty());
  EXPECT_EQ(batch.jobs[2].options.nNotBefore, now - 1000);
  // The job scheduled for later is next; then nothing.
  EXPECT_EQ(outgoing.NextScheduled(hsHandset2, now), now + 3600000);
  EXPECT_TRUE(outgoing.ClaimJobs(hsHandset2, 10, -3, std::nullopt, "PhoneNumber LIKE '+49%'").jobs.empty());
  // Without a condition the other route's job is this handset's too.
  EXPECT_EQ(IdsOf(outgoing.ClaimJobs(hsHandset2, 10, -3)), std::vector<LONG>{5});
}
