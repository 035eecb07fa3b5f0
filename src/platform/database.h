// The queue database, in the place of ADO: a Connection that opens a named
// data source with a user name and password and runs one SQL text at a time,
// and a Recordset holding the first row of a result, its columns read by
// name (case-insensitively) as VARIANTs with NULL distinct from 0 and from
// empty text.
//
// The data source name picks the backend, in this order:
//   sqlite:PATH                      SQLite, WAL journal (user name and
//                                    password are ignored); the rest of the
//                                    name is the path, whatever it holds;
//   postgresql://... / postgres://...
//                                    PostgreSQL;
//   a path (/..., ./..., ../...)     SQLite;
//   anything else holding '='        PostgreSQL, as a libpq keyword string.
// For PostgreSQL the user name and password, when not empty, override the
// name's own. Anything else is an open failure. One SQL text is one
// statement; a text holding several is refused.
//
// A statement may take values bound to placeholders: $1, $2, ... $n stand for
// the first, second, ... n-th value in both backends (SQLite takes $NNN as a
// named parameter, PostgreSQL as its own), so a text is written once for both
// and a value may appear more than once. A placeholder-like text inside a
// string literal is text. A placeholder without a value is refused. Every failure raises
// _com_error with an HRESULT and the driver's own text as description.
//
// The first open of a SQLite file in a process puts it in WAL mode and keeps
// one idle connection to it until exit, so that closing a working connection
// never checkpoints and deletes the WAL (database_sqlite_posix.cc). A
// PostgreSQL session gets its settings in the start-up packet.
//
// Nothing waits without bound. A connect gives up after the connection
// time-out (default 5 s), a statement after the command time-out (default
// 30 s), and neither runs past the deadline the caller puts, the end of its
// whole operation; both raise DB_E_ABORTLIMITREACHED. PostgreSQL is driven
// through libpq's asynchronous calls and poll(2), so a server that accepts and
// never answers, or falls silent in the middle of a statement, is given up at
// the bound; the connection is then closed and every later Execute on it fails
// (a cancel request is not sent: libpq's PQcancel can itself wait without
// bound on such a server). Each PostgreSQL session's statement_timeout is the
// command time-out, so the server ends a statement that its client stopped
// waiting for. Host names are looked up by the system resolver, outside these
// bounds. SQLite waits for a locked database, and runs a statement, only until
// the bound. A full disk, or a database at its size limit, raises
// HRESULT_FROM_WIN32(ERROR_DISK_FULL).
//
// A Connection and its record sets belong to one thread at a time; separate
// connections may be used on separate threads and processes at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/variant.h"

namespace Norvale::OS {

enum ObjectStateEnum : LONG { adStateClosed = 0, adStateOpen = 1 };
constexpr LONG adCmdText = 1;
constexpr LONG adExecuteNoRecords = 0x80;
constexpr LONG adConnectUnspecified = -1;

// HRESULTs of the data layer.
constexpr HRESULT DB_E_ERRORSINCOMMAND = static_cast<HRESULT>(0x80040E14u);
constexpr HRESULT DB_E_INTEGRITYVIOLATION = static_cast<HRESULT>(0x80040E2Fu);
constexpr HRESULT adErrNoCurrentRecord = static_cast<HRESULT>(0x800A0BCDu);
constexpr HRESULT adErrItemNotFound = static_cast<HRESULT>(0x800A0CC1u);
constexpr HRESULT adErrObjectClosed = static_cast<HRESULT>(0x800A0E78u);
// A connect or a statement ran into its time-out or its caller's deadline.
constexpr HRESULT DB_E_ABORTLIMITREACHED = static_cast<HRESULT>(0x80040E31u);

// The clock of the bounds; a deadline of time_point::max() is none.
using DatabaseClock = std::chrono::steady_clock;
using DatabaseDeadline = DatabaseClock::time_point;
constexpr DatabaseDeadline kNoDatabaseDeadline = DatabaseDeadline::max();
inline long long MillisecondsSince(DatabaseClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(DatabaseClock::now() - start).count();
}
constexpr DWORD kDefaultConnectionTimeout = 5000;  // milliseconds
constexpr DWORD kDefaultCommandTimeout = 30000;

// A value bound to a placeholder: NULL, a 64-bit integer, a double or UTF-8
// text. Numbers of any integer type (and enumerations) become the integer.
using SqlValue = std::variant<std::monostate, std::int64_t, double, std::string>;
using SqlValues = std::vector<SqlValue>;
inline constexpr std::monostate SqlNull{};

class Recordset {
 public:
  struct Column {
    std::string name;
    _variant_t value;
  };
  Recordset() = default;
  explicit Recordset(std::vector<Column> firstRow) { AddRow(std::move(firstRow)); }

  // Appends a row (the driver's, while it reads the result); every row has
  // the first one's columns, in its order.
  void AddRow(std::vector<Column> row);

  // BOF: the result has no row. EOF: no current row (none at all, or
  // MoveNext went past the last).
  bool BOF() const { return m_rows.empty(); }
  bool adoEOF() const { return m_nCurrent >= m_rows.size(); }
  // The current row's column of that name (any letter case); the current row
  // is the first until MoveNext. Raises adErrNoCurrentRecord without a
  // current row, adErrItemNotFound for an unknown name.
  _variant_t GetFieldValue(const std::string& name) const;
  // Makes the next row the current one (adErrNoCurrentRecord at EOF).
  void MoveNext();
  // The number of rows of the result.
  size_t RecordCount() const { return m_rows.size(); }
  void Close() { m_closed = true; }

