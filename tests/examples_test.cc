#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "child_process.h"
#include "client_test_support.h"
#include "queue_test_support.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "test_support.h"

using TestSupport::RunCommand;
using namespace std::chrono_literals;

namespace {

std::string Example(const std::string& name) { return std::string(VELQUOR_EXAMPLES_DIR) + "/velquor-example-" + name; }

// A configured SQLite queue database with the engine's side of it.
struct ExampleSetup {
  TestSupport::ConfiguredQueues queues{TestSupport::Backend::Sqlite};
  TestSupport::TestDatabase& db = queues.db;
  TestSupport::QueueSet engine{db.Dsn()};
};

}  // namespace

TEST(Examples, SendAndReceiveAgainstATemporarySqliteSetup) {
  ExampleSetup setup;
  auto& db = setup.db;
  auto& incoming = setup.engine.incoming;
  auto& notifications = setup.engine.notifications;
  // The engine marks the message sent at once; the example's 30 s wait ends
  // at the first status query.
  db.Run(
      "CREATE TRIGGER sent_at_once AFTER INSERT ON SMSOutgoing BEGIN UPDATE SMSOutgoing SET Status=2 WHERE Id=NEW.Id; "
      "END");
  const auto send =
      RunCommand(std::string(VELQUOR_EXAMPLES_DIR) + "/velquor-example-send +4915112345678 'Hello there'");
  EXPECT_EQ(send.status, 0) << send.out;
  EXPECT_EQ(send.out, "message 1: status 2\n");
  EXPECT_EQ(db.Value("SELECT Data FROM SMSOutgoing WHERE Id=1", "Data").ToString(), "Hello there");

  incoming.StoreMessage("+44", Norvale::jtTextMessage, "Hi back", 1, "now", Norvale::CMessageEndpoint());
  notifications.InsertJob(1, Norvale::ntDeliveryReport, "+4915112345678", Norvale::jtTextMessage, "Hello there",
                          Norvale::hsAll, 0, "now", Norvale::jsSent,
                          Norvale::CMessageEndpoint(Norvale::stClientLibrary));
  const auto receive = RunCommand(std::string(VELQUOR_EXAMPLES_DIR) + "/velquor-example-receive");
  EXPECT_EQ(receive.status, 0) << receive.out;
  EXPECT_EQ(receive.out, "message from +44: Hi back\nnotification 0 for message 1\n");
}

TEST(Examples, ListenPrintsWhatArrives) {
  ExampleSetup setup;
  auto& incoming = setup.engine.incoming;
  auto& notifications = setup.engine.notifications;
  incoming.StoreMessage("+44", Norvale::jtUnicodeMessage, "00480069", 1, "now", Norvale::CMessageEndpoint());
  notifications.InsertJob(5, Norvale::ntSendFailure, "+1", Norvale::jtTextMessage, "x", Norvale::hsAll, 3, "now",
                          Norvale::jsErrNetworkFailure, Norvale::CMessageEndpoint(Norvale::stClientLibrary));
  const auto listen = RunCommand(std::string(VELQUOR_EXAMPLES_DIR) + "/velquor-example-listen 3");
  EXPECT_EQ(listen.status, 0) << listen.out;
  EXPECT_EQ(listen.out, "message from +44: Hi\nnotification 3 for message 5\n");
}

// How seldom the idle example is woken is measured by bench/idle_wakeups.
TEST(Examples, ListenWaitsUntilAMessageOrASignalArrives) {
  ExampleSetup setup;
  TestSupport::ChildProcess listen({Example("listen")});
  ASSERT_TRUE(listen.Started());
  std::this_thread::sleep_for(500ms);  // the listener's first poll is 2 s after its start
  ASSERT_TRUE(listen.Running()) << listen.Output();
  setup.engine.incoming.StoreMessage("+44", Norvale::jtTextMessage, "ping", 1, "now", Norvale::CMessageEndpoint());
  EXPECT_TRUE(listen.WaitForOutput("message from +44: ping\n", 5s)) << listen.Output();
  listen.Signal(SIGTERM);
  EXPECT_EQ(listen.Wait(2s), 0) << listen.Output();

  TestSupport::ChildProcess interrupted({Example("listen")});
  // Signalled once it takes SIGINT itself: a slow start under a sanitizer
  // would otherwise meet the default action.
  ASSERT_TRUE(interrupted.WaitUntilBlocks(SIGINT, 10s)) << interrupted.Output();
  interrupted.Signal(SIGINT);
  EXPECT_EQ(interrupted.Wait(2s), 0) << interrupted.Output();
}

TEST(Examples, ExitCodesTellUsageErrorsFromFailures) {
  ExampleSetup setup;
  // A bounded run: a listen example that misreads its argument would run on.
  for (const std::string& usage :
       {Example("send"), Example("send") + " '' hello", Example("send") + " +49 a b", Example("receive") + " extra",
        Example("listen") + " abc", Example("listen") + " -1", Example("listen") + " 1 2"}) {
    const auto r = RunCommand("timeout 5 " + usage);
    EXPECT_EQ(r.status, 2) << usage << ": " << r.out;
    EXPECT_NE(r.out.find("usage: "), std::string::npos) << usage << ": " << r.out;
  }
  EXPECT_EQ(RunCommand(Example("listen") + " 1").status, 0);
  EXPECT_EQ(setup.db.Value("SELECT COUNT(*) AS N FROM SMSOutgoing", "N").ToLong(), 0);

  // Without a configuration the library hands sends to the engine, which
  // does not run here.
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  const auto failed = RunCommand(Example("send") + " +49 hello");
  EXPECT_EQ(failed.status, 1) << failed.out;
  EXPECT_NE(failed.out.find("Velquor Engine not running"), std::string::npos) << failed.out;
}
