// velquor service install | start | status | stop with the real engine.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/service_control.h"
#include "server_test_support.h"
#include "test_support.h"

using TestSupport::RunCommand;

TEST(VelquorServiceCommand, InstallsStartsReportsAndStopsTheEngine) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  TestSupport::EngineRoot root(db.Dsn());
  root.Set("StopTimeout", "500");
  root.AddSimulator(1, {{"Latency", "100000"}});  // slow: its job is still in hand at the stop
  root.AddSimulator(2);
  root.SetHandset(4, "Driver", "smoke-signals");
  root.SetHandset(3, "Latency", "1");  // a key without Driver: skipped, never a simulator
  const std::string velquor = VELQUOR_CLI;

  EXPECT_EQ(RunCommand(velquor + " service start").status, 1);  // not installed yet
  const auto install = RunCommand(velquor + " service install --image " + VELQUOR_SERVER);
  ASSERT_EQ(install.status, 0) << install.out;
  const auto start = RunCommand(velquor + " service start");
  ASSERT_EQ(start.status, 0) << start.out;
  EXPECT_EQ(start.out.rfind("VelquorServer running\nlogs: ", 0), 0u) << start.out;
  EXPECT_NE(RunCommand(velquor + " service start").out.find("already running"), std::string::npos);

  db.Run(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType) VALUES "
      "(1, 1, '+49', 'x', 1, 0, 1), (2, 1, '+49', 'y', 3, 0, 1), (3, 1, '+49', 'z', 3, 0, 1)");
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return TestSupport::Count(db, "Status=0 AND Handset=1") == 0; }));
  const auto status = RunCommand(velquor + " service status");
  EXPECT_EQ(status.status, 0) << status.out;
  EXPECT_NE(status.out.find("VelquorServer: running (pid "), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("simulator  connected, registered, 80%"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("not in use: SOFTWARE\\Norvale\\Velquor\\Handsets\\4\\Driver: unknown driver"),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("test network: nothing leaves this machine"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("3        (none)     not in use: its key has no Driver value"), std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("jobs for any handset waiting: 0"), std::string::npos) << status.out;
  EXPECT_EQ(TestSupport::Count(db, "Status=0 AND Handset=3"), 2);  // nobody serves handset 3

  const auto stop = RunCommand(velquor + " service stop");
  EXPECT_EQ(stop.status, 0) << stop.out;
  EXPECT_EQ(stop.out, "VelquorServer stopped\n");
  EXPECT_EQ(TestSupport::Count(db, "Status=0 AND Id=1 AND RetryCount IS NULL"), 1);  // back, and not counted
  EXPECT_EQ(RunCommand(velquor + " service stop").out, "VelquorServer is not running\n");
  const auto stopped = RunCommand(velquor + " service status");
  EXPECT_EQ(stopped.status, 3);
  EXPECT_EQ(stopped.out, "VelquorServer: stopped\n");
}
