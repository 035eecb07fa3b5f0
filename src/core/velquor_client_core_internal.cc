#include "core/velquor_client_core_internal.h"

#include "queues/job_queue.h"

namespace VelquorClientCoreInternal {

void SMSMessage::Initialise(const std::string& sPhoneNumberIn, const std::string& sData, std::int32_t lHandsetIn,
                            Norvale::MessageTypes eMessageTypeIn, const std::string& sTimeStampIn,
                            const CMessageEndpoint& DestIn) {
  sPhoneNumber = sPhoneNumberIn;
  lHandset = lHandsetIn;
  eMessageType = eMessageTypeIn;
  sTimeStamp = sTimeStampIn;
  Destination = DestIn;
  nDataCodingScheme = 0;
  sUserDataHeader.clear();
  // Only data messages carry the packed fields; splitting a plain text would
  // turn "Volume LOUD=3" into "3".
  if (eMessageType == Norvale::mtTextMessage || eMessageType == Norvale::mtUnicodeMessage) {
    sMessage = sData;
    return;
  }
  Norvale::OS::LONG dcs = 0;
  Norvale::CJobQueue::DecodeDataMessage(sData, sMessage, sUserDataHeader, dcs);
  nDataCodingScheme = dcs;
}

void SMSNotification::Initialise(Norvale::NotificationTypes eTypeIn, std::int32_t nJobIdIn, std::int32_t nErrorCodeIn,
                                 const SMSMessage& MessageIn, Norvale::EnumJobStatus eJobStatusIn,
                                 const CMessageEndpoint& SourceIn) {
  eType = eTypeIn;
  nJobId = nJobIdIn;
  nErrorCode = nErrorCodeIn;
  Message = MessageIn;
  eJobStatus = eJobStatusIn;
  Source = SourceIn;
}

}  // namespace VelquorClientCoreInternal
