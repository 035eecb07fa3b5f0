#include "smpp/reconnect_backoff.h"

#include <algorithm>
#include <cmath>

namespace Norvale::Smpp {

CReconnectBackoff::CReconnectBackoff(Settings Config, uint64_t nSeed) : m_Settings(Config), m_Random(nSeed) {
  m_Settings.dFactor = std::max(1.0, m_Settings.dFactor);
  m_Settings.dJitter = std::clamp(m_Settings.dJitter, 0.0, 1.0);
  m_Settings.Maximum = std::max(m_Settings.Maximum, m_Settings.Initial);
}

std::chrono::milliseconds CReconnectBackoff::NextDelay(bool bBindRejected) {
  double dBase = static_cast<double>(m_Settings.Initial.count()) * std::pow(m_Settings.dFactor, m_nFailures);
  dBase = std::min(dBase, static_cast<double>(m_Settings.Maximum.count()));
  if (bBindRejected) dBase = std::max(dBase, static_cast<double>(m_Settings.AfterRejectedBind.count()));
  if (m_nFailures < 64) ++m_nFailures;  // the cap is long reached by then
  std::uniform_real_distribution<double> Share(0.0, m_Settings.dJitter);
  double dDelay = dBase * (1.0 - Share(m_Random));
  return std::chrono::milliseconds(static_cast<int64_t>(std::llround(dDelay)));
}

}  // namespace Norvale::Smpp
