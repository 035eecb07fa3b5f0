#include <gtest/gtest.h>

#include <filesystem>

#include "config/config_velquor_client_only.h"
#include "config/config_velquor_proxy_common.h"
#include "in_process_core.h"
#include "platform/event_log.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

template <class F>
std::string DescriptionOf(F&& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return e.DescriptionA();
  }
  return "nothing raised";
}

void WriteProduct(const std::map<std::string, std::string>& values) {
  bool ro = false;
  const HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", &ro, false);
  for (const auto& [name, value] : values) RUSetValue(k, name, value, false);
  RegCloseKey(k);
}

const std::map<std::string, std::string> kComplete = {{"InstalledType", "Client"},
                                                      {"InstalledPath", "/opt/velquor"},
                                                      {"OutgoingQueueEnabled", "1"},
                                                      {"IncomingQueueEnabled", "yes"},
                                                      {"DSN", "sqlite:/tmp/q.db"},
                                                      {"Username", "u"},
                                                      {"Password", "p"}};

class ProductConfig : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::remove_all(RegistryRootDirectory()); }
  std::string error;
};

}  // namespace

TEST_F(ProductConfig, ReadsEveryValueAndStopsAtTheFirstMissingOne) {
  auto partial = kComplete;
  partial.erase("Password");
  WriteProduct(partial);
  CConfigVelquorClientOnly config(&error);
  const std::string d = DescriptionOf([&] { config.ReadConfiguration(); });
  EXPECT_EQ(d, "Could not open Password string value");
  EXPECT_EQ(config.GetDSN(), "sqlite:/tmp/q.db");
  EXPECT_EQ(config.GetUsername(), "u");
  EXPECT_EQ(config.GetPassword(), "");
  EXPECT_TRUE(config.GetOutgoingQueueEnabled());
  EXPECT_FALSE(config.GetInboundQueueEnabled());  // "yes" is not "1"
  EXPECT_EQ(error, "");                           // value failures leave the message alone
  WriteProduct({{"Password", "p"}, {"IncomingQueueEnabled", "1"}, {"OutgoingQueueEnabled", "0"}});
  config.ReadConfiguration();
  EXPECT_TRUE(config.GetInboundQueueEnabled());
  EXPECT_FALSE(config.GetOutgoingQueueEnabled());
  EXPECT_EQ(config.GetProductType(), "Client");
  EXPECT_EQ(config.GetInstalledPath(), "/opt/velquor");
}

TEST_F(ProductConfig, DatabaseTimeoutsAreOptionalAndChecked) {
  WriteProduct(kComplete);
  CConfigVelquorClientOnly config(&error);
  config.ReadConfiguration();
  EXPECT_EQ(config.GetDatabaseConnectTimeout(), 5000u);
  EXPECT_EQ(config.GetDatabaseOperationTimeout(), 30000u);
  WriteProduct({{"DatabaseConnectTimeout", "250"}, {"DatabaseOperationTimeout", " 3600000\n"}});
  config.ReadConfiguration();
  EXPECT_EQ(config.GetDatabaseConnectTimeout(), 250u);
  EXPECT_EQ(config.GetDatabaseOperationTimeout(), 3600000u);
  for (const char* bad : {"0", "-5", "1s", "3600001", "99999999999999999999"}) {
    WriteProduct({{"DatabaseOperationTimeout", bad}});
    EXPECT_EQ(
        DescriptionOf([&] { config.ReadConfiguration(); }),
        std::string("DatabaseOperationTimeout is '") + bad + "': expected a number of milliseconds from 1 to 3600000");
  }
  WriteProduct({{"DatabaseOperationTimeout", ""}});  // empty: the default
  config.ReadConfiguration();
  EXPECT_EQ(config.GetDatabaseOperationTimeout(), 30000u);
}

