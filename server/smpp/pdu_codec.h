// PDU records <-> octets (layouts in pdu.h).
//
// DecodePdu takes the octets of exactly one PDU as the framer cut them from
// the stream: untrusted, checked field by field, never read past their end.
// What follows the mandatory fields of any command is read as TLVs; the
// ones the gateway knows are checked for their length, others are skipped.
// A response with a non-zero command_status may come without a body (SMPP
// 3.4 leaves it out); so may a deliver_sm_resp.
//
// EncodePdu appends a PDU to a buffer. The body must be the one the
// command carries (BindBody for bind_*, BindRespBody for bind_*_resp,
// ShortMessageBody for submit_sm/deliver_sm, MessageIdBody for
// submit_sm_resp/deliver_sm_resp, nothing for the rest); a wrong body or a
// field over its limit is std::invalid_argument, and the buffer is left as
// it was.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "smpp/pdu.h"
#include "smpp/pdu_error.h"

namespace Norvale::Smpp {

using DecodeResult = std::variant<Pdu, DecodeError>;

DecodeResult DecodePdu(std::span<const uint8_t> Octets);

void EncodePdu(const Pdu& Message, std::vector<uint8_t>& Out);
std::vector<uint8_t> EncodePdu(const Pdu& Message);

}  // namespace Norvale::Smpp
