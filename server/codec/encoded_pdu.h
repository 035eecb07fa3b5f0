// A PDU as the encoders return it: the SMS-centre prefix followed by the
// TPDU, which is what AT+CMGS=<length> in PDU mode takes (as hex) after its
// prompt. The length given to AT+CMGS counts the TPDU only, not the prefix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/hex.h"

namespace Norvale::Sms {

struct EncodedPdu {
  std::vector<uint8_t> Octets;  // SMSC prefix and TPDU
  size_t nTpduLength = 0;       // for AT+CMGS=<length>
  std::string Hex() const { return ToHex(Octets); }
};

}  // namespace Norvale::Sms
