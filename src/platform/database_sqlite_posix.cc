// The SQLite driver. Every SQLite failure becomes an HRESULT here.
//
// A statement text run with bound values is compiled once per connection and
// kept (up to 64 texts, the least recently used dropped first), reset and
// cleared of its values after each run; SQLite compiles a kept statement
// again by itself when the schema changed. Texts without values are compiled
// for their run only: they usually carry their values written into them.
//
// The first open of a database file in a process also opens one idle
// connection to it, kept for the life of the process and never given a
// statement after the one that puts the file in WAL mode. In WAL mode every
// connection holds a shared lock on the file, so with the idle one present
// closing a working connection is never the last close: that one would
// checkpoint the WAL, delete -wal and -shm and so make the next open create
// them again, several syncs and a wal-index rebuild per connection. The idle
// connection closes at exit, with a last close's clean-up when it is the last.
//
// Across fork(): SQLite's record of the locks a process holds is in memory, so
// a child that inherits a connection would believe it holds locks that only
// its parent holds. A child therefore closes the idle connections it
// inherited before it opens any, without a checkpoint or deleting anything
// (those are its parent's), and then opens its own.
#include <pthread.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/database.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

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

// An INSERT, UPDATE, DELETE or REPLACE, by its first word.
bool ChangesRows(const std::string& sql) {
  size_t begin = 0;
  while (begin < sql.size() && std::isspace(static_cast<unsigned char>(sql[begin]))) ++begin;
  size_t end = begin;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  std::string verb = sql.substr(begin, end - begin);
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return verb == "INSERT" || verb == "UPDATE" || verb == "DELETE" || verb == "REPLACE";
}

class SqliteDriver final : public DatabaseDriver {
 public:
  // With bSetWal the file is put in WAL mode (a lasting property of the
  // file), which also makes this connection hold its shared lock.
  SqliteDriver(const std::string& path, DatabaseDeadline until, bool bSetWal) : m_sPath(path) {
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
    if (!bSetWal) return;
    try {
      Run("PRAGMA journal_mode=WAL", {}, until, nullptr);
    } catch (const _com_error& e) {
      sqlite3_close(m_db);
      m_db = nullptr;
      if (e.Error() == DB_E_ABORTLIMITREACHED) throw;
      ThrowComError(e.Error() == E_FAIL || e.Error() == DB_E_ERRORSINCOMMAND ? E_FAIL : e.Error(),
                    "Cannot open SQLite database '" + path + "': " + e.DescriptionA());
    }
  }
  ~SqliteDriver() override {
    FinalizeAll();
    sqlite3_close_v2(m_db);
  }

  // Reads the file once, so that this connection opens the WAL and keeps its
  // shared lock on the file from then on (setting WAL mode only marks the
  // file).
  void HoldSharedLock(DatabaseDeadline until) { Run("SELECT 1 FROM sqlite_master LIMIT 1", {}, until, nullptr); }

