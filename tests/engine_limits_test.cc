// velquor-server keeps a handset's MaxPerDay across a restart: with more
// messages queued than the limit, exactly the limit leaves, the rest waits
// pending, and a restarted engine (which counts the day from the message
// history) sends none of them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "platform/service_control.h"
#include "server_test_support.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using TestSupport::Count;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;

namespace {

class EngineDayLimit : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    std::filesystem::remove_all(RegistryRootDirectory());
    std::filesystem::remove_all(TestSupport::Root() + "/run");
    ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  }
};

// How many times the engine's event log says that handset 1 reached its
// MaxPerDay: once per run of the engine that found it reached.
long LimitNotes(const EngineRoot& root) {
  std::ifstream in(root.EventLog());
  std::string line;
  long notes = 0;
  while (std::getline(in, line))
    if (line.find("Handset 1 sent its MaxPerDay of 3 messages today") != std::string::npos) ++notes;
  return notes;
}

long Lines(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  long lines = 0;
  while (std::getline(in, line)) ++lines;
  return lines;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, EngineDayLimit, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(EngineDayLimit, MaxPerDayHoldsTheRestPendingAcrossARestart) {
  TestSupport::TestDatabase db(GetParam());
  EngineRoot root(db.Dsn());
  const std::string submitLog = root.Path() + "/submissions.log";
  std::filesystem::remove(submitLog);
  root.AddSimulator(1, {{"MaxPerDay", "3"}, {"Reports", "0"}, {"Seed", "7"}, {"SubmitLog", submitLog}});
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "");
  for (int i = 0; i < 8; ++i) client.outgoing.InsertJob("+4915111" + std::to_string(i), jtTextMessage, "hi", hsAll, me);

  const std::string sent = "Type=" + std::to_string(ntMessageSent);
  const std::string pending = "Status=" + std::to_string(jsPending);
  {
    ServerProcess server(root);
    ASSERT_TRUE(server.StartAndWait()) << server.Errors();
    // The handset says so once it finds the limit reached: by then it has
    // made its last claim of the day.
    ASSERT_TRUE(WaitUntil([&] { return LimitNotes(root) == 1; })) << Count(db, sent, "SMSNotifications");
    EXPECT_EQ(Count(db, sent, "SMSNotifications"), 3);
    EXPECT_EQ(Count(db, pending), 5);
    EXPECT_EQ(server.Stop(), 0);
  }
  EXPECT_EQ(Lines(submitLog), 3);

  // A new run counts the day from the history: nothing more leaves.
  ServerProcess again(root);
  ASSERT_TRUE(again.StartAndWait()) << again.Errors();
  ASSERT_TRUE(WaitUntil([&] { return LimitNotes(root) == 2; })) << again.Errors();
  EXPECT_EQ(Count(db, sent, "SMSNotifications"), 3);
  EXPECT_EQ(Count(db, pending), 5);
  EXPECT_EQ(Lines(submitLog), 3);
  EXPECT_EQ(Count(db, "Event='sent' AND Handset=1", "MessageHistory"), 3);

  // The count is the database's: once the history says the three were sent
  // the day before, the handset goes on with the next three (within the
  // count's refresh) and no further.
  db.Run("UPDATE MessageHistory SET At=At-86400000 WHERE Event='sent'");
  ASSERT_TRUE(WaitUntil([&] { return Count(db, sent, "SMSNotifications") == 6; }, 30000))
      << Count(db, sent, "SMSNotifications");
  EXPECT_EQ(again.Stop(), 0);
  EXPECT_EQ(Count(db, sent, "SMSNotifications"), 6);
  EXPECT_EQ(Count(db, pending), 2);
  EXPECT_EQ(Lines(submitLog), 6);
}
