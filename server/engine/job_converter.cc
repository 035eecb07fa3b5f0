#include "server/engine/job_converter.h"

#include <stdexcept>

#include "codec/hex.h"
#include "queues/job_queue.h"

namespace Norvale {
using namespace OS;

namespace {

// The queue stores an empty text as one blank; hexadecimal content never
// holds blanks, so surrounding ones are not part of it.
std::string WithoutBlanks(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

CConvertedJob Failed(EnumJobStatus eStatus, std::string sError) {
  CConvertedJob job;
  job.eFailure = eStatus;
  job.sError = std::move(sError);
  return job;
}

}  // namespace

CConvertedJob CJobConverter::Convert(const std::string& sPhoneNumber, JOBTYPE eType, const std::string& sData,
                                     std::uint8_t nReference) {
  Sms::PhoneNumberParse parsed = Sms::PhoneNumber::Parse(sPhoneNumber);
  if (!parsed) return Failed(jsErrNumberInvalid, "Invalid " + parsed.Explain(sPhoneNumber));
  CConvertedJob job;
  job.Number = std::move(parsed.number);
  try {
    switch (eType) {
      case jtTextMessage: job.Parts = Sms::SplitText(sData == " " ? std::string() : sData, nReference); break;
      case jtUnicodeMessage: job.Parts = Sms::SplitUcs2Hex(WithoutBlanks(sData), nReference); break;
      case jtDataMessage: {
        std::string ud, udh;
        LONG dcs = 0;
        CJobQueue::DecodeDataMessage(sData, ud, udh, dcs);
        if (dcs < 0 || dcs > 255)
          return Failed(jsInvalidJobType, "Data coding scheme " + std::to_string(dcs) + " is not an octet");
        const auto udhOctets = Sms::FromHex(WithoutBlanks(udh));
        const auto udOctets = Sms::FromHex(WithoutBlanks(ud));
        job.Parts = Sms::SplitData(static_cast<std::uint8_t>(dcs), udhOctets, udOctets, nReference);
        break;
      }
      default: return Failed(jsInvalidJobType, "Unknown job type " + std::to_string(static_cast<int>(eType)));
    }
  } catch (const std::invalid_argument& e) {
    return Failed(jsInvalidJobType, std::string("Invalid message content: ") + e.what());
  } catch (const std::exception& e) {
    return Failed(jsInvalidJobType, std::string("Message cannot be converted: ") + e.what());
  }
  job.bOk = true;
  return job;
}

}  // namespace Norvale
