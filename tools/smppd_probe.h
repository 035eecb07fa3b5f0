// velquor-smppd as `velquor check` and `velquor service status` see it: its
// configuration values (checked again by the daemon at start) and its state
// file, which tells whether it runs and, per account, its binds, window,
// submits per second and outbox. Used only where velquor-smppd is installed
// (beside velquor or in /usr/bin), an SmppServer value is set or its state
// file is there.
#pragma once

#include <string>
#include <vector>

#include "daemon_values.h"

namespace VelquorTool {

// Whether velquor-smppd concerns this machine.
bool SmppDaemonInUse();

// Each value of velquor-smppd, read from the registry.
std::vector<DaemonValueCheck> CheckSmppValues();

// "running (pid 42), listening on 127.0.0.1:2775, 127.0.0.1:2776 tls" or
// "not running..."; `running` tells which.
std::string SmppDaemonState(bool* running);

// The table of the accounts' binds, windows, throughput and outboxes, one
// line each after a heading; empty when it does not run or has no accounts.
std::string SmppAccountsTable();

}  // namespace VelquorTool
