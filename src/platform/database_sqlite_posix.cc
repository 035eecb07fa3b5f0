// The SQLite driver. Every SQLite failure becomes an HRESULT here.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <thread>

#include "platform/database.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

long long MillisecondsSince(DatabaseClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(DatabaseClock::now() - start).count();
}

HRESULT HresultOf(int rc, int systemErrno) {
  switch (rc & 0xFF) {
    case SQLITE_CONSTRAINT: return DB_E_INTEGRITYVIOLATION;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_NOTADB: return E_FAIL;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return E_FAIL;
    case SQLITE_NOMEM: return E_OUTOFMEMORY;
    case SQLITE_FULL: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    case SQLITE_IOERR: return systemErrno == ENOSPC ? HRESULT_FROM_WIN32(ERROR_DISK_FULL) : DB_E_ERRORSINCOMMAND;
    default: return DB_E_ERRORSINCOMMAND;
  }
}

class SqliteDriver final : public DatabaseDriver {
 public:
  SqliteDriver(const std::string& path, DatabaseDeadline until) : m_sPath(path) {
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      const std::string text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
      sqlite3_close(m_db);
      m_db = nullptr;
      ThrowComError(E_FAIL, "Cannot open SQLite database '" + path + "': " + text);
    }
    sqlite3_extended_result_codes(m_db, 1);
    // Waits for locks and long statements end at the caller's bound, not at
    // a fixed busy time-out.
    sqlite3_busy_handler(m_db, &SqliteDriver::Busy, this);
    sqlite3_progress_handler(m_db, 1000, &SqliteDriver::Progress, this);
    try {
      Run("PRAGMA journal_mode=WAL", until, nullptr);
    } catch (const _com_error& e) {
      sqlite3_close(m_db);
      m_db = nullptr;
      if (e.Error() == DB_E_ABORTLIMITREACHED) throw;
      ThrowComError(e.Error() == E_FAIL || e.Error() == DB_E_ERRORSINCOMMAND ? E_FAIL : e.Error(),
                    "Cannot open SQLite database '" + path + "': " + e.DescriptionA());
    }
  }
  ~SqliteDriver() override { sqlite3_close_v2(m_db); }

  _RecordsetPtr Execute(const std::string& sql, LONG* affected, DatabaseDeadline until) override {
    return Run(sql, until, affected);
  }

 private:
  _RecordsetPtr Run(const std::string& sql, DatabaseDeadline until, LONG* affected) {
    m_until = until;
    m_start = DatabaseClock::now();
    m_bOutOfTime = false;
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
    if (rc != SQLITE_OK) Raise(rc);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, sqlite3_finalize);
    for (const char* p = tail; p && *p; ++p)
      if (!std::isspace(static_cast<unsigned char>(*p)) && *p != ';')
        ThrowComError(DB_E_ERRORSINCOMMAND, "Only one SQL statement may be executed at a time");
    if (!stmt) ThrowComError(DB_E_ERRORSINCOMMAND, "The command text holds no SQL statement");
    _RecordsetPtr first;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
      if (!first) first = Row(stmt);
    if (rc != SQLITE_DONE) Raise(rc);
    const bool returnsRows = sqlite3_column_count(stmt) > 0;
    if (affected) *affected = returnsRows ? -1 : static_cast<LONG>(sqlite3_changes(m_db));
    return first;
  }

  [[noreturn]] void Raise(int rc) {
    const std::string text = sqlite3_errmsg(m_db);
    const std::string waited = std::to_string(MillisecondsSince(m_start)) + " ms";
    if (m_bOutOfTime && ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED))
      ThrowComError(DB_E_ABORTLIMITREACHED, "SQLite database '" + m_sPath + "' stayed locked by another connection (" +
                                                text + "); gave up after " + waited);
    if (m_bOutOfTime && (rc & 0xFF) == SQLITE_INTERRUPT)
      ThrowComError(DB_E_ABORTLIMITREACHED, "SQLite statement did not finish within " + waited);
    const HRESULT hr = HresultOf(rc, sqlite3_system_errno(m_db));
    if (hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL))
      ThrowComError(hr, "SQLite database '" + m_sPath +
                            "' is full (no space left on its disk, or its size limit reached): " + text);
    ThrowComError(hr, text);
  }

  // Waits for a lock with short, growing sleeps until the bound.
  static int Busy(void* self, int count) {
    auto* driver = static_cast<SqliteDriver*>(self);
    static constexpr int kDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    constexpr int kSteps = sizeof kDelays / sizeof kDelays[0];
    const auto left = driver->m_until - DatabaseClock::now();
    if (left <= DatabaseClock::duration::zero()) {
      driver->m_bOutOfTime = true;
      return 0;
    }
    const auto delay = std::chrono::milliseconds(kDelays[count < kSteps ? count : kSteps - 1]);
    std::this_thread::sleep_for(std::min<DatabaseClock::duration>(delay, left));
    return 1;
  }

  static int Progress(void* self) {
    auto* driver = static_cast<SqliteDriver*>(self);
    if (driver->m_until == kNoDatabaseDeadline || DatabaseClock::now() < driver->m_until) return 0;
    driver->m_bOutOfTime = true;
    return 1;
  }

  static _RecordsetPtr Row(sqlite3_stmt* stmt) {
    std::vector<Recordset::Column> columns;
    const int n = sqlite3_column_count(stmt);
    for (int i = 0; i < n; ++i) {
      _variant_t v;
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_NULL: v = _variant_t::Null(); break;
        case SQLITE_INTEGER: {
          const sqlite3_int64 x = sqlite3_column_int64(stmt, i);
          v = (x >= INT32_MIN && x <= INT32_MAX) ? _variant_t(static_cast<LONG>(x)) : _variant_t(LONGLONG{x});
          break;
        }
        case SQLITE_FLOAT: v = _variant_t(sqlite3_column_double(stmt, i)); break;
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
          v = _variant_t(std::string_view(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, i))));
        }
      }
      columns.push_back({sqlite3_column_name(stmt, i), std::move(v)});
    }
    return std::make_shared<Recordset>(std::move(columns));
  }

  std::string m_sPath;
  sqlite3* m_db = nullptr;
  DatabaseDeadline m_until = kNoDatabaseDeadline;
  DatabaseClock::time_point m_start;
  bool m_bOutOfTime = false;
};

}  // namespace

std::unique_ptr<DatabaseDriver> OpenSqlite(const std::string& path, DatabaseDeadline until) {
  return std::make_unique<SqliteDriver>(path, until);
}

}  // namespace Norvale::OS
