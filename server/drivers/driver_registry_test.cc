// The registry of drivers: every declared driver can be built and every
// driver built is declared, and a handset's key is checked against its
// driver's declared values before the driver is built.
#include "server/drivers/driver_registry.h"

#include <gtest/gtest.h>

#include <set>

#include "config/norvale_encryption.h"
#include "expect_com_error.h"

namespace Norvale {
namespace {

TEST(DriverRegistry, EveryDeclaredDriverHasAFactoryAndEveryFactoryIsDeclared) {
  std::set<std::string> declared, built;
  for (const CDeclaredDriver& d : DeclaredDrivers()) declared.insert(d.szName);
  for (const CDriverFactory& f : DriverFactories()) EXPECT_TRUE(built.insert(f.szName).second) << f.szName;
  EXPECT_EQ(declared, built);
  // Every driver reads its values through its declaration: built with no
  // value but the required ones, none reads an undeclared value.
  const std::map<std::string, CSettingValues> required = {
      {"simulator", {}}, {"smpp", {{"Host", "127.0.0.1"}, {"SystemId", "v"}}}, {"modem", {{"Device", "/dev/null"}}}};
  for (const CDeclaredDriver& d : DeclaredDrivers()) {
    ASSERT_TRUE(required.count(d.szName)) << d.szName;
    CHandsetSettings h{1, d.szName, true, true, required.at(d.szName)};
    EXPECT_NO_THROW(CreateDriver(h)) << d.szName;
  }
}

TEST(DriverRegistry, RefusesAnUnknownOrMalformedValueNamingTheKeyTheValueAndWhatItAccepts) {
  const std::string key = "SOFTWARE\\Norvale\\Velquor\\Handsets\\3\\";
  auto create = [](const std::string& driver, CSettingValues values) {
    values["Driver"] = driver;
    CreateDriver(CHandsetSettings{3, driver, true, true, values});
  };
  const CSettingValues smpp = {{"Host", "127.0.0.1"}, {"SystemId", "v"}};
  auto with = [&smpp](const std::string& name, const std::string& value) {
    CSettingValues v = smpp;
    v[name] = value;
    return v;
  };
  // A misspelt name, and one that differs only in letter case (registry
  // names are case-insensitive: that one is read).
  try {
    create("smpp", with("WindowSzie", "20"));
    ADD_FAILURE() << "WindowSzie accepted";
  } catch (const OS::_com_error& e) {
    const std::string text = e.DescriptionA();
    EXPECT_EQ(text.rfind(key + "WindowSzie: the smpp driver reads no value WindowSzie (did you mean WindowSize?); "
                               "it reads Driver, Enabled, DeliveryReports, MaxPerSecond, MaxPerDay, Host, Port,",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(", TlsCaFile"), std::string::npos) << text;
  }
  EXPECT_NO_THROW(create("smpp", with("Windowsize", "20")));
  // A value of another driver.
  EXPECT_COM_ERROR(create("simulator", {{"Host", "smsc.example.net"}}), OS::E_INVALIDARG);
  try {
    create("simulator", {{"Host", "smsc.example.net"}});
  } catch (const OS::_com_error& e) {
    EXPECT_NE(
        e.DescriptionA().find(key + "Host: the simulator driver reads no value Host (a value of the smpp driver)"),
        std::string::npos)
        << e.DescriptionA();
  }
  // Malformed values of each type, the common ones included.
  const std::pair<CSettingValues, std::string> malformed[] = {
      {with("WindowSize", "0"), "WindowSize: 0 is out of range (1 to 1000)"},
      {with("Port", "2775x"), "Port: '2775x' is not a whole number"},
      {with("Tls", "yes"), "Tls: 'yes' is neither 1 nor 0"},
      {with("MessageIdFormat", "hex"), "MessageIdFormat: 'hex' is none of auto, text, hex-decimal, decimal-hex"},
      {with("SystemType", "much-too-long"), "SystemType: 'much-too-long' is longer than 12 characters"},
      {with("Enabled", "true"), "Enabled: 'true' is neither 1 nor 0"},
      {with("Password", "plain"),
       "Password: not an encrypted value; store it with: velquor config set --handset 3 Password <password> "
       "--encrypted"},
      {with("Password", CNorvaleEncryption().EncryptString("nine-char")), "Password: longer than 8 characters"},
  };
  for (const auto& [values, text] : malformed) EXPECT_COM_ERROR(create("smpp", values), OS::E_INVALIDARG, key + text);
  EXPECT_COM_ERROR(create("pigeon", {}), OS::E_INVALIDARG,
                   key + "Driver: unknown driver 'pigeon' (known: simulator, smpp, modem)");
}

}  // namespace
}  // namespace Norvale
