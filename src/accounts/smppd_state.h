// The state velquor-smppd publishes while it runs, for the operators' tools
// (`velquor service status`, `velquor check`) and velquor-http's /metrics:
// $NORVALE_ROOT/run/norvale/velquor-smppd.json, written atomically at most
// once a second when it changed and removed at exit:
//   {"pid": N, "listen": ["127.0.0.1:2775", "127.0.0.1:2776 tls"],
//    "accounts": {"acme": {"binds": 2, "transmitters": 0, "receivers": 1,
//      "transceivers": 1, "window": 37, "window_max": 100,
//      "submits_per_second": 812.5, "submitted_total": 1234,
//      "throttled_total": 5, "refused_total": 2, "delivered_total": 10,
//      "outbox": 3}}}
// window is the submits unanswered now over all the account's binds,
// window_max its SmppWindow times its binds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Norvale {

struct CSmppdAccountState {
  std::string sName;
  unsigned nBinds = 0, nTransmitters = 0, nReceivers = 0, nTransceivers = 0;
  unsigned nWindow = 0, nWindowMax = 0;
  double dSubmitsPerSecond = 0;
  std::uint64_t nSubmittedTotal = 0, nThrottledTotal = 0, nRefusedTotal = 0, nDeliveredTotal = 0;
  std::uint64_t nOutbox = 0;
};

struct CSmppdState {
  long nPid = 0;
  std::vector<std::string> listen;
  std::vector<CSmppdAccountState> accounts;  // in name order
};

// $NORVALE_ROOT/run/norvale/velquor-smppd.json.
std::string SmppdStatePath();

// The daemon's state, or nothing when the file is missing or not of the
// form above, or its process no longer lives (a daemon killed leaves its
// file behind). `pStalePid`, where given, gets the pid of such a file (else
// 0).
std::optional<CSmppdState> ReadSmppdState(long* pStalePid = nullptr);

}  // namespace Norvale
