// The raw baselines of the queue benchmarks: the database's own client
// library (libsqlite3, libpq), called directly with nothing of Velquor's in
// between, so that a ratio says what the library adds to the database's own
// floor. Failures throw std::runtime_error.
//
// The PostgreSQL server is the one in NORVALE_BENCH_PG (a libpq URI or
// keyword string) or, after `source scripts/pg.sh; pg_start`, the private
// server over its Unix socket (PG_DIR, PG_PORT); otherwise NORVALE_TEST_PG.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace BenchSupport {

// 0 SQLite, 1 PostgreSQL: the data source name as Velquor takes it, empty
// when no PostgreSQL server is named.
inline std::string Dsn(int nBackend) {
  static const std::string sqlite = [] {
    const auto dir = std::filesystem::temp_directory_path() / ("queue_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return "sqlite:" + (dir / "q.db").string();
  }();
  if (nBackend == 0) return sqlite;
  if (const char* pg = std::getenv("NORVALE_BENCH_PG")) return pg;
  const char* dir = std::getenv("PG_DIR");
  const char* port = std::getenv("PG_PORT");
  if (dir && port) return std::string("host=") + dir + " port=" + port + " dbname=velquor_test user=postgres";
  const char* pg = std::getenv("NORVALE_TEST_PG");
  return pg ? pg : "";
}

inline void RemoveSqliteDirectory() {
  std::filesystem::remove_all(std::filesystem::path(Dsn(0).substr(7)).parent_path());
}

// One native connection.
class RawConnection {
 public:
  explicit RawConnection(const std::string& dsn) {
    if (dsn.rfind("sqlite:", 0) == 0) {
      if (sqlite3_open_v2(dsn.c_str() + 7, &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string text = sqlite3_errmsg(m_db);
        sqlite3_close(m_db);
        throw std::runtime_error("sqlite3_open_v2: " + text);
      }
      sqlite3_busy_timeout(m_db, 30000);
    } else {
      m_pg = PQconnectdb(dsn.c_str());
      if (PQstatus(m_pg) != CONNECTION_OK) {
        const std::string text = PQerrorMessage(m_pg);
        PQfinish(m_pg);
        throw std::runtime_error("PQconnectdb: " + text);
      }
    }
  }
  ~RawConnection() {
    if (m_db) sqlite3_close(m_db);
    if (m_pg) PQfinish(m_pg);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // Runs one statement; the first column of its first row, if any, as text.
  // With bWholeRow every column of the first row is read as text.
  std::optional<std::string> Run(const std::string& sql, bool bWholeRow = false) {
    std::optional<std::string> first;
    if (m_db) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("sqlite3_prepare_v2: ") + sqlite3_errmsg(m_db));
      int rc;
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        if (!first && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
          first = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
          for (int i = 1; bWholeRow && i < sqlite3_column_count(stmt); ++i) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
            m_sRow.assign(text ? text : "");
          }
        }
      sqlite3_finalize(stmt);
      if (rc != SQLITE_DONE) throw std::runtime_error(std::string("sqlite3_step: ") + sqlite3_errmsg(m_db));
      return first;
    }
    PGresult* result = PQexec(m_pg, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string text = PQresultErrorMessage(result);
      const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      m_sLastState = state ? state : "";
      PQclear(result);
      throw std::runtime_error("PQexec: " + text);
    }
    if (status == PGRES_TUPLES_OK && PQntuples(result) > 0 && !PQgetisnull(result, 0, 0))
      first = PQgetvalue(result, 0, 0);
    for (int i = 1; bWholeRow && first && i < PQnfields(result); ++i) m_sRow.assign(PQgetvalue(result, 0, i));
    PQclear(result);
    return first;
  }
  long Long(const std::string& sql) {
    const auto v = Run(sql);
    return v ? std::stol(*v) : 0;
  }
  // The SQLSTATE of the last PostgreSQL failure ("23505": a duplicate key).
  const std::string& LastState() const { return m_sLastState; }

 private:
  sqlite3* m_db = nullptr;
  PGconn* m_pg = nullptr;
  std::string m_sLastState;
  std::string m_sRow;  // the columns read with bWholeRow, one after the other
};

// The least statement that inserts a job one above the largest Id and gives
// that Id back: what any writer of the table must run.
inline std::string InsertNextJob(const std::string& sData) {
  return "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName ) "
         "SELECT MaxId + 1, 1, '+4912345', '" +
         sData +
         "', 0, 0, 1, 'bench', 'Benchmark' FROM (SELECT COALESCE((SELECT MAX(Id) FROM SMSOutgoing), 0) AS MaxId) AS "
         "NextId RETURNING Id";
}

}  // namespace BenchSupport
