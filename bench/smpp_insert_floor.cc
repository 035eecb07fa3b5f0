// The floor of velquor-smppd's durable queueing: groups of G jobs committed
// back to back through COutgoingBatch (one transaction each, as the daemon's
// group commit queues a window of submits), optionally with their SmppJobs
// rows written in the same transaction by one multi-row INSERT. A daemon
// that answers submit_sm only once its job is committed cannot queue faster
// than this on the same database.
//
//   build/bench/smpp_insert_floor --dsn=DSN [--rows=N] [--group=G]
//                                 [--smpp-jobs=0|1]
//
// --dsn        the queue's data source as Velquor takes it
//              ("sqlite:/path/q.db", a libpq URI or keywords); the queue's
//              tables and the daemon's are created where missing.
// --rows       jobs in all (default 20000), in groups of --group (100).
// --smpp-jobs  1: each group also inserts its SmppJobs rows (default 0).
//
// Prints one line of JSON: rows, group, seconds, rate (rows a second) and
// the p50 and p99 of the time per commit in milliseconds. Exit 1 when the
// database fails, 2 for a bad command line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "bench_arguments.h"
#include "norvale/com.h"
#include "platform/database.h"
#include "queues/database_access.h"
#include "queues/outgoing_batch.h"
#include "queues/queue_schema.h"
#include "smpp_schema.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  std::string dsn;
  std::vector<char*> numeric{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--dsn="))
      dsn = arg.substr(6);
    else
      numeric.push_back(argv[i]);
  }
  long rows = 20000, group = 100, smppJobs = 0;
  const Bench::NumberOption options[] = {
      {"--rows", 1, 10000000, &rows},
      {"--group", 1, 1000, &group},
      {"--smpp-jobs", 0, 1, &smppJobs},
  };
  std::vector<char*> ignored;
  const std::string error = Bench::ParseArguments(static_cast<int>(numeric.size()), numeric.data(), options, ignored);
  if (!error.empty() || !ignored.empty() || dsn.empty()) {
    std::fprintf(stderr,
                 "smpp_insert_floor: %s\nusage: smpp_insert_floor --dsn=DSN [--rows=N] [--group=G] "
                 "[--smpp-jobs=0|1]\n",
                 error.empty() ? "--dsn=DSN is needed" : error.c_str());
    return 2;
  }
  try {
    {
      Norvale::OS::Connection c;
      c.Open("Data Source=" + dsn, "", "");
      Norvale::CreateQueueSchema(c, dsn);
      Norvale::OS::_variant_t affected;
      for (const std::string& statement : VelquorSmpp::SmppSchemaStatements(dsn.rfind("sqlite:", 0) != 0))
        c.Execute(statement, &affected, Norvale::OS::adCmdText | Norvale::OS::adExecuteNoRecords);
    }
    Norvale::CDBConnectionDispensor connections;
    connections.SetDBSettings(dsn, "", "");
    connections.SetDBKeepConnection(true);
    Norvale::COutgoingBatch queue(&connections);
    Norvale::CDatabaseQueryExecuter executer(&connections);
    const Norvale::CMessageEndpoint source(Norvale::stSmppServer, "bench", "");
    std::vector<double> commits;
    const auto start = Clock::now();
    for (long done = 0; done < rows;) {
      const long n = std::min(group, rows - done);
      std::vector<Norvale::COutgoingJobRow> jobs;
      for (long i = 0; i < n; ++i)
        jobs.push_back({"+4477009" + std::to_string(done + i), Norvale::jtTextMessage,
                        "Benchmark message " + std::to_string(done + i), Norvale::hsAll});
      const auto begun = Clock::now();
      queue.Run([&] {
        const std::vector<Norvale::OS::LONG> ids = queue.Insert(jobs, source);
        if (!smppJobs) return;
        std::string sql =
            "INSERT INTO SmppJobs (Id, SystemId, SourceAddr, DestAddr, RegisteredDelivery, SubmitTime, TextStart) "
            "VALUES ";
        Norvale::OS::SqlValues values;
        for (size_t i = 0; i < ids.size(); ++i) {
          const size_t p = values.size();
          sql += (i ? ",(" : "(");
          for (size_t k = 1; k <= 7; ++k) sql += "$" + std::to_string(p + k) + (k < 7 ? "," : ")");
          values.insert(values.end(),
                        {static_cast<std::int64_t>(ids[i]), std::string("bench"), std::string("12345"),
                         jobs[i].sPhoneNumber, std::int64_t{1}, std::int64_t{0}, jobs[i].sData.substr(0, 20)});
        }
        Norvale::OS::LONG affected = 0;
        executer.ExecuteCommand(sql, values, affected, Norvale::OS::adCmdText | Norvale::OS::adExecuteNoRecords, -1, 1);
      });
      commits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
      done += n;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(commits.begin(), commits.end());
    auto at = [&](double p) {
      return commits[std::min(commits.size() - 1, static_cast<size_t>(p * static_cast<double>(commits.size())))];
    };
    std::printf(
        "{\"rows\":%ld,\"group\":%ld,\"smpp_jobs\":%ld,\"seconds\":%.6f,\"rate\":%.1f,\"commit_ms_p50\":%.3f,"
        "\"commit_ms_p99\":%.3f}\n",
        rows, group, smppJobs, seconds, static_cast<double>(rows) / seconds, at(0.5), at(0.99));
  } catch (const Norvale::_com_error& e) {
    std::fprintf(stderr, "smpp_insert_floor: %s\n", e.DescriptionA().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "smpp_insert_floor: %s\n", e.what());
    return 1;
  }
  return 0;
}
