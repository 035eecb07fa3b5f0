#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "config/config_velquor_client_only.h"
#include "core/velquor_server_connection.h"
#include "engine_test_support.h"
#include "platform/event_log.h"
#include "platform/guid.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using SMSServer::esNotAvailable;
using SMSServer::esRunning;

namespace {

template <class F>
std::pair<HRESULT, std::string> FailureOf(F&& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return {e.Error(), e.DescriptionA()};
  }
  return {S_OK, "nothing raised"};
}

class EngineConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(RegistryRootDirectory());
    std::filesystem::remove_all(TestSupport::Root() + "/run");
    setenv("NORVALE_RPC_TIMEOUT_MS", "5000", 1);
  }
};

}  // namespace

TEST_F(EngineConnection, NotInstalled) {
  CVelquorServerConnection connection;
  EXPECT_EQ(connection.GetServerStatus(), esNotAvailable);
  EXPECT_EQ(FailureOf([&] { connection.GetServer(); }).second, "Could not connect to Velquor Server on local machine");
  EXPECT_EQ(FailureOf([&] { connection.IsServiceRunning(); }).second,
            "Could not connect to Velquor Server on local machine");
}

TEST_F(EngineConnection, InstalledButStopped) {
  TestSupport::RegisterTestEngine();
  CVelquorServerConnection connection;
  EXPECT_FALSE(connection.GetServer());
  EXPECT_EQ(connection.GetServerStatus(), esNotAvailable);
  EXPECT_FALSE(connection.IsServiceRunning());
  EXPECT_EQ(FailureOf([&] { connection.StopServer(); }).second,
            "Could not obtain connection Velquor server (CVelquorServerConnection::StopServer)");
}

TEST_F(EngineConnection, RunningEngineAnswersThroughTheProxy) {
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  CVelquorServerConnection connection;
  EXPECT_EQ(connection.GetServerStatus(), esRunning);
  const auto server = connection.GetServer();
  ASSERT_TRUE(server);
  EXPECT_EQ(connection.GetServer().GetInterfacePtr(), server.GetInterfacePtr());  // cached
  const std::int32_t id = server->SendMessage(_bstr_t("+49 151"),
                                              _bstr_t("Gr\xC3\xBC\xC3\x9F"
                                                      "e"),
                                              1, 3);
  EXPECT_GT(id, 1000);
  TestSupport::SetScript("SendStatus", "9");
  EXPECT_EQ(server->GetSendStatus(id), 9);
  TestSupport::HoldMessage("0001", "+44 20\thello\t1\t2\tnow");
  BSTR phone = nullptr, text = nullptr, stamp = nullptr;
  std::int32_t type = 0, handset = 0;
  server->GetMessage(3, &phone, &text, &type, &handset, &stamp);
  EXPECT_EQ(SysStringLen(text), 0u);  // held for handset 2 only
  SysFreeString(phone), SysFreeString(text), SysFreeString(stamp);
  server->GetMessage(0, &phone, &text, &type, &handset, &stamp);
  EXPECT_EQ(_bstr_t(text, false).narrow(), "hello");
  EXPECT_EQ(_bstr_t(phone, false).narrow(), "+44 20");
  EXPECT_EQ(_bstr_t(stamp, false).narrow(), "now");
  EXPECT_EQ(handset, 2);
  connection.StopServer();
  EXPECT_EQ(connection.GetServerStatus(), SMSServer::esStopped);
  connection.StartServer();  // running service: the engine is told to start
  EXPECT_EQ(connection.GetServerStatus(), esRunning);
}

TEST_F(EngineConnection, EngineFailuresReachTheCallerIntact) {
  TestSupport::EngineProcess engine;
  CVelquorServerConnection connection;
  const auto server = connection.GetServer();
  ASSERT_TRUE(server);
  TestSupport::SetScript("FailHResult", "80070005");
  TestSupport::SetScript("FailDescription", "engine says no \xE2\x80\x94 really");
  const auto failure = FailureOf([&] { server->SendMessage(_bstr_t("1"), _bstr_t("x"), 1, 0); });
  EXPECT_EQ(failure.first, static_cast<HRESULT>(0x80070005u));
  EXPECT_EQ(failure.second, "engine says no \xE2\x80\x94 really");
  EXPECT_EQ(connection.GetServerStatus(), esRunning);  // GetStatus is not scripted to fail
}

