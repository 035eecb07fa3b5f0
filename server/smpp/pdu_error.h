// What can be wrong with the octets of a received PDU, and how SMPP wants
// each fault answered.
//
//   BadCommandLength  command_length below 16, above the cap, or not the
//                     length of the octets given: generic_nack
//                     ESME_RINVCMDLEN
//   UnknownCommandId  a command_id this side does not serve: generic_nack
//                     ESME_RINVCMDID
//   Truncated         the mandatory fields run past command_length, i.e. the
//                     command_length is too short for the command:
//                     generic_nack ESME_RINVCMDLEN
//   InvalidField      a field breaks its rule (a C-octet string without its
//                     NUL within the maximum, sm_length above 254): a
//                     request is answered by its own response with the
//                     field's status (ESME_RINVMSGLEN, ESME_RINVSRCADR...)
//   BadTlv            an optional parameter runs past the end or a known
//                     one has the wrong length: the request's response with
//                     ESME_RINVOPTPARSTREAM or ESME_RINVPARLEN
//
// A response (bit 31 of command_id set) is never answered; its fault is
// only reported.
#pragma once

#include <cstdint>
#include <string>

namespace Norvale::Smpp {

enum class EDecodeError { Truncated, BadCommandLength, UnknownCommandId, InvalidField, BadTlv };

const char* DecodeErrorName(EDecodeError eKind);

struct DecodeError {
  EDecodeError eKind = EDecodeError::Truncated;
  std::string sDetail;       // names the field and the octet offset
  bool bHeaderRead = false;  // the four header fields below are valid
  uint32_t nCommandId = 0;
  uint32_t nCommandStatus{0};
  uint32_t nSequence = 0;
  uint32_t nAnswerStatus{0};  // command_status of the answer, see above

  // Whether SMPP answers this fault with generic_nack rather than with the
  // command's own response.
  bool AnswerWithGenericNack() const {
    return eKind == EDecodeError::BadCommandLength || eKind == EDecodeError::UnknownCommandId ||
           eKind == EDecodeError::Truncated;
  }
  std::string Describe() const;
};

}  // namespace Norvale::Smpp
