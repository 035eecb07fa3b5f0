// CDeliveryReportMatcher: finds the job a delivery report is about.
//
// A job sent with a report requested waits in status 9 (jsSentNotConfirmed)
// with the network's reference in MessageRef, and FindJobAwaitingConfirmation
// of the outgoing queue finds it by handset and reference. Some networks give
// references as texts; for them the job's own identifier goes into MessageRef
// and the engine's table SMSMessageRefs (created by `velquor db init`) maps
// the text to it:
//   SMSMessageRefs (MessageRef INTEGER PRIMARY KEY, Handset INTEGER,
//                   Reference TEXT)
// A row lives from the send until the report, or until the reference expires
// (CQueueMaintenance).
//
// Numbers may come round again: a modem's message reference has 8 bits. A
// job recorded with a number ends the wait of an older job of the same
// handset holding that number (its MessageRef is cleared, as at expiry), and
// a report goes to the newest job awaiting its number.
#pragma once

#include "queues/outgoing_queue.h"
#include "server/sms_driver.h"

namespace Norvale {

class CDeliveryReportMatcher : public CDatabaseQueryExecuter {
 public:
  CDeliveryReportMatcher(CDBConnectionDispensor* DBConnection, COutgoingQueue* pOutgoingQueue)
      : CDatabaseQueryExecuter(DBConnection), m_pOutgoingQueue(pOutgoingQueue) {}

  // The number to store in MessageRef for this reference; for a text
  // reference the mapping row is written first.
  OS::LONG RecordReference(OS::LONG nJobId, int nHandset, const CNetworkReference& Reference);
  // The job awaiting this report, or -1.
  OS::LONG FindJob(int nHandset, const CNetworkReference& Reference);
  // Drops the mapping row of a matched text reference.
  void Forget(OS::LONG nJobId, const CNetworkReference& Reference);

 private:
  COutgoingQueue* m_pOutgoingQueue;
};

}  // namespace Norvale
