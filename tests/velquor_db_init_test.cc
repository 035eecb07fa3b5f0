#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "config/config_velquor_client_only.h"
#include "platform/registry.h"
#include "test_support.h"

namespace {

TestSupport::CommandResult Velquor(const std::string& args) {
  return TestSupport::RunCommand(std::string(VELQUOR_CLI) + " " + args);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(VelquorDbCommand, InitMakesTheQueueFileAndItsDirectoriesOwnerAndGroupOnly) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  const std::string dir = TestSupport::FreshDir("queue-home");  // open to every user
  for (const char* v : {"InstalledType", "InstalledPath", "Username", "Password"})
    ASSERT_EQ(Velquor(std::string("config set ") + v + " ''").status, 0);
  for (const char* v : {"OutgoingQueueEnabled", "IncomingQueueEnabled"})
    ASSERT_EQ(Velquor(std::string("config set ") + v + " 0").status, 0);
  const std::string path = dir + "/lib/velquor/queue.db";
  ASSERT_EQ(Velquor("config set DSN sqlite:" + path).status, 0);
  const auto init = Velquor("db init");
  ASSERT_EQ(init.status, 0) << init.out;
  EXPECT_EQ(ModeOf(path), 0640u);  // it holds every message
  EXPECT_EQ(ModeOf(dir + "/lib/velquor"), 0750u);
  EXPECT_EQ(ModeOf(dir + "/lib"), 0750u);
  EXPECT_EQ(ModeOf(dir), 0755u);                                                   // what existed stays as it was
  for (const auto& e : std::filesystem::directory_iterator(dir + "/lib/velquor"))  // SQLite's own files likewise
    EXPECT_EQ(ModeOf(e.path()) & 0007, 0u) << e.path();
  // Readable for a moment, as a careless copy would leave it: still nothing for others.
  chmod((dir + "/lib").c_str(), 0755);
  chmod((dir + "/lib/velquor").c_str(), 0755);
  const std::string failure = TestSupport::RunUnprivileged([path] {
    return open(path.c_str(), O_RDONLY) < 0 && errno == EACCES ? std::string() : std::string("queue file opened");
  });
  EXPECT_EQ(failure, "");
  // An existing file keeps the mode its administrator gave it.
  chmod(path.c_str(), 0660);
  EXPECT_EQ(Velquor("db init").status, 0);
  EXPECT_EQ(ModeOf(path), 0660u);
  // A place where the file cannot be made is named.
  ASSERT_EQ(Velquor("config set DSN sqlite:" + path + "/below-a-file.db").status, 0);
  const auto bad = Velquor("db init");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("cannot create " + path + "/below-a-file.db: Not a directory"), std::string::npos) << bad.out;
}

// A new installation keeps the clients' connection: db init writes
// KeepDatabaseConnection 1 where the value is missing, leaves an
// administrator's 0 alone, and the library without the value still reads 0.
TEST(VelquorDbCommand, InitWritesKeepDatabaseConnectionOnlyWhereMissing) {
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  const std::string dir = TestSupport::FreshDir("keep-connection");
  for (const char* v : {"InstalledType", "InstalledPath", "Username", "Password"})
    ASSERT_EQ(Velquor(std::string("config set ") + v + " ''").status, 0);
  for (const char* v : {"OutgoingQueueEnabled", "IncomingQueueEnabled"})
    ASSERT_EQ(Velquor(std::string("config set ") + v + " 1").status, 0);
  ASSERT_EQ(Velquor("config set DSN sqlite:" + dir + "/queue.db").status, 0);
  auto keep = [] {
    std::string message;
    Norvale::CConfigVelquorClientOnly config(&message);
    config.ReadConfiguration();
    return config.GetKeepDatabaseConnection();
  };
  EXPECT_FALSE(keep());  // the library's default without the value
  EXPECT_NE(Velquor("config get KeepDatabaseConnection").status, 0);

  const auto init = Velquor("db init");
  ASSERT_EQ(init.status, 0) << init.out;
  EXPECT_NE(init.out.find("KeepDatabaseConnection set to 1"), std::string::npos) << init.out;
  EXPECT_EQ(Velquor("config get KeepDatabaseConnection").out, "1\n");
  EXPECT_TRUE(keep());

  ASSERT_EQ(Velquor("config set KeepDatabaseConnection 0").status, 0);
  const auto again = Velquor("db init");
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(again.out.find("KeepDatabaseConnection"), std::string::npos) << again.out;
  EXPECT_EQ(Velquor("config get KeepDatabaseConnection").out, "0\n");
  EXPECT_FALSE(keep());
}
