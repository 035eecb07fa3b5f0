#include "server/drivers/modem/cms_error.h"

namespace Norvale {

namespace {

CSubmitResult Failed(ESubmitOutcome e, bool bTemporary, int nCode, const char* szWhat) {
  return CSubmitResult::Failed(e, bTemporary, nCode, "+CMS ERROR: " + std::to_string(nCode) + " (" + szWhat + ")");
}

}  // namespace

CSubmitResult SubmitFailureFromCms(int nCode) {
  using E = ESubmitOutcome;
  switch (nCode) {
    case 1: return Failed(E::InvalidNumber, false, nCode, "unassigned number");
    case 22: return Failed(E::InvalidNumber, false, nCode, "number changed");
    case 28: return Failed(E::InvalidNumber, false, nCode, "unidentified subscriber");
    case 30: return Failed(E::InvalidNumber, false, nCode, "unknown subscriber");
    case 0xC3: return Failed(E::InvalidNumber, false, nCode, "invalid destination address");
    case 8: return Failed(E::NetworkFailure, false, nCode, "operator determined barring");
    case 10: return Failed(E::NetworkFailure, false, nCode, "call barred");
    case 21: return Failed(E::NetworkFailure, false, nCode, "message transfer rejected");
    case 29: return Failed(E::NetworkFailure, false, nCode, "facility rejected");
    case 50: return Failed(E::NetworkFailure, false, nCode, "facility not subscribed");
    case 0xC1: return Failed(E::NetworkFailure, false, nCode, "no subscription with the SMS centre");
    case 0xC4: return Failed(E::NetworkFailure, false, nCode, "destination barred");
    case 0xC5: return Failed(E::NetworkFailure, false, nCode, "rejected as a duplicate");
    case 95:
    case 96:
    case 97:
    case 98:
    case 99:
    case 111:
    case 0x80:
    case 0x81:
    case 0x82:
    case 0x8F:
    case 0x90:
    case 0x91:
    case 0x9F:
    case 0xB0:
    case 0xC6:
    case 0xC7:
    case 304:
    case 305: return Failed(E::InvalidMessage, false, nCode, "the message was refused as malformed or unsupported");
    case 303: return Failed(E::DeviceError, false, nCode, "operation not supported by the modem");
    case 310: return Failed(E::DeviceError, true, nCode, "SIM not inserted");
    case 311:
    case 312:
    case 316:
    case 317:
    case 318: return Failed(E::DeviceError, true, nCode, "the SIM wants a PIN or PUK");
    case 313:
    case 315: return Failed(E::DeviceError, true, nCode, "SIM failure");
    case 314: return Failed(E::DeviceError, true, nCode, "SIM busy");
    case 330: return Failed(E::DeviceError, true, nCode, "SMS centre address unknown: set SmsCentre");
    case 331: return Failed(E::NetworkFailure, true, nCode, "no network service");
    case 332: return Failed(E::NetworkFailure, true, nCode, "network time-out");
    case 500: return Failed(E::DeviceError, true, nCode, "unknown error");
    default: break;
  }
  if (nCode >= 0 && nCode < 256) return Failed(E::NetworkFailure, true, nCode, "network or SMS centre failure");
  return Failed(E::DeviceError, true, nCode, "modem failure");
}

CSubmitResult SubmitFailureFromCme(int nCode) {
  const std::string text = "+CME ERROR: " + std::to_string(nCode);
  switch (nCode) {
    case 30:
    case 31:
    case 32:  // no network service, network time-out, emergency calls only
      return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, nCode, text + " (no network service)");
    default: return CSubmitResult::Failed(ESubmitOutcome::DeviceError, true, nCode, text + " (modem failure)");
  }
}

}  // namespace Norvale
