// CConfigVelquor: the product's configuration key, HKEY_LOCAL_MACHINE
// "SOFTWARE\Norvale\Velquor", and its per-handset sub-keys "Handsets\<n>".
// In proxy mode handset keys are proxy handles and handset writes fail.
#pragma once

#include <string>

#include "config/config_velquor_proxy_client_support.h"

namespace Norvale {

class CConfigVelquor : public CConfigVelquorProxyClientSupport {
 public:
  explicit CConfigVelquor(std::string* sErrorMessage);

  // Opens the root key; on failure the caller's error-message string
  // receives "Could not open Velquor configuration" and the error goes on.
  void ReadConfiguration() override;
  std::string GetHandsetParameter(int nHandsetNbr, const char* szName);
  std::string SetHandsetParameter(int nHandsetNbr, const char* szName, const char* szValue);
  OS::HKEY OpenHandsetKey(int nHandsetNbr);
};

}  // namespace Norvale
