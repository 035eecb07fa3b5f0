#include "client_configuration.h"

#include <iostream>

#include "commands.h"
#include "known_values.h"
#include "platform/registry.h"

namespace VelquorTool {

using namespace Norvale;
using namespace Norvale::OS;

std::string ReadAsClient(CConfigVelquorClientOnly& config) {
  try {
    config.SetProxyMode(true);
    config.ReadConfigurationWithFailOverToDirectAccess();
    return std::string();
  } catch (const _com_error& e) {
    const std::string d = e.DescriptionA();
    return d.empty() ? e.ErrorMessage() : d;
  } catch (const std::exception& e) {
    return e.what();
  }
}

bool ReadClientConfiguration(CConfigVelquorClientOnly& config, int& exitCode) {
  const std::string error = ReadAsClient(config);
  if (error.empty()) return true;
  std::cerr << "velquor: cannot read the configuration: " << error << "\n"
            << "velquor: 'velquor check' shows what is missing and what to do\n";
  exitCode = kExitFailure;
  return false;
}

bool IsMissingValue(const _com_error& e) {
  return e.Error() == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
         e.DescriptionA().rfind("Reg value did not exist", 0) == 0;  // as the engine reports it
}

std::string ExplainReadFailure(const _com_error& e, const std::string& name) {
  const HRESULT hr = e.Error();
  const std::string d = e.DescriptionA();
  if (IsMissingValue(e)) return "no value " + name + " in the configuration";
  if (hr == HRESULT_FROM_WIN32(ERROR_MORE_DATA))
    return name + " is longer than the " + std::to_string(kMaxValueBytes) + " bytes the library reads";
  if (hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
    return "no rights to read " + name + " in " + RegistryRootDirectory();
  return d.empty() ? e.ErrorMessage() : d;
}

}  // namespace VelquorTool
