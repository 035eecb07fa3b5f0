#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

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

namespace {

LONG HeldMessages() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\TestEngine\\Inbox", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  LONG count = 0;
  char name[100];
  for (DWORD cch = sizeof name;
       RegEnumValueA(key, count, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; cch = sizeof name)
    ++count;
  RegCloseKey(key);
  return count;
}

}  // namespace

// A slow engine (every call takes 10 s from the first event on) and a
// listener destroyed from another thread during that event: destruction waits
// for the handler to return and for no further fetch, and the messages not
// delivered stay with the engine.
TEST(ListenerEnginePath, DestructionFromAnotherThreadWaitsForNoFurtherFetch) {
  std::filesystem::remove_all(RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  TestSupport::WriteClientConfig("sqlite:/nonexistent/never-opened.db", false, false);
  CVelquorListenerCore::SetPollIntervalForTesting(100);
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  for (int i = 1; i <= 5; ++i) TestSupport::HoldMessage("000" + std::to_string(i), "+44\tm\t1\t1\tnow");
  auto listener = std::make_unique<VelquorListener>();
  std::atomic<int> events{0};
  std::atomic<bool> inHandler{false}, stop{false};
  listener->OnMessageReceived.Add([&](const auto&) {
    if (++events == 1) {
      TestSupport::SetScript("DelayMs", "10000");
      inHandler = true;
    }
    std::this_thread::sleep_for(100ms);
  });
  std::thread poller([&] {
    listener->SetEnabled(true);
    while (!stop) MessageLoop::RunFor(20ms);
  });
  for (int waited = 0; !inHandler && waited < 10000; waited += 5) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(inHandler);
  const auto start = std::chrono::steady_clock::now();
  listener.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  poller.join();
  TestSupport::SetScript("DelayMs", "");
  EXPECT_LT(took, 8000ms);  // the rest of the handler (100 ms); one more fetch would take 10 s
  EXPECT_EQ(events, 1);
  EXPECT_EQ(HeldMessages(), 4);
  CVelquorListenerCore::SetPollIntervalForTesting(CVelquorListenerCore::kPollInterval);
}
