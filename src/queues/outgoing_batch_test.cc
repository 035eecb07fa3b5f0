// Many jobs into SMSOutgoing in one transaction: rows as the single insert
// writes them, consecutive identifiers in order, all or nothing, and writers
// at once (batches and single inserts) never sharing an identifier, on both
// backends.
#include "queues/outgoing_batch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "queue_test_support.h"
#include "queues/outgoing_queue.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

class OutgoingBatchTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    dispensor.SetDBSettings(db->Dsn(), "", "");
  }
  // Every column of the row but its Id, as text.
  std::string RowText(LONG nId) const {
    Connection c;
    c.Open("Data Source=" + db->Dsn(), "", "");
    _variant_t affected;
    const auto rs = c.Execute("SELECT * FROM SMSOutgoing WHERE Id=$1", {nId}, &affected, adCmdText);
    if (rs == nullptr || rs->adoEOF()) return "no row";
    std::string text;
    for (const char* column : {"Type", "PhoneNumber", "Data", "Handset", "Status", "SourceType", "SourceId",
                               "SourceName", "MessageRef", "RetryCount"}) {
      const _variant_t value = rs->GetFieldValue(column);
      text += std::string(column) + "=" + (value.vt == VT_NULL ? "NULL" : ConvertVariantToString(value)) + ";";
    }
    return text;
  }
  long Count() const { return db->Value("SELECT COUNT(*) AS N FROM SMSOutgoing", "N").ToLong(); }

  std::unique_ptr<TestSupport::TestDatabase> db;
  CDBConnectionDispensor dispensor;
};

TEST_P(OutgoingBatchTest, WritesTheRowsOfTheSingleInsertWithConsecutiveIdsInOrder) {
  db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (41, 2)");
  COutgoingQueue single(nullptr, &dispensor);
  COutgoingBatch batch(&dispensor);
  const std::vector<COutgoingJobRow> jobs = {
      {"+4915112345678", jtTextMessage, "Hello 'w\"orld' \\ {a,b}", hsAll, {}},
      {"+1", jtUnicodeMessage, "00480069", hsHandset3, {}},
      {"+2", jtDataMessage, CJobQueue::EncodeDataMessage("48656C6C6F", "0500030A0201", 4), hsHandset8, {}},
      {"+3", jtTextMessage, "", hsHandset1, {}},  // an empty text, stored as one blank
  };
  const CMessageEndpoint source(stHttpApi, "shop", "");
  std::vector<LONG> ids;
  batch.Run([&] { ids = batch.Insert(jobs, source); });
  ASSERT_EQ(ids, (std::vector<LONG>{42, 43, 44, 45}));
  for (size_t i = 0; i < jobs.size(); ++i) {
    const LONG alone =
        single.InsertJob(jobs[i].sPhoneNumber, jobs[i].eJobType, jobs[i].sData, jobs[i].eHandset, source);
    EXPECT_EQ(RowText(ids[i]), RowText(alone)) << i;
  }
  EXPECT_NE(RowText(42).find("SourceType=10;SourceId=shop;SourceName= ;"), std::string::npos) << RowText(42);
  EXPECT_NE(RowText(42).find("Status=0;"), std::string::npos) << RowText(42);
  // The next batch goes on above the single inserts.
  batch.Run([&] { ids = batch.Insert({jobs[0]}, source); });
  EXPECT_EQ(ids, std::vector<LONG>{50});
}

TEST_P(OutgoingBatchTest, AFailedGroupWritesNothingAndAnInsertOutsideATransactionIsRefused) {
  COutgoingBatch batch(&dispensor);
  const std::vector<COutgoingJobRow> jobs(100, COutgoingJobRow{"+49", jtTextMessage, "x", hsAll, {}});
  EXPECT_THROW(batch.Run([&] {
    batch.Insert(jobs, CMessageEndpoint(stHttpApi, "shop", ""));
    throw std::runtime_error("the caller's own record failed");
  }),
               std::runtime_error);
  EXPECT_EQ(Count(), 0);
  try {
    batch.Insert(jobs, CMessageEndpoint(stHttpApi, "shop", ""));
    ADD_FAILURE() << "inserted outside a transaction";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_UNEXPECTED);
  }
  EXPECT_EQ(Count(), 0);
  // Identifiers that would pass the largest 32-bit number: none is written.
  db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (2147483600, 2)");
  try {
    batch.Run([&] { batch.Insert(jobs, CMessageEndpoint(stHttpApi, "shop", "")); });
    ADD_FAILURE() << "inserted past the largest identifier";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), DISP_E_OVERFLOW);
  }
  EXPECT_EQ(Count(), 1);
}

