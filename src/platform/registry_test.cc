#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "holder_process.h"
#include "platform/registry.h"
#include "skip_support.h"
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
  struct Answer {
    LONG rc;
    DWORD size;
  };
  // Queries with a buffer of `room` bytes, or for the size only.
  Answer Query(const char* name, DWORD room, bool sizeOnly = false) {
    std::string buf(room, '\0');
    DWORD size = room;
    const LONG rc =
        RegQueryValueExA(key, name, nullptr, nullptr, sizeOnly ? nullptr : reinterpret_cast<BYTE*>(buf.data()), &size);
    return {rc, size};
  }
  static std::string Dir() { return RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Test"; }
  static void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path) << bytes; }
  static struct stat Stat(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
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
    for (int i = 0; i < 100; ++i)
      RegSetValueExA(k, "Shared", 0, REG_SZ, reinterpret_cast<const BYTE*>(b.data()), static_cast<DWORD>(b.size()));
    _exit(0);
  }
  int torn = 0;
  for (int i = 0; i < 100; ++i) {
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
  chmod((dir + "/Readable").c_str(), 0644);
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

TEST_F(Registry, ValueFilesThatAreNoRegularFilesAreRefusedUntouched) {
  const std::string secret = TestSupport::Root() + "/secret.txt";
  WriteFile(secret, "root only");
  ASSERT_EQ(symlink(secret.c_str(), (Dir() + "/Link").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", (Dir() + "/Zero").c_str()), 0);
  ASSERT_EQ(mkfifo((Dir() + "/Fifo").c_str(), 0644), 0);
  // A link is not followed: the engine would read any file for any user.
  ASSERT_EQ(Query("Link", 100).rc, ERROR_CANT_ACCESS_FILE);
  for (const char* name : {"Link", "Zero", "Fifo"}) {
    EXPECT_EQ(Query(name, 100).rc, ERROR_CANT_ACCESS_FILE) << name;  // no endless read, no wait for a writer
    EXPECT_EQ(Query(name, 0, true).rc, ERROR_CANT_ACCESS_FILE) << name;
  }
  if (mknod((Dir() + "/Device").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0) {  // where devices may be made
    EXPECT_EQ(Query("Device", 100).rc, ERROR_CANT_ACCESS_FILE);
  }
  // An over-long file is read no further than the buffer and tells its size.
  const int fd = open((Dir() + "/Huge").c_str(), O_WRONLY | O_CREAT, 0640);
  ASSERT_EQ(ftruncate(fd, 1 << 30), 0);  // sparse: a gibibyte of zero bytes costs nothing
  close(fd);
  Answer huge = Query("Huge", 1000);
  EXPECT_EQ(huge.rc, ERROR_MORE_DATA);
  EXPECT_EQ(huge.size, 1u << 30);
  huge = Query("Huge", 0, true);
  EXPECT_EQ(huge.rc, ERROR_SUCCESS);
  EXPECT_EQ(huge.size, 1u << 30);
  // Listing every value goes through them all without hanging.
  Set(key, "Plain", "ok");
  int readable = 0;
  for (DWORD i = 0;; ++i) {
    char name[100], data[100];
    DWORD cch = sizeof name, size = sizeof data;
    const LONG rc = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (rc == ERROR_SUCCESS) ++readable;
    ASSERT_LT(i, 10u);
  }
  EXPECT_EQ(readable, 1);
}

TEST_F(Registry, OneFinalNewlineOfAValueFileIsNotPartOfTheValue) {
  const std::pair<const char*, const char*> files[][2] = {{{"Dsn", "queue.db\n"}, {"", "queue.db"}},
                                                          {{"Two", "a\n\n"}, {"", "a\n"}},
                                                          {{"CrLf", "a\r\n"}, {"", "a\r"}},
                                                          {{"Bare", "x"}, {"", "x"}},
                                                          {{"Blank", "\n"}, {"", ""}}};
  for (const auto& f : files) {
    WriteFile(Dir() + "/" + f[0].first, f[0].second);  // as an editor or echo writes it
    LONG rc = 0;
    EXPECT_EQ(Get(key, f[0].first, &rc), f[1].second) << f[0].first;
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(Query(f[0].first, 0, true).size, std::strlen(f[1].second)) << f[0].first;
  }
  // What the registry writes ends with a newline of its own, so every value
  // reads back as stored, and the largest value fits its buffer exactly.
  for (const std::string& value :
       {std::string("ends\n"), std::string("\n"), std::string(), std::string("two\n\n"), std::string(1000, 'v')}) {
    ASSERT_EQ(Set(key, "Stored", value), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "Stored"), value);
    std::ifstream in(Dir() + "/Stored");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), value + "\n");
  }
  EXPECT_EQ(Query("Stored", 1000).rc, ERROR_SUCCESS);
  EXPECT_EQ(Query("Stored", 999).rc, ERROR_MORE_DATA);
  EXPECT_EQ(Query("Stored", 999).size, 1000u);
}

TEST_F(Registry, NewKeysAndValuesAreClosedToOthersAndRewritesKeepModeAndOwner) {
  ASSERT_EQ(Set(key, "Open", "x"), ERROR_SUCCESS);
  HKEY closed = nullptr, open = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Closed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &closed, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Set(closed, "V", "secret"), ERROR_SUCCESS);
  RegCloseKey(closed);
  EXPECT_EQ(Stat(Dir() + "/Open").st_mode & 07777, 0640u);
  EXPECT_EQ(Stat(Dir() + "/Closed").st_mode & 07777, 0750u);
  EXPECT_EQ(Stat(Dir() + "/Closed/V").st_mode & 07777, 0640u);
  // What every user must find is opened explicitly, with the way to it.
  ASSERT_EQ(RegCreateKeyExA(key, "Public", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &open, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Set(open, "P", "for all"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyReadableByAll(open), ERROR_SUCCESS);
  RegCloseKey(open);
  EXPECT_EQ(Stat(Dir() + "/Public/P").st_mode & 07777, 0644u);
  EXPECT_EQ(Stat(Dir() + "/Public").st_mode & 07777, 0755u);
  EXPECT_EQ(Stat(Dir()).st_mode & 07777, 0755u);
  EXPECT_EQ(Stat(Dir() + "/Closed").st_mode & 07777, 0750u);  // siblings stay as they were
  EXPECT_EQ(Stat(Dir() + "/Open").st_mode & 07777, 0640u);
  chmod(TestSupport::Root().c_str(), 0755);
  const std::string failure = TestSupport::RunUnprivileged([] {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Public", 0, KEY_READ, &k) != ERROR_SUCCESS)
      return std::string("public key");
    char buf[20];
    DWORD size = sizeof buf;
    LONG rc = RegQueryValueExA(k, "P", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || std::string(buf, size) != "for all") return "public value: " + std::to_string(rc);
    if ((rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Closed", 0, KEY_READ, &k)) != ERROR_ACCESS_DENIED)
      return "closed key: " + std::to_string(rc);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &k);
    size = sizeof buf;
    rc = RegQueryValueExA(k, "Open", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(k);
    if (rc != ERROR_ACCESS_DENIED) return "value of a readable key: " + std::to_string(rc);
    return std::string();
  });
  EXPECT_EQ(failure, "");
  // New keys and values take the group of the key they are made in.
  ASSERT_EQ(chown(Dir().c_str(), static_cast<uid_t>(-1), 65534), 0);
  ASSERT_EQ(Set(key, "Grouped", "g"), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(key, "GroupedKey", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &closed, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(closed);
  EXPECT_EQ(Stat(Dir() + "/Grouped").st_gid, 65534u);
  EXPECT_EQ(Stat(Dir() + "/GroupedKey").st_gid, 65534u);
  // An administrator's choice survives a rewrite.
  ASSERT_EQ(Set(key, "Password", "one"), ERROR_SUCCESS);
  ASSERT_EQ(chmod((Dir() + "/Password").c_str(), 0600), 0);
  ASSERT_EQ(chown((Dir() + "/Password").c_str(), 1234, 5678), 0);
  ASSERT_EQ(Set(key, "password", "two"), ERROR_SUCCESS);
  const struct stat pw = Stat(Dir() + "/Password");
  EXPECT_EQ(pw.st_mode & 07777, 0600u);
  EXPECT_EQ(pw.st_uid, 1234u);
  EXPECT_EQ(pw.st_gid, 5678u);
  EXPECT_EQ(Get(key, "Password"), "two");
}

TEST_F(Registry, TemporaryFilesOfADeadWriterNeitherBreakWritesNorStay) {
  // What a writer with this process id left when it died after its first writes.
  for (int i = 0; i < 64; ++i) WriteFile(Dir() + "/.tmp-" + std::to_string(getpid()) + "-" + std::to_string(i), "x");
  WriteFile(Dir() + "/.tmp-Ab12Cd", "half a val");
  EXPECT_EQ(Set(key, "After", "written"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "After"), "written");
  for (const auto& e : std::filesystem::directory_iterator(Dir()))
    EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << e.path() << " left behind";
}

TEST_F(Registry, AProcessThatMayOnlyReadCannotStallAWriter) {
  ASSERT_EQ(Set(key, "Value", "before"), ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyReadableByAll(key), ERROR_SUCCESS);
  chmod(TestSupport::Root().c_str(), 0755);
  const std::string dir = Dir();
  TestSupport::HolderProcess reader(true, [dir] {
    const int lock = open((dir + "/.lock").c_str(), O_RDONLY | O_NONBLOCK);
    if (lock >= 0) return flock(lock, LOCK_EX) == 0 ? 'L' : 'l';  // the writers' lock: must be out of reach
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    return fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'D' : '-';
  });
  EXPECT_EQ(reader.Took(), 'D');  // the key's directory is all it can hold
  EXPECT_EQ(Set(key, "Value", "after"), ERROR_SUCCESS);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_TRUE(reader.Release()) << "the writer waited until the reader let go";
  EXPECT_EQ(Get(key, "Value"), "after");
}

TEST_F(Registry, AWriterWaitsForAnotherOnlySoLongAndReadersNotAtAll) {
  ASSERT_EQ(Set(key, "Value", "before"), ERROR_SUCCESS);
  const std::string dir = Dir();
  TestSupport::HolderProcess writer(false, [dir] {
    const int fd = open((dir + "/.lock").c_str(), O_RDWR);
    return fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'L' : '-';
  });
  ASSERT_EQ(writer.Took(), 'L');
  setenv("NORVALE_REGISTRY_LOCK_TIMEOUT_MS", "200", 1);
  EXPECT_EQ(Set(key, "Value", "during"), ERROR_TIMEOUT);
  EXPECT_EQ(RegDeleteValueA(key, "Value"), ERROR_TIMEOUT);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_TIMEOUT);
  unsetenv("NORVALE_REGISTRY_LOCK_TIMEOUT_MS");
  EXPECT_EQ(Get(key, "Value"), "before");
  EXPECT_TRUE(writer.Release());
  EXPECT_EQ(Set(key, "Value", "after"), ERROR_SUCCESS);
  EXPECT_EQ(Get(key, "Value"), "after");
}

TEST_F(Registry, DeletingAKeyTakesItsLockAndLeftoversAlong) {
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Gone\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(Set(sub, "V", "1"), ERROR_SUCCESS);
  RegCloseKey(sub);
  WriteFile(Dir() + "/Gone/Deeper/.tmp-left", "x");
  EXPECT_EQ(RegDeleteKeyA(key, "Gone"), ERROR_ACCESS_DENIED);  // it has a sub-key
  EXPECT_EQ(RegDeleteKeyA(key, "gone\\deeper"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "Gone"), ERROR_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(Dir() + "/Gone"));
  EXPECT_EQ(RegDeleteKeyA(key, "Gone"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, HandlesKeepTheAccessTheyWereOpenedWith) {
  HKEY ro = nullptr, sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Exists", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ, &ro), ERROR_SUCCESS);
  for (const char* name : {"Made", "Exists"}) {
    sub = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegCreateKeyExA(ro, name, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &sub, nullptr),
              ERROR_ACCESS_DENIED)
        << name;
    EXPECT_EQ(sub, nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(Dir() + "/Made"));
  EXPECT_EQ(Set(ro, "V", "1"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(ro, "V"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetKeyReadableByAll(ro), ERROR_ACCESS_DENIED);
  RegCloseKey(ro);
  // The right to set values is not the right to make keys, and the other way round.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ | KEY_SET_VALUE, &ro), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExA(ro, "Made", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Set(ro, "V", "1"), ERROR_SUCCESS);
  RegCloseKey(ro);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_READ | KEY_CREATE_SUB_KEY, &ro), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExA(ro, "Made", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_EQ(Set(ro, "W", "1"), ERROR_ACCESS_DENIED);
  RegCloseKey(ro);
}

// Run by the test below in a set-group-id copy of this program.
TEST(RegistryEnvironment, DISABLED_PrintRootDirectory) {
  std::printf("registry root=%s\n", RegistryRootDirectory().c_str());
  std::fflush(stdout);
}

TEST(RegistryEnvironment, IsIgnoredByAProgramRunningWithOtherRights) {
  if (geteuid() != 0) SKIP_UNLESS_CI() << "making a set-group-id program takes root";
  // With other rights than its caller's, a program must not let the caller's
  // environment move its configuration elsewhere.
  const std::string copy = TestSupport::Root() + "/privileged-copy";
  std::filesystem::copy_file("/proc/self/exe", copy, std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(chown(copy.c_str(), 0, 65534), 0);
  ASSERT_EQ(chmod(copy.c_str(), 02755), 0);
  const auto run = TestSupport::RunCommand(
      copy + " --gtest_also_run_disabled_tests --gtest_filter=RegistryEnvironment.DISABLED_PrintRootDirectory");
  std::filesystem::remove(copy);
  EXPECT_NE(run.out.find("registry root=/etc/norvale/registry\n"), std::string::npos) << run.out;
}
