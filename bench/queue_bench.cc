// Queue operations beside the raw driver running the same statements on one
// open connection, on SQLite and (when NORVALE_TEST_PG names a server) on
// PostgreSQL. At the end each library/raw pair's ratio is printed.
//
//   build/bench/queue_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

#include "platform/database.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "queues/outgoing_queue.h"
#include "queues/queue_schema.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

constexpr int kDrainRows = 100;
const CMessageEndpoint kSource(stClientLibrary, "bench", "Benchmark");

std::string Dsn(int backend) {
  static const std::string sqlite = [] {
    const auto dir = std::filesystem::temp_directory_path() / ("queue_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return "sqlite:" + (dir / "q.db").string();
  }();
  if (backend == 0) return sqlite;
  const char* pg = std::getenv("NORVALE_TEST_PG");
  return pg ? pg : "";
}

struct Raw {
  explicit Raw(const std::string& dsn) { c.Open("Data Source=" + dsn, "", ""); }
  _RecordsetPtr Run(const std::string& sql, LONG options = adCmdText) { return c.Execute(sql, &n, options); }
  LONG Affected() const { return n.ToLong(); }
  Connection c;
  _variant_t n;
};

// Empty tables; false (and the benchmark skipped) without a server.
bool Prepare(benchmark::State& state, std::string* dsn) {
  *dsn = Dsn(static_cast<int>(state.range(0)));
  if (dsn->empty()) {
    state.SkipWithError("NORVALE_TEST_PG is not set");
    return false;
  }
  Raw raw(*dsn);
  CreateQueueSchema(raw.c, *dsn);
  for (const char* t : {"SMSOutgoing", "SMSIncoming", "SMSNotifications"}) raw.Run(std::string("DELETE FROM ") + t);
  return true;
}

std::string OutgoingValues(LONG id) {
  return "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName ) "
         "VALUES ( " +
         std::to_string(id) + ", 1, '+4912345', 'Hello', 0, 0, 1, 'bench', 'Benchmark' )";
}

void InsertJob_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  CDBConnectionDispensor provider;
  provider.SetDBSettings(dsn, "", "");
  COutgoingQueue queue(nullptr, &provider);
  for (auto _ : state) benchmark::DoNotOptimize(queue.InsertJob("+4912345", jtTextMessage, "Hello", hsAll, kSource));
}

void InsertJob_Raw(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Raw raw(dsn);
  for (auto _ : state) {
    const _variant_t max = raw.Run("SELECT MAX(Id) AS MaxId FROM SMSOutgoing")->GetFieldValue("MaxId");
    raw.Run(OutgoingValues(max.vt == VT_NULL ? 1 : max.ToLong() + 1), adCmdText | adExecuteNoRecords);
  }
}

void GetJobStatus_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Raw(dsn).Run(OutgoingValues(1));
  CDBConnectionDispensor provider;
  provider.SetDBSettings(dsn, "", "");
  COutgoingQueue queue(nullptr, &provider);
  const LONG id = 1;
  for (auto _ : state) benchmark::DoNotOptimize(queue.GetJobStatus(id));
}

void GetJobStatus_Raw(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Raw raw(dsn);
  raw.Run(OutgoingValues(1));
  for (auto _ : state)
    benchmark::DoNotOptimize(raw.Run("SELECT Status FROM SMSOutgoing WHERE Id=1")->GetFieldValue("Status"));
}

void FillIncoming(Raw& raw) {
  for (int i = 1; i <= kDrainRows; ++i)
    raw.Run(
        "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp, DestType, DestId, DestName ) "
        "VALUES ( " +
        std::to_string(i) + ", 1, '+4912345', 'Hello', 1, 'now', 1, ' ', ' ' )");
}

void FillNotifications(Raw& raw) {
  for (int i = 1; i <= kDrainRows; ++i)
    raw.Run(
        "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, "
        "TmStamp, JobStatus, SourceType, SourceId, SourceName ) VALUES ( " +
        std::to_string(i) + ", 7, 2, '+4912345', 1, 'Hello', 1, 0, 'now', 2, 1, ' ', ' ' )");
}

void DrainIncoming_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Raw raw(dsn);
  CDBConnectionDispensor provider;
  provider.SetDBSettings(dsn, "", "");
  CIncomingQueue queue(nullptr, &provider);
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

void DrainIncoming_Raw(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Raw raw(dsn);
  for (auto _ : state) {
    state.PauseTiming();
    FillIncoming(raw);
    state.ResumeTiming();
    while (true) {
      const auto rs = raw.Run("SELECT * From SMSIncoming WHERE Id=(SELECT MIN(Id) FROM SMSIncoming)");
      if (rs->adoEOF()) break;
      benchmark::DoNotOptimize(rs->GetFieldValue("Data"));
      raw.Run("DELETE FROM SMSIncoming WHERE Id=" + rs->GetFieldValue("Id").ToString(), adCmdText | adExecuteNoRecords);
    }
  }
  state.SetItemsProcessed(state.iterations() * kDrainRows);
}

void DrainNotifications_Library(benchmark::State& state) {
  std::string dsn;
  if (!Prepare(state, &dsn)) return;
  Raw raw(dsn);
  CDBConnectionDispensor provider;
  provider.SetDBSettings(dsn, "", "");
  CNotificationQueue queue(nullptr, &provider);
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
  Raw raw(dsn);
  for (auto _ : state) {
    state.PauseTiming();
    FillNotifications(raw);
    state.ResumeTiming();
    while (true) {
      const auto rs =
          raw.Run("SELECT * From SMSNotifications WHERE Id=(SELECT MIN(Id) FROM SMSNotifications WHERE SourceType=1)");
      if (rs->adoEOF()) break;
      benchmark::DoNotOptimize(rs->GetFieldValue("Data"));
      raw.Run("DELETE FROM SMSNotifications WHERE Id=" + rs->GetFieldValue("Id").ToString(),
              adCmdText | adExecuteNoRecords);
    }
  }
  state.SetItemsProcessed(state.iterations() * kDrainRows);
}

// Arguments: 0 SQLite, 1 PostgreSQL.
BENCHMARK(InsertJob_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(InsertJob_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetJobStatus_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(GetJobStatus_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(DrainIncoming_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(DrainIncoming_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(DrainNotifications_Library)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(DrainNotifications_Raw)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Prints the runs as usual and, at the end, library time / raw time per pair.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (!run.error_occurred) m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::cout << "\nlibrary / raw (same statements on one open connection):\n";
    for (const auto& [name, time] : m_times) {
      const auto at = name.find("_Library");
      if (at == std::string::npos) continue;
      const std::string raw = name.substr(0, at) + "_Raw" + name.substr(at + 8);
      if (const auto it = m_times.find(raw); it != m_times.end() && it->second > 0)
        std::cout << "  " << name.substr(0, at) << (name.back() == '0' ? " on SQLite" : " on PostgreSQL") << ": "
                  << time / it->second << "x\n";
    }
  }

 private:
  std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::filesystem::remove_all(std::filesystem::path(Dsn(0).substr(7)).parent_path());
  return 0;
}
