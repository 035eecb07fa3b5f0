// CNotificationQueue: the table "SMSNotifications", through which the engine
// reports what became of sent messages. A reader takes the oldest row of its
// source type (and handset, when it names one) and deletes it; the DELETE
// decides between concurrent readers, and a reader that lost a row looks for
// the next one. A row that cannot be read (a NULL MsgType or ErrorCode) stays,
// and the read fails with a text naming the table, the row's Id and the column.
#pragma once

#include <string>

#include "norvale/enums.h"
#include "queues/job_queue.h"
#include "queues/message_endpoint.h"

namespace Norvale {

class CConfigVelquorClientOnly;

class CNotificationQueue : public CJobQueue {
 public:
  CNotificationQueue(CConfigVelquorClientOnly* Config, CDBConnectionDispensor* DBConnection);

  void InsertJob(OS::LONG nJobId, NotificationTypes Type, const std::string& sPhoneNumber, JOBTYPE eJobType,
                 const std::string& sDataIn, Handsets eHandset, OS::LONG nErrorCode, std::string sTimeStamp,
                 EnumJobStatus eJobStatus, const CMessageEndpoint& Source);
  bool GetNotification(OS::LONG& nJobId, NotificationTypes& Type, std::string& sPhoneNumber, JOBTYPE& eJobType,
                       std::string& sData, Handsets& eHandsetNbr, OS::LONG& nErrorCode, std::string& sTimeStamp,
                       EnumJobStatus& eJobStatus, SourceTypes eRequiredSourceType, CMessageEndpoint& Source);
  void PurgeQueue();
};

}  // namespace Norvale
