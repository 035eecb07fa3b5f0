// velquor-server keeps each job's life in the message history: on a database
// made before the history it adds the table at its start, and a job's whole
// life (queued, claimed, sent, delivered, each outcome notified) is still
// there after a newer send deleted its row.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/service_control.h"
#include "queues/message_history.h"
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

class EngineHistory : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    std::filesystem::remove_all(RegistryRootDirectory());
    std::filesystem::remove_all(TestSupport::Root() + "/run");
    ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  }
};

std::vector<std::string> Events(const std::vector<CHistoryEvent>& events) {
  std::vector<std::string> names;
  for (const auto& e : events) names.push_back(e.sEvent);
  return names;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, EngineHistory, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(EngineHistory, AJobsWholeLifeOutlivesItsRow) {
  TestSupport::TestDatabase db(GetParam());
  const bool sqlite = GetParam() == Backend::Sqlite;
  // A database from before the history.
  db.Run(sqlite ? "DROP TRIGGER SMSOutgoing_History" : "DROP TRIGGER SMSOutgoing_History ON SMSOutgoing");
  db.Run("DROP TABLE MessageHistory");
  EngineRoot root(db.Dsn());
  root.Set("EngineId", "321");
  root.AddSimulator(1);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  // The engine's start made the table and the trigger of the 'queued' event.
  ASSERT_TRUE(WaitUntil([&] {
    return db.Value(sqlite ? "SELECT COUNT(*) AS N FROM sqlite_master WHERE type='trigger' AND "
                             "name='SMSOutgoing_History'"
                           : "SELECT COUNT(*) AS N FROM pg_trigger WHERE tgname='smsoutgoing_history' AND "
                             "tgrelid=to_regclass('smsoutgoing')",
                    "N")
               .ToLong() == 1;
  }));

  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "");
  const LONG first = client.outgoing.InsertJob("+4915111", jtTextMessage, std::string(200, 'a'), hsAll, me);
  ASSERT_TRUE(
      WaitUntil([&] { return Count(db, "Type=0 AND OriginalId=" + std::to_string(first), "SMSNotifications") == 1; }));
  const LONG second = client.outgoing.InsertJob("+4915111", jtTextMessage, "newer", hsAll, me);
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Id=" + std::to_string(first)) == 0; }));  // deleted by the newer send
  ASSERT_TRUE(
      WaitUntil([&] { return Count(db, "Type=0 AND OriginalId=" + std::to_string(second), "SMSNotifications") == 1; }));
  EXPECT_EQ(server.Stop(), 0);

  CDBConnectionDispensor dispensor;
  dispensor.SetDBSettings(db.Dsn(), "", "");
  const auto life = CMessageHistory(&dispensor).Read(first);
  ASSERT_EQ(Events(life), (std::vector<std::string>{"queued", "claimed", "sent", "notified", "delivered", "notified"}));
  EXPECT_EQ(life[0].nStatus, jsPending);
  EXPECT_EQ(life[1].nEngineId, 321);
  EXPECT_EQ(life[1].nHandset, hsHandset1);
  EXPECT_EQ(life[2].nStatus, jsSentNotConfirmed);
  EXPECT_EQ(life[2].nParts, 2);  // 200 characters
  EXPECT_FALSE(life[2].sReference.empty());
  EXPECT_EQ(life[3].sDetail, "sent");
  EXPECT_EQ(life[4].nStatus, jsSent);
  EXPECT_EQ(life[5].sDetail, "delivered");
  for (size_t i = 1; i < life.size(); ++i) EXPECT_GE(life[i].nAt, life[i - 1].nAt - 5) << life[i].sEvent;
  EXPECT_EQ(Events(CMessageHistory(&dispensor).Read(second)),
            (std::vector<std::string>{"queued", "claimed", "sent", "notified", "delivered", "notified"}));
}
