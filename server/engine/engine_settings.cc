#include "server/engine/engine_settings.h"

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstring>

#include "errors/com_error_raise.h"
#include "platform/registry.h"

namespace Norvale {
using namespace OS;

namespace {

CSettingValues AllValues(HKEY key) {
  CSettingValues values;
  for (DWORD i = 0;; ++i) {
    char name[256], data[1024];
    DWORD cch = sizeof name, size = sizeof data;
    if (RegEnumValueA(key, i, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
      break;
    values[std::string(name, cch)] = RegistryText(data, size);
  }
  return values;
}

}  // namespace

void UseEngineDatabase(CDBConnectionDispensor& DB, const CEngineSettings& Settings) {
  DB.SetDBSettings(Settings.sDSN, Settings.sUsername, Settings.sPassword);
  // The engine keeps its connections for its inserts too (notifications,
  // received messages, sends over D-Bus), whatever KeepDatabaseConnection
  // says for clients. The reconnect per insert lets a client follow a changed
  // DSN or a fail-over at once; the engine reads its DSN once at start, and a
  // connection that failed is replaced anyway: every statement's last
  // attempt runs on a new one, and a worker whose work failed opens a new one
  // when it tries again after the poll interval. A new session per
  // notification would cost the engine more than all its other statements
  // of a job on PostgreSQL, and a wal-index look-up and schema read per
  // insert on SQLite.
  DB.SetDBKeepConnection(true);
  // Every statement of the engine gives up when the operation's deadline
  // runs out (a locked SQLite file, a PostgreSQL server that does not
  // answer), so that a worker comes back to its loop and a stop is not held
  // up longer than the configuration says.
  DB.SetDBTimeouts(Settings.dwDatabaseConnectTimeout, Settings.dwDatabaseOperationTimeout);
  DB.SetSQLiteSynchronous(Settings.sSQLiteSynchronous);
}

std::int64_t DefaultEngineId() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string key = std::string(host) + "|" + RegistryRootDirectory();
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (const char c : key) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return static_cast<std::int64_t>(h % ((1u << 26) - 1)) + 1;
}

CConfigVelquorServer::CConfigVelquorServer(std::string* sErrorMessage) : CConfigVelquorClientOnly(sErrorMessage) {}

void CConfigVelquorServer::ReadConfiguration() {
  CConfigVelquorClientOnly::ReadConfiguration();
  CEngineSettings s;
  s.sDSN = GetDSN();
  s.sUsername = GetUsername();
  s.sPassword = GetPassword();
  s.dwDatabaseConnectTimeout = GetDatabaseConnectTimeout();
  s.dwDatabaseOperationTimeout = GetDatabaseOperationTimeout();

  const CSettingValues root = AllValues(m_hRootKey);
  const CSettingsReader r(kRootPath, root);
  constexpr std::int64_t kDay = 86400000LL, kMaxMs = 0x7FFFFFFF;
  s.dwPollInterval = static_cast<std::uint32_t>(r.GetNumber("PollInterval", s.dwPollInterval, 10, 3600000));
  s.nMaxRetries = static_cast<int>(r.GetNumber("MaxRetries", s.nMaxRetries, 0, 100));
  s.dwRetryBackoff = static_cast<std::uint32_t>(r.GetNumber("RetryBackoff", s.dwRetryBackoff, 0, 3600000));
  s.nReportExpiry = r.GetNumber("ReportExpiry", s.nReportExpiry, 1000, 365 * kDay);
  s.nCleanupAge = r.GetNumber("CleanupAge", s.nCleanupAge, 0, 3650 * kDay);
  s.nIncomingCleanupAge = r.GetNumber("IncomingCleanupAge", s.nIncomingCleanupAge, 0, 3650 * kDay);
  s.nHistoryAge = r.GetNumber("HistoryAge", 30, 0, 3650) * kDay;  // days
  s.dwMaintenanceInterval =
      static_cast<std::uint32_t>(r.GetNumber("MaintenanceInterval", s.dwMaintenanceInterval, 100, kMaxMs));
  s.dwOrphanGrace = static_cast<std::uint32_t>(r.GetNumber("OrphanGrace", s.dwOrphanGrace, 100, kMaxMs));
  s.dwReassemblyTimeout =
      static_cast<std::uint32_t>(r.GetNumber("ReassemblyTimeout", s.dwReassemblyTimeout, 100, kMaxMs));
  s.dwStopTimeout = static_cast<std::uint32_t>(r.GetNumber("StopTimeout", s.dwStopTimeout, 0, 3600000));
  s.nMaxReadFailures = static_cast<int>(r.GetNumber("MaxReadFailures", s.nMaxReadFailures, 1, 1000));
  s.nClaimBatch = static_cast<int>(r.GetNumber("ClaimBatch", s.nClaimBatch, 1, 10000));
  s.bResendInDoubt = r.GetBool("ResendInDoubt", s.bResendInDoubt);
  s.sSQLiteSynchronous = r.GetText("SQLiteSynchronous", s.sSQLiteSynchronous);
  for (char& c : s.sSQLiteSynchronous) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (s.sSQLiteSynchronous != "NORMAL" && s.sSQLiteSynchronous != "FULL")
    r.Fail("SQLiteSynchronous", "'" + r.GetText("SQLiteSynchronous", "") + "' is neither NORMAL nor FULL");
  s.nEngineId = r.Has("EngineId") ? r.GetNumber("EngineId", 0, 1, (1 << 26) - 1) : DefaultEngineId();

  HKEY handsets = nullptr;
  if (RegOpenKeyExA(m_hRootKey, "Handsets", 0, KEY_READ, &handsets) == ERROR_SUCCESS) {
    for (int n = 1; n <= kMaxHandsets; ++n) {
      HKEY key = nullptr;
      if (RegOpenKeyExA(handsets, std::to_string(n).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
      CHandsetSettings h;
      h.nNumber = n;
      h.Values = AllValues(key);
      RegCloseKey(key);
      const CSettingsReader hr(HandsetKeyPath(n), h.Values);
      // No default driver: a key left without one (a handset half set up,
      // or emptied value by value) must not run the simulator and take
      // real traffic; the engine skips it with a warning.
      h.sDriver = hr.GetText("Driver", "");
      h.bEnabled = hr.GetBool("Enabled", h.bEnabled);
      h.bDeliveryReports = hr.GetBool("DeliveryReports", h.bDeliveryReports);
      s.Handsets.push_back(std::move(h));
    }
    RegCloseKey(handsets);
  }
  m_Settings = std::move(s);
}

}  // namespace Norvale
