#include "queues/database_access.h"

#include <algorithm>
#include <cctype>

#include "config/config_velquor_client_only.h"
#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

CDBConnectionDispensor::~CDBConnectionDispensor() {
  try {
    ResetConnection();
  } catch (...) {
    // closing failed: the connection is released all the same
  }
}

void CDBConnectionDispensor::SetDBSettings(const std::string& sDSN, const std::string& sUsername,
                                           const std::string& sPassword) {
  m_sDSN = sDSN;
  m_sUsername = sUsername;
  m_sPassword = sPassword;
}

void CDBConnectionDispensor::SetDBTimeouts(DWORD dwConnectTimeout, DWORD dwOperationTimeout) {
  m_dwConnectTimeout = dwConnectTimeout;
  m_dwOperationTimeout = dwOperationTimeout;
}

DWORD CDBConnectionDispensor::GetConnectTimeout() const {
  return m_pConfig ? m_pConfig->GetDatabaseConnectTimeout() : m_dwConnectTimeout;
}

DWORD CDBConnectionDispensor::GetOperationTimeout() const {
  return m_pConfig ? m_pConfig->GetDatabaseOperationTimeout() : m_dwOperationTimeout;
}

bool CDBConnectionDispensor::GetKeepConnection() const {
  return m_pConfig ? m_pConfig->GetKeepDatabaseConnection() : m_bKeepConnection;
}

void CDBConnectionDispensor::SetSQLiteSynchronous(const std::string& sLevel) {
  std::string level;
  for (const char c : sLevel) level += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!level.empty() && level != "OFF" && level != "NORMAL" && level != "FULL" && level != "EXTRA")
    RAISE_COM_ERROR(E_INVALIDARG, "SQLite synchronous level '" + sLevel + "' is none of OFF, NORMAL, FULL, EXTRA");
  m_sSQLiteSynchronous = level;
}

_ConnectionPtr& CDBConnectionDispensor::GetConnection() {
  if (!m_pConnection) {
    const HRESULT hr = CreateConnection(&m_pConnection);
    if (FAILED(hr)) RAISE_COM_ERROR(hr, "Could not create ADO connection object");
  }
  // Every use carries the bounds of the operation in progress.
  m_pConnection->PutConnectionTimeout(GetConnectTimeout());
  m_pConnection->PutCommandTimeout(GetOperationTimeout());
  m_pConnection->PutDeadline(m_Deadline);
  if (m_pConnection->State() != adStateClosed) return m_pConnection;
  const std::string dsn = m_pConfig ? m_pConfig->GetDSN() : m_sDSN;
  const std::string user = m_pConfig ? m_pConfig->GetUsername() : m_sUsername;
  const std::string password = m_pConfig ? m_pConfig->GetPassword() : m_sPassword;
  try {
    m_pConnection->Open("Data Source=" + dsn, user, password, adConnectUnspecified);
    if (!m_sSQLiteSynchronous.empty() && !IsPostgresDataSource(dsn)) {
      _variant_t affected;
      m_pConnection->Execute("PRAGMA synchronous=" + m_sSQLiteSynchronous, &affected, adExecuteNoRecords);
    }
  } catch (const _com_error& e) {
    if (m_pConnection->State() == adStateOpen) m_pConnection->Close();  // not half set up
    throw CDatabase_com_error(e);
  }
  return m_pConnection;
}

void CDBConnectionDispensor::ResetConnection() {
  if (!m_pConnection) return;
  _ConnectionPtr connection = std::move(m_pConnection);  // released whatever Close does
  m_pConnection = nullptr;
  if (connection->State() == adStateOpen) connection->Close();
}

CDatabaseOperation::CDatabaseOperation(CDBConnectionDispensor* DBConnection, bool bOwnDeadline)
    : m_pDBConnection(DBConnection),
      m_SavedDeadline(DBConnection->m_Deadline),
      m_bSetDeadline(bOwnDeadline || DBConnection->m_nOperations == 0) {
  ++m_pDBConnection->m_nOperations;
  if (m_bSetDeadline)
    m_pDBConnection->m_Deadline =
        DatabaseClock::now() + std::chrono::milliseconds(m_pDBConnection->GetOperationTimeout());
}

CDatabaseOperation::CDatabaseOperation(CDBConnectionDispensor* DBConnection, std::chrono::milliseconds Budget)
    : m_pDBConnection(DBConnection), m_SavedDeadline(DBConnection->m_Deadline), m_bSetDeadline(true) {
  ++m_pDBConnection->m_nOperations;
  const auto span =
      std::min<std::chrono::milliseconds>(Budget, std::chrono::milliseconds(m_pDBConnection->GetOperationTimeout()));
  // Nested in an operation that ends sooner, that end stays.
  m_pDBConnection->m_Deadline = std::min(m_SavedDeadline, DatabaseClock::now() + span);
}

