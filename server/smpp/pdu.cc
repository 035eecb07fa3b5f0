#include "smpp/pdu.h"

#include <utility>

namespace Norvale::Smpp {

const char* CommandName(uint32_t nCommandId) {
  switch (static_cast<ECommandId>(nCommandId)) {
    case ECommandId::GenericNack: return "generic_nack";
    case ECommandId::BindReceiver: return "bind_receiver";
    case ECommandId::BindReceiverResp: return "bind_receiver_resp";
    case ECommandId::BindTransmitter: return "bind_transmitter";
    case ECommandId::BindTransmitterResp: return "bind_transmitter_resp";
    case ECommandId::SubmitSm: return "submit_sm";
    case ECommandId::SubmitSmResp: return "submit_sm_resp";
    case ECommandId::DeliverSm: return "deliver_sm";
    case ECommandId::DeliverSmResp: return "deliver_sm_resp";
    case ECommandId::Unbind: return "unbind";
    case ECommandId::UnbindResp: return "unbind_resp";
    case ECommandId::BindTransceiver: return "bind_transceiver";
    case ECommandId::BindTransceiverResp: return "bind_transceiver_resp";
    case ECommandId::EnquireLink: return "enquire_link";
    case ECommandId::EnquireLinkResp: return "enquire_link_resp";
  }
  return nullptr;
}

bool IsKnownCommand(uint32_t nCommandId) { return CommandName(nCommandId) != nullptr; }

Pdu EmptyResponse(uint32_t nResponseId, uint32_t nStatus, uint32_t nSequence) {
  PduBody body;
  switch (static_cast<ECommandId>(nResponseId)) {
    case ECommandId::SubmitSmResp:
    case ECommandId::DeliverSmResp: body = MessageIdBody{}; break;
    case ECommandId::BindTransmitterResp:
    case ECommandId::BindReceiverResp:
    case ECommandId::BindTransceiverResp: body = BindRespBody{}; break;
    default: break;
  }
  return Pdu{nResponseId, nStatus, nSequence, std::move(body)};
}

}  // namespace Norvale::Smpp
