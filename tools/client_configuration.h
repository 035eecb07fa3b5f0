// The configuration as a client reads it.
#pragma once

#include <string>

#include "norvale/com.h"

namespace VelquorTool {

// A failed read of the value `name`, in an administrator's words.
std::string ExplainReadFailure(const Norvale::OS::_com_error& e, const std::string& name);

}  // namespace VelquorTool
