// Queue operations beside their raw baselines, on SQLite and on PostgreSQL
// (over the private server's Unix socket after `source scripts/pg.sh;
// pg_start`, see raw_database.h). The raw baselines call libsqlite3 and libpq
// directly. At the end the ratios are printed, from the median of the runs
// when --benchmark_repetitions is given.
//
//   send, default mode     against the raw reconnect-per-insert sequence
//                          (open, insert, close; on SQLite with another
//                          connection holding the file, so that the close is
//                          not a last one) and against the raw insert on one
//                          open connection
//   send, KeepDatabaseConnection
//                          against the raw insert on one open connection
//   status, drains         against the same statements on one open connection
//
// Both sides run at SQLite's default synchronous setting (FULL).
//
//   build/bench/queue_bench [--benchmark_filter=...] [--benchmark_repetitions=N]
//
// Without flags of its own every benchmark runs 7 times 0.05 s, the runs of
// all benchmarks in random order (see WithDefaults).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <vector>

#include "platform/database.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "queues/outgoing_queue.h"
#include "queues/queue_schema.h"
#include "raw_database.h"

using namespace Norvale;
using namespace Norvale::OS;
using BenchSupport::RawConnection;

namespace {

constexpr int kDrainRows = 100;
const CMessageEndpoint kSource(stClientLibrary, "bench", "Benchmark");

// Empty tables; false (and the benchmark skipped) without a server.
bool Prepare(benchmark::State& state, std::string* dsn) {
  *dsn = BenchSupport::Dsn(static_cast<int>(state.range(0)));
  if (dsn->empty()) {
    state.SkipWithError("no PostgreSQL server named (PG_DIR and PG_PORT, NORVALE_BENCH_PG or NORVALE_TEST_PG)");
    return false;
  }
  Connection c;
  c.Open("Data Source=" + *dsn, "", "");
  CreateQueueSchema(c, *dsn);
  _variant_t n;
  for (const char* t : {"SMSOutgoing", "SMSIncoming", "SMSNotifications"})
    c.Execute(std::string("DELETE FROM ") + t, &n, adCmdText);
  return true;
}

// A provider as a client core has one.
struct Library {
  explicit Library(const std::string& dsn) { provider.SetDBSettings(dsn, "", ""); }
  CDBConnectionDispensor provider;
};

void Send_Default(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Library lib(dsn);
  COutgoingQueue queue(nullptr, &lib.provider);
  for (auto _ : state) benchmark::DoNotOptimize(queue.InsertJob("+4912345", jtTextMessage, "Hello", hsAll, kSource));
}

void Send_Keep(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Library lib(dsn);
  lib.provider.SetDBKeepConnection(true);
  COutgoingQueue queue(nullptr, &lib.provider);
  for (auto _ : state) benchmark::DoNotOptimize(queue.InsertJob("+4912345", jtTextMessage, "Hello", hsAll, kSource));
}

void Send_RawReconnect(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection holder(dsn);
  for (auto _ : state) {
    RawConnection raw(dsn);
    benchmark::DoNotOptimize(raw.Run(BenchSupport::InsertNextJob("Hello")));
  }
}

void Send_RawOneConnection(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection raw(dsn);
  for (auto _ : state) benchmark::DoNotOptimize(raw.Run(BenchSupport::InsertNextJob("Hello")));
}

void Status_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection(dsn).Run(BenchSupport::InsertNextJob("Hello"));
  Library lib(dsn);
  COutgoingQueue queue(nullptr, &lib.provider);
  const LONG id = 1;
  for (auto _ : state) benchmark::DoNotOptimize(queue.GetJobStatus(id));
}

void Status_Raw(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection raw(dsn);
  raw.Run(BenchSupport::InsertNextJob("Hello"));
  for (auto _ : state) benchmark::DoNotOptimize(raw.Run("SELECT Status FROM SMSOutgoing WHERE Id=1"));
}

void FillIncoming(RawConnection& raw) {
  for (int i = 1; i <= kDrainRows; ++i)
    raw.Run(
        "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp, DestType, DestId, DestName ) "
        "VALUES ( " +
        std::to_string(i) + ", 1, '+4912345', 'Hello', 1, 'now', 1, ' ', ' ' )");
}

void FillNotifications(RawConnection& raw) {
  for (int i = 1; i <= kDrainRows; ++i)
    raw.Run(
        "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
        "TmStamp, JobStatus, SourceType, SourceId, SourceName ) VALUES ( " +
        std::to_string(i) + ", 7, 2, '+4912345', 1, 'Hello', 1, 0, 'now', 2, 1, ' ', ' ' )");
}

void DrainIncoming_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection raw(dsn);
  Library lib(dsn);
  CIncomingQueue queue(nullptr, &lib.provider);
  for (auto _ : state) {
    state.PauseTiming();
    FillIncoming(raw);
    state.ResumeTiming();
    Handsets h;
    JOBTYPE type;
    std::string phone, data, stamp;
    CMessageEndpoint dest;
    while (queue.GetMessage(h = hsAll, type, phone, data, stamp, dest)) {
    }
  }
  state.SetItemsProcessed(state.iterations() * kDrainRows);
}

// The same statements on one connection; every column of the row is read as
// text, as a reader of the message must.
void DrainIncoming_Raw(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection raw(dsn);
  for (auto _ : state) {
    state.PauseTiming();
    FillIncoming(raw);
    state.ResumeTiming();
    while (const auto id = raw.Run("SELECT * From SMSIncoming WHERE Id=(SELECT MIN(Id) FROM SMSIncoming)", true))
      raw.Run("DELETE FROM SMSIncoming WHERE Id=" + *id);
  }
  state.SetItemsProcessed(state.iterations() * kDrainRows);
}

