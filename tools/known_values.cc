#include "known_values.h"

#include <strings.h>

namespace VelquorTool {

const std::vector<KnownValue>& ClientValues() {
  static const std::vector<KnownValue> values = {
      {"InstalledType", ValueKind::Text, "Client", "the installation type"},
      {"InstalledPath", ValueKind::Text, "/opt/velquor", "the installation folder"},
      {"OutgoingQueueEnabled", ValueKind::Flag, "1",
       "1: messages to send go through the SMSOutgoing table; 0: straight to the engine"},
      {"IncomingQueueEnabled", ValueKind::Flag, "1",
       "1: received messages and notifications come from the SMSIncoming and SMSNotifications tables; 0: from the "
       "engine"},
      {"DSN", ValueKind::Text, "sqlite:/var/lib/velquor/queue.db", "the queue database"},
      {"Username", ValueKind::Text, "''", "the database user; empty for SQLite"},
      {"Password", ValueKind::Text, "''", "the database password, in plain text; empty for SQLite"},
      {"DatabaseConnectTimeout", ValueKind::Milliseconds, "5000",
       "milliseconds one connect to the queue database may take", "5000"},
      {"DatabaseOperationTimeout", ValueKind::Milliseconds, "30000",
       "milliseconds one queue operation may take, every attempt included", "30000"},
      {"KeepDatabaseConnection", ValueKind::Flag, "1",
       "1: queue inserts run on the connection already open; 0: on a new connection each", "0"},
  };
  return values;
}

const KnownValue* FindKnownValue(const std::string& name) {
  for (const KnownValue& v : ClientValues())
    if (strcasecmp(v.name, name.c_str()) == 0) return &v;
  return nullptr;
}

bool IsEngineValue(const std::string& name) {
  static const char* const names[] = {
      "PollInterval",      "MaxRetries",         "RetryBackoff",           "ReportExpiry",
      "CleanupAge",        "IncomingCleanupAge", "MaintenanceInterval",    "OrphanGrace",
      "ReassemblyTimeout", "StopTimeout",        "MaxReadFailures",        "ResendInDoubt",
      "EngineId",          "SQLiteSynchronous",  "DatabaseConnectTimeout", "DatabaseOperationTimeout",
      "ClientGroup",       "HistoryAge"};
  for (const char* n : names)
    if (strcasecmp(n, name.c_str()) == 0) return true;
  return false;
}

std::string ValueProblem(const KnownValue& known, const std::string& value) {
  if (known.kind == ValueKind::Flag && value != "1" && value != "0")
    return std::string(known.name) + " is a switch: use 1 or 0 (anything but 1 reads as 0), not '" + value + "'";
  if (known.kind == ValueKind::Milliseconds) {
    // As the library reads it: blanks around the digits are allowed, and
    // nothing at all means the default.
    const size_t begin = value.find_first_not_of(" \t\r\n\v\f");
    const std::string digits =
        begin == std::string::npos ? "" : value.substr(begin, value.find_last_not_of(" \t\r\n\v\f") + 1 - begin);
    const bool valid =
        digits.empty() || (digits.size() <= 7 && digits.find_first_not_of("0123456789") == std::string::npos &&
                           std::stol(digits) >= 1 && std::stol(digits) <= kLongestMilliseconds);
    if (!valid)
      return std::string(known.name) + " is a number of milliseconds from 1 to " +
             std::to_string(kLongestMilliseconds) + ", not '" + value + "'";
  }
  if (value.size() > kMaxValueBytes)
    return std::string(known.name) + " holds " + std::to_string(value.size()) + " bytes; the library reads at most " +
           std::to_string(kMaxValueBytes);
  return std::string();
}

std::string SetAdvice(const KnownValue& known) {
  return std::string("velquor config set ") + known.name + " " + known.example + "   (" + known.meaning + ")";
}

}  // namespace VelquorTool
