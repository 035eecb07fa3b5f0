// CConfigVelquorProxyClientSupport: the registry store with proxy mode.
//
// In proxy mode key handles are proxy handles (sections of
// CConfigVelquorProxyCommon), reads go to the engine's IVelquorCore one value
// at a time, and writes, deletes, existence tests and sub-key listings are
// refused. When the engine cannot be reached during a read, the read logs a
// warning and raises CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess;
// ReadConfigurationWithFailOverToDirectAccess then reads everything again
// with direct registry access. In direct mode every operation is that of
// CConfigReg.
#pragma once

#include <exception>
#include <string>

#include "config/config_reg.h"
#include "engine/engine_interfaces.h"
#include "platform/com_ptr.h"

namespace Norvale {

class CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess : public std::exception {
 public:
  explicit CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess(std::string sDescription)
      : m_sDescription(std::move(sDescription)) {}
  const char* what() const noexcept override { return m_sDescription.c_str(); }
  virtual std::string GetDescription() const { return m_sDescription; }

 private:
  std::string m_sDescription;
};

class CConfigVelquorProxyClientSupport : public CConfigReg {
 public:
  explicit CConfigVelquorProxyClientSupport(std::string* sErrorMessage);
  ~CConfigVelquorProxyClientSupport() override;

  std::string GetParameter(OS::HKEY hKey, const char* szName, bool bSuppressErrors, const std::string& sDefaultValue,
                           bool bLogError) override;
  std::string GetParameter(const char* szName, bool bSuppressErrors, const std::string& sDefaultValue,
                           bool bLogError) override;
  void SetParameter(OS::HKEY hKey, const char* szName, const char* szValue) override;
  void SetParameter(const char* szName, const char* szValue) override;
  void DeleteParameter(OS::HKEY hKey, const char* szName, bool bSuppressErrors) override;
  bool ParameterExists(OS::HKEY hKey, const char* szName) override;
  void GetListOfSubKeys(OS::HKEY hKey, std::vector<std::string>& List) override;
  void OpenRootKeyWithBestPermisions(OS::HKEY hParent, const std::string& sSubKey) override;
  void CloseRootKey() override;
  void CloseRegKey(OS::HKEY hKey) override;

  bool GetProxyMode() const { return m_bProxyMode; }
  void SetProxyMode(bool bProxyMode);
  void ReadConfigurationWithFailOverToDirectAccess();
  OS::HKEY OpenRootKeyWithBestPermisions_RemoteProxy(OS::HKEY hParent, const std::string& sSubKey);
  std::string GetRelativePath(const std::string& sFullKeyPath);
  OS::_com_ptr_t<VELQUORCORESERVICESLib::IVelquorCore> GetServer();

  static constexpr const char* kRootPath = "SOFTWARE\\Norvale\\Velquor";

 private:
  bool m_bProxyMode = false;
  OS::_com_ptr_t<VELQUORCORESERVICESLib::IVelquorCore> m_pServer;
};

}  // namespace Norvale
