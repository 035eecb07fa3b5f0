#include "server/drivers/driver_registry.h"

#include "errors/com_error_raise.h"
#include "server/drivers/modem/modem_driver.h"
#include "server/drivers/simulator/simulator_driver.h"
#include "server/drivers/smpp/smpp_driver.h"

namespace Norvale {

namespace {

template <typename Driver>
std::unique_ptr<CSMSDriver> Create(int nHandset, const CSettingValues& values) {
  return std::make_unique<Driver>(nHandset, values);
}

constexpr CDriverFactory kFactories[] = {
    {"simulator", Create<CSimulatorDriver>},
    {"smpp", Create<CSmppDriver>},
    {"modem", Create<CModemDriver>},
};

}  // namespace

std::span<const CDriverFactory> DriverFactories() { return kFactories; }

void CheckHandsetValues(const CDeclaredDriver& driver, int nHandset, const CSettingValues& values) {
  for (const auto& [name, text] : values)
    if (const std::string problem = HandsetValueProblem(driver, nHandset, name, text); !problem.empty())
      RAISE_COM_ERROR(OS::E_INVALIDARG, problem);
}

std::unique_ptr<CSMSDriver> CreateDriver(const CHandsetSettings& handset) {
  const CDeclaredDriver* declared = FindDeclaredDriver(handset.sDriver);
  for (const CDriverFactory& factory : kFactories)
    if (declared && handset.sDriver == factory.szName) {
      CheckHandsetValues(*declared, handset.nNumber, handset.Values);
      return factory.create(handset.nNumber, handset.Values);
    }
  RAISE_COM_ERROR(OS::E_INVALIDARG, HandsetKeyPath(handset.nNumber) + "\\Driver: unknown driver '" + handset.sDriver +
                                        "' (known: " + DeclaredDriverNames() + ")");
}

}  // namespace Norvale
