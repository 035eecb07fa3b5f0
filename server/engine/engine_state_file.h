// CEngineStateFile: the engine's state for `velquor service status`, written
// to $NORVALE_ROOT/run/norvale/VelquorServer.handsets.json (mode 0644), whole
// and atomically (a temporary file renamed into place), only when it has
// changed:
//   {"pid": 123, "status": "running",
//    "handsets": [{"number": 1, "driver": "simulator", "connected": true,
//                  "registered": true, "signal": 80, "detail": "...",
//                  "error": "", "sent": 10, "failed": 0, "retried": 0,
//                  "parts": 12, "delivered": 9, "undelivered": 1,
//                  "unmatched": 0, "received": 3, "recovered": 0,
//                  "waiting_retry": 0}],
//    "failed_handsets": [{"number": 3, "driver": "smpp", "error": "..."}]}
// The file is removed when the engine stops.
#pragma once

#include <string>

#include "server/engine/sms_engine.h"

namespace Norvale {

class CEngineStateFile {
 public:
  static std::string Path();
  // The state as text, and the summary for systemd's STATUS= line.
  static std::string Describe(const CSMSEngine& Engine, std::string* sSummary);
  // Writes when different from the last write; true when written.
  bool Update(const CSMSEngine& Engine, std::string* sSummary);
  void Remove();

 private:
  std::string m_sLast;
};

}  // namespace Norvale
