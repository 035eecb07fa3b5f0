#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/registry.h"
#include "test_support.h"

using namespace Norvale::OS;

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(RegistryRootDirectory());
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(key); }

  LONG Set(HKEY k, const char* name, const std::string& data) {
    return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
  }
  std::string Get(HKEY k, const char* name, LONG* rc = nullptr) {
    char buf[2000];
    DWORD size = sizeof buf;
    const LONG r = RegQueryValueExA(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    if (rc) *rc = r;
    return r == ERROR_SUCCESS ? std::string(buf, size) : std::string();
  }

  HKEY key = nullptr;
};

}  // namespace

TEST_F(Registry, ValuesRoundTripByteForByte) {
  const std::string text = "line one\nline two\r\n\xC3\xA9t\xC3\xA9 \xF0\x9F\x93\xB1\t\x01";
  ASSERT_EQ(Set(key, "Text", text), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "Text"), text);
  ASSERT_EQ(Set(key, "Empty", ""), ERROR_SUCCESS);
  LONG rc;
  EXPECT_EQ(Get(key, "Empty", &rc), "");
  EXPECT_EQ(rc, ERROR_SUCCESS);
  // Names with what a file name cannot hold.
  for (const char* name : {"a/b", ".hidden", "..", "50%", "", "%00", ".tmp-1-1", "x\\y"}) {
    ASSERT_EQ(Set(key, name, std::string("v:") + name), ERROR_SUCCESS) << name;
  }
  for (const char* name : {"a/b", ".hidden", "..", "50%", "", "%00", ".tmp-1-1", "x\\y"}) {
    EXPECT_EQ(Get(key, name), std::string("v:") + name) << name;
  }
  Get(key, "Missing", &rc);
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndCasePreserving) {
  ASSERT_EQ(Set(key, "InstalledPath", "/opt/a"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "INSTALLEDPATH"), "/opt/a");
  ASSERT_EQ(Set(key, "installedpath", "/opt/b"), ERROR_SUCCESS);  // replaces, keeps the first spelling
  char name[100];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "InstalledPath");
  EXPECT_EQ(Get(key, "InstalledPath"), "/opt/b");
  cch = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Handsets\\1", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\TEST\\handsets\\1", 0, KEY_READ, &sub), ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_EQ(RegOpenKeyExA(key, "Handsets\\2", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, BufferLimitsAreReportedWithTheSizeNeeded) {
  const std::string big(1001, 'x');
  ASSERT_EQ(Set(key, "Big", big), ERROR_SUCCESS);
  char buf[1000];
  DWORD size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "Big", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 1001u);
  ASSERT_EQ(Set(key, "Fits", std::string(1000, 'y')), ERROR_SUCCESS);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "Fits", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 1000u);
  DWORD type = 0;
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Big", nullptr, &type, nullptr, &size), ERROR_SUCCESS);  // size only
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 1001u);
}

TEST_F(Registry, SubKeysEnumerateInAStableOrderAndExcludeValues) {
  for (const char* name : {"beta", "Alpha", "gamma", "alpha2"}) {
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  Set(key, "aValue", "1");
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[3];
    DWORD cch = sizeof name;
    LONG rc = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) {
      char big[100];
      cch = sizeof big;
      rc = RegEnumKeyExA(key, i, big, &cch, nullptr, nullptr, nullptr, nullptr);
      ASSERT_EQ(rc, ERROR_SUCCESS);
      names.emplace_back(big, cch);
      continue;
    }
    ASSERT_EQ(rc, ERROR_NO_MORE_ITEMS);
    break;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha2", "beta", "gamma"}));
  EXPECT_EQ(Set(key, "beta", "x"), ERROR_ALREADY_EXISTS);  // a value cannot shadow a sub-key
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "avalue", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &sub, nullptr),
            ERROR_ALREADY_EXISTS);
  EXPECT_EQ(RegDeleteValueA(key, "AVALUE"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "aValue"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x12345670)), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, ConcurrentWritersInTwoProcessesNeverTearAValue) {
  const std::string a(4000, 'a'), b(6000, 'b');
  Set(key, "Shared", a);
  const pid_t child = fork();
  if (child == 0) {
    HKEY k = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ | KEY_WRITE, &k);
    for (int i = 0; i < 300; ++i)
      RegSetValueExA(k, "Shared", 0, REG_SZ, reinterpret_cast<const BYTE*>(b.data()), static_cast<DWORD>(b.size()));
    _exit(0);
  }
  int torn = 0;
  for (int i = 0; i < 300; ++i) {
    Set(key, "Shared", a);
    char buf[8000];
    DWORD size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Shared", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
    const std::string got(buf, size);
    if (got != a && got != b) ++torn;
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(torn, 0);
  for (const auto& e :
       std::filesystem::directory_iterator(RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Test"))
    EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << "temporary file left behind";
}

TEST_F(Registry, RightsComeFromTheFileSystem) {
  Set(key, "Readable", "yes");
  HKEY secret = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Secret", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &secret, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(secret);
  const std::string dir = RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Test";
  for (std::filesystem::path p = dir; p.string().size() >= TestSupport::Root().size(); p = p.parent_path())
    chmod(p.c_str(), 0755);
  chmod(dir.c_str(), 0555);
  chmod((dir + "/Secret").c_str(), 0700);
  const std::string failure = TestSupport::RunUnprivileged([] {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &k,
                              nullptr);
    if (rc != ERROR_ACCESS_DENIED) return "create-or-open for writing: " + std::to_string(rc);
    if ((rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &k)) != ERROR_SUCCESS)
      return "open for reading: " + std::to_string(rc);
    char buf[10];
    DWORD size = sizeof buf;
    if (RegQueryValueExA(k, "Readable", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
      return std::string("read refused");
    if ((rc = RegSetValueExA(k, "New", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 1)) != ERROR_ACCESS_DENIED)
      return "write on a read-only handle: " + std::to_string(rc);
    if ((rc = RegDeleteValueA(k, "Readable")) != ERROR_ACCESS_DENIED) return "delete: " + std::to_string(rc);
    HKEY s = nullptr;
    if ((rc = RegOpenKeyExA(k, "Secret", 0, KEY_READ, &s)) != ERROR_ACCESS_DENIED)
      return "unreadable key: " + std::to_string(rc);
    if ((rc = RegCreateKeyExA(k, "Brand\\New", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &s, nullptr)) !=
        ERROR_ACCESS_DENIED)
      return "create below a read-only key: " + std::to_string(rc);
    RegCloseKey(k);
    return std::string();
  });
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(failure, "");
}
