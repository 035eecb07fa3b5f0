// Tests that restart the shared PostgreSQL test server; ctest runs them alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "queue_test_support.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;

TEST(PostgresRestart, NextOperationSucceedsOnItsLastAttemptsNewConnection) {
  const char* dir = std::getenv("PG_DIR");
  if (!TestSupport::PostgresAddress() || !dir) SKIP_UNLESS_CI() << "no private PostgreSQL server";
  TestSupport::TestDatabase db(TestSupport::Backend::Postgres);
  TestSupport::QueueSet queues(db.Dsn());
  const LONG id = queues.outgoing.InsertJob("+1", jtTextMessage, "before", hsAll, CMessageEndpoint(stClientLibrary));
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsPending);  // the connection is open now

  const std::string bin = TestSupport::RunCommand("ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1").out;
  const std::string pgctl = bin.substr(0, bin.find('\n')) + "/pg_ctl";
  const std::string as = getuid() == 0 ? "runuser -u postgres -- " : "";
  const auto restart =
      TestSupport::RunCommand(as + pgctl + " -D " + dir + "/data -l " + dir + "/log -w -m fast restart");
  ASSERT_EQ(restart.status, 0) << restart.out;

  const long opens = Connection::s_nOpens;
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsPending);
  EXPECT_EQ(Connection::s_nOpens - opens, 1);  // attempts 1 to 9 failed on the old connection
}
