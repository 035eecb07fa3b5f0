// The gauges and counters of velquor-smppd in velquor-http's /metrics, read
// from the state file the SMPP server publishes (accounts/smppd_state.h) at
// each scrape: nothing while it does not run, so that a stopped server
// leaves no stale samples behind.
#pragma once

#include <string>

namespace VelquorHttp {

// The Prometheus text of velquor-smppd's metrics per account, or "" when it
// does not run.
std::string SmppMetricsText();

}  // namespace VelquorHttp
