// Database access for the queues: the connection provider, the command
// executor with its bounded attempts, the exception database failures travel
// in, and the conversions between field values, native text and SQL literals.
//
// Every queue operation is bounded in time: a connect by the connect
// time-out, the whole operation (all its statements and attempts) by the
// operation time-out, counted from its start (CDatabaseOperation). An attempt
// is not begun once the operation's time is up; the failure that ended the
// last one reaches the caller.
//
// A provider and the queues sharing it belong to one core; their calls must
// not overlap. Nothing here locks.
#pragma once

#include <chrono>
#include <string>

#include "platform/database.h"
#include "queues/message_endpoint.h"

namespace Norvale {

class CConfigVelquorClientOnly;

// A database failure: a _com_error with the same HRESULT and error
// information; catch it as _com_error.
class CDatabase_com_error : public OS::_com_error {
 public:
  explicit CDatabase_com_error(const OS::_com_error& e) : OS::_com_error(e.Error(), e.ErrorInfo(), false) {}
};

class CDBConnectionDispensor {
 public:
  CDBConnectionDispensor() = default;
  // The DSN, user name and password come from `Config` at every open.
  explicit CDBConnectionDispensor(CConfigVelquorClientOnly* Config) : m_pConfig(Config) {}
  virtual ~CDBConnectionDispensor();
  CDBConnectionDispensor(const CDBConnectionDispensor&) = delete;
  CDBConnectionDispensor& operator=(const CDBConnectionDispensor&) = delete;

  void SetDBSettings(const std::string& sDSN, const std::string& sUsername, const std::string& sPassword);
  // Bounds in milliseconds, used only when no configuration is set (it names
  // its own); 5000 and 30000 until set.
  void SetDBTimeouts(OS::DWORD dwConnectTimeout, OS::DWORD dwOperationTimeout);
  OS::DWORD GetConnectTimeout() const;
  OS::DWORD GetOperationTimeout() const;
  // Whether queue inserts keep the open connection (KeepDatabaseConnection);
  // the setting is used only when no configuration is set. Off until set.
  void SetDBKeepConnection(bool bKeep) { m_bKeepConnection = bKeep; }
  bool GetKeepConnection() const;
  // The value of SQLite's "synchronous" setting (OFF, NORMAL, FULL, EXTRA)
  // that every SQLite connection this provider opens is given; empty (the
  // default) leaves SQLite's own, FULL. Ignored for PostgreSQL.
  void SetSQLiteSynchronous(const std::string& sLevel);
  // Creates and opens the connection when needed; an open connection is
  // reused as it is. Open failures raise CDatabase_com_error and leave a
  // closed connection that the next call opens again.
  OS::_ConnectionPtr& GetConnection();
  // Closes an open connection and releases it.
  void ResetConnection();

  // Whether the data source is a PostgreSQL database (else SQLite), for the
  // few statements written differently for each.
  bool IsPostgres() const;

  // The end of the operation in progress; kNoDatabaseDeadline between
  // operations.
  OS::DatabaseDeadline GetDeadline() const { return m_Deadline; }
  // Whether a CDatabaseTransaction is open on this provider: its statements
  // then get one attempt each, on the open connection.
  bool InTransaction() const { return m_bInTransaction; }
  // Whether that transaction is on PostgreSQL, where a failed statement
  // spoils the rest of the group unless a savepoint came before it.
  bool InPostgresTransaction() const { return m_bInTransaction && m_bPostgresTransaction; }

 private:
  friend class CDatabaseOperation;
  friend class CDatabaseTransaction;
  CConfigVelquorClientOnly* m_pConfig = nullptr;
  std::string m_sDSN;
  std::string m_sUsername;
  std::string m_sPassword;
  OS::DWORD m_dwConnectTimeout = OS::kDefaultConnectionTimeout;
  OS::DWORD m_dwOperationTimeout = OS::kDefaultCommandTimeout;
  bool m_bKeepConnection = false;
  std::string m_sSQLiteSynchronous;
  OS::_ConnectionPtr m_pConnection;
  OS::DatabaseDeadline m_Deadline = OS::kNoDatabaseDeadline;
  int m_nOperations = 0;  // operations in progress, nested in one another
  bool m_bInTransaction = false;
  bool m_bPostgresTransaction = false;
};

// A group of statements that the database commits at once, for the time
// this object lives: BEGIN (on SQLite BEGIN IMMEDIATE, waiting for the
// database's write lock within the operation time-out) at construction,
// COMMIT at Commit(), ROLLBACK when destroyed uncommitted. Within it every
// statement gets one attempt on the open connection and a failure raises at
// once, since a repetition on another connection would run outside the
// group; the caller repeats the whole group. CJobQueue::InsertJob is the
// exception on PostgreSQL: it still tries another identifier when another
// writer took its own, behind a savepoint.
//
// kSQLiteOnly groups only on SQLite, where one wait for the write lock
// instead of several is worth it; on PostgreSQL the statements then run one
// by one, as a group there adds round trips. kEveryDatabase groups on both,
// for statements that must never commit one without the other.
class CDatabaseTransaction {
 public:
  enum EScope { kSQLiteOnly, kEveryDatabase };
  explicit CDatabaseTransaction(CDBConnectionDispensor* DBConnection, EScope eScope = kSQLiteOnly);
  ~CDatabaseTransaction();
  CDatabaseTransaction(const CDatabaseTransaction&) = delete;
  CDatabaseTransaction& operator=(const CDatabaseTransaction&) = delete;

