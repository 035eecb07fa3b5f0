#include "server/engine/systemd_notifier.h"

#include <systemd/sd-daemon.h>

namespace Norvale {

void CSystemdNotifier::Ready(const std::string& sStatus) { sd_notify(0, ("READY=1\nSTATUS=" + sStatus).c_str()); }

void CSystemdNotifier::Stopping(const std::string& sStatus) { sd_notify(0, ("STOPPING=1\nSTATUS=" + sStatus).c_str()); }

void CSystemdNotifier::Status(const std::string& sStatus) { sd_notify(0, ("STATUS=" + sStatus).c_str()); }

void CSystemdNotifier::Watchdog() { sd_notify(0, "WATCHDOG=1"); }

std::chrono::microseconds CSystemdNotifier::WatchdogInterval() {
  uint64_t usec = 0;
  return sd_watchdog_enabled(0, &usec) > 0 ? std::chrono::microseconds(usec) : std::chrono::microseconds(0);
}

}  // namespace Norvale