TEST_F(EngineConnection, HungCallEndsWithATimeout) {
  TestSupport::EngineProcess engine;
  setenv("NORVALE_RPC_TIMEOUT_MS", "300", 1);
  CVelquorServerConnection connection;
  const auto server = connection.GetServer();
  ASSERT_TRUE(server);
  TestSupport::SetScript("DelayMs", "8000");
  const auto start = std::chrono::steady_clock::now();
  const auto failure = FailureOf([&] { server->GetSendStatus(1); });
  EXPECT_EQ(failure.first, RPC_E_TIMEOUT);
  // 300 ms; a call that waited for the answer would take 8 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
  EXPECT_EQ(connection.GetServerStatus(), esNotAvailable);  // the probe times out too and clears the cache
  TestSupport::SetScript("DelayMs", "");
}

TEST_F(EngineConnection, KilledEngineIsDetectedAndARestartedOneFound) {
  TestSupport::EngineProcess engine;
  CVelquorServerConnection connection;
  EXPECT_EQ(connection.GetServerStatus(), esRunning);
  engine.Kill();
  EXPECT_EQ(TestSupport::ServiceState(), SERVICE_STOPPED);  // the lock went with the process
  EXPECT_EQ(connection.GetServerStatus(), esNotAvailable);
  EXPECT_FALSE(connection.GetServer());  // cache cleared and the service is down
  engine.Start();
  ASSERT_TRUE(engine.Running());
  EXPECT_EQ(connection.GetServerStatus(), esRunning);
}

TEST_F(EngineConnection, StartServerSpawnsTheServiceDetached) {
  TestSupport::RegisterTestEngine();
  CVelquorServerConnection connection;
  connection.StartServer();
  EXPECT_TRUE(TestSupport::WaitForState(SERVICE_RUNNING));
  EXPECT_EQ(connection.GetServerStatus(), esRunning);
  kill(TestSupport::ServicePid(), SIGTERM);
  EXPECT_TRUE(TestSupport::WaitForState(SERVICE_STOPPED));
}

TEST_F(EngineConnection, CallerWithQueryRightsOnly) {
  TestSupport::EngineProcess engine;
  const std::string socket = ServiceHost::SocketPath("VelquorServer");
  ASSERT_EQ(chown(socket.c_str(), static_cast<uid_t>(-1), 65534), 0);  // admit the unprivileged group
  for (std::filesystem::path p = socket; p.string().size() >= TestSupport::Root().size(); p = p.parent_path())
    if (p != socket) chmod(p.c_str(), 0755);
  for (std::filesystem::path p = RegistryRootDirectory(); p.string().size() >= TestSupport::Root().size();
       p = p.parent_path())
    chmod(p.c_str(), 0755);
  std::string failure = TestSupport::RunUnprivileged([] {
    CVelquorServerConnection connection;
    if (connection.GetServerStatus() != esRunning) return std::string("status of the running engine");
    return std::string();
  });
  EXPECT_EQ(failure, "");
  engine.Stop();
  failure = TestSupport::RunUnprivileged([] {
    CVelquorServerConnection connection;
    if (connection.GetServerStatus() != esNotAvailable) return std::string("status of the stopped engine");
    const auto f = FailureOf([&] { connection.StartServer(); });
    if (f.second != "Cannot start Velquor service (administrator privileges required)") return "start: " + f.second;
    return std::string();
  });
  EXPECT_EQ(failure, "");
}

