// The hand-over of notifications and received messages into a reader's own
// tables: taken and written in one transaction, or not at all, on both
// backends, and readers taking at once never get the same row.
#include "queues/queue_handover.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "queue_test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

class QueueHandover : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    db->Run("CREATE TABLE Handed (QueueId INTEGER, What TEXT)");
    queues = std::make_unique<TestSupport::QueueSet>(db->Dsn());
  }
  void Notify(LONG job, SourceTypes type, const std::string& account) const {
    queues->notifications.InsertJob(job, ntDeliveryReport, "+49 " + std::to_string(job), jtTextMessage, "text",
                                    hsHandset2, 0, "2026-12-09T16:48:40Z", jsSent,
                                    CMessageEndpoint(type, account, "name"));
  }
  LONG Count(const std::string& sql) const { return db->Value(sql, "N").ToLong(); }
  // The writer of the reader's rows, on the provider's open connection.
  static void Hand(CDBConnectionDispensor& dispensor, LONG id, const std::string& what) {
    _variant_t affected;
    dispensor.GetConnection()->Execute("INSERT INTO Handed (QueueId, What) VALUES ($1, $2)", {id, what}, &affected,
                                       adCmdText | adExecuteNoRecords);
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueSet> queues;
};

TEST_P(QueueHandover, TakesTheOldestNotificationsOfTheSourceTypeTogetherWithTheWritersRows) {
  for (LONG job = 1; job <= 5; ++job) Notify(job, stHttpApi, "shop");
  Notify(6, static_cast<SourceTypes>(1), "other");  // another reader's
  CQueueHandover handover(&queues->dispensor);
  std::vector<LONG> jobs;
  const auto write = [&](const std::vector<CTakenNotification>& taken) {
    for (const auto& t : taken) {
      jobs.push_back(t.record.nJobId);
      EXPECT_EQ(t.record.Source.m_sId, "shop");
      EXPECT_EQ(t.record.eHandset, hsHandset2);
      EXPECT_EQ(t.record.sTimeStamp, "2026-12-09T16:48:40Z");
      Hand(queues->dispensor, t.nId, t.record.sPhoneNumber);
    }
  };
  EXPECT_EQ(handover.TakeNotifications(stHttpApi, 3, write), 3u);
  EXPECT_EQ(jobs, (std::vector<LONG>{1, 2, 3}));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM Handed"), 3);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSNotifications"), 3);
  EXPECT_EQ(handover.TakeNotifications(stHttpApi, 10, write), 2u);
  EXPECT_EQ(jobs, (std::vector<LONG>{1, 2, 3, 4, 5}));
  // None left of this source type: the writer is not called.
  bool called = false;
  EXPECT_EQ(handover.TakeNotifications(stHttpApi, 10, [&](const auto&) { called = true; }), 0u);
  EXPECT_FALSE(called);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSNotifications WHERE OriginalId=6"), 1);
}

TEST_P(QueueHandover, AFailingWriterLeavesTheQueueAsItWasAndWritesNothing) {
  for (LONG job = 1; job <= 4; ++job) Notify(job, stHttpApi, "shop");
  queues->incoming.StoreMessage("+491", jtTextMessage, "hello", hsHandset1, "2026-12-09T16:48:40Z", CMessageEndpoint());
  CQueueHandover handover(&queues->dispensor);
  EXPECT_THROW(handover.TakeNotifications(stHttpApi, 10,
                                          [&](const std::vector<CTakenNotification>& taken) {
                                            Hand(queues->dispensor, taken.front().nId, "written");
                                            throw std::runtime_error("the writer fails");
                                          }),
               std::runtime_error);
  EXPECT_THROW(handover.TakeMessages({}, 10,
                                     [&](const std::vector<CTakenMessage>& taken) {
                                       Hand(queues->dispensor, taken.front().nId, "written");
                                       throw std::runtime_error("the writer fails");
                                     }),
               std::runtime_error);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM Handed"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSNotifications"), 4);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSIncoming"), 1);
  // The provider serves the next batch as before.
  EXPECT_EQ(handover.TakeNotifications(stHttpApi, 10,
                                       [&](const std::vector<CTakenNotification>& taken) {
                                         for (const auto& t : taken) Hand(queues->dispensor, t.nId, "n");
                                       }),
            4u);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM Handed"), 4);
}

TEST_P(QueueHandover, TakesReceivedMessagesOfTheHandsetsAskedFor) {
  for (int handset = 1; handset <= 3; ++handset)
    queues->incoming.StoreMessage("+49" + std::to_string(handset), jtTextMessage, "text " + std::to_string(handset),
                                  handset, "2026-12-09T16:48:40Z", CMessageEndpoint());
  CQueueHandover handover(&queues->dispensor);
  std::vector<std::string> from;
  const auto write = [&](const std::vector<CTakenMessage>& taken) {
    for (const auto& m : taken) {
      from.push_back(m.sPhoneNumber);
      EXPECT_EQ(m.sData, "text " + std::to_string(m.eHandset));
    }
  };
  EXPECT_EQ(handover.TakeMessages({1, 3}, 10, write), 2u);
  EXPECT_EQ(from, (std::vector<std::string>{"+491", "+493"}));
  EXPECT_EQ(handover.TakeMessages({1, 3}, 10, write), 0u);
  EXPECT_EQ(handover.TakeMessages({hsAll}, 10, write), 1u);
  EXPECT_EQ(from.back(), "+492");
}

TEST_P(QueueHandover, ReadersTakingAtOnceEachGetRowsOfTheirOwn) {
  constexpr LONG kRows = 60;
  for (LONG job = 1; job <= kRows; ++job) Notify(job, stHttpApi, "shop");
  std::vector<std::multiset<LONG>> seen(3);
  std::vector<std::thread> readers;
  for (auto& mine : seen)
    readers.emplace_back([this, &mine] {
      TestSupport::QueueSet own(db->Dsn());
      CQueueHandover handover(&own.dispensor);
      for (int round = 0; round < 400; ++round) {
        try {
          const std::size_t n = handover.TakeNotifications(stHttpApi, 4, [&](const auto& taken) {
            for (const auto& t : taken) {
              Hand(own.dispensor, t.nId, "t");
              mine.insert(t.record.nJobId);
            }
          });
          if (n == 0) break;
        } catch (const _com_error&) {
          // A busy database (SQLite's lock wait) undoes the batch; try again.
        }
      }
    });
  for (auto& reader : readers) reader.join();
  std::multiset<LONG> all;
  for (const auto& mine : seen) all.insert(mine.begin(), mine.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(std::set<LONG>(all.begin(), all.end()).size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM Handed"), kRows);
  EXPECT_EQ(Count("SELECT COUNT(*) AS N FROM SMSNotifications"), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, QueueHandover, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
