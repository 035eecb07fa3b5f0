// How often an idle listener is woken: `velquor listen` and the listen
// example, started on an empty SQLite queue, sampled for their context
// switches (every thread, voluntary or not) over a few seconds. The listener
// polls every 2 s; in between it should sleep. Prints the rate of each and
// exits 1 when one is woken more than kLimit times a second.
//
//   idle_wakeups [SECONDS]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "child_process.h"

namespace {

constexpr double kLimit = 4.0;

int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

double WakeupsPerSecond(const std::vector<std::string>& argv, int seconds) {
  TestSupport::ChildProcess child(argv);
  if (!child.Started()) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past its start-up
  if (!child.Running()) return -1;
  const long before = child.ContextSwitches();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const long after = child.ContextSwitches();
  child.Signal(SIGTERM);
  child.Wait(std::chrono::seconds(5));
  return static_cast<double>(after - before) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const std::string root = (std::filesystem::temp_directory_path() / ("idle-wakeups-" + std::to_string(getpid())));
  std::filesystem::create_directories(root);
  setenv("NORVALE_ROOT", root.c_str(), 1);
  const std::string cli = VELQUOR_CLI;
  for (const char* v : {"InstalledType", "InstalledPath", "Username", "Password"})
    Run(cli + " config set " + v + " ''");
  for (const char* v : {"OutgoingQueueEnabled", "IncomingQueueEnabled"}) Run(cli + " config set " + v + " 1");
  if (Run(cli + " config set DSN sqlite:" + root + "/queue.db") != 0 || Run(cli + " db init") != 0) {
    std::fprintf(stderr, "cannot configure a queue in %s\n", root.c_str());
    return 2;
  }
  int status = 0;
  for (const auto& [name, argv] :
       {std::pair<std::string, std::vector<std::string>>{"velquor listen", {cli, "listen"}},
        {"velquor-example-listen", {std::string(VELQUOR_EXAMPLES_DIR) + "/velquor-example-listen"}}}) {
    const double rate = WakeupsPerSecond(argv, seconds);
    std::printf("%-24s %6.1f wake-ups per second while idle (limit %.0f)\n", name.c_str(), rate, kLimit);
    if (rate < 0 || rate > kLimit) status = 1;
  }
  std::filesystem::remove_all(root);
  return status;
}
