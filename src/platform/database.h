// The queue database, in the place of ADO: a Connection that opens a named
// data source with a user name and password and runs one SQL text at a time,
// and a Recordset holding the first row of a result, its columns read by
// name (case-insensitively) as VARIANTs with NULL distinct from 0 and from
// empty text.
//
// The data source name picks the backend, in this order:
//   sqlite:PATH                      SQLite, WAL journal, 30 s busy time-out
//                                    (user name and password are ignored);
//                                    the rest of the name is the path,
//                                    whatever it holds;
//   postgresql://... / postgres://...
//                                    PostgreSQL;
//   a path (/..., ./..., ../...)     SQLite;
//   anything else holding '='        PostgreSQL, as a libpq keyword string.
// For PostgreSQL the user name and password, when not empty, override the
// name's own. Anything else is an open failure. One SQL text is one
// statement; a text holding several is refused. Every failure raises
// _com_error with an HRESULT and the driver's own text as description.
//
// A Connection and its record sets belong to one thread at a time; separate
// connections may be used on separate threads and processes at once.
#pragma once

#include <atomic>
#include <memory>
#include <string>
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

class Recordset {
 public:
  struct Column {
    std::string name;
    _variant_t value;
  };
  Recordset() = default;
  explicit Recordset(std::vector<Column> firstRow) : m_row(std::move(firstRow)), m_hasRow(true) {}

  bool BOF() const { return !m_hasRow; }
  bool adoEOF() const { return !m_hasRow; }
  // The first row's column of that name (any letter case). Raises
  // adErrNoCurrentRecord without a row, adErrItemNotFound for an unknown name.
  _variant_t GetFieldValue(const std::string& name) const;
  void Close() { m_closed = true; }

 private:
  std::vector<Column> m_row;
  bool m_hasRow = false;
  bool m_closed = false;
};
using _RecordsetPtr = std::shared_ptr<Recordset>;

// A database driver: the backend of a Connection.
class DatabaseDriver {
 public:
  virtual ~DatabaseDriver() = default;
  // Runs one statement; fills *affected (-1 when it returns rows) and returns
  // the first row, if any.
  virtual _RecordsetPtr Execute(const std::string& sql, LONG* affected) = 0;
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

  // Process-wide counts, for tests of retry behaviour.
  static std::atomic<long> s_nOpens;
  static std::atomic<long> s_nExecutions;

 private:
  std::unique_ptr<DatabaseDriver> m_driver;
};
using _ConnectionPtr = std::shared_ptr<Connection>;

HRESULT CreateConnection(_ConnectionPtr* ppConnection);
// True when the data source name is a PostgreSQL URI or keyword string (see
// the order above).
bool IsPostgresDataSource(const std::string& dsn);
// Test seam: the next CreateConnection calls fail with `hr` (S_OK restores).
void SetCreateConnectionFailureForTesting(HRESULT hr);

// The drivers, one per database product (database_sqlite_posix.cc,
// database_postgres_posix.cc). Each raises _com_error on failure.
std::unique_ptr<DatabaseDriver> OpenSqlite(const std::string& path);
std::unique_ptr<DatabaseDriver> OpenPostgres(const std::string& dsn, const std::string& user,
                                             const std::string& password);

}  // namespace Norvale::OS
