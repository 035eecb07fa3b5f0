// The drivers the engine knows, by the name in a handset's Driver value.
#pragma once

#include <memory>

#include "server/drivers/driver_settings.h"
#include "server/drivers/sms_driver.h"

namespace Norvale {

// Raises _com_error (E_INVALIDARG) naming the value for an unknown driver or
// a malformed driver setting.
std::unique_ptr<CSMSDriver> CreateDriver(const CHandsetSettings& Handset);

}  // namespace Norvale
