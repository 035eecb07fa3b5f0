// velquor-server wakes its handsets when a client queues a job: with a poll
// interval far longer than the tests wait, the job still reaches the
// simulator at once, on SQLite (the file watched) and PostgreSQL (the
// trigger's notification). A database without the trigger is polled.
#include <gtest/gtest.h>

#include "engine_test_support.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "server_test_support.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;

namespace {

void FreshRoot() {
  std::filesystem::remove_all(RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class EngineWake : public ::testing::TestWithParam<TestSupport::Backend> {};

TEST_P(EngineWake, AQueuedJobReachesTheNetworkLongBeforeThePoll) {
  SKIP_WITHOUT_BACKEND(GetParam());
  FreshRoot();
  TestSupport::TestDatabase db(GetParam());
  EngineRoot root(db.Dsn());
  root.Set("PollInterval", "60000");
  const std::string log = TestSupport::Root() + "/wake-submit.log";
  std::filesystem::remove(log);
  std::filesystem::remove(root.EventLog());  // an earlier test's
  root.AddSimulator(1, {{"SubmitLog", log}, {"Reports", "0"}});
  root.AddSimulator(2, {{"SubmitLog", log}, {"Reports", "0"}});
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  for (const char* number : {"+4915100001", "+4915100002"}) {
    // The handsets have looked at the empty queue and wait for their poll.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    client.outgoing.InsertJob(number, jtTextMessage, "at once", hsAll, me);
    EXPECT_TRUE(WaitUntil([&] { return TestSupport::ReadFile(log).find(number) != std::string::npos; }, 10000))
        << number;
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));  // not the poll interval
  EXPECT_EQ(TestSupport::ReadFile(root.EventLog()).find("claims new jobs at its poll only"), std::string::npos);
  std::filesystem::remove(log);
}

INSTANTIATE_TEST_SUITE_P(Backends, EngineWake,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

TEST(EngineWake, ADatabaseWithoutTheTriggerIsPolledAndSaysSoOnce) {
  SKIP_WITHOUT_BACKEND(TestSupport::Backend::Postgres);
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Postgres);
  db.Run("DROP TRIGGER SMSOutgoing_Notify ON SMSOutgoing");  // a database made before it
  EngineRoot root(db.Dsn());
  root.Set("PollInterval", "500");
  const std::string log = TestSupport::Root() + "/wake-submit.log";
  std::filesystem::remove(log);
  std::filesystem::remove(root.EventLog());  // an earlier test's
  root.AddSimulator(1, {{"SubmitLog", log}, {"Reports", "0"}});
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  TestSupport::QueueSet client(db.Dsn());
  client.outgoing.InsertJob("+4915100003", jtTextMessage, "polled", hsAll, CMessageEndpoint(stClientLibrary));
  EXPECT_TRUE(WaitUntil([&] { return TestSupport::ReadFile(log).find("+4915100003") != std::string::npos; }));
  EXPECT_TRUE(WaitUntil([&] {
    return TestSupport::ReadFile(root.EventLog()).find("claims new jobs at its poll only") != std::string::npos;
  }));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(Occurrences(TestSupport::ReadFile(root.EventLog()), "no trigger on SMSOutgoing"), 1u);
  std::filesystem::remove(log);
}

}  // namespace