TEST_F(EngineConnection, ProxiedConfigurationReadsGoThroughTheEngineAndFailOver) {
  bool ro = false;
  const HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", &ro, false);
  for (const char* v : {"InstalledType", "InstalledPath", "OutgoingQueueEnabled", "IncomingQueueEnabled", "DSN",
                        "Username", "Password"})
    RUSetValue(k, v, std::string("value of ") + v, false);
  RegCloseKey(k);
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  const std::string socket = ServiceHost::SocketPath("VelquorServer");
  ASSERT_EQ(chown(socket.c_str(), static_cast<uid_t>(-1), 65534), 0);
  for (std::filesystem::path p = TestSupport::Root() + "/run/norvale"; p.string().size() >= TestSupport::Root().size();
       p = p.parent_path())
    chmod(p.c_str(), 0755);
  for (std::filesystem::path p = RegistryRootDirectory() + "/HKEY_CLASSES_ROOT";
       p.string().size() >= TestSupport::Root().size(); p = p.parent_path())
    chmod(p.c_str(), 0755);
  // The product key is closed to the unprivileged reader: only the engine can read it.
  chmod((RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE").c_str(), 0700);
  const std::string failure = TestSupport::RunUnprivileged([] {
    std::string message;
    CConfigVelquorClientOnly config(&message);
    config.SetProxyMode(true);
    config.ReadConfigurationWithFailOverToDirectAccess();
    if (!config.GetProxyMode()) return std::string("failed over although the engine runs");
    if (config.GetDSN() != "value of DSN") return "DSN: " + config.GetDSN();
    return std::string();
  });
  chmod((RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE").c_str(), 0755);
  EXPECT_EQ(failure, "");

  engine.Stop();
  EventLogCapture capture;
  CConfigVelquorClientOnly config(nullptr);
  config.SetProxyMode(true);
  config.ReadConfigurationWithFailOverToDirectAccess();
  EXPECT_FALSE(config.GetProxyMode());
  EXPECT_EQ(config.GetPassword(), "value of Password");
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text.rfind("VelquorClient: Could not access VelquorServer for registry proxying", 0), 0u);
  EXPECT_EQ(records[1].text.rfind("CConfigVelquorProxyClientSupport::ReadConfigurationWithFailOverToDirectAccess", 0),
            0u);
}

TEST_F(EngineConnection, BusctlCanIntrospectTheEngine) {
  if (system("command -v busctl >/dev/null 2>&1") != 0) SKIP_UNLESS_CI() << "busctl is not installed";
  TestSupport::EngineProcess engine;
  const std::string command = "busctl --address=unix:path=" + ServiceHost::SocketPath("VelquorServer") +
                              " introspect com.norvale.Engine /com/norvale/SMSServer/SMSEngine 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  pclose(p);
  for (const char* method : {"com.norvale.SMSServer.ISMSEngine", ".Start", ".Stop", ".GetStatus", ".SendMessage",
                             ".GetMessage", ".GetSendStatus"})
    EXPECT_NE(out.find(method), std::string::npos) << method << " missing from:\n" << out;
}

TEST_F(EngineConnection, StateLeftByACrashedServiceDoesNotCountForItsSuccessor) {
  {
    TestSupport::EngineProcess engine;
    ASSERT_TRUE(engine.Running());
    engine.Kill();  // leaves a state file that says running
  }
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t successor = fork();
  if (successor == 0) {
    ServiceHost host("VelquorServer");
    const char ok = host.Lock() ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    (void)!read(release[0], &c, 1);  // holds the lock without publishing a state
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  EXPECT_EQ(TestSupport::ServiceState(), SERVICE_START_PENDING);
  CVelquorServerConnection connection;
  EXPECT_EQ(connection.GetServerStatus(), esNotAvailable);
  (void)!write(release[1], "x", 1);
  waitpid(successor, nullptr, 0);
  EXPECT_EQ(TestSupport::ServiceState(), SERVICE_STOPPED);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(EngineConnection, RunningServiceWhoseObjectCannotBeCreated) {
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  HKEY clsid = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ("CLSID\\" + GuidToString(SMSServer::ISMSEngine::kCLSID)).c_str(), 0,
                          KEY_READ | KEY_WRITE, &clsid),
            ERROR_SUCCESS);
  RegDeleteValueA(clsid, "LocalServerAddress");  // the class is no longer served anywhere
  RegCloseKey(clsid);
  CVelquorServerConnection connection;
  EXPECT_TRUE(connection.IsServiceRunning());
  EXPECT_EQ(FailureOf([&] { connection.GetServer(); }).second, "Could not connect to Velquor service");
  EXPECT_EQ(connection.GetServerStatus(), esNotAvailable);
}

TEST_F(EngineConnection, StatusThatCannotBeQueried) {
  TestSupport::EngineProcess engine;
  ASSERT_TRUE(engine.Running());
  for (std::filesystem::path p = RegistryRootDirectory(); p.string().size() >= TestSupport::Root().size();
       p = p.parent_path())
    chmod(p.c_str(), 0755);
  chmod((TestSupport::Root() + "/run").c_str(), 0755);
  chmod((TestSupport::Root() + "/run/norvale").c_str(), 0755);
  // The lock is the service account's alone; with the published state closed
  // as well, nothing tells another user the service's state.
  chmod((ServiceHost::RunDirectory() + "/VelquorServer.state").c_str(), 0600);
  const std::string failure = TestSupport::RunUnprivileged([] {
    CVelquorServerConnection connection;
    if (connection.GetServerStatus() != esNotAvailable) return std::string("status");
    const auto f = FailureOf([&] { connection.IsServiceRunning(); });
    if (f.second != "Could not query service status") return "query: " + f.second;
    return std::string();
  });
  EXPECT_EQ(failure, "");
}