 private:
  std::vector<std::string> m_names;
  std::vector<std::vector<_variant_t>> m_rows;
  size_t m_nCurrent = 0;
  bool m_closed = false;
};
using _RecordsetPtr = std::shared_ptr<Recordset>;

// A database driver: the backend of a Connection.
class DatabaseDriver {
 public:
  virtual ~DatabaseDriver() = default;
  // Runs one statement with `values` bound to its placeholders $1..$n,
  // giving up at `until`; fills *affected (the rows an INSERT, UPDATE or
  // DELETE changed, also with RETURNING; -1 for a query) and returns the
  // rows, null when there are none.
  virtual _RecordsetPtr Execute(const std::string& sql, const SqlValues& values, LONG* affected,
                                DatabaseDeadline until) = 0;
};

class Connection {
 public:
  LONG State() const { return m_driver ? adStateOpen : adStateClosed; }
  // ConnectionString is "Data Source=" followed by the data source name.
  void Open(const std::string& ConnectionString, const std::string& UserID, const std::string& Password,
            LONG Options = adConnectUnspecified);
  void Close();
  // With adExecuteNoRecords in Options no record set is returned.
  _RecordsetPtr Execute(const std::string& CommandText, _variant_t* RecordsAffected, LONG Options);
  // The same with `Values` bound to the placeholders $1..$n of CommandText.
  _RecordsetPtr Execute(const std::string& CommandText, const SqlValues& Values, _variant_t* RecordsAffected,
                        LONG Options);

  // The bounds, in milliseconds (ADO's ConnectionTimeout and CommandTimeout
  // count seconds). They apply to the next Open or Execute; the command
  // time-out also becomes the PostgreSQL session's statement_timeout at Open.
  void PutConnectionTimeout(DWORD dwMilliseconds) { m_dwConnectionTimeout = dwMilliseconds; }
  void PutCommandTimeout(DWORD dwMilliseconds) { m_dwCommandTimeout = dwMilliseconds; }
  // No Open or Execute runs past `deadline` (kNoDatabaseDeadline: none).
  void PutDeadline(DatabaseDeadline deadline) { m_deadline = deadline; }

  // Process-wide counts, for tests of retry behaviour.
  static std::atomic<long> s_nOpens;
  static std::atomic<long> s_nExecutions;

 private:
  DatabaseDeadline Bound(DWORD dwMilliseconds) const;

  std::unique_ptr<DatabaseDriver> m_driver;
  DWORD m_dwConnectionTimeout = kDefaultConnectionTimeout;
  DWORD m_dwCommandTimeout = kDefaultCommandTimeout;
  DatabaseDeadline m_deadline = kNoDatabaseDeadline;
};
using _ConnectionPtr = std::shared_ptr<Connection>;

HRESULT CreateConnection(_ConnectionPtr* ppConnection);
// True when the data source name is a PostgreSQL URI or keyword string (see
// the order above).
bool IsPostgresDataSource(const std::string& dsn);
// The file of a SQLite data source name; empty for any other name.
std::string SqlitePathOf(const std::string& dsn);
// Test seam: the next CreateConnection calls fail with `hr` (S_OK restores).
void SetCreateConnectionFailureForTesting(HRESULT hr);
// Test seam: Connection::Open hands every driver it opened, with the data
// source name, to this function and uses the driver it returns, e.g. one that
// forwards to the real driver and injects failures
// (tests/fault_injection_database.h). Empty, the default, leaves the drivers
// as they are. Returns the decorator it replaces; thread-safe.
using DatabaseDriverDecorator =
    std::function<std::unique_ptr<DatabaseDriver>(std::unique_ptr<DatabaseDriver>, const std::string& dsn)>;
DatabaseDriverDecorator SetDatabaseDriverDecoratorForTesting(DatabaseDriverDecorator decorator);

// The drivers, one per database product (database_sqlite_posix.cc,
// database_postgres_posix.cc). Each gives up at `until` and raises _com_error
// on failure.
std::unique_ptr<DatabaseDriver> OpenSqlite(const std::string& path, DatabaseDeadline until);
std::unique_ptr<DatabaseDriver> OpenPostgres(const std::string& dsn, const std::string& user,
                                             const std::string& password, DatabaseDeadline until,
                                             DWORD dwStatementTimeout);

// A PostgreSQL session that listens on one notification channel, for a
// thread that waits for the channel with poll(2) on Descriptor() (readable:
// call TakeNotifications). It runs statements too (Execute, e.g. a look at
// the catalogue), one at a time, never while waiting.
class DatabaseListener {
 public:
  virtual ~DatabaseListener() = default;
  virtual _RecordsetPtr Execute(const std::string& sql, const SqlValues& values, DatabaseDeadline until) = 0;
  // The session's socket.
  virtual int Descriptor() const = 0;
  // Reads what the server sent and returns how many notifications of the
  // channel arrived (0: something else, e.g. a notice). Raises _com_error
  // (E_FAIL) when the session is lost; the listener is then of no more use.
  virtual int TakeNotifications() = 0;
};
// Connects (giving up at `until`, or at once when `interrupt`, a descriptor
// other than -1, becomes readable: DB_E_ABORTLIMITREACHED), runs LISTEN on
// `channel` (an identifier, quoted here) and returns the listening session.
// A session that falls silent without closing is not noticed here: its user
// checks it now and then with a statement.
std::unique_ptr<DatabaseListener> ListenPostgres(const std::string& dsn, const std::string& user,
                                                 const std::string& password, const std::string& channel,
                                                 DatabaseDeadline until, int interrupt);

}  // namespace Norvale::OS