  void Commit();

 private:
  void Run(const char* szStatement);

  CDBConnectionDispensor* m_pDBConnection;
  bool m_bOpen = false;
};

// One queue operation on a provider, for the time this object lives. Nested
// in another it shares that one's deadline; the outermost (or one made with
// bOwnDeadline, for clean-up work after the time is up) sets a deadline of the
// operation time-out from now.
class CDatabaseOperation {
 public:
  explicit CDatabaseOperation(CDBConnectionDispensor* DBConnection, bool bOwnDeadline = false);
  // A group of operations that together may take at most `Budget` (and no
  // more than the operation time-out): each operation within it shares this
  // one deadline instead of starting its own. For a listener's tick, whose
  // fetches must all end within the poll interval.
  CDatabaseOperation(CDBConnectionDispensor* DBConnection, std::chrono::milliseconds Budget);
  ~CDatabaseOperation();
  CDatabaseOperation(const CDatabaseOperation&) = delete;
  CDatabaseOperation& operator=(const CDatabaseOperation&) = delete;

  bool TimeIsUp() const;
  // Once the time is up, raises DB_E_ABORTLIMITREACHED with `sWhat` and the
  // operation time-out: for loops that would otherwise go on.
  void RaiseIfTimeIsUp(const std::string& sWhat) const;

 private:
  CDBConnectionDispensor* m_pDBConnection;
  OS::DatabaseDeadline m_SavedDeadline;
  bool m_bSetDeadline;
};

class CDatabaseQueryExecuter {
 public:
  explicit CDatabaseQueryExecuter(CDBConnectionDispensor* DBConnection) : m_pDBConnection(DBConnection) {}
  virtual ~CDatabaseQueryExecuter() = default;

  // Runs `CommandText` up to `nRetryLimit` times until one attempt succeeds
  // or the operation's time is up; the last attempt runs on a newly opened
  // connection. With
  // RecordAffectedCheck other than -1 a different row count fails the
  // attempt. The last attempt's failure reaches the caller (COM errors as
  // CDatabase_com_error). Returns the record set, null when there is none.
  OS::_RecordsetPtr ExecuteCommand(const std::string& CommandText, OS::LONG& RecordAffected, OS::LONG Options,
                                   OS::LONG RecordAffectedCheck, int nRetryLimit);
  // The same with `Values` bound to the placeholders $1..$n of CommandText.
  OS::_RecordsetPtr ExecuteCommand(const std::string& CommandText, const OS::SqlValues& Values,
                                   OS::LONG& RecordAffected, OS::LONG Options, OS::LONG RecordAffectedCheck,
                                   int nRetryLimit);
  // One attempt of `CommandText`, on the open connection or, with
  // bNewConnection, on a newly opened one. A failure raises at once (COM
  // errors as CDatabase_com_error).
  OS::_RecordsetPtr ExecuteOnce(const std::string& CommandText, OS::LONG& RecordAffected, OS::LONG Options,
                                bool bNewConnection);

 protected:
  CDBConnectionDispensor* m_pDBConnection;
};

// The first row of a record set from a queue table, read column by column. A
// value that cannot be read raises the conversion's HRESULT with a text that
// names the table, the row's Id and the column, e.g. "SMSNotifications row
// 17: column MsgType is NULL", so that an administrator can find the row.
class CQueueRow {
 public:
  // Reads the row's Id (directly: a row without one is refused).
  CQueueRow(const OS::Recordset& Row, const std::string& sTableName);
  // For a row selected by its Id, without that column.
  CQueueRow(const OS::Recordset& Row, const std::string& sTableName, OS::LONG nId)
      : m_Row(Row), m_sTableName(sTableName), m_nId(nId) {}
  OS::LONG GetId() const { return m_nId; }
  // Direct conversions: NULL is an error.
  OS::LONG Long(const char* szColumn) const;
  std::string String(const char* szColumn) const;
  // ConvertVariantToLong / ConvertVariantToString: NULL reads as 0 / empty.
  OS::LONG LongOrZero(const char* szColumn) const;
  std::string StringOrEmpty(const char* szColumn) const;
  // The three endpoint columns <prefix>Type, <prefix>Id and <prefix>Name
  // ("Source" or "Dest"), NULL read as 0 / empty.
  CMessageEndpoint EndpointOrEmpty(const std::string& sPrefix) const;

 private:
  [[noreturn]] void RaiseUnreadable(const OS::_com_error& e, const char* szColumn, const OS::_variant_t& value,
                                    const char* szAs) const;

  const OS::Recordset& m_Row;
  const std::string& m_sTableName;
  OS::LONG m_nId = 0;
};

// Empty text for NULL, otherwise the value as text.
std::string ConvertVariantToString(const OS::_variant_t& value);
// 0 for NULL, otherwise the value as a 32-bit integer.
OS::LONG ConvertVariantToLong(const OS::_variant_t& value);
// Every single quote doubled; nothing else changed.
std::string EncodeSQLLiteral(const std::string& sStringIn);
// A complete SQL text literal; the empty text becomes ' ' (one blank).
std::string EncodeSQLLiteralString(const std::string& sStringIn);

}  // namespace Norvale
