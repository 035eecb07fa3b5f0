// Database access for the queues: the connection provider, the command
// executor with its bounded attempts, the exception database failures travel
// in, and the conversions between field values, native text and SQL literals.
//
// A provider and the queues sharing it belong to one core; their calls must
// not overlap. Nothing here locks.
#pragma once

#include <string>

#include "platform/database.h"

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
  // Creates and opens the connection when needed; an open connection is
  // reused as it is. Open failures raise CDatabase_com_error and leave a
  // closed connection that the next call opens again.
  OS::_ConnectionPtr& GetConnection();
  // Closes an open connection and releases it.
  void ResetConnection();

 private:
  CConfigVelquorClientOnly* m_pConfig = nullptr;
  std::string m_sDSN;
  std::string m_sUsername;
  std::string m_sPassword;
  OS::_ConnectionPtr m_pConnection;
};

class CDatabaseQueryExecuter {
 public:
  explicit CDatabaseQueryExecuter(CDBConnectionDispensor* DBConnection) : m_pDBConnection(DBConnection) {}
  virtual ~CDatabaseQueryExecuter() = default;

  // Runs `CommandText` up to `nRetryLimit` times until one attempt succeeds;
  // the last attempt runs on a newly opened connection. With
  // RecordAffectedCheck other than -1 a different row count fails the
  // attempt. The last attempt's failure reaches the caller (COM errors as
  // CDatabase_com_error). Returns the record set, null when there is none.
  OS::_RecordsetPtr ExecuteCommand(const std::string& CommandText, OS::LONG& RecordAffected, OS::LONG Options,
                                   OS::LONG RecordAffectedCheck, int nRetryLimit);

 protected:
  CDBConnectionDispensor* m_pDBConnection;
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
