// The SQLite driver. Every SQLite failure becomes an HRESULT here.
#include <sqlite3.h>

#include <cctype>

#include "platform/database.h"
#include "platform/error_info.h"

namespace Norvale::OS {
namespace {

[[noreturn]] void Raise(int rc, const std::string& text) {
  HRESULT hr = DB_E_ERRORSINCOMMAND;
  switch (rc & 0xFF) {
    case SQLITE_CONSTRAINT: hr = DB_E_INTEGRITYVIOLATION; break;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_NOTADB: hr = E_FAIL; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: hr = E_FAIL; break;
    case SQLITE_NOMEM: hr = E_OUTOFMEMORY; break;
    default: break;
  }
  ThrowComError(hr, text);
}

class SqliteDriver final : public DatabaseDriver {
 public:
  explicit SqliteDriver(const std::string& path) {
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      const std::string text = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
      sqlite3_close(m_db);
      m_db = nullptr;
      Raise(SQLITE_CANTOPEN, "Cannot open SQLite database '" + path + "': " + text);
    }
    sqlite3_busy_timeout(m_db, 30000);
    sqlite3_extended_result_codes(m_db, 1);
    char* error = nullptr;
    if (sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string text = error ? error : "unknown error";
      sqlite3_free(error);
      sqlite3_close(m_db);
      m_db = nullptr;
      Raise(SQLITE_CANTOPEN, "Cannot open SQLite database '" + path + "': " + text);
    }
  }
  ~SqliteDriver() override { sqlite3_close_v2(m_db); }

  _RecordsetPtr Execute(const std::string& sql, LONG* affected) override {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
    if (rc != SQLITE_OK) Raise(rc, sqlite3_errmsg(m_db));
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(stmt, sqlite3_finalize);
    for (const char* p = tail; p && *p; ++p)
      if (!std::isspace(static_cast<unsigned char>(*p)) && *p != ';')
        ThrowComError(DB_E_ERRORSINCOMMAND, "Only one SQL statement may be executed at a time");
    if (!stmt) ThrowComError(DB_E_ERRORSINCOMMAND, "The command text holds no SQL statement");
    _RecordsetPtr first;
    bool rows = false;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      rows = true;
      if (!first) first = Row(stmt);
    }
    if (rc != SQLITE_DONE) Raise(rc, sqlite3_errmsg(m_db));
    const bool returnsRows = sqlite3_column_count(stmt) > 0;
    *affected = returnsRows ? -1 : static_cast<LONG>(sqlite3_changes(m_db));
    (void)rows;
    return first;
  }

 private:
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

  sqlite3* m_db = nullptr;
};

}  // namespace

std::unique_ptr<DatabaseDriver> OpenSqlite(const std::string& path) { return std::make_unique<SqliteDriver>(path); }

}  // namespace Norvale::OS
