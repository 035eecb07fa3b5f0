// A send against a database server that accepts connections and never
// answers ends within the configured time, with a clear message.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "client_test_support.h"
#include "engine/engine_marshal.h"
#include "engine_test_support.h"
#include "norvale/norvale.h"
#include "platform/com_ptr.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "queue_test_support.h"
#include "server_test_support.h"
#include "test_support.h"

namespace {

// A client configuration whose queue database is `server`, with these
// time-outs (empty: the default).
std::string UseSilentServer(const TestSupport::SilentServer& server, const std::string& connectTimeout,
                            const std::string& operationTimeout) {
  const std::string where = "127.0.0.1:" + std::to_string(server.Port());
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  TestSupport::WriteClientConfig("postgresql://velquor@" + where + "/queue", true, true);
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  if (!connectTimeout.empty()) Norvale::RUSetValue(key, "DatabaseConnectTimeout", connectTimeout, false);
  if (!operationTimeout.empty()) Norvale::RUSetValue(key, "DatabaseOperationTimeout", operationTimeout, false);
  Norvale::OS::RegCloseKey(key);
  return where;
}

}  // namespace

TEST(DatabaseDeadlineCommand, SendToASilentServerFailsWithinTheConfiguredTime) {
  const TestSupport::SilentServer server;
  const std::string where = UseSilentServer(server, "300", "1000");

  const auto start = std::chrono::steady_clock::now();
  const auto sent = TestSupport::RunCommand(std::string(VELQUOR_CLI) + " send +4915112345678 hello");
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::cout << "[          ] send to a silent server failed after " << ms << " ms (operation time-out 1000 ms)\n";
  EXPECT_EQ(sent.status, 1);
  EXPECT_EQ(sent.out.rfind("velquor: Cannot connect to PostgreSQL at " + where + ": no answer within ", 0), 0u)
      << sent.out;
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);  // the second beyond the deadline is the program's start
}

// A listener's tick fetches messages and then notifications; each fetch used
// to get the whole connect time-out, so with the defaults (5 s to connect)
// one tick held the application's thread for 10 s and more. All of a tick's
// database work now ends within the poll interval (2 s).
TEST(DatabaseDeadlineListener, ATickAgainstASilentServerEndsWithinThePollInterval) {
  const TestSupport::SilentServer server;
  UseSilentServer(server, "", "");  // the defaults: 5000 ms to connect, 30000 per operation
  Norvale::VelquorListener listener;
  int events = 0;
  listener.OnMessageReceived.Add([&](const auto&) { ++events; });
  listener.OnNotificationReceived.Add([&](const auto&) { ++events; });
  listener.SetEnabled(true);
  const auto start = std::chrono::steady_clock::now();
  Norvale::MessageLoop::RunFor(std::chrono::milliseconds(4500));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  listener.SetEnabled(false);
  std::cout << "[          ] RunFor(4500 ms) against a silent server returned after " << ms << " ms\n";
  EXPECT_EQ(events, 0);
  // The last tick may begin just before the end and then lasts up to its
  // interval; one fetch's connect time-out alone would be 5 s beyond.
  EXPECT_LT(ms, 4500 + 2000 + 1500);
}

// The engine holds its own statements to the same deadlines: a send over
// D-Bus to an engine whose database server never answers fails within the
// configured operation time, and the engine stops soon after, not after the
// default 30 s per statement.
TEST(DatabaseDeadlineEngine, TheEngineGivesUpWithinTheConfiguredTime) {
  using namespace Norvale::OS;
  const TestSupport::SilentServer silent;
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  Norvale::OS::ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
  TestSupport::EngineRoot root("postgresql://velquor@127.0.0.1:" + std::to_string(silent.Port()) + "/queue");
  root.Set("DatabaseConnectTimeout", "300");
  root.Set("DatabaseOperationTimeout", "1000");
  root.Set("StopTimeout", "500");
  root.AddSimulator(1);
  TestSupport::ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();

  Norvale::InstallEngineActivation();
  _com_ptr_t<SMSServer::ISMSEngine> engine;
  ASSERT_EQ(engine.CreateInstance(SMSServer::ISMSEngine::kCLSID), S_OK);
  auto start = std::chrono::steady_clock::now();
  std::int32_t id = 0;
  const HRESULT hr = engine->raw_SendMessage(_bstr_t("+4915112345"), _bstr_t("x"), Norvale::jtTextMessage, 0, &id);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::cout << "[          ] the engine's insert gave up after " << ms << " ms (operation time-out 1000 ms)\n";
  EXPECT_TRUE(FAILED(hr));
  EXPECT_LT(ms, 5000);
  engine = nullptr;

  start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Stop(SIGTERM, 60000), 0);
  ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  std::cout << "[          ] the engine stopped after " << ms << " ms\n";
  EXPECT_LT(ms, 8000);  // a statement in hand ends within its second, then the stop's half second
}
