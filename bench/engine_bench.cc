// The gateway end to end: a client sends through the queue (the public
// API), velquor-server claims, converts, submits through the simulator,
// records the outcome and writes a "message sent" notification, and the
// client takes the notification. Measured with 1 and 4 handsets, on SQLite
// and (when NORVALE_TEST_PG names a server) on PostgreSQL, with the client in
// the default mode (a new connection per insert) and with
// KeepDatabaseConnection=1, beside the raw floor of each side (see Floor):
// the client's inserts and the engine's claims and outcomes, each batched
// and run back to back by one program through the database's own client
// library (libsqlite3, libpq). At the end: messages per second, each side's
// floor, and the ratio of the end-to-end time to the slower side's floor,
// which no gateway can beat. Also the engine's CPU time while idle (10 s).
//
//   build/bench/engine_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include "raw_database.h"

using namespace Norvale;
using namespace Norvale::OS;
using BenchSupport::RawConnection;

namespace {

constexpr int kBatch = 200;
// A batch not done by then is reported as an error, not waited for.
constexpr auto kBatchLimit = std::chrono::seconds(60);
// The engine's synchronous setting on SQLite (its default; see docs/engine.md).
constexpr const char* kEngineSynchronous = "NORMAL";

std::string Dsn(int backend, const std::string& root) {
  if (backend == 0) return "sqlite:" + root + "/queue.db";
  const char* pg = std::getenv("NORVALE_TEST_PG");
  return pg ? pg : "";
}

void EmptyTables(const std::string& dsn) {
  Connection c;
  c.Open("Data Source=" + dsn, "", "");
  CreateQueueSchema(c, dsn);
  _variant_t n;
  for (const char* t : {"SMSOutgoing", "SMSIncoming", "SMSNotifications", "SMSMessageRefs", "SMSOutgoingMarks"})
    c.Execute(std::string("DELETE FROM ") + t, &n, adCmdText);
}

void WriteValue(const std::string& dir, const std::string& name, const std::string& value) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/" + name) << value;
}

std::string TempRoot(const char* what) {
  return (std::filesystem::temp_directory_path() / (std::string(what) + "_" + std::to_string(getpid()))).string();
}

// An engine with `handsets` simulator handsets on a root of its own; the
// benchmark process uses the same root, so its client reaches the same queue.
class Engine {
 public:
  Engine(int backend, int handsets, bool keep, const std::string& pollInterval = "10") {
    m_root = TempRoot("engine_bench");
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
                                                                 {"KeepDatabaseConnection", keep ? "1" : "0"},
                                                                 {"SQLiteSynchronous", kEngineSynchronous},
                                                                 {"PollInterval", pollInterval}})
      WriteValue(key, k, v);
    for (int h = 1; h <= handsets; ++h) {
      WriteValue(key + "/Handsets/" + std::to_string(h), "Driver", "simulator");
      WriteValue(key + "/Handsets/" + std::to_string(h), "Reports", "0");
    }
    // ENGINE_BENCH_SERVER runs another build of the engine against this one's
    // client and floor, for comparisons.
    const char* server = std::getenv("ENGINE_BENCH_SERVER") ? std::getenv("ENGINE_BENCH_SERVER") : VELQUOR_SERVER;
    m_pid = fork();
    if (m_pid == 0) {
      execl(server, server, static_cast<char*>(nullptr));
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
  // CPU time the engine's threads have used, in nanoseconds (the scheduler's
  // own count: clock ticks of 10 ms are too coarse for an idle engine).
  double CpuNanoseconds() const {
    double total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(m_pid) + "/task", ec)) {
      std::ifstream in(task.path() / "schedstat");
      double onCpu = 0;
      if (in >> onCpu) total += onCpu;
    }
    return total;
  }

 private:
  std::string m_root, m_dsn;
  pid_t m_pid = -1;
};

double g_idleCpuMsPerS = -1;

