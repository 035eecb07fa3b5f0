// How often idle programs are woken, sampled for their context switches
// (every thread, voluntary or not) and their CPU time over a few seconds:
//
// - `velquor listen` and the listen example on an empty SQLite queue. The
//   listener polls every 2 s; in between it should sleep. Limit: kLimit
//   wake-ups a second.
// - velquor-server with four simulator handsets and the default settings,
//   on SQLite and (when NORVALE_TEST_PG names a server) on PostgreSQL. It
//   should wake no more than the handsets' safety-net poll needs: at most
//   kEngineWakeupsPerHandset a second per handset and kEngineCpuMs of CPU
//   a second.
//
// Prints the figures of each and exits 1 when one is over its limit.
//
//   idle_wakeups [SECONDS]   (default 10)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "child_process.h"

namespace {

constexpr double kLimit = 4.0;
constexpr int kHandsets = 4;
constexpr double kEngineWakeupsPerHandset = 1.0;
constexpr double kEngineCpuMs = 0.5;

int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

struct Sample {
  double wakeups = -1;  // per second
  double cpuMs = -1;    // per second
};

// Samples a child after `settle` (its start-up) for `seconds`.
Sample Measure(const std::vector<std::string>& argv, int seconds, std::chrono::milliseconds settle) {
  TestSupport::ChildProcess child(argv);
  Sample sample;
  if (!child.Started()) return sample;
  std::this_thread::sleep_for(settle);
  if (!child.Running()) return sample;
  const long before = child.ContextSwitches();
  const double cpuBefore = child.CpuMilliseconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  sample.wakeups = static_cast<double>(child.ContextSwitches() - before) / seconds;
  sample.cpuMs = (child.CpuMilliseconds() - cpuBefore) / seconds;
  child.Signal(SIGTERM);
  child.Wait(std::chrono::seconds(10));
  return sample;
}

// A fresh configuration in `root` with the queue at `dsn`; false when the
// queue cannot be made.
bool Configure(const std::string& root, const std::string& dsn, int handsets) {
  setenv("NORVALE_ROOT", root.c_str(), 1);
  const std::string cli = VELQUOR_CLI;
  for (const char* v : {"InstalledType", "InstalledPath", "Username", "Password"})
    Run(cli + " config set " + v + " ''");
  for (const char* v : {"OutgoingQueueEnabled", "IncomingQueueEnabled"}) Run(cli + " config set " + v + " 1");
  for (int h = 1; h <= handsets; ++h) Run(cli + " config set --handset " + std::to_string(h) + " Driver simulator");
  return Run(cli + " config set DSN '" + dsn + "'") == 0 && Run(cli + " db init") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::string base = (std::filesystem::temp_directory_path() / ("idle-wakeups-" + std::to_string(getpid())));
  std::filesystem::create_directories(base);
  setenv("NORVALE_EVENTLOG", "none", 1);
  int status = 0;

  const std::string listenRoot = base + "/listen";
  std::filesystem::create_directories(listenRoot);
  if (!Configure(listenRoot, "sqlite:" + listenRoot + "/queue.db", 0)) {
    std::fprintf(stderr, "cannot configure a queue in %s\n", listenRoot.c_str());
    return 2;
  }
  const std::string cli = VELQUOR_CLI;
  for (const auto& [name, argv] :
       {std::pair<std::string, std::vector<std::string>>{"velquor listen", {cli, "listen"}},
        {"velquor-example-listen", {std::string(VELQUOR_EXAMPLES_DIR) + "/velquor-example-listen"}}}) {
    const Sample s = Measure(argv, seconds, std::chrono::milliseconds(500));
    std::printf("%-24s %6.1f wake-ups per second while idle (limit %.0f)\n", name.c_str(), s.wakeups, kLimit);
    if (s.wakeups < 0 || s.wakeups > kLimit) status = 1;
  }

  // The engine on each backend. On PostgreSQL its tables live in a schema of
  // their own, dropped at the end.
  const char* pg = std::getenv("NORVALE_TEST_PG");
  const std::string schema = "idle_wakeups_" + std::to_string(getpid());
  for (const bool postgres : {false, true}) {
    if (postgres && !pg) {
      std::printf("velquor-server on PostgreSQL: skipped, NORVALE_TEST_PG is not set\n");
      continue;
    }
    const std::string root = base + (postgres ? "/engine-pg" : "/engine-sqlite");
    std::filesystem::create_directories(root);
    if (postgres && Run(std::string("psql '") + pg + "' -c 'CREATE SCHEMA " + schema + "'") != 0) {
      std::fprintf(stderr, "cannot create the schema %s\n", schema.c_str());
      status = 1;
      continue;
    }
    const std::string dsn =
        postgres ? std::string(pg) + "?options=-csearch_path%3D" + schema : "sqlite:" + root + "/queue.db";
    if (!Configure(root, dsn, kHandsets)) {
      std::fprintf(stderr, "cannot configure a queue at %s\n", dsn.c_str());
      status = 1;
    } else {
      // Past its start-up and the first 10 s, in which its main loop looks at
      // the state every second.
      const Sample s = Measure({VELQUOR_SERVER}, seconds, std::chrono::seconds(12));
      std::printf(
          "velquor-server %-10s  %6.2f wake-ups per second per handset (%d handsets, limit %.1f), %6.3f ms CPU per "
          "second (limit %.1f)\n",
          postgres ? "PostgreSQL" : "SQLite", s.wakeups / kHandsets, kHandsets, kEngineWakeupsPerHandset, s.cpuMs,
          kEngineCpuMs);
      if (s.wakeups < 0 || s.wakeups / kHandsets > kEngineWakeupsPerHandset || s.cpuMs > kEngineCpuMs) status = 1;
    }
    if (postgres) Run(std::string("psql '") + pg + "' -c 'DROP SCHEMA " + schema + " CASCADE'");
  }
  std::filesystem::remove_all(base);
  return status;
}
