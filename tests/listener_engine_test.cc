#include <gtest/gtest.h>

#include <filesystem>

#include "client_test_support.h"
#include "engine_test_support.h"
#include "listener/velquor_listener_core.h"
#include "norvale/message_loop.h"
#include "norvale/velquor_listener.h"
#include "platform/event_log.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using namespace std::chrono_literals;

TEST(ListenerEnginePath, MessagesComeFromTheEngineOnlyWhileItRuns) {
  std::filesystem::remove_all(RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  TestSupport::WriteClientConfig("sqlite:/nonexistent/never-opened.db", false, false);
  CVelquorListenerCore::SetPollIntervalForTesting(100);
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  TestSupport::HoldMessage("0001", "+44\tfrom the engine\t1\t1\tnow");
  std::vector<std::string> received;
  int notifications = 0;
  VelquorListener listener;
  listener.OnMessageReceived.Add([&](const auto& m) { received.push_back(m->GetMessage()); });
  listener.OnNotificationReceived.Add([&](const auto&) { ++notifications; });
  listener.SetEnabled(true);
  MessageLoop::RunFor(300ms);
  EXPECT_EQ(received, std::vector<std::string>{"from the engine"});
  engine.Stop();
  TestSupport::HoldMessage("0002", "+44\tnot while stopped\t1\t1\tnow");
  EventLogCapture capture;
  MessageLoop::RunFor(300ms);
  EXPECT_EQ(received.size(), 1u);
  EXPECT_TRUE(capture.Records().empty());  // a stopped engine is no failure: nothing to fetch
  engine.Start();
  ASSERT_TRUE(engine.Running());
  MessageLoop::RunFor(300ms);
  EXPECT_EQ(received, (std::vector<std::string>{"from the engine", "not while stopped"}));
  EXPECT_EQ(notifications, 0);  // notifications come only from the queue
}
