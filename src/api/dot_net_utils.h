// CDotNetUtils: the conversion of the public strings into the native narrow
// text behind the facades. Public strings are UTF-8 and so is the narrow text
// of this platform, so the text passes unchanged.
#pragma once

#include <string>

namespace Norvale {

class CDotNetUtils {
 public:
  static std::string ConvertStringDNtoSTL(const std::string& StringIn) {
    if (StringIn.empty()) return std::string();
    return StringIn;
  }
};

}  // namespace Norvale
