#include "config/config_velquor.h"

namespace Norvale {
using namespace OS;

CConfigVelquor::CConfigVelquor(std::string* sErrorMessage) : CConfigVelquorProxyClientSupport(sErrorMessage) {}

void CConfigVelquor::ReadConfiguration() {
  CConfigReg::ReadConfiguration();
  try {
    OpenRootKeyWithBestPermisions(HKEY_LOCAL_MACHINE, kRootPath);
  } catch (...) {
    if (m_psErrorMessage) *m_psErrorMessage = "Could not open Velquor configuration";
    throw;
  }
}

HKEY CConfigVelquor::OpenHandsetKey(int nHandsetNbr) {
  if (GetProxyMode()) {
    return OpenRootKeyWithBestPermisions_RemoteProxy(
        HKEY_LOCAL_MACHINE, std::string(kRootPath) + "\\Handsets\\" + std::to_string(nHandsetNbr));
  }
  bool readOnly = false;  // writes are checked against the root key's flag only
  return RUOpenKeyWithBestPermisions(m_hRootKey, "Handsets\\" + std::to_string(nHandsetNbr), &readOnly, false);
}

std::string CConfigVelquor::GetHandsetParameter(int nHandsetNbr, const char* szName) {
  const HKEY key = OpenHandsetKey(nHandsetNbr);
  std::string value;
  try {
    value = GetParameter(key, szName, false, "", false);
  } catch (...) {
    CloseRegKey(key);
    throw;
  }
  CloseRegKey(key);
  return value;
}

std::string CConfigVelquor::SetHandsetParameter(int nHandsetNbr, const char* szName, const char* szValue) {
  const HKEY key = OpenHandsetKey(nHandsetNbr);
  try {
    SetParameter(key, szName, szValue);
  } catch (...) {
    CloseRegKey(key);
    throw;
  }
  CloseRegKey(key);
  return std::string();
}

}  // namespace Norvale
