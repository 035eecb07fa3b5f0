#include "server/drivers/driver_registry.h"

#include "errors/com_error_raise.h"
#include "server/drivers/modem/modem_driver.h"
#include "server/drivers/simulator/simulator_driver.h"
#include "server/drivers/smpp/smpp_driver.h"

namespace Norvale {

namespace {

template <typename Driver>
std::unique_ptr<CSMSDriver> Create(int nHandset, const CSettingValues& Values) {
  return std::make_unique<Driver>(nHandset, Values);
}

constexpr CDriverFactory kFactories[] = {
    {"simulator", Create<CSimulatorDriver>},
    {"smpp", Create<CSmppDriver>},
    {"modem", Create<CModemDriver>},
};

}  // namespace

std::span<const CDriverFactory> DriverFactories() { return kFactories; }

void CheckHandsetValues(const CDeclaredDriver& Driver, int nHandset, const CSettingValues& Values) {
  for (const auto& [name, text] : Values)
    if (const std::string problem = HandsetValueProblem(Driver, nHandset, name, text); !problem.empty())
      RAISE_COM_ERROR(OS::E_INVALIDARG, problem);
}

std::unique_ptr<CSMSDriver> CreateDriver(const CHandsetSettings& Handset) {
  const CDeclaredDriver* declared = FindDeclaredDriver(Handset.sDriver);
  for (const CDriverFactory& factory : kFactories)
    if (declared && Handset.sDriver == factory.szName) {
      CheckHandsetValues(*declared, Handset.nNumber, Handset.Values);
      return factory.Create(Handset.nNumber, Handset.Values);
    }
  RAISE_COM_ERROR(OS::E_INVALIDARG, HandsetKeyPath(Handset.nNumber) + "\\Driver: unknown driver '" + Handset.sDriver +
                                        "' (known: " + DeclaredDriverNames() + ")");
}

}  // namespace Norvale