  // Whether the file was deleted or replaced since this connection opened it.
  bool FileHasMoved() {
    int moved = 0;
    return sqlite3_file_control(m_db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0;
  }
  // Makes the close leave the WAL and the wal-index as they are: no
  // checkpoint, nothing deleted, whatever other connections there are.
  void CloseWithoutCleanUp() {
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    int persist = 1;
    sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  }

  _RecordsetPtr Execute(const std::string& sql, const SqlValues& values, LONG* affected,
                        DatabaseDeadline until) override {
    return Run(sql, values, until, affected);
  }

 private:
  // A compiled statement kept for the next run of the same text.
  struct Prepared {
    sqlite3_stmt* stmt = nullptr;
    bool bChangesRows = false;
    std::list<std::string>::iterator use;  // its place in m_uses
  };
  static constexpr size_t kCachedStatements = 64;

  _RecordsetPtr Run(const std::string& sql, const SqlValues& values, DatabaseDeadline until, LONG* affected) {
    m_until = until;
    m_start = DatabaseClock::now();
    m_bOutOfTime = false;
    // A text with bound values is compiled once and kept (its values change,
    // its text does not); a text without is usually one of a kind, its values
    // written into it, and is compiled for this run only.
    const bool cache = !values.empty();
    const Prepared* kept = cache ? Find(sql) : nullptr;
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(nullptr, sqlite3_finalize);
    sqlite3_stmt* stmt = kept ? kept->stmt : nullptr;
    bool changesRows = kept ? kept->bChangesRows : false;
    if (!kept) {
      const char* tail = nullptr;
      const int rc = sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                                        cache ? SQLITE_PREPARE_PERSISTENT : 0, &stmt, &tail);
      if (rc != SQLITE_OK) Raise(rc);
      owned.reset(stmt);
      for (const char* p = tail; p && *p; ++p)
        if (!std::isspace(static_cast<unsigned char>(*p)) && *p != ';')
          ThrowComError(DB_E_ERRORSINCOMMAND, "Only one SQL statement may be executed at a time");
      if (!stmt) ThrowComError(DB_E_ERRORSINCOMMAND, "The command text holds no SQL statement");
      changesRows = ChangesRows(sql);
      if (cache) {
        Keep(sql, stmt, changesRows);
        owned.release();
      }
    }
    // A kept statement is left reset and without values, whatever happens:
    // it holds no read transaction open and no pointer into `values`.
    struct Reset {
      sqlite3_stmt* stmt;
      bool bKept;
      ~Reset() {
        if (!bKept) return;
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
      }
    } const reset{stmt, cache};
    Bind(stmt, values);
    _RecordsetPtr rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) AddRow(rows, stmt);
    if (rc != SQLITE_DONE) Raise(rc);
    // A statement that changes rows counts them, even when it returns rows
    // (RETURNING).
    const bool query = sqlite3_column_count(stmt) > 0 && !changesRows;
    if (affected) *affected = query ? -1 : static_cast<LONG>(sqlite3_changes(m_db));
    return rows;
  }

  // The kept statement of the text, now the most recently used; null when
  // none is kept.
  const Prepared* Find(const std::string& sql) {
    const auto it = m_prepared.find(sql);
    if (it == m_prepared.end()) return nullptr;
    m_uses.splice(m_uses.begin(), m_uses, it->second.use);
    return &it->second;
  }

  // Keeps the statement, dropping the least recently used beyond the bound.
  void Keep(const std::string& sql, sqlite3_stmt* stmt, bool bChangesRows) {
    if (m_prepared.size() >= kCachedStatements) {
      const auto oldest = m_prepared.find(m_uses.back());
      sqlite3_finalize(oldest->second.stmt);
      m_prepared.erase(oldest);
      m_uses.pop_back();
    }
    m_uses.push_front(sql);
    m_prepared.emplace(sql, Prepared{stmt, bChangesRows, m_uses.begin()});
  }

  void FinalizeAll() {
    for (auto& [sql, prepared] : m_prepared) sqlite3_finalize(prepared.stmt);
    m_prepared.clear();
    m_uses.clear();
  }

  // Binds each placeholder $k of the statement to values[k - 1]. SQLite
  // numbers its parameters in the order of their first appearance, so each
  // is bound by its name.
  void Bind(sqlite3_stmt* stmt, const SqlValues& values) {
    const int count = sqlite3_bind_parameter_count(stmt);
    for (int i = 1; i <= count; ++i) {
      const char* name = sqlite3_bind_parameter_name(stmt, i);
      size_t k = 0;
      if (name && name[0] == '$' && name[1] >= '1' && name[1] <= '9') {
        char* end = nullptr;
        k = std::strtoul(name + 1, &end, 10);
        if (*end != '\0') k = 0;
      }
      if (k == 0 || k > values.size())
        ThrowComError(DB_E_ERRORSINCOMMAND, std::string("The placeholder ") + (name ? name : "?") +
                                                " has no value (placeholders are $1 to $" +
                                                std::to_string(values.size()) + ")");
      const SqlValue& value = values[k - 1];
      int rc = SQLITE_OK;
      if (const auto* n = std::get_if<std::int64_t>(&value))
        rc = sqlite3_bind_int64(stmt, i, *n);
      else if (const auto* d = std::get_if<double>(&value))
        rc = sqlite3_bind_double(stmt, i, *d);
      else if (const auto* t = std::get_if<std::string>(&value))
        rc = sqlite3_bind_text64(stmt, i, t->data(), t->size(), SQLITE_STATIC, SQLITE_UTF8);
      else
        rc = sqlite3_bind_null(stmt, i);
      if (rc != SQLITE_OK) Raise(rc);
    }
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

  // Waits for a lock with short, growing sleeps until the bound. Another
  // process's lock cannot be waited on, only looked at again. The writers of
  // the queues hold the lock for one statement, a few hundred microseconds
  // (a commit that syncs: about one fdatasync), so the first looks come that
  // soon; sleeping 5 to 25 ms after the second miss, as SQLite's own handler
  // does, left the lock free most of the time a writer slept.
  static int Busy(void* self, int count) {
    auto* driver = static_cast<SqliteDriver*>(self);
    static constexpr int kDelays[] = {100,  200,  300,   500,   500,   1000,  1000,  1000,  2000,  2000,
                                      5000, 5000, 10000, 10000, 25000, 25000, 50000, 50000, 100000};  // microseconds
    constexpr int kSteps = sizeof kDelays / sizeof kDelays[0];
    const auto left = driver->m_until - DatabaseClock::now();
    if (left <= DatabaseClock::duration::zero()) {
      driver->m_bOutOfTime = true;
      return 0;
    }
    const auto delay = std::chrono::microseconds(kDelays[count < kSteps ? count : kSteps - 1]);
    std::this_thread::sleep_for(std::min<DatabaseClock::duration>(delay, left));
    return 1;
  }

  static int Progress(void* self) {
    auto* driver = static_cast<SqliteDriver*>(self);
    if (driver->m_until == kNoDatabaseDeadline || DatabaseClock::now() < driver->m_until) return 0;
    driver->m_bOutOfTime = true;
    return 1;
  }

  // Appends the statement's current row to `rows` (made at the first).
  static void AddRow(_RecordsetPtr& rows, sqlite3_stmt* stmt) {
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
    if (!rows)
      rows = std::make_shared<Recordset>(std::move(columns));
    else
      rows->AddRow(std::move(columns));
  }

  std::string m_sPath;
  sqlite3* m_db = nullptr;
  DatabaseDeadline m_until = kNoDatabaseDeadline;
  DatabaseClock::time_point m_start;
  bool m_bOutOfTime = false;
  std::unordered_map<std::string, Prepared> m_prepared;
  std::list<std::string> m_uses;  // the kept texts, most recently used first
};

