// Raised by every decoder of bytes from the network or a modem when they do
// not form what they claim: a length reaching beyond the end, a field with
// impossible contents, the wrong message type. The message names the field
// and the octet offset. Derives from std::invalid_argument, so callers that
// treat all bad input alike can catch that.
#pragma once

#include <stdexcept>

namespace Norvale::Sms {

class PduError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace Norvale::Sms
