#include "server/engine/engine_state_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/service_control.h"

namespace Norvale {

std::string CEngineStateFile::Path() { return OS::ServiceHost::RunDirectory() + "/VelquorServer.handsets.json"; }

std::string CEngineStateFile::Describe(const CSMSEngine& Engine, std::string* sSummary) {
  static const char* const kStatus[] = {"stopped", "starting", "running", "stopping", "not available"};
  const int status = Engine.GetStatus();
  nlohmann::json j;
  j["pid"] = getpid();
  j["status"] = status >= 0 && status <= 4 ? kStatus[status] : "unknown";
  j["handsets"] = nlohmann::json::array();
  long sent = 0, failed = 0, received = 0;
  for (const auto& h : Engine.GetHandsetStatus()) {
    j["handsets"].push_back({{"number", h.nNumber},
                             {"driver", h.sDriver},
                             {"connected", h.Driver.bConnected},
                             {"registered", h.Driver.bRegistered},
                             {"signal", h.Driver.nSignal},
                             {"detail", h.Driver.sDetail},
                             {"error", h.sLastError},
                             {"sent", h.nSent},
                             {"failed", h.nFailed},
                             {"retried", h.nRetried},
                             {"parts", h.nParts},
                             {"delivered", h.nDelivered},
                             {"undelivered", h.nUndelivered},
                             {"unmatched", h.nUnmatched},
                             {"received", h.nReceived},
                             {"recovered", h.nRecovered},
                             {"waiting_retry", h.nWaitingRetry}});
    sent += h.nSent;
    failed += h.nFailed;
    received += h.nReceived;
  }
  j["failed_handsets"] = nlohmann::json::array();
  for (const auto& f : Engine.FailedHandsets())
    j["failed_handsets"].push_back({{"number", f.nNumber}, {"driver", f.sDriver}, {"error", f.sError}});
  if (sSummary)
    *sSummary = j["status"].get<std::string>() + ", " + std::to_string(j["handsets"].size()) + " handsets, " +
                std::to_string(sent) + " sent, " + std::to_string(failed) + " failed, " + std::to_string(received) +
                " received";
  return j.dump(2) + "\n";
}

bool CEngineStateFile::Update(const CSMSEngine& Engine, std::string* sSummary) {
  const std::string text = Describe(Engine, sSummary);
  if (text == m_sLast) return false;
  const std::string path = Path(), temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  chmod(temp.c_str(), 0644);
  if (std::rename(temp.c_str(), path.c_str()) != 0) return false;
  m_sLast = text;
  return true;
}

void CEngineStateFile::Remove() {
  std::remove(Path().c_str());
  m_sLast.clear();
}

}  // namespace Norvale
