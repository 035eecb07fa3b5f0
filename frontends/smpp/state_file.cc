#include "state_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/service_control.h"

namespace VelquorSmpp {

StateFile::StateFile(std::vector<std::string> listen, std::function<std::size_t(const std::string&)> outbox)
    : m_Listen(std::move(listen)), m_Outbox(std::move(outbox)), m_LastUpdate(std::chrono::steady_clock::now()) {}

StateFile::~StateFile() {
  if (!m_sWritten.empty()) std::remove(Path().c_str());
}

std::string StateFile::Path() { return Norvale::OS::ServiceHost::RunDirectory() + "/velquor-smppd.json"; }

void StateFile::Update(const std::map<std::string, AccountState>& accounts) {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - m_LastUpdate).count();
  m_LastUpdate = now;
  nlohmann::json state = {{"pid", static_cast<long>(getpid())}, {"listen", m_Listen}};
  nlohmann::json& out = state["accounts"] = nlohmann::json::object();
  for (const auto& [name, account] : accounts) {
    const std::uint64_t before = m_LastSubmitted.count(name) ? m_LastSubmitted[name] : account.nSubmitted;
    m_LastSubmitted[name] = account.nSubmitted;
    const double rate = seconds > 0 ? static_cast<double>(account.nSubmitted - before) / seconds : 0.0;
    out[name] = {{"binds", account.nTransmitters + account.nReceivers + account.nTransceivers},
                 {"transmitters", account.nTransmitters},
                 {"receivers", account.nReceivers},
                 {"transceivers", account.nTransceivers},
                 {"window", account.nWindow},
                 {"window_max", account.nWindowMax},
                 {"submits_per_second", std::round(rate * 10) / 10},
                 {"submitted_total", account.nSubmitted},
                 {"throttled_total", account.nThrottled},
                 {"refused_total", account.nRefused},
                 {"delivered_total", account.nDelivered},
                 {"outbox", m_Outbox ? m_Outbox(name) : 0}};
  }
  const std::string text = state.dump() + "\n";
  if (text == m_sWritten) return;
  const std::string path = Path();
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    file << text;
    if (!file.flush()) return;
  }
  chmod(temporary.c_str(), 0644);
  if (std::rename(temporary.c_str(), path.c_str()) == 0) m_sWritten = text;
}

}  // namespace VelquorSmpp
