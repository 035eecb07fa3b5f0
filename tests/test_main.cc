// Entry point of the test programs: every run gets its own NORVALE_ROOT, so
// no test touches the machine's real /etc, /run or journal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string root_template = (std::filesystem::temp_directory_path() / "norvale-test-XXXXXX").string();
  const char* root = mkdtemp(root_template.data());
  if (root == nullptr) return 2;
  setenv("NORVALE_ROOT", root, 1);
  if (getenv("NORVALE_EVENTLOG") == nullptr) setenv("NORVALE_EVENTLOG", "none", 1);
  const int rc = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return rc;
}