// Arguments: backend (0 SQLite, 1 PostgreSQL), handsets, KeepDatabaseConnection.
void EndToEnd(benchmark::State& state) {
  Engine engine(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), state.range(2) != 0);
  if (!engine.Ready()) {
    state.SkipWithError("NORVALE_TEST_PG is not set");
    return;
  }
  Velquor client;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) client.SendMsg("+4915112345", "Benchmark message", 0);
    for (int received = 0; received < kBatch;) {
      if (client.GetNotification(0)) {
        ++received;
      } else if (std::chrono::steady_clock::now() - start > kBatchLimit) {
        state.SkipWithError("the notifications of a batch did not all come within the time limit");
        return;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The CPU an idle engine (4 handsets, the default poll interval) uses over
// ten seconds.
void Idle(benchmark::State& state) {
  Engine engine(0, 4, false, "1000");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (auto _ : state) {
    const double before = engine.CpuNanoseconds();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    g_idleCpuMsPerS = (engine.CpuNanoseconds() - before) / 1e6 / 10.0;
  }
  state.counters["cpu_ms_per_s"] = g_idleCpuMsPerS;
}

// The floor: the slower of the two sides, each one's statements run back to
// back by one program through the database's own client library. Client
// side: the client's insert of each message, with KeepDatabaseConnection 1
// 100 in one transaction on one connection, in the default mode each on a
// new connection (that mode cannot share one). Engine side: the claim and
// the outcome of 100 jobs at a time, each batch in one transaction: one
// claiming UPDATE ... RETURNING (PostgreSQL: the rows chosen FOR UPDATE SKIP
// LOCKED), then one UPDATE of the outcomes, one read of MAX(Id) for the
// notifications' identifiers, one INSERT of the 100 notifications and the
// removal of the older sent rows, at the synchronous setting the engine
// uses. Both sides run at once in the gateway, so neither end to end nor the
// engine can beat the slower one. Arguments: backend, side (0 client with
// KeepDatabaseConnection 1, 1 client in the default mode, 2 engine).
constexpr int kFloorBatch = 100;

std::string InsertStatement() {
  return "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName ) "
         "SELECT NextId.MaxId + 1, 1, '+4915112345', 'Benchmark message', 0, 0, 1, ' ', ' ' FROM (SELECT "
         "COALESCE((SELECT MAX(Id) FROM SMSOutgoing), 0) AS MaxId) AS NextId WHERE NextId.MaxId < 2147483647 "
         "RETURNING Id";
}

void ClientSide(RawConnection& client, const std::string& dsn, bool bReconnect) {
  const std::string insert = InsertStatement();
  for (int done = 0; done < kBatch; done += kFloorBatch) {
    if (bReconnect) {
      for (int i = 0; i < kFloorBatch; ++i) benchmark::DoNotOptimize(RawConnection(dsn).Run(insert));
      continue;
    }
    client.Run("BEGIN");
    for (int i = 0; i < kFloorBatch; ++i) benchmark::DoNotOptimize(client.Run(insert));
    client.Run("COMMIT");
  }
}

// Claims and records the outcome of jobs first .. first + kBatch - 1.
void EngineSide(RawConnection& engine, bool bPostgres, long first) {
  const std::string begin = bPostgres ? "BEGIN" : "BEGIN IMMEDIATE";
  for (long from = first; from < first + kBatch; from += kFloorBatch) {
    const std::string to = std::to_string(from + kFloorBatch - 1);
    engine.Run(begin);
    benchmark::DoNotOptimize(engine.Run(
        "UPDATE SMSOutgoing SET Status=1, MessageRef=-99 WHERE Id IN (SELECT Id FROM SMSOutgoing WHERE Status=0 AND "
        "(Handset=1 OR Handset=0) ORDER BY Id LIMIT " +
        std::to_string(kFloorBatch) + (bPostgres ? " FOR UPDATE SKIP LOCKED" : "") + ") RETURNING *"));
    engine.Run("COMMIT");
    engine.Run(begin);
    engine.Run("UPDATE SMSOutgoing SET Status=2, Handset=1, MessageRef=Id WHERE Id BETWEEN " + std::to_string(from) +
               " AND " + to + " AND Status=1 AND MessageRef=-99");
    const long next = engine.Long("SELECT COALESCE(MAX(Id), 0) FROM SMSNotifications") + 1;
    std::string insert =
        "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
        "TmStamp, JobStatus, SourceType, SourceId, SourceName ) VALUES ";
    for (int i = 0; i < kFloorBatch; ++i)
      insert += (i ? ", (" : "(") + std::to_string(next + i) + ", " + std::to_string(from + i) +
                ", 2, '+4915112345', 1, 'Benchmark message', 1, 0, '2026-01-01T00:00:00Z', 2, 1, ' ', ' ')";
    engine.Run(insert);
    engine.Run("DELETE FROM SMSOutgoing WHERE Status=2 AND Id<" + to);
    engine.Run("COMMIT");
  }
}

void Floor(benchmark::State& state) {
  const std::string root = TempRoot("engine_floor");
  std::filesystem::create_directories(root);
  const std::string dsn = Dsn(static_cast<int>(state.range(0)), root);
  if (dsn.empty()) {
    state.SkipWithError("NORVALE_TEST_PG is not set");
    return;
  }
  const bool postgres = state.range(0) != 0;
  const int side = static_cast<int>(state.range(1));
  EmptyTables(dsn);
  RawConnection client(dsn), engine(dsn);
  if (!postgres) engine.Run(std::string("PRAGMA synchronous=") + kEngineSynchronous);
  for (auto _ : state) {
    const long first = client.Long("SELECT COALESCE(MAX(Id), 0) FROM SMSOutgoing") + 1;
    if (side == 2) ClientSide(client, dsn, false);  // the queue the engine works through, not timed
    const auto start = std::chrono::steady_clock::now();
    if (side == 2)
      EngineSide(engine, postgres, first);
    else
      ClientSide(client, dsn, side == 1);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (side != 2) client.Run("DELETE FROM SMSOutgoing");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  std::filesystem::remove_all(root);
}

BENCHMARK(EndToEnd)
    ->ArgsProduct({{0, 1}, {1, 4}, {0, 1}})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Floor)->ArgsProduct({{0, 1}, {0, 1, 2}})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Idle)->Iterations(1)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (!run.error_occurred)
        m_seconds[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime() / 1000.0 / kBatch;
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::cout << "\nmessages per second end to end, each side's floor (its statements batched, run by one program), "
                 "and the end-to-end time per message against the slower side's:\n";
    for (const int backend : {0, 1}) {
      const double engine = Seconds("Floor/" + std::to_string(backend) + "/2");
      for (const int keep : {0, 1}) {
        const double client = Seconds("Floor/" + std::to_string(backend) + "/" + std::to_string(keep ? 0 : 1));
        const double floor = client > 0 && engine > 0 ? std::max(client, engine) : 0;
        for (const int handsets : {1, 4}) {
          const double e2e = Seconds("EndToEnd/" + std::to_string(backend) + "/" + std::to_string(handsets) + "/" +
                                     std::to_string(keep));
          if (e2e <= 0) continue;
          std::printf("  %-10s %-7s %d handset(s): %7.1f messages/s", backend ? "PostgreSQL" : "SQLite",
                      keep ? "keep" : "default", handsets, 1.0 / e2e);
          if (floor > 0)
            std::printf("   client %7.1f/s  engine %7.1f/s  floor %7.1f/s (%s)  ratio %.2fx", 1.0 / client,
                        1.0 / engine, 1.0 / floor, client >= engine ? "client" : "engine", e2e / floor);
          std::printf("\n");
        }
      }
    }
    if (g_idleCpuMsPerS >= 0)
      std::printf("  idle engine (4 handsets, poll interval 1 s): %.3f ms CPU per second\n", g_idleCpuMsPerS);
  }

 private:
  double Seconds(const std::string& name) const {
    const auto it = m_seconds.find(name);
    return it == m_seconds.end() ? 0 : it->second;
  }
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