CDatabaseOperation::~CDatabaseOperation() {
  --m_pDBConnection->m_nOperations;
  if (m_bSetDeadline) m_pDBConnection->m_Deadline = m_SavedDeadline;
}

bool CDatabaseOperation::TimeIsUp() const { return DatabaseClock::now() >= m_pDBConnection->m_Deadline; }

void CDatabaseOperation::RaiseIfTimeIsUp(const std::string& sWhat) const {
  if (TimeIsUp())
    RAISE_COM_ERROR(DB_E_ABORTLIMITREACHED, sWhat + ", until the operation's " +
                                                std::to_string(m_pDBConnection->GetOperationTimeout()) + " ms ran out");
}

bool CDBConnectionDispensor::IsPostgres() const {
  return IsPostgresDataSource(m_pConfig ? m_pConfig->GetDSN() : m_sDSN);
}

CDatabaseTransaction::CDatabaseTransaction(CDBConnectionDispensor* DBConnection, EScope eScope)
    : m_pDBConnection(DBConnection) {
  if (DBConnection->m_bInTransaction) return;  // nested: part of the outer one
  const bool postgres = DBConnection->IsPostgres();
  if (postgres && eScope == kSQLiteOnly) return;
  // Immediate: the write lock is taken now, waited for like any other lock.
  // A deferred group would read first and could then find that another
  // writer had committed meanwhile, a failure no wait can mend.
  const char* begin = postgres ? "BEGIN" : "BEGIN IMMEDIATE";
  try {
    Run(begin);
  } catch (const _com_error& e) {
    // A kept connection may have died while idle (the server restarted, the
    // connection was lost): nothing is in the group yet, so it may start over
    // on a new one. Without this the group would fail on the dead connection
    // for ever. A SQLite lock waited for until the bound is not such a
    // failure, and a second wait would only be as long.
    if (!postgres && e.Error() == DB_E_ABORTLIMITREACHED) throw;
    m_pDBConnection->ResetConnection();
    Run(begin);
  }
  m_bOpen = true;
  m_pDBConnection->m_bInTransaction = true;
  m_pDBConnection->m_bPostgresTransaction = postgres;
}

CDatabaseTransaction::~CDatabaseTransaction() {
  if (!m_bOpen) return;
  m_pDBConnection->m_bInTransaction = false;
  try {
    const CDatabaseOperation operation(m_pDBConnection, true);
    Run("ROLLBACK");
  } catch (...) {
    // Closing the connection rolls back what it holds.
    try {
      m_pDBConnection->ResetConnection();
    } catch (...) {
      m_pDBConnection->m_pConnection = nullptr;
    }
  }
}

void CDatabaseTransaction::Commit() {
  if (!m_bOpen) return;
  Run("COMMIT");
  m_bOpen = false;
  m_pDBConnection->m_bInTransaction = false;
}

void CDatabaseTransaction::Run(const char* szStatement) {
  const CDatabaseOperation operation(m_pDBConnection);
  try {
    _variant_t affected;
    m_pDBConnection->GetConnection()->Execute(szStatement, &affected, adExecuteNoRecords);
  } catch (const _com_error& e) {
    throw CDatabase_com_error(e);
  }
}

_RecordsetPtr CDatabaseQueryExecuter::ExecuteCommand(const std::string& CommandText, LONG& RecordAffected, LONG Options,
                                                     LONG RecordAffectedCheck, int nRetryLimit) {
  return ExecuteCommand(CommandText, SqlValues(), RecordAffected, Options, RecordAffectedCheck, nRetryLimit);
}

_RecordsetPtr CDatabaseQueryExecuter::ExecuteCommand(const std::string& CommandText, const SqlValues& Values,
                                                     LONG& RecordAffected, LONG Options, LONG RecordAffectedCheck,
                                                     int nRetryLimit) {
  const CDatabaseOperation operation(m_pDBConnection);
  _RecordsetPtr result;
  m_pDBConnection->GetConnection();
  const bool grouped = m_pDBConnection->InTransaction();
  if (grouped) nRetryLimit = 1;
  bool succeeded = false;
  for (int attempt = 1; attempt <= nRetryLimit && !succeeded; ++attempt) {
    const bool last = attempt == nRetryLimit;
    // Most failures are the statement's own (a lock, a constraint) and the
    // open connection is fine for the next try. Only the last attempt starts
    // over on a new connection: if the connection itself went bad (a server
    // restart, a dropped socket), that attempt still succeeds, and a
    // statement that fails every time costs one reconnect, not ten. Inside a
    // transaction there is one attempt and no reconnect: the group fails as
    // a whole and its owner starts it again.
    if (last && !grouped) {
      m_pDBConnection->ResetConnection();
      m_pDBConnection->GetConnection();
    }
    try {
      _variant_t affected;
      result = m_pDBConnection->GetConnection()->Execute(CommandText, Values, &affected, Options);
      RecordAffected = affected.ToLong();
      if (RecordAffectedCheck != -1 && RecordAffectedCheck != RecordAffected) {
        RAISE_COM_ERROR(E_FAIL, "Query '" + CommandText + "' affected " + std::to_string(RecordAffected) +
                                    " rows, expected " + std::to_string(RecordAffectedCheck) + " rows");
      }
      succeeded = true;
    } catch (const _com_error& e) {
      // Out of time, the attempt that just failed is the last one.
      if (last || operation.TimeIsUp()) throw CDatabase_com_error(e);
    } catch (...) {
      if (last || operation.TimeIsUp()) throw;
    }
  }
  return result;
}

