// A send against a database server that accepts connections and never
// answers ends within the configured time, with a clear message.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "client_test_support.h"
#include "platform/registry.h"
#include "queue_test_support.h"
#include "test_support.h"

TEST(DatabaseDeadlineCommand, SendToASilentServerFailsWithinTheConfiguredTime) {
  const TestSupport::SilentServer server;
  const std::string where = "127.0.0.1:" + std::to_string(server.Port());
  std::filesystem::remove_all(Norvale::OS::RegistryRootDirectory());
  TestSupport::WriteClientConfig("postgresql://velquor@" + where + "/queue", true, true);
  bool readOnly = false;
  const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                        &readOnly, false);
  Norvale::RUSetValue(key, "DatabaseConnectTimeout", "300", false);
  Norvale::RUSetValue(key, "DatabaseOperationTimeout", "1000", false);
  Norvale::OS::RegCloseKey(key);

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
