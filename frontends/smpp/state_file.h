// StateFile: velquor-smppd's state for `velquor service status` and
// velquor-http's /metrics, in $NORVALE_ROOT/run/norvale/velquor-smppd.json:
//   {"pid": N, "listen": ["127.0.0.1:2775", "127.0.0.1:2776 tls"],
//    "accounts": {"acme": {"binds": 2, "transmitters": 0, "receivers": 1,
//      "transceivers": 1, "window": 37, "window_max": 200,
//      "submits_per_second": 812.5, "submitted_total": 1234,
//      "throttled_total": 5, "refused_total": 2, "delivered_total": 10,
//      "outbox": 3}}}
// window: submits unanswered now over the account's binds; window_max:
// SmppWindow x its binds; submits_per_second: accepted submits over the
// time since the last update. Written atomically (a temporary file renamed),
// mode 0644, only when it changed; removed by the destructor.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "smpp_server.h"

namespace VelquorSmpp {

class StateFile {
 public:
  // `outbox` gives the outbox depth of an account.
  StateFile(std::vector<std::string> listen, std::function<std::size_t(const std::string&)> outbox);
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // Writes the state when it changed since the last write.
  void Update(const std::map<std::string, AccountState>& accounts);
  static std::string Path();

 private:
  std::vector<std::string> m_Listen;
  std::function<std::size_t(const std::string&)> m_Outbox;
  std::string m_sWritten;
  std::chrono::steady_clock::time_point m_LastUpdate;
  std::map<std::string, std::uint64_t> m_LastSubmitted;
};

}  // namespace VelquorSmpp
