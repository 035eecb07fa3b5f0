#include "platform/database.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/ascii.h"
#include "platform/error_info.h"

namespace Norvale::OS {

std::atomic<long> Connection::s_nOpens{0};
std::atomic<long> Connection::s_nExecutions{0};

namespace {
std::atomic<HRESULT> g_createConnectionFailure{S_OK};
std::mutex g_decoratorLock;
std::shared_ptr<const DatabaseDriverDecorator> g_decorator;  // null: none

std::shared_ptr<const DatabaseDriverDecorator> Decorator() {
  const std::lock_guard guard(g_decoratorLock);
  return g_decorator;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool IsPath(const std::string& s) { return StartsWith(s, "/") || StartsWith(s, "./") || StartsWith(s, "../"); }
}  // namespace

void Recordset::AddRow(std::vector<Column> row) {
  if (m_rows.empty()) {
    m_names.reserve(row.size());
    for (const auto& c : row) m_names.push_back(c.name);
  }
  std::vector<_variant_t> values;
  values.reserve(row.size());
  for (auto& c : row) values.push_back(std::move(c.value));
  m_rows.push_back(std::move(values));
}

_variant_t Recordset::GetFieldValue(const std::string& name) const {
  if (m_closed) ThrowComError(adErrObjectClosed, "Operation is not allowed when the object is closed.");
  if (adoEOF())
    ThrowComError(adErrNoCurrentRecord,
                  "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                  "requires a current record.");
  const auto& row = m_rows[m_nCurrent];
  for (size_t i = 0; i < m_names.size() && i < row.size(); ++i)
    if (SameName(m_names[i], name)) return row[i];
  ThrowComError(adErrItemNotFound, "Item cannot be found in the collection: " + name);
}

void Recordset::MoveNext() {
  if (m_closed) ThrowComError(adErrObjectClosed, "Operation is not allowed when the object is closed.");
  if (adoEOF())
    ThrowComError(adErrNoCurrentRecord,
                  "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
                  "requires a current record.");
  ++m_nCurrent;
}

void Connection::Open(const std::string& ConnectionString, const std::string& UserID, const std::string& Password,
                      LONG) {
  ++s_nOpens;
  static const std::string kPrefix = "Data Source=";
  if (!StartsWith(ConnectionString, kPrefix.c_str()))
    ThrowComError(E_FAIL, "The connection string names no data source: " + ConnectionString);
  const std::string dsn = ConnectionString.substr(kPrefix.size());
  const DatabaseDeadline until = Bound(m_dwConnectionTimeout);
  if (until <= DatabaseClock::now())
    ThrowComError(DB_E_ABORTLIMITREACHED, "No time left to connect: the operation's deadline has passed");
  if (StartsWith(dsn, "sqlite:")) {
    m_driver = OpenSqlite(dsn.substr(7), until);
  } else if (IsPostgresDataSource(dsn)) {
    m_driver = OpenPostgres(dsn, UserID, Password, until, m_dwCommandTimeout);
  } else if (IsPath(dsn)) {
    m_driver = OpenSqlite(dsn, until);
  } else {
    ThrowComError(E_FAIL, "Data source name not recognised: '" + dsn +
                              "' (expected sqlite:PATH, a path, a postgresql:// URI or a libpq "
                              "keyword string)");
  }
  if (const auto decorate = Decorator()) m_driver = (*decorate)(std::move(m_driver), dsn);
}

void Connection::Close() {
  if (!m_driver) ThrowComError(adErrObjectClosed, "Operation is not allowed when the object is closed.");
  m_driver.reset();
}

_RecordsetPtr Connection::Execute(const std::string& CommandText, _variant_t* RecordsAffected, LONG Options) {
  return Execute(CommandText, SqlValues(), RecordsAffected, Options);
}

_RecordsetPtr Connection::Execute(const std::string& CommandText, const SqlValues& Values, _variant_t* RecordsAffected,
                                  LONG Options) {
  ++s_nExecutions;
  if (!m_driver) ThrowComError(adErrObjectClosed, "Operation is not allowed when the object is closed.");
  LONG affected = -1;
  const DatabaseDeadline until = Bound(m_dwCommandTimeout);
  // Not begun at all, the statement leaves the connection as it was.
  if (until <= DatabaseClock::now())
    ThrowComError(DB_E_ABORTLIMITREACHED, "No time left for the statement: the operation's deadline has passed");
  _RecordsetPtr rows = m_driver->Execute(CommandText, Values, &affected, until);
  if (RecordsAffected) *RecordsAffected = _variant_t(affected);
  if (Options & adExecuteNoRecords) return nullptr;
  return rows ? rows : std::make_shared<Recordset>();
}

DatabaseDeadline Connection::Bound(DWORD dwMilliseconds) const {
  const DatabaseDeadline now = DatabaseClock::now();
  const auto span = std::chrono::milliseconds(dwMilliseconds);
  // A time-out too large for the clock means none.
  const DatabaseDeadline own = span < kNoDatabaseDeadline - now ? now + span : kNoDatabaseDeadline;
  return std::min(own, m_deadline);
}

bool IsPostgresDataSource(const std::string& dsn) {
  if (StartsWith(dsn, "sqlite:")) return false;  // an explicit prefix decides, whatever the path holds
  if (StartsWith(dsn, "postgresql://") || StartsWith(dsn, "postgres://")) return true;
  return !IsPath(dsn) && dsn.find('=') != std::string::npos;
}

std::string SqlitePathOf(const std::string& dsn) {
  if (StartsWith(dsn, "sqlite:")) return dsn.substr(7);
  return IsPath(dsn) && !IsPostgresDataSource(dsn) ? dsn : std::string();
}

HRESULT CreateConnection(_ConnectionPtr* ppConnection) {
  if (!ppConnection) return E_POINTER;
  if (const HRESULT hr = g_createConnectionFailure.load(); FAILED(hr)) return hr;
  *ppConnection = std::make_shared<Connection>();
  return S_OK;
}

void SetCreateConnectionFailureForTesting(HRESULT hr) { g_createConnectionFailure = hr; }

DatabaseDriverDecorator SetDatabaseDriverDecoratorForTesting(DatabaseDriverDecorator decorator) {
  auto replacement = decorator ? std::make_shared<const DatabaseDriverDecorator>(std::move(decorator)) : nullptr;
  const std::lock_guard guard(g_decoratorLock);
  const auto previous = std::exchange(g_decorator, std::move(replacement));
  return previous ? *previous : DatabaseDriverDecorator();
}

}  // namespace Norvale::OS
