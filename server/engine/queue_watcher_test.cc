#include "server/engine/queue_watcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "queue_test_support.h"
#include "queues/engine_outgoing_queue.h"
#include "skip_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using namespace std::chrono_literals;

namespace {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds cap = 15s) {
  const auto end = std::chrono::steady_clock::now() + cap;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A watcher whose wake does what a handset's look does: one claim.
class CQueueWatcherTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Postgres && !TestSupport::PostgresAddress())
      SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    settings.sDSN = db->Dsn();
    if (GetParam() == Backend::Postgres) {
      // Its sessions told apart from those of tests running at once.
      sApplication = "watcher_" + std::to_string(getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this));
      settings.sDSN += "&application_name=" + sApplication;
      // velquor db init again: the trigger is made once.
      Connection c;
      c.Open("Data Source=" + db->Dsn(), "", "");
      CreateQueueSchema(c, db->Dsn());
    }
    look.SetDBSettings(settings.sDSN, "", "");
    client = std::make_unique<TestSupport::QueueSet>(db->Dsn());
  }
  void Look() {
    if (queue.ClaimJob(hsAll)) ++nClaimed;
  }
  LONG Queue() {
    return client->outgoing.InsertJob("+4915112345", jtTextMessage, "hi", hsAll, CMessageEndpoint(stClientLibrary));
  }
  // The backend process of the watcher's session; 0 when it has none.
  LONG ListenerPid() {
    return db
        ->Value("SELECT COALESCE(MAX(pid), 0) AS Pid FROM pg_stat_activity WHERE application_name = '" + sApplication +
                    "' AND query LIKE 'SELECT 1 AS Present%'",
                "Pid")
        .ToLong();
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueSet> client;
  std::string sApplication;
  CEngineSettings settings;
  CDBConnectionDispensor look;
  CEngineOutgoingQueue queue{&look};
  std::atomic<int> nClaimed{0};
};

TEST_P(CQueueWatcherTest, AQueuedJobWakesAtOnceAndTheLookItCausesDoesNotWakeAgain) {
  CQueueWatcher watcher(settings, [this] { Look(); });
  watcher.Start();
  if (GetParam() == Backend::Postgres) {
    ASSERT_TRUE(WaitUntil([&] { return watcher.Sessions() == 1; }));
  }
  // The handsets share their poll only while this holds.
  EXPECT_TRUE(WaitUntil([&] { return watcher.Watching(); }));
  Queue();
  ASSERT_TRUE(WaitUntil([&] { return nClaimed == 1; }, 10s)) << watcher.Wakes();
  Queue();
  ASSERT_TRUE(WaitUntil([&] { return nClaimed == 2; }, 10s)) << watcher.Wakes();
  // SQLite: the claims wrote to the file; the looks after them find nothing
  // and write nothing, so the wakes stop. (PostgreSQL's channel also hears
  // the inserts of tests running at once.)
  if (GetParam() == Backend::Sqlite) {
    std::this_thread::sleep_for(500ms);  // past the trailing wakes
    const long settled = watcher.Wakes();
    std::this_thread::sleep_for(1s);
    EXPECT_LE(watcher.Wakes() - settled, 1) << settled;
    EXPECT_LE(settled, 25);  // a few per job; a wake that fed itself would give hundreds
  }
  watcher.Stop();
}

INSTANTIATE_TEST_SUITE_P(Backends, CQueueWatcherTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// The listening session exists on PostgreSQL only.
class CQueueWatcherPostgresTest : public CQueueWatcherTest {};

TEST_P(CQueueWatcherPostgresTest, ListensAgainWhenItsSessionIsKilled) {
  CQueueWatcher watcher(settings, [this] { Look(); });
  watcher.Start();
  LONG pid = 0;
  ASSERT_TRUE(WaitUntil([&] { return (pid = ListenerPid()) != 0; }));
  ASSERT_TRUE(WaitUntil([&] { return watcher.Watching(); }));
  TestSupport::TestDatabase::Admin("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
  ASSERT_TRUE(WaitUntil([&] { return watcher.Sessions() == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return watcher.Watching(); }));
  EXPECT_NE(ListenerPid(), pid);
  Queue();
  EXPECT_TRUE(WaitUntil([&] { return nClaimed == 1; }, 10s)) << watcher.Wakes();
  watcher.Stop();
}

INSTANTIATE_TEST_SUITE_P(Backends, CQueueWatcherPostgresTest, ::testing::Values(Backend::Postgres),
                         TestSupport::BackendName);

TEST(CQueueWatcher, StopEndsAConnectToASilentServerAtOnce) {
  TestSupport::SilentServer server;
  CEngineSettings settings;
  settings.sDSN = "postgresql://127.0.0.1:" + std::to_string(server.Port()) + "/velquor";
  settings.dwDatabaseConnectTimeout = 120000;
  int wakes = 0;
  CQueueWatcher watcher(settings, [&] { ++wakes; });
  watcher.Start();
  std::this_thread::sleep_for(200ms);  // well into the connect
  const auto start = std::chrono::steady_clock::now();
  watcher.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(wakes, 0);
}

}  // namespace
