// Writers sending at once: N writer processes, each with a queue of its own,
// insert M jobs each into SMSOutgoing, started together, with a connection
// per insert (default) and with KeepDatabaseConnection (keep). Printed per
// backend and mode: sends per second, failed sends (a send whose every
// attempt failed), duplicate Ids, and texts missing or stored more than once,
// beside a raw baseline: the same writers running the least insert statement
// (raw_database.h) on one native connection each, trying again at once on a
// duplicate key.
//
//   build/bench/insert_contention [--writers=8] [--sends=500] [--backend=sqlite|postgresql|both]
//
// The exit status is 1 when a send failed or a check found a fault.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/database.h"
#include "queues/outgoing_queue.h"
#include "queues/queue_schema.h"
#include "raw_database.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

struct Settings {
  int nWriters = 8;
  int nSends = 500;
  bool bSqlite = true, bPostgres = true;
};

// What one writer tells the parent: its failures, the first failure's text.
struct Outcome {
  int nFailed = 0;
  int nRetried = 0;  // raw only: duplicate keys met and tried again
  char szFirstError[200] = "";
};

using Writer = void (*)(const std::string& dsn, int nWriter, int nSends, Outcome* outcome);

std::string Text(int nWriter, int nSend) { return "w" + std::to_string(nWriter) + "-" + std::to_string(nSend); }

template <bool bKeep>
void LibraryWriter(const std::string& dsn, int nWriter, int nSends, Outcome* outcome) {
  CDBConnectionDispensor provider;
  provider.SetDBSettings(dsn, "", "");
  provider.SetDBKeepConnection(bKeep);
  COutgoingQueue queue(nullptr, &provider);
  for (int i = 0; i < nSends; ++i) {
    try {
      queue.InsertJob("+4912345", jtTextMessage, Text(nWriter, i), hsAll,
                      CMessageEndpoint(stClientLibrary, "bench", "Benchmark"));
    } catch (const _com_error& e) {
      if (outcome->nFailed++ == 0)
        std::snprintf(outcome->szFirstError, sizeof outcome->szFirstError, "%s", e.DescriptionA().c_str());
    }
  }
}

void RawWriter(const std::string& dsn, int nWriter, int nSends, Outcome* outcome) {
  BenchSupport::RawConnection raw(dsn);
  for (int i = 0; i < nSends; ++i) {
    for (int tries = 0;; ++tries) {
      try {
        raw.Run(BenchSupport::InsertNextJob(Text(nWriter, i)));
        break;
      } catch (const std::exception& e) {
        if (raw.LastState() == "23505" && tries < 1000) {
          ++outcome->nRetried;
          continue;
        }
        if (outcome->nFailed++ == 0) std::snprintf(outcome->szFirstError, sizeof outcome->szFirstError, "%s", e.what());
        break;
      }
    }
  }
}

struct Result {
  double dSeconds = 0;
  Outcome total;
  long nRows = 0, nIds = 0, nTexts = 0, nMinId = 0, nMaxId = 0;
  bool bOk = false;
};

