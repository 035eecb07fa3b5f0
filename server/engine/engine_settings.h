// The engine's settings, read from the registry: its own values under the
// product key HKEY_LOCAL_MACHINE\SOFTWARE\Norvale\Velquor beside the client's
// (DSN, Username, Password, ...), and one sub-key Handsets\<n> per handset
// (1 to 8). docs/engine.md lists every value. Values are registry strings;
// numbers are decimal. A value that is present but malformed or out of range
// is an error naming the value, never silently replaced by its default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config_velquor_client_only.h"
#include "queues/database_access.h"
#include "server/drivers/driver_settings.h"

namespace Norvale {

struct CEngineSettings {
  std::string sDSN, sUsername, sPassword;
  // The client's DatabaseConnectTimeout and DatabaseOperationTimeout, which
  // bound the engine's own statements as they bound a client's.
  std::uint32_t dwDatabaseConnectTimeout = OS::kDefaultConnectionTimeout;
  std::uint32_t dwDatabaseOperationTimeout = OS::kDefaultCommandTimeout;
  std::uint32_t dwPollInterval = 1000;          // ms between looks at an empty queue
  int nMaxRetries = 3;                          // further attempts after a temporary failure
  std::uint32_t dwRetryBackoff = 5000;          // ms before the first retry; doubles each time
  std::int64_t nReportExpiry = 2 * 86400000LL;  // ms after which a reference stops waiting
  std::int64_t nCleanupAge = 7 * 86400000LL;    // ms; finished rows older are deleted (0 never)
  std::int64_t nIncomingCleanupAge = 0;         // ms; unread received messages (0 never)
  std::int64_t nHistoryAge = 30 * 86400000LL;   // ms; older message history is deleted (0 never)
  std::uint32_t dwMaintenanceInterval = 60000;  // ms between clean-up passes
  std::uint32_t dwOrphanGrace = 60000;          // ms a claimed but unowned job may wait
  std::uint32_t dwReassemblyTimeout = 300000;   // ms to wait for missing parts
  std::uint32_t dwStopTimeout = 20000;          // ms to finish in-flight work on stop
  int nMaxReadFailures = 3;                     // claims of an unreadable row before it fails
  int nClaimBatch = 100;                        // jobs a handset holds claimed at most
  bool bResendInDoubt = true;                   // jobs caught mid-send by a crash: send again
  std::string sSQLiteSynchronous = "NORMAL";    // the engine's SQLite connections: NORMAL or FULL
  std::int64_t nEngineId = 0;                   // 1 to 2^26-1; tells this engine's claims apart
  std::vector<CHandsetSettings> Handsets;
};

// Reads the product key directly (never through the engine's own proxy).
class CConfigVelquorServer : public CConfigVelquorClientOnly {
 public:
  explicit CConfigVelquorServer(std::string* sErrorMessage);
  // Reads the client values (DSN...), the engine values and every
  // Handsets\<n> key. Failures are raised as _com_error naming the value.
  void ReadConfiguration() override;
  const CEngineSettings& GetSettings() const { return m_Settings; }

  static constexpr int kMaxHandsets = 8;

 private:
  CEngineSettings m_Settings;
};

// Points a connection provider of the engine at the queue database, with the
// engine's way of using it (see engine_settings.cc).
void UseEngineDatabase(CDBConnectionDispensor& DB, const CEngineSettings& Settings);

// The default engine identifier: a hash of the host name and of the registry
// directory, so that engines on different machines, or in different roots,
// differ and one engine keeps its identifier across restarts.
std::int64_t DefaultEngineId();

}  // namespace Norvale
