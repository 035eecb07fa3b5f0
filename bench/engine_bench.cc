// The gateway end to end: a client sends through the queue (the public
// API), velquor-server claims, converts, submits through the simulator,
// records the outcome and writes a "message sent" notification, and the
// client takes the notification. Measured with 1 and 4 handsets, on SQLite
// and (when NORVALE_TEST_PG names a server) on PostgreSQL, beside the raw
// floor: the same statements run by one program on one open connection. At
// the end: messages per second, and the ratio of the end-to-end time to the
// floor's. Also the engine's CPU time while idle.
//
//   build/bench/engine_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>

#include "norvale/velquor.h"
#include "platform/database.h"
#include "queues/queue_schema.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

constexpr int kBatch = 200;

std::string Dsn(int backend, const std::string& root) {
  if (backend == 0) return "sqlite:" + root + "/queue.db";
  const char* pg = std::getenv("NORVALE_TEST_PG");
  return pg ? pg : "";
}

struct Raw {
  explicit Raw(const std::string& dsn) { c.Open("Data Source=" + dsn, "", ""); }
  _RecordsetPtr Run(const std::string& sql) { return c.Execute(sql, &n, adCmdText); }
  Connection c;
  _variant_t n;
};

void EmptyTables(const std::string& dsn) {
  Raw raw(dsn);
  CreateQueueSchema(raw.c, dsn);
  for (const char* t : {"SMSOutgoing", "SMSIncoming", "SMSNotifications", "SMSMessageRefs", "SMSOutgoingMarks"})
    raw.Run(std::string("DELETE FROM ") + t);
}

void WriteValue(const std::string& dir, const std::string& name, const std::string& value) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/" + name) << value;
}

