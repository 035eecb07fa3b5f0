#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "config/config_reg.h"
#include "platform/event_log.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

struct Failure {
  HRESULT hr;
  std::string description;
};

template <class F>
Failure FailureOf(F&& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return {e.Error(), e.DescriptionA()};
  }
  return {S_OK, "nothing raised"};
}

class CConfigRegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(RegistryRootDirectory());
    store.OpenRootKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Store");
  }
  std::string error;
  CConfigReg store{&error};
};

}  // namespace

TEST_F(CConfigRegTest, MissingValuesFollowTheFailureTable) {
  EventLogCapture capture;
  EXPECT_EQ(store.GetParameter("Absent", true, "dflt", false), "dflt");
  const Failure f = FailureOf([&] { store.GetParameter("Absent", false, "", true); });
  EXPECT_EQ(f.hr, static_cast<HRESULT>(0x80070002u));
  EXPECT_EQ(f.description, "Could not open Absent string value");
  EXPECT_EQ(store.GetParameter("Absent", true, "d2", true), "d2");
  ASSERT_EQ(capture.Records().size(), 2u);  // logged before the outcome, in both cases
  EXPECT_EQ(capture.Records()[0].text, "Could not find reg value: Absent");
  EXPECT_EQ(capture.Records()[0].source, "VelquorServer");
  EXPECT_EQ(capture.Records()[0].type, EVENTLOG_ERROR_TYPE);

  store.SetParameter("Long", std::string(1001, 'x').c_str());
  EXPECT_EQ(FailureOf([&] { store.GetParameter("Long", false, "", false); }).hr, static_cast<HRESULT>(0x800700EAu));

  CConfigReg closed(&error);
  for (const auto& f2 : {FailureOf([&] { closed.GetParameter("x", true, "", false); }),
                         FailureOf([&] { closed.SetParameter("x", "1"); }),
                         FailureOf([&] { closed.DeleteParameter(nullptr, "x", true); }),
                         FailureOf([&] { closed.ParameterExists(nullptr, "x"); })}) {
    EXPECT_EQ(f2.hr, E_FAIL);
    EXPECT_EQ(f2.description, "Reg key not open");
  }
  const Failure del = FailureOf([&] { store.DeleteParameter(store.GetRootKey(), "Absent", false); });
  EXPECT_EQ(del.hr, static_cast<HRESULT>(0x80070002u));
  EXPECT_EQ(del.description, "Could not delete Absent string value");
  store.DeleteParameter(store.GetRootKey(), "Absent", true);  // suppressed
}

TEST_F(CConfigRegTest, TypedAccessorsConvertAsStored) {
  const HKEY root = store.GetRootKey();
  store.SetParameterBOOL(root, "On", true);
  EXPECT_EQ(store.GetParameter("On", false, "", false), "1");
  EXPECT_TRUE(store.GetParameterBOOL(root, "On", false, false, false));
  for (const char* falsy : {"true", " 1", "01", "0", "yes", ""}) {
    store.SetParameter("Flag", falsy);
    EXPECT_FALSE(store.GetParameterBOOL(root, "Flag", false, true, false)) << falsy;
  }
  EXPECT_TRUE(store.GetParameterBOOL(root, "NoFlag", true, true, false));
  const std::pair<const char*, DWORD> numbers[] = {
      {"12ab", 12}, {"", 0}, {"abc", 0}, {"-1", 4294967295u}, {"  42", 42}, {"+7", 7}, {"4294967295", 2147483647u}};
  for (const auto& [text, value] : numbers) {
    store.SetParameter("Num", text);
    EXPECT_EQ(store.GetParameterDWORD(root, "Num", false, 0, false), value) << text;
  }
  store.SetParameterDWORD(root, "Num", 4000000000u);
  EXPECT_EQ(store.GetParameter("Num", false, "", false), "4000000000");
  EXPECT_EQ(store.GetParameterDWORD(root, "NoNum", true, 17, false), 17u);
  store.SetParameterWSTRING(root, "Wide", u"caf\u00e9");
  EXPECT_EQ(store.GetParameterWSTRING(root, "Wide", false, u"", false), u"caf\u00e9");
  store.SetParameterEncrypted(root, "Secret", "hunter2");
  EXPECT_NE(store.GetParameter("Secret", false, "", false), "hunter2");
  EXPECT_EQ(store.GetParameterEncrypted(root, "Secret", false, "", false), "hunter2");
  const std::string stored = store.GetParameter("Secret", false, "", false);
  EXPECT_EQ(store.GetParameterEncrypted(root, "NoSecret", true, stored, false), "hunter2");  // default is cipher text
  EXPECT_TRUE(store.ParameterExists(root, "Secret"));
  EXPECT_FALSE(store.ParameterExists(root, "NoSecret"));
}

