#include "smppd_probe.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "accounts/smppd_state.h"

namespace VelquorTool {
namespace {

constexpr DaemonNumber kNumbers[] = {{"SmppServerPort", "2775", 0, 65535},
                                     {"SmppServerTlsPort", "0", 0, 65535},
                                     {"SmppServerEnquireLinkSeconds", "30", 1, 86400},
                                     {"SmppServerResponseSeconds", "10", 1, 3600},
                                     {"SmppServerBindSeconds", "10", 1, 3600}};

constexpr const char* kTexts[] = {"SmppServerListen", "SmppServerSystemId", "SmppServerTlsCertificate",
                                  "SmppServerTlsKey"};

}  // namespace

bool SmppDaemonInUse() {
  if (DaemonInUse("velquor-smppd", kTexts, kNumbers)) return true;
  std::error_code ec;
  return std::filesystem::exists(Norvale::SmppdStatePath(), ec);
}

std::vector<DaemonValueCheck> CheckSmppValues() {
  std::vector<DaemonValueCheck> checks;
  CheckListenAndNumbers("SmppServerListen", kNumbers, checks);
  // system_id is a C-Octet String of 16 octets with the closing zero.
  bool set = false;
  const std::string systemId = DaemonValue("SmppServerSystemId", "velquor", &set);
  checks.push_back({"SmppServerSystemId", set ? systemId : "not set: velquor",
                    systemId.size() <= 15 ? "" : "longer than the 15 characters of a system_id: " + systemId});

  const bool tls = DaemonValue("SmppServerTlsPort", "0") != "0";
  for (const char* name : {"SmppServerTlsCertificate", "SmppServerTlsKey"}) {
    DaemonValueCheck check =
        CheckTlsFile(name, DaemonValue(name, ""), std::string(name) == "SmppServerTlsKey", "not set");
    if (tls && check.shown == "not set")
      check.problem = "SmppServerTlsPort is set: TLS needs SmppServerTlsCertificate and SmppServerTlsKey";
    checks.push_back(std::move(check));
  }
  return checks;
}

std::string SmppDaemonState(bool* running) {
  long stale = 0;
  const std::optional<Norvale::CSmppdState> state = Norvale::ReadSmppdState(&stale);
  *running = state.has_value();
  if (!state)
    return stale != 0 ? "not running (its state file names pid " + std::to_string(stale) + ", which has ended)"
                      : "not running";
  std::string text = "running (pid " + std::to_string(state->nPid) + ")";
  for (std::size_t i = 0; i < state->listen.size(); ++i) text += (i == 0 ? ", listening on " : ", ") + state->listen[i];
  return text;
}

std::string SmppAccountsTable() {
  const std::optional<Norvale::CSmppdState> state = Norvale::ReadSmppdState();
  if (!state || state->accounts.empty()) return "";
  char line[256];
  std::snprintf(line, sizeof line, "%-16s %5s %3s %3s %3s %11s %9s %10s %9s %9s %6s\n", "smpp account", "binds", "tx",
                "rx", "trx", "window", "submits/s", "submitted", "throttled", "delivered", "outbox");
  std::string table = line;
  for (const Norvale::CSmppdAccountState& a : state->accounts) {
    const std::string window = std::to_string(a.nWindow) + "/" + std::to_string(a.nWindowMax);
    std::snprintf(line, sizeof line, "%-16s %5u %3u %3u %3u %11s %9.1f %10llu %9llu %9llu %6llu\n", a.sName.c_str(),
                  a.nBinds, a.nTransmitters, a.nReceivers, a.nTransceivers, window.c_str(), a.dSubmitsPerSecond,
                  static_cast<unsigned long long>(a.nSubmittedTotal),
                  static_cast<unsigned long long>(a.nThrottledTotal),
                  static_cast<unsigned long long>(a.nDeliveredTotal), static_cast<unsigned long long>(a.nOutbox));
    table += line;
  }
  return table;
}

}  // namespace VelquorTool
