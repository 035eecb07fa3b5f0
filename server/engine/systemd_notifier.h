// CSystemdNotifier: tells systemd how the daemon is doing (Type=notify):
// READY=1 once it serves, STOPPING=1 when it begins to stop, STATUS= lines
// and WATCHDOG=1 keep-alives when the unit asks for them (WatchdogSec).
// Without NOTIFY_SOCKET (not started by systemd) every call does nothing.
#pragma once

#include <chrono>
#include <string>

namespace Norvale {

class CSystemdNotifier {
 public:
  void Ready(const std::string& sStatus);
  void Stopping(const std::string& sStatus);
  void Status(const std::string& sStatus);
  void Watchdog();
  // The interval at which WATCHDOG=1 must come; zero when not asked.
  static std::chrono::microseconds WatchdogInterval();
};

}  // namespace Norvale
