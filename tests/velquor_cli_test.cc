#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "client_test_support.h"
#include "platform/database.h"
#include "platform/registry.h"
#include "queue_test_support.h"
#include "test_support.h"

namespace {

using Result = TestSupport::CommandResult;

Result Velquor(const std::string& args) { return TestSupport::RunCommand(std::string(VELQUOR_CLI) + " " + args); }

}  // namespace

TEST(VelquorConfigCommand, SetsGetsListsAndUnsetsValues) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  EXPECT_EQ(Velquor("config list").out, "");
  EXPECT_EQ(Velquor("config set DSN sqlite:/var/lib/velquor/queue.db").status, 0);
  EXPECT_EQ(Velquor("config set OutgoingQueueEnabled 1").status, 0);
  EXPECT_EQ(Velquor("config set Password 's3cr et' --encrypted").status, 0);
  EXPECT_EQ(Velquor("config get dsn").out, "sqlite:/var/lib/velquor/queue.db\n");
  EXPECT_EQ(Velquor("config get Password --encrypted").out, "s3cr et\n");
  EXPECT_NE(Velquor("config get Password").out, "s3cr et\n");
  const Result list = Velquor("config list");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("DSN=sqlite:/var/lib/velquor/queue.db\nOutgoingQueueEnabled=1\nPassword="), std::string::npos)
      << list.out;
  EXPECT_EQ(Velquor("config unset DSN").status, 0);
  const Result missing = Velquor("config get DSN");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "velquor: no value DSN in the configuration\n");
  EXPECT_EQ(Velquor("config unset DSN").status, 1);
  EXPECT_NE(Velquor("config").status, 0);  // a sub-command is required
}

TEST(VelquorConfigCommand, ExplainsMissingRights) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  ASSERT_EQ(Velquor("config set InstalledType Client").status, 0);
  for (std::filesystem::path p = Norvale::OS::RegistryRootDirectory(); p.string().size() >= TestSupport::Root().size();
       p = p.parent_path())
    chmod(p.c_str(), 0755);
  Norvale::OS::HKEY key = nullptr;  // the configuration is closed to other users until opened to them
  ASSERT_EQ(Norvale::OS::RegOpenKeyExA(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", 0,
                                       Norvale::OS::KEY_ALL_ACCESS, &key),
            0);
  ASSERT_EQ(Norvale::OS::RegSetKeyReadableByAll(key), 0);
  Norvale::OS::RegCloseKey(key);
  const std::string failure = TestSupport::RunUnprivileged([] {
    const Result set = Velquor("config set InstalledType Server");
    if (set.status != 1 || set.out.find("no rights to change the configuration") == std::string::npos)
      return "set: " + set.out;
    const Result get = Velquor("config get InstalledType");
    if (get.status != 0 || get.out != "Client\n") return "get: " + get.out;
    return std::string();
  });
  EXPECT_EQ(failure, "");
}

TEST(VelquorDbCommand, InitCreatesTheTablesIdempotently) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  for (const char* v :
       {"InstalledType", "InstalledPath", "OutgoingQueueEnabled", "IncomingQueueEnabled", "Username", "Password"})
    ASSERT_EQ(Velquor(std::string("config set ") + v + " ''").status, 0);
  EXPECT_EQ(Velquor("db init").status, 1);  // no DSN yet
  const std::string path = TestSupport::Root() + "/init.db";
  ASSERT_EQ(Velquor("config set DSN sqlite:" + path).status, 0);
  const Result first = Velquor("db init");
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(Velquor("db init").status, 0);  // again: nothing changes
  Norvale::OS::Connection c;
  c.Open("Data Source=sqlite:" + path, "", "");
  Norvale::OS::_variant_t affected;
  for (const char* table : {"SMSOutgoing", "SMSIncoming", "SMSNotifications"})
    EXPECT_NO_THROW(c.Execute(std::string("SELECT COUNT(*) AS N FROM ") + table, &affected, 1)) << table;
  if (const char* pg = std::getenv("NORVALE_TEST_PG")) {
    ASSERT_EQ(Velquor(std::string("config set DSN '") + pg + "'").status, 0);
    EXPECT_EQ(Velquor("db init").status, 0);
    EXPECT_EQ(Velquor("db init").status, 0);
  }
  ASSERT_EQ(Velquor("config set DSN nowhere").status, 0);
  const Result bad = Velquor("db init");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("Data source name not recognised"), std::string::npos) << bad.out;
}

TEST(VelquorMessageCommands, SendStatusAndReceiveThroughTheQueues) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  TestSupport::WriteClientConfig(db.Dsn(), true, true);
  TestSupport::QueueSet engine(db.Dsn());
  const Result sent = Velquor("send +4915112345678 'Gr\xC3\xBC\xC3\x9F dich' --unicode --handset 2");
  ASSERT_EQ(sent.status, 0) << sent.out;
  EXPECT_EQ(sent.out, "1\n");
  EXPECT_EQ(db.Value("SELECT Data FROM SMSOutgoing WHERE Id=1", "Data").ToString(),
            "0047007200FC00DF00200064006900630068");
  EXPECT_EQ(Velquor("send-data +49 48656C6C6F --udh 0500 --dcs 4").out, "2\n");
  EXPECT_EQ(Velquor("status 2").out, "0 pending\n");
  engine.outgoing.JobUpdate(2, Norvale::jsDeliveryFailed, Norvale::hsAll, 0);
  EXPECT_EQ(Velquor("status 2").out, "10 delivery failed\n");
  EXPECT_NE(Velquor("send +49 x --handset 9").status, 0);  // refused by the command line
  engine.incoming.StoreMessage("+44", Norvale::jtDataMessage, "DCS=04;UDH=0500;UD=AB", 1, "now",
                               Norvale::CMessageEndpoint());
  engine.notifications.InsertJob(1, Norvale::ntSendFailure, "+49", Norvale::jtTextMessage, "x", Norvale::hsAll, 5,
                                 "now", Norvale::jsErrNetworkFailure,
                                 Norvale::CMessageEndpoint(Norvale::stClientLibrary));
  const Result received = Velquor("receive");
  EXPECT_EQ(received.status, 0) << received.out;
  EXPECT_EQ(received.out, "message from +44 (handset 1): AB [DCS 4, UDH 0500]\nsend failure for message 1 (error 5)\n");
}

TEST(VelquorMessageCommands, ListenStopsCleanlyOnASignal) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  TestSupport::WriteClientConfig(db.Dsn(), true, true);
  const Result r = TestSupport::RunCommand(std::string("sh -c '") + VELQUOR_CLI +
                                           " listen & p=$!; sleep 0.5; kill -TERM $p; wait $p'");
  EXPECT_EQ(r.status, 0) << r.out;
}
