#include "smpp/session_event.h"

namespace Norvale::Smpp {

const char* BindModeName(EBindMode eMode) {
  switch (eMode) {
    case EBindMode::Transceiver: return "transceiver";
    case EBindMode::Transmitter: return "transmitter";
    case EBindMode::Receiver: return "receiver";
  }
  return "?";
}

const char* SubmitFailReasonName(ESubmitFailReason eReason) {
  switch (eReason) {
    case ESubmitFailReason::Refused: return "refused";
    case ESubmitFailReason::GenericNack: return "generic_nack";
    case ESubmitFailReason::ResponseTimeout: return "no response in time";
    case ESubmitFailReason::ConnectionClosed: return "connection closed before the response";
  }
  return "?";
}

const char* CloseReasonName(ECloseReason eReason) {
  switch (eReason) {
    case ECloseReason::Stopped: return "stopped";
    case ECloseReason::BindFailed: return "bind failed";
    case ECloseReason::PeerUnbound: return "unbound by the SMSC";
    case ECloseReason::LinkDead: return "enquire_link unanswered";
    case ECloseReason::StreamBroken: return "PDU stream broken";
    case ECloseReason::ConnectionLost: return "connection lost";
  }
  return "?";
}

}  // namespace Norvale::Smpp