_RecordsetPtr CDatabaseQueryExecuter::ExecuteOnce(const std::string& CommandText, LONG& RecordAffected, LONG Options,
                                                  bool bNewConnection) {
  const CDatabaseOperation operation(m_pDBConnection);
  if (bNewConnection && !m_pDBConnection->InTransaction()) m_pDBConnection->ResetConnection();
  _ConnectionPtr& connection = m_pDBConnection->GetConnection();
  try {
    _variant_t affected;
    _RecordsetPtr result = connection->Execute(CommandText, &affected, Options);
    RecordAffected = affected.ToLong();
    return result;
  } catch (const _com_error& e) {
    throw CDatabase_com_error(e);
  }
}

CQueueRow::CQueueRow(const Recordset& Row, const std::string& sTableName) : m_Row(Row), m_sTableName(sTableName) {
  const _variant_t id = m_Row.GetFieldValue("Id");
  try {
    m_nId = id.ToLong();
  } catch (const _com_error& e) {
    RAISE_COM_ERROR(e.Error(), m_sTableName + ": the column Id of a row " +
                                   (id.vt == VT_NULL ? std::string("is NULL") : "cannot be read: " + e.DescriptionA()));
  }
}

void CQueueRow::RaiseUnreadable(const _com_error& e, const char* szColumn, const _variant_t& value,
                                const char* szAs) const {
  std::string what;
  if (value.vt == VT_NULL) {
    what = "is NULL";
  } else {
    what = std::string("cannot be read as ") + szAs;
    try {
      what += ": '" + value.ToString() + "'";
    } catch (const _com_error&) {
      // a value without a text form: the column's name says enough
    }
  }
  RAISE_COM_ERROR(e.Error(), m_sTableName + " row " + std::to_string(m_nId) + ": column " + szColumn + " " + what);
}

LONG CQueueRow::Long(const char* szColumn) const {
  const _variant_t value = m_Row.GetFieldValue(szColumn);
  try {
    return value.ToLong();
  } catch (const _com_error& e) {
    RaiseUnreadable(e, szColumn, value, "a 32-bit number");
  }
}

std::string CQueueRow::String(const char* szColumn) const {
  const _variant_t value = m_Row.GetFieldValue(szColumn);
  try {
    return value.ToString();
  } catch (const _com_error& e) {
    RaiseUnreadable(e, szColumn, value, "text");
  }
}

LONG CQueueRow::LongOrZero(const char* szColumn) const {
  const _variant_t value = m_Row.GetFieldValue(szColumn);
  try {
    return ConvertVariantToLong(value);
  } catch (const _com_error& e) {
    RaiseUnreadable(e, szColumn, value, "a 32-bit number");
  }
}

std::string CQueueRow::StringOrEmpty(const char* szColumn) const {
  const _variant_t value = m_Row.GetFieldValue(szColumn);
  try {
    return ConvertVariantToString(value);
  } catch (const _com_error& e) {
    RaiseUnreadable(e, szColumn, value, "text");
  }
}

CMessageEndpoint CQueueRow::EndpointOrEmpty(const std::string& sPrefix) const {
  CMessageEndpoint Endpoint;
  Endpoint.m_eType = static_cast<SourceTypes>(LongOrZero((sPrefix + "Type").c_str()));
  Endpoint.m_sId = StringOrEmpty((sPrefix + "Id").c_str());
  Endpoint.m_sName = StringOrEmpty((sPrefix + "Name").c_str());
  return Endpoint;
}

std::string ConvertVariantToString(const _variant_t& value) {
  if (value.vt == VT_NULL) return std::string();
  return value.ToString();
}

LONG ConvertVariantToLong(const _variant_t& value) {
  if (value.vt == VT_NULL) return 0;
  return value.ToLong();
}

std::string EncodeSQLLiteral(const std::string& sStringIn) {
  std::string out;
  out.reserve(sStringIn.size() + 8);
  for (const char c : sStringIn) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

std::string EncodeSQLLiteralString(const std::string& sStringIn) {
  if (sStringIn.empty()) return "' '";
  std::string out(1, '\'');
  out.append(EncodeSQLLiteral(sStringIn));
  out.push_back('\'');
  return out;
}

}  // namespace Norvale
