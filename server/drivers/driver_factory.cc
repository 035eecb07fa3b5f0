#include "server/drivers/driver_factory.h"

#include "errors/com_error_raise.h"
#include "server/drivers/modem/modem_driver.h"
#include "server/drivers/simulator/simulator_driver.h"
#include "server/drivers/smpp/smpp_driver.h"

namespace Norvale {

std::unique_ptr<CSMSDriver> CreateDriver(const CHandsetSettings& Handset) {
  if (Handset.sDriver == "simulator") return std::make_unique<CSimulatorDriver>(Handset.nNumber, Handset.Values);
  if (Handset.sDriver == "smpp") return std::make_unique<CSmppDriver>(Handset.nNumber, Handset.Values);
  if (Handset.sDriver == "modem") return std::make_unique<CModemDriver>(Handset.nNumber, Handset.Values);
  RAISE_COM_ERROR(OS::E_INVALIDARG, "SOFTWARE\\Norvale\\Velquor\\Handsets\\" + std::to_string(Handset.nNumber) +
                                        "\\Driver: unknown driver '" + Handset.sDriver +
                                        "' (known: simulator, smpp, modem)");
}

}  // namespace Norvale
