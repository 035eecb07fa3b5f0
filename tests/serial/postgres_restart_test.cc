// Tests that restart the shared PostgreSQL test server; ctest runs them alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "queue_test_support.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

// Restarts the shared test server; its connections die.
void RestartServer(const char* dir) {
  const std::string bin = TestSupport::RunCommand("ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1").out;
  const std::string pgctl = bin.substr(0, bin.find('\n')) + "/pg_ctl";
  const std::string as = getuid() == 0 ? "runuser -u postgres -- " : "";
  const auto restart =
      TestSupport::RunCommand(as + pgctl + " -D " + dir + "/data -l " + dir + "/log -w -m fast restart");
  ASSERT_EQ(restart.status, 0) << restart.out;
}

}  // namespace

TEST(PostgresRestart, NextOperationSucceedsOnItsLastAttemptsNewConnection) {
  const char* dir = std::getenv("PG_DIR");
  if (!TestSupport::PostgresAddress() || !dir) SKIP_UNLESS_CI() << "no private PostgreSQL server";
  TestSupport::TestDatabase db(TestSupport::Backend::Postgres);
  TestSupport::QueueSet queues(db.Dsn());
  const LONG id = queues.outgoing.InsertJob("+1", jtTextMessage, "before", hsAll, CMessageEndpoint(stClientLibrary));
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsPending);  // the connection is open now

  RestartServer(dir);

  const long opens = Connection::s_nOpens;
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsPending);
  EXPECT_EQ(Connection::s_nOpens - opens, 1);  // attempts 1 to 9 failed on the old connection
}

// A group that begins on a kept connection the restart killed starts over on
// a new one: the engine writes every outcome in such a group, and used to
// fail there for ever once its connection had died while idle.
TEST(PostgresRestart, AGroupBegunOnADeadConnectionStartsOnANewOne) {
  const char* dir = std::getenv("PG_DIR");
  if (!TestSupport::PostgresAddress() || !dir) SKIP_UNLESS_CI() << "no private PostgreSQL server";
  TestSupport::TestDatabase db(TestSupport::Backend::Postgres);
  TestSupport::QueueSet queues(db.Dsn());
  const LONG id = queues.outgoing.InsertJob("+1", jtTextMessage, "before", hsAll, CMessageEndpoint(stClientLibrary));
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsPending);

  RestartServer(dir);

  {
    CDatabaseTransaction group(&queues.dispensor, CDatabaseTransaction::kEveryDatabase);
    queues.outgoing.JobUpdate(id, jsSentNotConfirmed, hsHandset1, 7);
    group.Commit();
  }
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsSentNotConfirmed);
}
