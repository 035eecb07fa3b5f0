#include "smpp/pdu_error.h"

#include <cstdio>

#include "smpp/command_status.h"
#include "smpp/pdu.h"

namespace Norvale::Smpp {

const char* DecodeErrorName(EDecodeError eKind) {
  switch (eKind) {
    case EDecodeError::Truncated: return "truncated";
    case EDecodeError::BadCommandLength: return "bad command_length";
    case EDecodeError::UnknownCommandId: return "unknown command_id";
    case EDecodeError::InvalidField: return "invalid field";
    case EDecodeError::BadTlv: return "bad TLV";
  }
  return "?";
}

std::string DecodeError::Describe() const {
  std::string s = std::string(DecodeErrorName(eKind)) + ": " + sDetail;
  if (bHeaderRead) {
    char sHeader[96];
    const char* sName = CommandName(nCommandId);
    std::snprintf(sHeader, sizeof sHeader, " (command_id 0x%08X%s%s, sequence %u)", nCommandId, sName ? " " : "",
                  sName ? sName : "", nSequence);
    s += sHeader;
  }
  return s;
}

}  // namespace Norvale::Smpp