// Runs the writers in child processes and checks the table afterwards. No
// connection is open in this process while it forks.
Result Run(const std::string& dsn, const Settings& s, Writer writer) {
  {
    Connection c;
    c.Open("Data Source=" + dsn, "", "");
    CreateQueueSchema(c, dsn);
    _variant_t n;
    c.Execute("DELETE FROM SMSOutgoing", &n, adCmdText);
  }
  int start[2], done[2];
  if (pipe(start) != 0 || pipe(done) != 0) throw std::runtime_error("pipe");
  std::vector<pid_t> children;
  for (int w = 0; w < s.nWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      char go = 0;
      pollfd p{start[0], POLLIN, 0};
      Outcome outcome;
      if (poll(&p, 1, 60000) == 1 && read(start[0], &go, 1) == 0) writer(dsn, w, s.nSends, &outcome);
      (void)!write(done[1], &outcome, sizeof outcome);
      _exit(0);
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(done[1]);
  const auto begin = std::chrono::steady_clock::now();
  close(start[1]);  // every writer starts at once
  Result r;
  Outcome o;
  for (int w = 0; w < s.nWriters; ++w) {
    pollfd p{done[0], POLLIN, 0};
    if (poll(&p, 1, 600000) != 1 || read(done[0], &o, sizeof o) != static_cast<ssize_t>(sizeof o)) {
      o = Outcome();
      o.nFailed = s.nSends;
      std::snprintf(o.szFirstError, sizeof o.szFirstError, "a writer gave no answer");
    }
    if (r.total.nFailed == 0 && o.nFailed > 0) std::memcpy(r.total.szFirstError, o.szFirstError, sizeof o.szFirstError);
    r.total.nFailed += o.nFailed;
    r.total.nRetried += o.nRetried;
  }
  r.dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  close(done[0]);
  for (const pid_t pid : children) waitpid(pid, nullptr, 0);

  BenchSupport::RawConnection check(dsn);
  r.nRows = check.Long("SELECT COUNT(*) FROM SMSOutgoing");
  r.nIds = check.Long("SELECT COUNT(DISTINCT Id) FROM SMSOutgoing");
  r.nTexts = check.Long("SELECT COUNT(DISTINCT Data) FROM SMSOutgoing");
  r.nMinId = check.Long("SELECT MIN(Id) FROM SMSOutgoing");
  r.nMaxId = check.Long("SELECT MAX(Id) FROM SMSOutgoing");
  const long sent = static_cast<long>(s.nWriters) * s.nSends - r.total.nFailed;
  r.bOk = r.total.nFailed == 0 && r.nRows == sent && r.nIds == r.nRows && r.nTexts == r.nRows && r.nMinId == 1 &&
          r.nMaxId == r.nRows;
  return r;
}

void Print(const char* what, const Settings& s, const Result& r) {
  const long total = static_cast<long>(s.nWriters) * s.nSends;
  std::printf(
      "  %-8s %d x %d sends in %.2f s: %.0f sends/s, %d failed, %ld duplicate Ids, %ld texts missing, %ld stored twice",
      what, s.nWriters, s.nSends, r.dSeconds, (total - r.total.nFailed) / r.dSeconds, r.total.nFailed, r.nRows - r.nIds,
      total - r.nTexts, r.nRows - r.nTexts);
  std::printf(", Ids %ld..%ld", r.nMinId, r.nMaxId);
  if (r.total.nRetried) std::printf(", %d duplicate keys tried again", r.total.nRetried);
  std::printf("%s\n", r.bOk ? "" : "  << FAULT");
  if (r.total.nFailed) std::printf("           first failure: %s\n", r.total.szFirstError);
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--writers=", 0) == 0) {
      s.nWriters = std::stoi(a.substr(10));
    } else if (a.rfind("--sends=", 0) == 0) {
      s.nSends = std::stoi(a.substr(8));
    } else if (a == "--backend=sqlite") {
      s.bPostgres = false;
    } else if (a == "--backend=postgresql") {
      s.bSqlite = false;
    } else if (a != "--backend=both") {
      std::cerr << "usage: insert_contention [--writers=N] [--sends=M] [--backend=sqlite|postgresql|both]\n";
      return 2;
    }
  }
  bool ok = true;
  for (int backend = 0; backend < 2; ++backend) {
    if ((backend == 0 && !s.bSqlite) || (backend == 1 && !s.bPostgres)) continue;
    const std::string dsn = BenchSupport::Dsn(backend);
    if (dsn.empty()) {
      std::cout << "PostgreSQL: skipped, no server named (PG_DIR and PG_PORT, NORVALE_BENCH_PG or NORVALE_TEST_PG)\n";
      continue;
    }
    std::cout << (backend == 0 ? "SQLite" : "PostgreSQL") << ":\n";
    const Result raw = Run(dsn, s, RawWriter);
    Print("raw", s, raw);
    const Result library = Run(dsn, s, LibraryWriter<false>);
    Print("default", s, library);
    const Result keep = Run(dsn, s, LibraryWriter<true>);
    Print("keep", s, keep);
    std::printf("           sends/s against raw: default %.2f, keep %.2f\n", raw.dSeconds / library.dSeconds,
                raw.dSeconds / keep.dSeconds);
    ok = ok && library.bOk && keep.bOk;
  }
  BenchSupport::RemoveSqliteDirectory();
  return ok ? 0 : 1;
}