TEST_F(ProductConfig, UnopenableRootKeySetsTheErrorMessage) {
  std::filesystem::create_directories(RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE");
  for (std::filesystem::path p = RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE";
       p.string().size() >= TestSupport::Root().size(); p = p.parent_path())
    chmod(p.c_str(), 0755);
  chmod((RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE").c_str(), 0555);
  const std::string failure = TestSupport::RunUnprivileged([] {
    std::string message;
    CConfigVelquorClientOnly config(&message);
    const std::string d = DescriptionOf([&] { config.ReadConfiguration(); });
    if (d != "Could not open SOFTWARE\\Norvale\\Velquor key") return "raised: " + d;
    if (message != "Could not open Velquor configuration") return "message: " + message;
    return std::string();
  });
  chmod((RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE").c_str(), 0755);
  EXPECT_EQ(failure, "");
}

TEST_F(ProductConfig, HandsetParametersLiveInTheirSubKeys) {
  WriteProduct(kComplete);
  CConfigVelquor config(&error);
  config.ReadConfiguration();
  EXPECT_EQ(DescriptionOf([&] { config.GetHandsetParameter(1, "Port"); }), "Could not open Port string value");
  HKEY created = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor\\Handsets\\1", 0, KEY_READ, &created),
            ERROR_SUCCESS);  // the empty sub-key was made
  RegCloseKey(created);
  EXPECT_EQ(config.SetHandsetParameter(-2, "Port", "/dev/ttyS0"), "");
  EXPECT_EQ(config.GetHandsetParameter(-2, "Port"), "/dev/ttyS0");
}

TEST_F(ProductConfig, ProxyReadsGoThroughTheEngine) {
  TestSupport::RegisteredCore core;
  for (const auto& [name, value] : kComplete) core.state.values[{"", name}] = value;
  core.state.values[{"", "DSN"}] = "postgresql://engine";
  core.state.values[{"\\Handsets\\1", "Port"}] = "COM1";
  CConfigVelquorClientOnly config(&error);
  config.SetProxyMode(true);
  config.ReadConfigurationWithFailOverToDirectAccess();
  EXPECT_TRUE(config.GetProxyMode());
  EXPECT_EQ(config.GetDSN(), "postgresql://engine");
  EXPECT_EQ(core.state.calls, 10);  // seven required values, the two optional time-outs and the switch
  EXPECT_EQ(config.GetHandsetParameter(1, "Port"), "COM1");
  EXPECT_FALSE(std::filesystem::exists(RegistryRootDirectory()));  // never touched the registry

  // The same path yields the same handle for every object; handset keys their own.
  CConfigVelquor other(&error);
  other.SetProxyMode(true);
  other.ReadConfiguration();
  EXPECT_EQ(other.GetRootKey(), config.GetRootKey());
  const HKEY h1 = other.OpenHandsetKey(1);
  EXPECT_NE(h1, other.GetRootKey());
  EXPECT_EQ(other.OpenHandsetKey(1), h1);

  const HKEY root = config.GetRootKey();
  EXPECT_EQ(config.GetParameter(root, "Nothing", true, "dflt", false), "dflt");  // absent: default, no failover
  EXPECT_TRUE(config.GetProxyMode());
  EXPECT_EQ(DescriptionOf([&] { config.GetParameter(root, "Nothing", false, "", false); }),
            "Reg value did not exist Nothing string value");
  EXPECT_EQ(DescriptionOf([&] { config.SetParameter(root, "X", "1"); }),
            "CConfigVelquorProxyClientSupport::SetParameter: Proxy mode not implmented");
  EXPECT_EQ(DescriptionOf([&] { config.DeleteParameter(root, "X", true); }),
            "CConfigVelquorProxyClientSupport::DeleteParameter: Proxy mode not implmented");
  EXPECT_EQ(DescriptionOf([&] { config.ParameterExists(root, "X"); }),
            "CConfigVelquorProxyClientSupport::ParameterExists: Proxy mode not implmented");
  std::vector<std::string> list;
  EXPECT_EQ(DescriptionOf([&] { config.GetListOfSubKeys(root, list); }),
            "CConfigVelquorProxyClientSupport::GetListOfSubKeys: Proxy mode not implmented");
  EXPECT_EQ(DescriptionOf([&] { config.SetHandsetParameter(1, "Port", "x"); }),
            "CConfigVelquorProxyClientSupport::SetParameter: Proxy mode not implmented");
  const HKEY bogus = CConfigVelquorProxyCommon::ToHandle(100000);
  EXPECT_EQ(DescriptionOf([&] { config.GetParameter(bogus, "DSN", true, "", false); }),
            "CConfigVelquorProxyCommon::GetKeyPathForSection - Proxy HKEY Invalid");
  EXPECT_EQ(DescriptionOf([&] { config.CloseRegKey(bogus); }),
            "CConfigVelquorProxyCommon::ValidityCheckProxyHKEY - Proxy HKEY Invalid");
  EXPECT_EQ(DescriptionOf([&] { config.OpenRootKeyWithBestPermisions_RemoteProxy(HKEY_CLASSES_ROOT, "SOFTWARE"); }),
            "CConfigVelquorProxyClientSupport::OpenRootKeyWithBestPermisions_RemoteProxy - hParent invalid");
}

TEST_F(ProductConfig, SectionZeroCountsAsClosed) {
  TestSupport::RegisteredCore core;
  core.state.values[{"", "InstalledType"}] = "Client";
  CConfigVelquor config(&error);
  config.SetProxyMode(true);
  config.ReadConfiguration();
  EXPECT_EQ(config.GetParameter(config.GetRootKey(), "InstalledType", false, "", false), "Client");
  if (CConfigVelquorProxyCommon::ToSection(config.GetRootKey()) == 0) {
    // The first section of the process has the null handle's bit pattern.
    config.SetProxyMode(false);
    config.SetProxyMode(true);
  }
  config.CloseRootKey();
  EXPECT_EQ(config.GetRootKey(), nullptr);
}

TEST_F(ProductConfig, GetRelativePathAcceptsOnlyTheRootPath) {
  CConfigVelquorProxyClientSupport support(&error);
  EXPECT_EQ(support.GetRelativePath("SOFTWARE\\Norvale\\Velquor"), "");
  EXPECT_EQ(support.GetRelativePath("SOFTWARE\\Norvale\\Velquor\\Handsets\\1"), "\\Handsets\\1");
  EXPECT_EQ(support.GetRelativePath("SOFTWARE\\Norvale\\VelquorExtra"), "Extra");
  const std::string refused =
      "CConfigVelquorProxyClientSupport::OpenRootKeyWithBestPermisions_RemoteProxy - sSubKey does not start wih root "
      "path";
  EXPECT_EQ(DescriptionOf([&] { support.GetRelativePath("software\\norvale\\velquor"); }), refused);
  EXPECT_EQ(DescriptionOf([&] { support.GetRelativePath("SOFTWARE"); }), refused);
}

TEST_F(ProductConfig, FailsOverToDirectAccessWithTwoWarningsInOrder) {
  WriteProduct(kComplete);
  EventLogCapture capture;
  CConfigVelquorClientOnly config(&error);
  config.SetProxyMode(true);
  config.ReadConfigurationWithFailOverToDirectAccess();  // no engine anywhere
  EXPECT_FALSE(config.GetProxyMode());
  EXPECT_EQ(config.GetDSN(), "sqlite:/tmp/q.db");
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(records[0].text,
            "VelquorClient: Could not access VelquorServer for registry proxying - Will fall back to direct registry "
            "access, the host process may need to be launched with 'Run As Administrator'");
  EXPECT_EQ(records[1].text,
            "CConfigVelquorProxyClientSupport::ReadConfigurationWithFailOverToDirectAccess - Retry ReadConfig with "
            "ProxyMode disabled");
  EXPECT_EQ(records[1].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(records[1].source, "VelquorServer");
}

TEST_F(ProductConfig, FailingEngineCallAlsoFailsOver) {
  WriteProduct(kComplete);
  TestSupport::RegisteredCore core;
  core.state.failWith = E_ACCESSDENIED;
  EventLogCapture capture;
  CConfigVelquorClientOnly config(&error);
  config.SetProxyMode(true);
  // Outside the failover the caller receives the switch exception itself.
  EXPECT_THROW(config.ReadConfiguration(), CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess);
  EXPECT_GE(core.state.calls, 1);
  config.ReadConfigurationWithFailOverToDirectAccess();
  EXPECT_FALSE(config.GetProxyMode());
  EXPECT_EQ(config.GetUsername(), "u");
}

TEST_F(ProductConfig, ProxyModeCannotSwitchWhileARealKeyIsOpen) {
  WriteProduct(kComplete);
  CConfigVelquor config(&error);
  config.SetProxyMode(false);
  config.ReadConfiguration();
  EXPECT_EQ(DescriptionOf([&] { config.SetProxyMode(true); }),
            "CConfigVelquorProxyClientSupport::SetProxyModes: Not safe to switch ProxyMode when key is open");
  config.SetProxyMode(false);
  config.CloseRootKey();
  config.SetProxyMode(true);
  EXPECT_TRUE(config.GetProxyMode());
}
