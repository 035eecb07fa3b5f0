// COutgoingQueue: the table "SMSOutgoing", through which messages to send
// pass from the library to the engine. A sender inserts a pending row and
// follows its status; a consumer claims the oldest pending row for its
// handset with a conditional UPDATE (only the consumer whose UPDATE changes
// the row owns the job), sends it and records the outcome.
#pragma once

#include <string>

#include "norvale/enums.h"
#include "queues/job_queue.h"
#include "queues/message_endpoint.h"
#include "queues/send_options.h"

namespace Norvale {

class CConfigVelquorClientOnly;

class COutgoingQueue : public CJobQueue {
 public:
  COutgoingQueue(CConfigVelquorClientOnly* Config, CDBConnectionDispensor* DBConnection);

  OS::LONG InsertJob(const std::string& sPhoneNumber, JOBTYPE eJobType, const std::string& sData, Handsets eHandset,
                     const CMessageEndpoint& Source);
  // The same with the job's options in their own columns; without any, the
  // statement above.
  OS::LONG InsertJob(const std::string& sPhoneNumber, JOBTYPE eJobType, const std::string& sData, Handsets eHandset,
                     const CMessageEndpoint& Source, const CSendOptions& Options);
  bool GetJobA(OS::LONG& nJobId, std::string& sPhoneNumber, JOBTYPE& JobType, std::string& sData, OS::LONG& nRetryCount,
               Handsets ePriorityHandset, CMessageEndpoint& Source);
  void GetJobInfo(OS::LONG nJobId, std::string& sPhoneNumber, JOBTYPE& eJobType, std::string& sData, Handsets& eHandset,
                  CMessageEndpoint& Source);
  // A job whose row is gone counts as sent.
  EnumJobStatus GetJobStatus(const OS::LONG& nJobId);
  void JobUpdate(OS::LONG nJobId, EnumJobStatus JobStatus, Handsets eHandset, OS::LONG nMessageRef);
  // nNewRetryCount -1 keeps the stored count.
  void JobReturn(OS::LONG nJobId, EnumJobStatus JobStatus, OS::LONG nNewRetryCount);
  OS::LONG FindJobAwaitingConfirmation(Handsets Handset, OS::LONG nMessageRef);
  OS::LONG GetSize();
  void PurgeQueue();
};

}  // namespace Norvale
