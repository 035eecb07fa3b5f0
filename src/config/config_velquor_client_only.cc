#include "config/config_velquor_client_only.h"

namespace Norvale {

CConfigVelquorClientOnly::CConfigVelquorClientOnly(std::string* sErrorMessage) : CConfigVelquor(sErrorMessage) {}

void CConfigVelquorClientOnly::ReadConfiguration() {
  CConfigVelquor::ReadConfiguration();
  const OS::HKEY root = m_hRootKey;
  m_sInstalledType = GetParameter(root, "InstalledType", false, "", false);
  m_sInstalledPath = GetParameter(root, "InstalledPath", false, "", false);
  m_bOutgoingQueueEnabled = GetParameterBOOL(root, "OutgoingQueueEnabled", false, false, false);
  m_bIncomingQueueEnabled = GetParameterBOOL(root, "IncomingQueueEnabled", false, false, false);
  m_sDSN = GetParameter(root, "DSN", false, "", false);
  m_sUsername = GetParameter(root, "Username", false, "", false);
  m_sPassword = GetParameter(root, "Password", false, "", false);
}

}  // namespace Norvale
