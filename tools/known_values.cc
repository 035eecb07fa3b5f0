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
  };
  return values;
}

const KnownValue* FindKnownValue(const std::string& name) {
  for (const KnownValue& v : ClientValues())
    if (strcasecmp(v.name, name.c_str()) == 0) return &v;
  return nullptr;
}

std::string ValueProblem(const KnownValue& known, const std::string& value) {
  if (known.kind == ValueKind::Flag && value != "1" && value != "0")
    return std::string(known.name) + " is a switch: use 1 or 0 (anything but 1 reads as 0), not '" + value + "'";
  if (value.size() > kMaxValueBytes)
    return std::string(known.name) + " holds " + std::to_string(value.size()) + " bytes; the library reads at most " +
           std::to_string(kMaxValueBytes);
  return std::string();
}

std::string SetAdvice(const KnownValue& known) {
  return std::string("velquor config set ") + known.name + " " + known.example + "   (" + known.meaning + ")";
}

}  // namespace VelquorTool
