// CConfigVelquorClientOnly: the settings a client process needs, read all at
// once from the product key: installation type and path, the two queue
// switches and the queue database's connection settings. Every value is
// required: the first one missing ends the read with its error, values read
// before it keep their new texts. The getters return what the last read
// stored; none touches the registry.
//
// Two optional values bound the work on the queue database, in milliseconds
// (1 to 3600000): "DatabaseConnectTimeout" (default 5000) for one connect,
// "DatabaseOperationTimeout" (default 30000) for one whole queue operation,
// every attempt included. They are read after the required values; one that
// is not such a number fails the read with a text naming it.
//
// The optional switch "KeepDatabaseConnection" ("1" on, anything else or
// absent off) lets queue inserts run on the connection already open instead
// of a new one per attempt (CJobQueue::InsertJob).
#pragma once

#include <string>

#include "config/config_velquor.h"
#include "platform/database.h"

namespace Norvale {

class CConfigVelquorClientOnly : public CConfigVelquor {
 public:
  explicit CConfigVelquorClientOnly(std::string* sErrorMessage);

  void ReadConfiguration() override;

  std::string GetProductType() const { return m_sInstalledType; }
  std::string GetInstalledPath() const { return m_sInstalledPath; }
  bool GetOutgoingQueueEnabled() const { return m_bOutgoingQueueEnabled; }
  bool GetInboundQueueEnabled() const { return m_bIncomingQueueEnabled; }
  const std::string& GetDSN() const { return m_sDSN; }
  const std::string& GetUsername() const { return m_sUsername; }
  const std::string& GetPassword() const { return m_sPassword; }
  OS::DWORD GetDatabaseConnectTimeout() const { return m_dwDatabaseConnectTimeout; }
  OS::DWORD GetDatabaseOperationTimeout() const { return m_dwDatabaseOperationTimeout; }
  bool GetKeepDatabaseConnection() const { return m_bKeepDatabaseConnection; }

 private:
  std::string m_sInstalledType;
  std::string m_sInstalledPath;
  bool m_bOutgoingQueueEnabled = false;
  bool m_bIncomingQueueEnabled = false;
  std::string m_sDSN;
  std::string m_sUsername;
  std::string m_sPassword;
  OS::DWORD m_dwDatabaseConnectTimeout = OS::kDefaultConnectionTimeout;
  OS::DWORD m_dwDatabaseOperationTimeout = OS::kDefaultCommandTimeout;
  bool m_bKeepDatabaseConnection = false;
};

}  // namespace Norvale
