// CIncomingQueue: the table "SMSIncoming", through which received messages
// pass from the engine to the library. A writer stores a row per message; a
// reader takes the oldest row for its handset and deletes it. The DELETE is
// the only arbitration: of all readers that read one row, only the one whose
// DELETE removes it returns it; the others look for the next row, so that "no
// message" means the queue had none.
#pragma once

#include <string>

#include "norvale/enums.h"
#include "queues/job_queue.h"
#include "queues/message_endpoint.h"

namespace Norvale {

class CConfigVelquorClientOnly;

class CIncomingQueue : public CJobQueue {
 public:
  CIncomingQueue(CConfigVelquorClientOnly* Config, CDBConnectionDispensor* DBConnection);

  OS::LONG StoreMessage(const std::string& sPhoneNumber, JOBTYPE eJobType, const std::string& sDataIn,
                        OS::LONG nHandsetNbr, std::string sTimeStamp, const CMessageEndpoint& Dest);
  // eHandsetNbr: the filter on entry (0 any), the row's handset on return.
  bool GetMessage(Handsets& eHandsetNbr, JOBTYPE& eJobType, std::string& sPhoneNumber, std::string& sData,
                  std::string& sTimeStamp, CMessageEndpoint& Dest);
  OS::LONG GetSize();
  void PurgeQueue();
};

}  // namespace Norvale
