// The engine while the shared PostgreSQL test server restarts under it; ctest
// runs it alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "platform/registry.h"
#include "server_test_support.h"
#include "skip_support.h"
#include "test_support.h"

TEST(EnginePostgresRestart, ReconnectsAndGoesOnWithNothingLostOrSentTwice) {
  const char* dir = std::getenv("PG_DIR");
  if (!TestSupport::PostgresAddress() || !dir) SKIP_UNLESS_CI() << "no private PostgreSQL server";
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  TestSupport::TestDatabase db(TestSupport::Backend::Postgres);
  TestSupport::EngineRoot root(db.Dsn());
  const std::string log = TestSupport::Root() + "/submit.log";
  root.Set("OrphanGrace", "500");
  for (int h : {1, 2}) root.AddSimulator(h, {{"SubmitLog", log}, {"Latency", "5"}, {"ReportDelay", "50"}});
  std::string sql = "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType) VALUES ";
  constexpr int kJobs = 300;
  for (int i = 1; i <= kJobs; ++i) sql += (i > 1 ? ", (" : "(") + std::to_string(i) + ", 1, '+49151', 'x', 0, 0, 1)";
  db.Run(sql);
  TestSupport::ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return TestSupport::ReadSubmissions(log).size() >= 40; }, 60000));

  const std::string bin = TestSupport::RunCommand("ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1").out;
  const std::string pgctl = bin.substr(0, bin.find('\n')) + "/pg_ctl";
  const std::string as = getuid() == 0 ? "runuser -u postgres -- " : "";
  const auto restart =
      TestSupport::RunCommand(as + pgctl + " -D " + dir + "/data -l " + dir + "/log -w -m fast restart");
  ASSERT_EQ(restart.status, 0) << restart.out;
  const size_t before = TestSupport::ReadSubmissions(log).size();
  EXPECT_LT(before, static_cast<size_t>(kJobs)) << "the load was over before the restart";

  // Every job delivered: rows gone (sent and cleared by later sends) or 2.
  EXPECT_TRUE(TestSupport::WaitUntil(
      [&] {
        return TestSupport::Count(db, "Status<>2") == 0 && TestSupport::Count(db, "", "SMSNotifications") >= 2 * kJobs;
      },
      120000))
      << TestSupport::Count(db, "Status<>2") << " not delivered";
  EXPECT_EQ(server.Stop(), 0);
  std::map<long, int> accepted;
  for (const auto& s : TestSupport::ReadSubmissions(log))
    if (s.outcome == "accepted") ++accepted[s.job];
  EXPECT_EQ(accepted.size(), static_cast<size_t>(kJobs));
  for (const auto& [job, n] : accepted) EXPECT_EQ(n, 1) << job;
  std::printf("PostgreSQL restarted after %zu of %d submissions: all %d delivered, none twice\n", before, kJobs, kJobs);
}
