// The drivers the engine knows: each driver declared in
// config/handset_values.h, by the name in a handset's Driver value, paired
// with the function that builds it.
#pragma once

#include <memory>
#include <span>

#include "server/drivers/driver_settings.h"
#include "server/drivers/sms_driver.h"

namespace Norvale {

struct CDriverFactory {
  const char* szName;  // a declared driver's name
  std::unique_ptr<CSMSDriver> (*create)(int nHandset, const CSettingValues& values);
};

// One per declared driver (a test holds the two lists together).
std::span<const CDriverFactory> DriverFactories();

// Raises _com_error (E_INVALIDARG) naming the handset's key and the value
// when the key holds a value its driver does not declare, or a declared one
// that is malformed; the message lists the values the driver accepts.
void CheckHandsetValues(const CDeclaredDriver& driver, int nHandset, const CSettingValues& values);

// Checks the key's values, then builds the handset's driver. Raises
// _com_error (E_INVALIDARG) naming the value for an unknown driver, an
// unknown or malformed value, or a setting the driver refuses.
std::unique_ptr<CSMSDriver> CreateDriver(const CHandsetSettings& handset);

}  // namespace Norvale
