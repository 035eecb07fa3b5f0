// The exception through which the Velquor client library reports native
// failures of its own exception families (see Velquor). COM errors of the
// engine and of the database are not translated: they reach the caller as
// Norvale::_com_error (norvale/com.h).
#pragma once

#include <stdexcept>
#include <string>

#include "norvale/export.h"

namespace Norvale {

class NORVALE_API Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message);
  ~Exception() override;
};

}  // namespace Norvale
