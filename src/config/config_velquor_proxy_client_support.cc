#include "config/config_velquor_proxy_client_support.h"

#include "config/config_velquor_proxy_common.h"
#include "engine/engine_marshal.h"
#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"

namespace Norvale {
using namespace OS;
using VELQUORCORESERVICESLib::IVelquorCore;

CConfigVelquorProxyClientSupport::CConfigVelquorProxyClientSupport(std::string* sErrorMessage)
    : CConfigReg(sErrorMessage) {}

CConfigVelquorProxyClientSupport::~CConfigVelquorProxyClientSupport() {
  m_pServer = nullptr;
  if (m_bProxyMode) m_hRootKey = nullptr;  // a proxy handle: nothing to close in the registry
}

std::string CConfigVelquorProxyClientSupport::GetParameter(HKEY hKey, const char* szName, bool bSuppressErrors,
                                                           const std::string& sDefaultValue, bool bLogError) {
  if (!m_bProxyMode) return CConfigReg::GetParameter(hKey, szName, bSuppressErrors, sDefaultValue, bLogError);
  std::string result;
  HKEY parent = nullptr;
  std::string path;
  CConfigVelquorProxyCommon::GetKeyPathForSection(CConfigVelquorProxyCommon::ToSection(hKey), &parent, &path);
  if (parent != HKEY_LOCAL_MACHINE) RAISE_COM_ERROR(E_FAIL, "hRootParentHkey invalid");
  bool exists = false;
  bool reached = false;
  try {
    auto server = GetServer();
    _bstr_t value;
    exists = server->GetConfigurationParameter(_bstr_t(path), _bstr_t(szName), value.GetAddress()) != 0;
    result = value.narrow();
    reached = true;
  } catch (...) {
  }
  if (!reached) {
    CEventLogger::LogEvent(EVENTLOG_WARNING_TYPE,
                           "VelquorClient: Could not access VelquorServer for registry proxying - Will fall back to "
                           "direct registry access, the host process may need to be launched with 'Run As "
                           "Administrator'",
                           "VelquorServer", EVENT_CONFIGURATION);
    throw CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess(
        "CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess Exception raised as could not access VelquorServer");
  }
  if (exists) return result;
  if (bLogError)
    CEventLogger::LogEvent(EVENTLOG_ERROR_TYPE, std::string("Could not find reg value: ") + szName, "VelquorServer",
                           EVENT_CONFIGURATION);
  if (!bSuppressErrors) RAISE_COM_ERROR(E_FAIL, std::string("Reg value did not exist ") + szName + " string value");
  return sDefaultValue;
}

std::string CConfigVelquorProxyClientSupport::GetParameter(const char* szName, bool bSuppressErrors,
                                                           const std::string& sDefaultValue, bool bLogError) {
  return CConfigReg::GetParameter(szName, bSuppressErrors, sDefaultValue, bLogError);
}

void CConfigVelquorProxyClientSupport::SetParameter(HKEY hKey, const char* szName, const char* szValue) {
  if (!m_bProxyMode) return CConfigReg::SetParameter(hKey, szName, szValue);
  HKEY parent;
  std::string path;
  CConfigVelquorProxyCommon::GetKeyPathForSection(CConfigVelquorProxyCommon::ToSection(hKey), &parent, &path);
  if (m_bReadOnly) RAISE_COM_ERROR(E_FAIL, "Insufficent rights to write to the registry");
  RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyClientSupport::SetParameter: Proxy mode not implmented");
}

void CConfigVelquorProxyClientSupport::SetParameter(const char* szName, const char* szValue) {
  CConfigReg::SetParameter(szName, szValue);
}

void CConfigVelquorProxyClientSupport::DeleteParameter(HKEY hKey, const char* szName, bool bSuppressErrors) {
  if (!m_bProxyMode) return CConfigReg::DeleteParameter(hKey, szName, bSuppressErrors);
  HKEY parent;
  std::string path;
  CConfigVelquorProxyCommon::GetKeyPathForSection(CConfigVelquorProxyCommon::ToSection(hKey), &parent, &path);
  if (m_bReadOnly) RAISE_COM_ERROR(E_FAIL, "Insufficent rights to delete registry value");
  RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyClientSupport::DeleteParameter: Proxy mode not implmented");
}

bool CConfigVelquorProxyClientSupport::ParameterExists(HKEY hKey, const char* szName) {
  if (!m_bProxyMode) return CConfigReg::ParameterExists(hKey, szName);
  HKEY parent;
  std::string path;
  CConfigVelquorProxyCommon::GetKeyPathForSection(CConfigVelquorProxyCommon::ToSection(hKey), &parent, &path);
  RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyClientSupport::ParameterExists: Proxy mode not implmented");
}

void CConfigVelquorProxyClientSupport::GetListOfSubKeys(HKEY hKey, std::vector<std::string>& List) {
  if (!m_bProxyMode) return CConfigReg::GetListOfSubKeys(hKey, List);
  HKEY parent;
  std::string path;
  CConfigVelquorProxyCommon::GetKeyPathForSection(CConfigVelquorProxyCommon::ToSection(hKey), &parent, &path);
  RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyClientSupport::GetListOfSubKeys: Proxy mode not implmented");
}

void CConfigVelquorProxyClientSupport::OpenRootKeyWithBestPermisions(HKEY hParent, const std::string& sSubKey) {
  if (!m_bProxyMode) return CConfigReg::OpenRootKeyWithBestPermisions(hParent, sSubKey);
  m_hRootKey = OpenRootKeyWithBestPermisions_RemoteProxy(hParent, sSubKey);
}

void CConfigVelquorProxyClientSupport::CloseRootKey() {
  if (!m_bProxyMode) return CConfigReg::CloseRootKey();
  if (m_hRootKey != nullptr) {
    CConfigVelquorProxyCommon::ValidityCheckProxyHKEY(m_hRootKey);
    m_hRootKey = nullptr;
  }
}

void CConfigVelquorProxyClientSupport::CloseRegKey(HKEY hKey) {
  if (!m_bProxyMode) return CConfigReg::CloseRegKey(hKey);
  CConfigVelquorProxyCommon::ValidityCheckProxyHKEY(hKey);
}

void CConfigVelquorProxyClientSupport::SetProxyMode(bool bProxyMode) {
  if (m_hRootKey != nullptr && bProxyMode != m_bProxyMode)
    RAISE_COM_ERROR(E_FAIL,
                    "CConfigVelquorProxyClientSupport::SetProxyModes: Not safe to switch ProxyMode when key is open");
  m_bProxyMode = bProxyMode;
}

void CConfigVelquorProxyClientSupport::ReadConfigurationWithFailOverToDirectAccess() {
  if (!m_bProxyMode) return ReadConfiguration();
  try {
    ReadConfiguration();
    return;
  } catch (const CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess&) {
  }
  CEventLogger::LogEvent(EVENTLOG_WARNING_TYPE,
                         "CConfigVelquorProxyClientSupport::ReadConfigurationWithFailOverToDirectAccess - Retry "
                         "ReadConfig with ProxyMode disabled",
                         "VelquorServer", EVENT_CONFIGURATION);
  CloseRootKey();
  SetProxyMode(false);
  ReadConfiguration();
}

HKEY CConfigVelquorProxyClientSupport::OpenRootKeyWithBestPermisions_RemoteProxy(HKEY hParent,
                                                                                 const std::string& sSubKey) {
  if (hParent != HKEY_LOCAL_MACHINE)
    RAISE_COM_ERROR(E_FAIL,
                    "CConfigVelquorProxyClientSupport::OpenRootKeyWithBestPermisions_RemoteProxy - hParent invalid");
  const std::string relative = GetRelativePath(sSubKey);
  return CConfigVelquorProxyCommon::ToHandle(CConfigVelquorProxyCommon::GetSectionForKeyPath(hParent, relative));
}

std::string CConfigVelquorProxyClientSupport::GetRelativePath(const std::string& sFullKeyPath) {
  const std::string root = kRootPath;
  if (sFullKeyPath.substr(0, root.size()) != root)
    RAISE_COM_ERROR(E_FAIL,
                    "CConfigVelquorProxyClientSupport::OpenRootKeyWithBestPermisions_RemoteProxy - sSubKey does not "
                    "start wih root path");
  return sFullKeyPath.size() > root.size() ? sFullKeyPath.substr(root.size()) : std::string();
}

_com_ptr_t<IVelquorCore> CConfigVelquorProxyClientSupport::GetServer() {
  if (!m_pServer) {
    InstallEngineActivation();
    const HRESULT hr = m_pServer.CreateInstance(
        IVelquorCore::kCLSID, nullptr,
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER);
    if (FAILED(hr)) {
      m_pServer = nullptr;
      RAISE_COM_ERROR(E_FAIL, "CConfigVelquorProxyClientSupport::GetServer: Could not connect to Velquor service");
    }
  }
  return m_pServer;
}

}  // namespace Norvale