// The idle connections of this process, one per database file (by the path
// it was opened with). Never destroyed: a child of fork() keeps what it
// inherited reachable until it closes it.
class IdleConnections {
 public:
  static IdleConnections& Get() {
    static IdleConnections* const s_pIdle = [] {
      auto* idle = new IdleConnections;
      std::atexit([] { Get().CloseAll(); });
      // A child must not inherit the lock taken by a thread of its parent.
      pthread_atfork([] { Get().m_mutex.lock(); }, [] { Get().m_mutex.unlock(); }, [] { Get().m_mutex.unlock(); });
      return idle;
    }();
    return *s_pIdle;
  }

  // Makes sure this process holds an idle connection to `path`.
  void Keep(const std::string& path, DatabaseDeadline until) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      DropInherited();
      if (const auto it = m_connections.find(path); it != m_connections.end() && !it->second->FileHasMoved()) return;
    }
    // Opened without the lock: it may wait for another process's lock.
    auto idle = std::make_unique<SqliteDriver>(path, until, true);
    idle->HoldSharedLock(until);
    std::lock_guard<std::mutex> lock(m_mutex);
    DropInherited();
    // Files deleted or replaced since their idle connection was opened (a
    // test's temporary databases) let theirs go.
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if (it->second->FileHasMoved()) {
        it->second->CloseWithoutCleanUp();
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
    m_connections.emplace(path, std::move(idle));  // another thread's, if it was first, stays
  }

 private:
  IdleConnections() = default;

  void DropInherited() {
    if (m_owner == getpid()) return;
    for (auto& [path, connection] : m_connections) connection->CloseWithoutCleanUp();
    m_connections.clear();
    m_owner = getpid();
  }

  void CloseAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_owner == getpid()) m_connections.clear();
  }

  std::mutex m_mutex;
  pid_t m_owner = getpid();
  std::map<std::string, std::unique_ptr<SqliteDriver>> m_connections;
};

// Names that open no shared file: a private temporary or in-memory database.
bool IsPrivateDatabase(const std::string& path) { return path.empty() || path == ":memory:"; }

}  // namespace

std::unique_ptr<DatabaseDriver> OpenSqlite(const std::string& path, DatabaseDeadline until) {
  const bool shared = !IsPrivateDatabase(path);
  auto driver = std::make_unique<SqliteDriver>(path, until, !shared);
  if (shared) IdleConnections::Get().Keep(path, until);
  return driver;
}

}  // namespace Norvale::OS