TEST_F(CConfigRegTest, SubKeyListingAppends) {
  std::vector<std::string> list{"kept"};
  store.GetListOfSubKeys(store.GetRootKey(), list);
  EXPECT_EQ(list, std::vector<std::string>{"kept"});
  bool ro = false;
  for (const char* name : {"B", "A"})
    store.CloseRegKey(RUOpenKeyWithBestPermisions(store.GetRootKey(), name, &ro, false));
  store.GetListOfSubKeys(store.GetRootKey(), list);
  store.GetListOfSubKeys(store.GetRootKey(), list);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "A", "B", "A", "B"}));
  const Failure f = FailureOf([&] { store.GetListOfSubKeys(nullptr, list); });
  EXPECT_EQ(f.hr, HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));  // a failure code, not the bare 6
  EXPECT_TRUE(FAILED(f.hr));
  EXPECT_EQ(f.description, "Could not enumerate transports");
}

TEST_F(CConfigRegTest, RegistryUtilities) {
  bool ro = true;
  HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Store\\RU", &ro, false);
  EXPECT_FALSE(ro);
  RUSetValue(k, "V", "text", false);
  EXPECT_EQ(RUQueryValue(k, "V", false), "text");
  EXPECT_EQ(RUQueryValue(k, "W", true), "");
  EXPECT_EQ(FailureOf([&] { RUQueryValue(k, "W", false); }).description, "Could not open W string value");
  EXPECT_EQ(FailureOf([&] { RUQueryValue(nullptr, "W", false); }).description, "Reg key not open");
  RegCloseKey(k);
}

// A product value read where nothing is configured gives the fallback and
// creates nothing: a program asked only for its version must leave the
// machine's configuration tree as it was.
TEST_F(CConfigRegTest, ProductValueReadsWithoutCreatingTheKey) {
  std::filesystem::remove_all(RegistryRootDirectory());
  EXPECT_EQ(RUProductValue("HttpPort", "8080"), "8080");
  EXPECT_EQ(RUProductValue("HttpPort"), "");
  EXPECT_FALSE(std::filesystem::exists(RegistryRootDirectory()));
  bool ro = true;
  HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", &ro, false);
  RUSetValue(k, "HttpPort", "9090", false);
  RUSetValue(k, "Empty", "", false);
  RegCloseKey(k);
  EXPECT_EQ(RUProductValue("HttpPort", "8080"), "9090");
  EXPECT_EQ(RUProductValue("Empty", "fallback"), "fallback");
}

TEST_F(CConfigRegTest, ReadOnlyRootRefusesWritesBeforeTouchingTheRegistry) {
  store.SetParameter("Kept", "1");
  store.CloseRootKey();
  const std::string dir = RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE";
  for (std::filesystem::path p = dir; p.string().size() >= TestSupport::Root().size(); p = p.parent_path())
    chmod(p.c_str(), 0755);
  chmod((dir + "/SOFTWARE").c_str(), 0755);  // keys are closed to other users unless opened
  chmod((dir + "/SOFTWARE/Store").c_str(), 0555);
  chmod((dir + "/SOFTWARE/Store/Kept").c_str(), 0644);
  const std::string failure = TestSupport::RunUnprivileged([] {
    std::string err;
    CConfigReg ro(&err);
    ro.OpenRootKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Store");
    if (!ro.IsReadOnly()) return std::string("not read-only");
    if (ro.GetParameter("Kept", false, "", false) != "1") return std::string("read failed");
    bool dummy = false;
    HKEY other = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Store", &dummy, false);
    const Failure w = FailureOf([&] { ro.SetParameter(other, "X", "1"); });
    if (w.description != "Insufficent rights to write to the registry") return "write: " + w.description;
    const Failure d = FailureOf([&] { ro.DeleteParameter(other, "Kept", false); });
    if (d.description != "Insufficent rights to delete value in the registry") return "delete: " + d.description;
    RegCloseKey(other);
    const Failure o = FailureOf([&] { ro.OpenRootKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing"); });
    if (o.hr != static_cast<HRESULT>(0x80070002u) || o.description != "Could not open SOFTWARE\\Missing key")
      return "open missing: " + o.description;
    if (ro.GetRootKey() != nullptr) return std::string("failed open left a key");
    return std::string();
  });
  chmod((dir + "/SOFTWARE/Store").c_str(), 0755);
  EXPECT_EQ(failure, "");
}

TEST_F(CConfigRegTest, HandWrittenAndHostileValueFiles) {
  const std::string dir = RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Store";
  std::ofstream(dir + "/DSN") << "queue.db\n";  // echo queue.db > DSN
  EXPECT_EQ(store.GetParameter("DSN", false, "", false), "queue.db");
  ASSERT_EQ(symlink("/dev/zero", (dir + "/Zero").c_str()), 0);
  const Failure f = FailureOf([&] { store.GetParameter("Zero", false, "", false); });
  EXPECT_EQ(f.hr, HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE));
  EXPECT_EQ(f.description, "Could not open Zero string value");
  EXPECT_FALSE(store.ParameterExists(store.GetRootKey(), "Zero"));
}