// An engine with `handsets` simulator handsets on a root of its own; the
// benchmark process uses the same root, so its client reaches the same queue.
class Engine {
 public:
  Engine(int backend, int handsets, const std::string& pollInterval = "10") {
    m_root = (std::filesystem::temp_directory_path() / ("engine_bench_" + std::to_string(getpid()))).string();
    std::filesystem::remove_all(m_root);
    std::filesystem::create_directories(m_root);
    setenv("NORVALE_ROOT", m_root.c_str(), 1);
    setenv("NORVALE_EVENTLOG", "none", 1);
    m_dsn = Dsn(backend, m_root);
    if (m_dsn.empty()) return;
    EmptyTables(m_dsn);
    const std::string key = m_root + "/etc/norvale/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor";
    for (const auto& [k, v] : std::map<std::string, std::string>{{"InstalledType", "Server"},
                                                                 {"InstalledPath", "/"},
                                                                 {"OutgoingQueueEnabled", "1"},
                                                                 {"IncomingQueueEnabled", "1"},
                                                                 {"DSN", m_dsn},
                                                                 {"Username", ""},
                                                                 {"Password", ""},
                                                                 {"PollInterval", pollInterval}})
      WriteValue(key, k, v);
    for (int h = 1; h <= handsets; ++h) {
      WriteValue(key + "/Handsets/" + std::to_string(h), "Driver", "simulator");
      WriteValue(key + "/Handsets/" + std::to_string(h), "Reports", "0");
    }
    m_pid = fork();
    if (m_pid == 0) {
      execl(VELQUOR_SERVER, VELQUOR_SERVER, static_cast<char*>(nullptr));
      _exit(127);
    }
    const std::string state = m_root + "/run/norvale/VelquorServer.handsets.json";
    for (int i = 0; i < 500 && !std::filesystem::exists(state); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Engine() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    std::filesystem::remove_all(m_root);
  }
  bool Ready() const { return !m_dsn.empty() && m_pid > 0; }
  const std::string& DsnName() const { return m_dsn; }
  // CPU time (user + system) the engine has used, in clock ticks.
  long CpuTicks() const {
    std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::atol(field.c_str());
      if (i == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
  }

 private:
  std::string m_root, m_dsn;
  pid_t m_pid = -1;
};

double g_idleCpuMsPerS = -1;

void EndToEnd(benchmark::State& state) {
  Engine engine(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  if (!engine.Ready()) {
    state.SkipWithError("NORVALE_TEST_PG is not set");
    return;
  }
  Velquor client;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) client.SendMsg("+4915112345", "Benchmark message", 0);
    for (int received = 0; received < kBatch;) {
      if (client.GetNotification(0))
        ++received;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The CPU an idle engine (4 handsets, the default poll interval) uses over
// three seconds.
void Idle(benchmark::State& state) {
  Engine engine(0, 4, "1000");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (auto _ : state) {
    const long before = engine.CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    g_idleCpuMsPerS = (engine.CpuTicks() - before) * 1000.0 / sysconf(_SC_CLK_TCK) / 3.0;
  }
  state.counters["cpu_ms_per_s"] = g_idleCpuMsPerS;
}

// The statements of one message's round trip, in order, on one connection.
void Floor(benchmark::State& state) {
  const std::string root =
      (std::filesystem::temp_directory_path() / ("engine_floor_" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(root);
  const std::string dsn = Dsn(static_cast<int>(state.range(0)), root);
  if (dsn.empty()) {
    state.SkipWithError("NORVALE_TEST_PG is not set");
    return;
  }
  EmptyTables(dsn);
  Raw raw(dsn);
  auto maxId = [&](const char* table) {
    const _variant_t v = raw.Run(std::string("SELECT MAX(Id) AS MaxId FROM ") + table)->GetFieldValue("MaxId");
    return v.vt == VT_NULL ? 1 : v.ToLong() + 1;
  };
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      const std::string id = std::to_string(maxId("SMSOutgoing"));
      raw.Run(
          "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName ) "
          "VALUES ( " +
          id + ", 1, '+4915112345', 'Benchmark message', 0, 0, 1, ' ', ' ' )");
      raw.Run("SELECT MIN(Id) AS MinJobId FROM SMSOutgoing WHERE Status=0 AND ( Handset=1 OR Handset=0 )");
      raw.Run("UPDATE SMSOutgoing SET Status=1 WHERE Id=" + id + " AND Status=0");
      benchmark::DoNotOptimize(raw.Run("SELECT * FROM SMSOutgoing WHERE Id=" + id)->GetFieldValue("Data"));
      raw.Run("UPDATE SMSOutgoing SET MessageRef=-99 WHERE Id=" + id +
              " AND Status=1 AND (MessageRef IS NULL OR MessageRef>=0 OR MessageRef=-99)");
      raw.Run("UPDATE SMSOutgoing SET Status=2, Handset=1, MessageRef=0 WHERE Id=" + id);
      raw.Run("DELETE FROM SMSOutgoing WHERE Status=2 AND Id<" + id);
      const std::string nid = std::to_string(maxId("SMSNotifications"));
      raw.Run(
          "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
          "TmStamp, JobStatus, SourceType, SourceId, SourceName ) VALUES ( " +
          nid + ", " + id +
          ", 2, '+4915112345', 1, 'Benchmark message', 1, 0, '2026-01-01T00:00:00Z', 2, 1, ' ', ' ' )");
      const auto rs = raw.Run(
          "SELECT * From SMSNotifications WHERE Id=(SELECT MIN(Id) FROM SMSNotifications WHERE "
          "SourceType=1)");
      raw.Run("DELETE FROM SMSNotifications WHERE Id=" + rs->GetFieldValue("Id").ToString());
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  std::filesystem::remove_all(root);
}

// Arguments: backend (0 SQLite, 1 PostgreSQL), handsets.
BENCHMARK(EndToEnd)->Args({0, 1})->Args({0, 4})->Args({1, 1})->Args({1, 4})->UseManualTime()->Iterations(3)->Unit(
    benchmark::kMillisecond);
BENCHMARK(Idle)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Floor)->Arg(0)->Arg(1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (!run.error_occurred) m_seconds[run.benchmark_name()] = run.GetAdjustedRealTime() / 1000.0 / kBatch;
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::cout << "\nmessages per second, end to end, and its time against the floor (the same statements on one "
                 "connection, one program):\n";
    for (const auto& [name, perMessage] : m_seconds) {
      if (name.rfind("EndToEnd/", 0) != 0) continue;
      const int backend = name[9] - '0';
      const std::string handsets = name.substr(11, name.find('/', 11) - 11);
      const auto floor = m_seconds.find("Floor/" + std::to_string(backend) + "/iterations:3/manual_time");
      std::printf("  %-10s %s handset(s): %8.1f messages/s", backend ? "PostgreSQL" : "SQLite", handsets.c_str(),
                  1.0 / perMessage);
      if (floor != m_seconds.end())
        std::printf("   floor %8.1f/s   ratio %.2fx", 1.0 / floor->second, perMessage / floor->second);
      std::printf("\n");
    }
    if (g_idleCpuMsPerS >= 0)
      std::printf("  idle engine (4 handsets, poll interval 1 s): %.2f ms CPU per second\n", g_idleCpuMsPerS);
  }

 private:
  std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
