// The internal records of received messages and notifications, as the queue
// adaptors fill them; the facades turn them into the public records.
#pragma once

#include <cstdint>
#include <string>

#include "norvale/enums.h"
#include "queues/message_endpoint.h"

namespace VelquorClientCoreInternal {

using Norvale::CMessageEndpoint;

struct SMSMessage {
  std::string sPhoneNumber;
  std::string sMessage;
  std::int32_t lHandset = 0;
  std::string sUserDataHeader;
  Norvale::MessageTypes eMessageType = Norvale::mtUnknown;
  std::int32_t nDataCodingScheme = 0;
  std::string sTimeStamp;
  CMessageEndpoint Destination;

  // Fills the record. A data message (and any type but text and Unicode) is
  // split into user data, header and scheme; a text or Unicode message keeps
  // its whole text, an empty header and scheme 0.
  void Initialise(const std::string& sPhoneNumber, const std::string& sData, std::int32_t lHandset,
                  Norvale::MessageTypes eMessageType, const std::string& sTimeStamp, const CMessageEndpoint& DestIn);
};

struct SMSNotification {
  Norvale::NotificationTypes eType = static_cast<Norvale::NotificationTypes>(-1);
  std::int32_t nJobId = 0;
  std::int32_t nErrorCode = 0;
  SMSMessage Message;
  Norvale::EnumJobStatus eJobStatus = Norvale::jsPending;
  CMessageEndpoint Source;

  void Initialise(Norvale::NotificationTypes eType, std::int32_t nJobId, std::int32_t nErrorCode,
                  const SMSMessage& MessageIn, Norvale::EnumJobStatus eJobStatusIn, const CMessageEndpoint& SourceIn);
};

}  // namespace VelquorClientCoreInternal
