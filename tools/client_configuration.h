// The configuration as a client reads it, for the commands that act as a
// client and for `velquor check`.
#pragma once

#include <string>

#include "config/config_velquor_client_only.h"
#include "norvale/com.h"

namespace VelquorTool {

// Reads `config` as the library's client does: through the engine, or
// straight from the registry when the engine cannot be reached. Empty on
// success, otherwise why it failed.
std::string ReadAsClient(Norvale::CConfigVelquorClientOnly& config);

// Reads `config` as a client; on failure says why, points to `velquor check`,
// sets the failure exit code and returns false.
bool ReadClientConfiguration(Norvale::CConfigVelquorClientOnly& config, int& exitCode);

// Whether a read failed because the value does not exist, read directly or
// through the engine.
bool IsMissingValue(const Norvale::OS::_com_error& e);

// A failed read of the value `name`, in an administrator's words.
std::string ExplainReadFailure(const Norvale::OS::_com_error& e, const std::string& name);

}  // namespace VelquorTool