void DrainNotifications_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection raw(dsn);
  Library lib(dsn);
  CNotificationQueue queue(nullptr, &lib.provider);
  for (auto _ : state) {
    state.PauseTiming();
    FillNotifications(raw);
    state.ResumeTiming();
    LONG job, error;
    NotificationTypes type;
    JOBTYPE jt;
    std::string phone, data, stamp;
    Handsets h;
    EnumJobStatus status;
    CMessageEndpoint source;
    while (
        queue.GetNotification(job, type, phone, jt, data, h = hsAll, error, stamp, status, stClientLibrary, source)) {
    }
  }
  state.SetItemsProcessed(state.iterations() * kDrainRows);
}

void DrainNotifications_Raw(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  RawConnection raw(dsn);
  for (auto _ : state) {
    state.PauseTiming();
    FillNotifications(raw);
    state.ResumeTiming();
    while (
        const auto id = raw.Run(
            "SELECT * From SMSNotifications WHERE Id=(SELECT MIN(Id) FROM SMSNotifications WHERE SourceType=1)", true))
      raw.Run("DELETE FROM SMSNotifications WHERE Id=" + *id);
  }
  state.SetItemsProcessed(state.iterations() * kDrainRows);
}

// The quickest of the repetitions beside the median: on a machine shared with
// other work it is the steadier of the two.
double Fastest(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// Arguments: 0 SQLite, 1 PostgreSQL.
BENCHMARK(Send_Default)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(Send_Keep)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(Send_RawReconnect)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(Send_RawOneConnection)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(Status_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(Status_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", Fastest);
BENCHMARK(DrainIncoming_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(DrainIncoming_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(DrainNotifications_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);
BENCHMARK(DrainNotifications_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Fastest);

struct Ratio {
  const char* what;
  const char* library;
  const char* raw;
};
const Ratio kRatios[] = {
    {"send, default mode / raw reconnect-per-insert", "Send_Default", "Send_RawReconnect"},
    {"send, default mode / raw one connection", "Send_Default", "Send_RawOneConnection"},
    {"send, KeepDatabaseConnection / raw one connection", "Send_Keep", "Send_RawOneConnection"},
    {"status query / raw", "Status_Library", "Status_Raw"},
    {"drain incoming / raw", "DrainIncoming_Library", "DrainIncoming_Raw"},
    {"drain notifications / raw", "DrainNotifications_Library", "DrainNotifications_Raw"},
};

// Prints the runs as usual and, at the end, library time / raw time per pair
// and backend, from the median of each benchmark's runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.function_name + "/" + run.run_name.args;
      if (run.run_type == Run::RT_Iteration)
        m_times[name].push_back(run.GetAdjustedRealTime());
      else if (run.aggregate_name == "median")  // with --benchmark_report_aggregates_only
        m_medians[name] = run.GetAdjustedRealTime();
      else if (run.aggregate_name == "min")
        m_fastest[name] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::cout << "\nratios (median of the runs; quickest run against quickest run):\n";
    for (const char* backend : {"0", "1"}) {
      std::cout << (backend[0] == '0' ? "  SQLite\n" : "  PostgreSQL\n");
      for (const Ratio& r : kRatios) {
        const std::string library = std::string(r.library) + "/" + backend, raw = std::string(r.raw) + "/" + backend;
        if (Median(library) <= 0 || Median(raw) <= 0) continue;
        std::cout << "    " << r.what << ": " << Median(library) / Median(raw) << "x";
        if (m_fastest.count(library) && m_fastest.count(raw))
          std::cout << "; " << m_fastest[library] / m_fastest[raw] << "x";
        std::cout << "\n";
      }
    }
  }

 private:
  double Median(const std::string& name) {
    if (const auto median = m_medians.find(name); median != m_medians.end()) return median->second;
    auto it = m_times.find(name);
    if (it == m_times.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  std::map<std::string, std::vector<double>> m_times;
  std::map<std::string, double> m_medians;
  std::map<std::string, double> m_fastest;
};

}  // namespace

// Unless the command line says otherwise: short runs, repeated and in random
// order, so that a library benchmark and its raw baseline sample the same
// moments of a shared machine (a disk that other work syncs to, a loaded CPU)
// and the median ratio is not one quiet and one busy minute compared. The
// whole run takes a few minutes.
std::vector<char*> WithDefaults(int argc, char** argv) {
  static std::string minTime = "--benchmark_min_time=0.05", repetitions = "--benchmark_repetitions=7",
                     interleave = "--benchmark_enable_random_interleaving=true",
                     aggregates = "--benchmark_report_aggregates_only=true";
  std::vector<char*> args(argv, argv + argc);
  const auto given = [&](const char* flag) {
    return std::any_of(args.begin() + 1, args.end(), [&](const char* a) { return std::strstr(a, flag) == a; });
  };
  if (!given("--benchmark_min_time")) args.push_back(minTime.data());
  if (!given("--benchmark_repetitions")) {
    args.push_back(repetitions.data());
    if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleave.data());
    if (!given("--benchmark_report_aggregates_only")) args.push_back(aggregates.data());
  }
  args.push_back(nullptr);
  return args;
}

int main(int argc, char** argv) {
  std::vector<char*> args = WithDefaults(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  BenchSupport::RemoveSqliteDirectory();
  return 0;
}