// Batch writers in threads, each on a connection of its own, and a single
// writer beside them that takes no lock: every identifier once, every batch
// consecutive and complete.
TEST_P(OutgoingBatchTest, WritersAtOnceNeverShareAnIdentifier) {
  constexpr int kWriters = 3, kBatches = 15, kBatchSize = 40, kSingles = 60;
  std::vector<std::vector<LONG>> batches[kWriters];
  std::vector<LONG> singles;
  std::string failures[kWriters + 1];
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      try {
        CDBConnectionDispensor mine;
        mine.SetDBSettings(db->Dsn(), "", "");
        COutgoingBatch batch(&mine);
        const std::vector<COutgoingJobRow> jobs(
            kBatchSize, COutgoingJobRow{"+49", jtTextMessage, "w" + std::to_string(w), hsAll, {}});
        for (int b = 0; b < kBatches; ++b) {
          std::vector<LONG> ids;
          batch.Run([&] { ids = batch.Insert(jobs, CMessageEndpoint(stHttpApi, "w" + std::to_string(w), "")); });
          batches[w].push_back(ids);
        }
      } catch (const _com_error& e) {
        failures[w] = e.DescriptionA();
      }
    });
  }
  threads.emplace_back([&] {
    try {
      CDBConnectionDispensor mine;
      mine.SetDBSettings(db->Dsn(), "", "");
      COutgoingQueue single(nullptr, &mine);
      for (int i = 0; i < kSingles; ++i)
        singles.push_back(single.InsertJob("+1", jtTextMessage, "single", hsAll, CMessageEndpoint(stClientLibrary)));
    } catch (const _com_error& e) {
      failures[kWriters] = e.DescriptionA();
    }
  });
  for (auto& thread : threads) thread.join();
  std::set<LONG> seen(singles.begin(), singles.end());
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(failures[w], "") << w;
    for (const auto& ids : batches[w]) {
      ASSERT_EQ(ids.size(), static_cast<size_t>(kBatchSize));
      for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(ids[i], ids[0] + static_cast<LONG>(i));
        EXPECT_TRUE(seen.insert(ids[i]).second) << "identifier " << ids[i] << " given twice";
      }
      EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE SourceId='w" + std::to_string(w) +
                              "' AND Id BETWEEN " + std::to_string(ids.front()) + " AND " + std::to_string(ids.back()),
                          "N")
                    .ToLong(),
                kBatchSize);
    }
  }
  EXPECT_EQ(failures[kWriters], "");
  EXPECT_EQ(Count(), kWriters * kBatches * kBatchSize + kSingles);
  EXPECT_EQ(static_cast<long>(seen.size()), Count());
}

// On PostgreSQL a writer that takes no lock may hold the next identifier
// uncommitted: the batch meets it on the key, fails once it commits, and goes
// again as a whole, above it. (SQLite's writers take the write lock before
// they read.)
class OutgoingBatchRace : public OutgoingBatchTest {};

TEST_P(OutgoingBatchRace, ABatchWhoseIdentifierWasTakenGoesAgainWhole) {
  db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (7, 2)");
  Connection blocker;
  blocker.Open("Data Source=" + db->Dsn(), "", "");
  _variant_t affected;
  blocker.Execute("BEGIN", &affected, adCmdText);
  blocker.Execute("INSERT INTO SMSOutgoing (Id, Status) VALUES (8, 2)", &affected, adCmdText);
  const LONG blockerPid =
      blocker.Execute("SELECT pg_backend_pid() AS Pid", &affected, adCmdText)->GetFieldValue("Pid").ToLong();
  int runs = 0;
  std::vector<LONG> ids;
  std::string failure;
  std::thread writer([&] {
    try {
      COutgoingBatch batch(&dispensor);
      batch.Run([&] {
        ++runs;
        ids = batch.Insert(std::vector<COutgoingJobRow>(5, {"+49", jtTextMessage, "x", hsAll, {}}),
                           CMessageEndpoint(stHttpApi, "shop", ""));
      });
    } catch (const _com_error& e) {
      failure = e.DescriptionA();
    }
  });
  // The batch waits on the blocker's row.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (db->Value("SELECT COUNT(*) AS N FROM pg_locks AS l JOIN pg_stat_activity AS a ON a.pid=l.pid WHERE NOT "
                   "l.granted AND " +
                       std::to_string(blockerPid) + " = ANY(pg_blocking_pids(l.pid))",
                   "N")
                 .ToLong() == 0 &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  blocker.Execute("COMMIT", &affected, adCmdText);
  writer.join();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(ids, (std::vector<LONG>{9, 10, 11, 12, 13}));
  EXPECT_EQ(Count(), 7);
}

INSTANTIATE_TEST_SUITE_P(Backends, OutgoingBatchTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);
INSTANTIATE_TEST_SUITE_P(Backends, OutgoingBatchRace, ::testing::Values(Backend::Postgres), TestSupport::BackendName);

}  // namespace
