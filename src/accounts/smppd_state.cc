#include "accounts/smppd_state.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/service_control.h"

namespace Norvale {
namespace {

template <class T>
T Number(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_number() && found->template get<double>() >= 0 ? found->template get<T>()
                                                                                           : T{};
}

bool Lives(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

std::string SmppdStatePath() { return OS::ServiceHost::RunDirectory() + "/velquor-smppd.json"; }

std::optional<CSmppdState> ReadSmppdState(long* pStalePid) {
  if (pStalePid != nullptr) *pStalePid = 0;
  std::ifstream in(SmppdStatePath());
  if (!in) return std::nullopt;
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  CSmppdState state;
  state.nPid = Number<long>(j, "pid");
  if (!Lives(state.nPid)) {
    if (pStalePid != nullptr) *pStalePid = state.nPid;
    return std::nullopt;
  }
  if (const auto listen = j.find("listen"); listen != j.end() && listen->is_array())
    for (const auto& where : *listen)
      if (where.is_string()) state.listen.push_back(where.get<std::string>());
  if (const auto accounts = j.find("accounts"); accounts != j.end() && accounts->is_object())
    for (const auto& [name, a] : accounts->items()) {
      if (!a.is_object()) continue;
      CSmppdAccountState account;
      account.sName = name;
      account.nBinds = Number<unsigned>(a, "binds");
      account.nTransmitters = Number<unsigned>(a, "transmitters");
      account.nReceivers = Number<unsigned>(a, "receivers");
      account.nTransceivers = Number<unsigned>(a, "transceivers");
      account.nWindow = Number<unsigned>(a, "window");
      account.nWindowMax = Number<unsigned>(a, "window_max");
      account.dSubmitsPerSecond = Number<double>(a, "submits_per_second");
      account.nSubmittedTotal = Number<std::uint64_t>(a, "submitted_total");
      account.nThrottledTotal = Number<std::uint64_t>(a, "throttled_total");
      account.nRefusedTotal = Number<std::uint64_t>(a, "refused_total");
      account.nDeliveredTotal = Number<std::uint64_t>(a, "delivered_total");
      account.nOutbox = Number<std::uint64_t>(a, "outbox");
      state.accounts.push_back(account);
    }
  return state;
}

}  // namespace Norvale
