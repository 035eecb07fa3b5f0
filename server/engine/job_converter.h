// CJobConverter: from a job of the outgoing queue to the messages that go to
// the network.
//
//   text (1)          UTF-8 text: GSM 7-bit default alphabet when every
//                     character fits (extension table included), else UCS-2;
//   Unicode hex (2)   four hexadecimal digits per UTF-16 code unit: UCS-2;
//   data (3)          "DCS=..;UDH=..;UD=.." or the user data alone, as the
//                     library packs it: sent with that DCS and header.
// Content longer than one message becomes concatenated parts with an 8-bit
// reference. The number is parsed here, once, by the rule of
// Sms::PhoneNumber; the drivers take the parsed value. A job that cannot be
// converted fails with the status that says why: 3 for a number that cannot
// be dialled, 8 for an unknown type or content that is not what its type
// says.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codec/phone_number.h"
#include "codec/sms_split.h"
#include "norvale/enums.h"
#include "queues/message_endpoint.h"

namespace Norvale {

struct CConvertedJob {
  bool bOk = false;
  EnumJobStatus eFailure = jsPending;  // when not ok
  std::string sError;
  std::optional<Sms::PhoneNumber> Number;  // when ok
  std::vector<Sms::UserDataPart> Parts;
};

class CJobConverter {
 public:
  static CConvertedJob Convert(const std::string& sPhoneNumber, JOBTYPE eType, const std::string& sData,
                               std::uint8_t nReference);
};

}  // namespace Norvale
