// velquor-http as `velquor check` and `velquor service status` see it: its
// configuration values (those of the server; the API's own are checked by
// the daemon at start) and whether something answers where it listens.
// Used only where velquor-http is installed (beside velquor or in
// /usr/bin) or an Http value is set.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "daemon_values.h"

namespace VelquorTool {

// Whether velquor-http concerns this machine.
bool HttpDaemonInUse();

// Each server value of velquor-http, read from the registry.
std::vector<DaemonValueCheck> CheckHttpValues();

// "listening on 127.0.0.1:8080, /health answers 200", or why not; `listening`
// tells which. Waits at most about two seconds.
std::string ProbeHttpDaemon(bool* listening);

}  // namespace VelquorTool
