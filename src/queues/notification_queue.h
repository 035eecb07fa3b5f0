// CNotificationQueue: the table "SMSNotifications", through which the engine
// reports what became of sent messages. A reader takes the oldest row of its
// source type (and handset, when it names one) and deletes it; the DELETE
// decides between concurrent readers, and a reader that lost a row looks for
// the next one. A row that cannot be read (a NULL MsgType or ErrorCode) stays,
// and the read fails with a text naming the table, the row's Id and the column.
#pragma once

#include <optional>
#include <string>

#include "norvale/enums.h"
#include "queues/job_queue.h"
#include "queues/message_endpoint.h"

namespace Norvale {

class CConfigVelquorClientOnly;

// A notification as a reader takes it.
struct CNotificationRecord {
  OS::LONG nJobId = -1;  // the job it is about (OriginalId)
  NotificationTypes eType = ntDeliveryReport;
  std::string sPhoneNumber;
  JOBTYPE eJobType = static_cast<JOBTYPE>(0);
  std::string sData;
  Handsets eHandset = hsAll;
  OS::LONG nErrorCode = 0;
  std::string sTimeStamp;
  EnumJobStatus eJobStatus = jsPending;
  CMessageEndpoint Source;
  // The job's client reference (SMSOutgoing.ClientRef), written to the
  // notification's ClientRef by the engine; "" none.
  std::string sClientRef;
};

class CNotificationQueue : public CJobQueue {
 public:
  CNotificationQueue(CConfigVelquorClientOnly* Config, CDBConnectionDispensor* DBConnection);

  void InsertJob(OS::LONG nJobId, NotificationTypes Type, const std::string& sPhoneNumber, JOBTYPE eJobType,
                 const std::string& sDataIn, Handsets eHandset, OS::LONG nErrorCode, std::string sTimeStamp,
                 EnumJobStatus eJobStatus, const CMessageEndpoint& Source);
  bool GetNotification(OS::LONG& nJobId, NotificationTypes& Type, std::string& sPhoneNumber, JOBTYPE& eJobType,
                       std::string& sData, Handsets& eHandsetNbr, OS::LONG& nErrorCode, std::string& sTimeStamp,
                       EnumJobStatus& eJobStatus, SourceTypes eRequiredSourceType, CMessageEndpoint& Source);
  // Takes the oldest notification of the source type, for the handset or,
  // with hsAll, any; none when the queue holds none for this reader.
  std::optional<CNotificationRecord> TakeNotification(Handsets eHandset, SourceTypes eSourceType);
  void PurgeQueue();
};

}  // namespace Norvale
