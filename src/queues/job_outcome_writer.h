// CJobOutcomeWriter: the engine writes what became of its jobs (a
// submission's outcome, a delivery report's) a batch at a time: each job's
// row in SMSOutgoing, its reference for matching the delivery report, and
// the notification its sender reads, all in one transaction on either
// backend. A crash or a failure never leaves a status without its
// notification, and a batch written again after a lost answer to its COMMIT
// writes nothing twice: each row is written only while it is still as the
// outcome expects it (the submitting handset's tag while in processing, the
// reference while a report is awaited), and a notification only with its row.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "queues/engine_outgoing_queue.h"
#include "queues/notification_queue.h"

namespace Norvale {

struct CJobOutcome {
  OS::LONG nJobId = 0;
  // The row as it must still be for the outcome to be written.
  EnumJobStatus eExpectedStatus = jsProcessing;
  OS::LONG nExpectedMessageRef = 0;
  // What the row becomes.
  EnumJobStatus eStatus = jsSent;
  Handsets eHandset = hsAll;
  OS::LONG nMessageRef = 0;
  // The network's reference, for matching the delivery report. A text is
  // mapped to the job in SMSMessageRefs (nMessageRef is then the job's Id);
  // a number (nMessageRef) ends the wait of the handset's other jobs for it.
  std::optional<std::string> textReference;
  bool bNumericReference = false;
  // A report's outcome: the job's text mapping is dropped.
  bool bDropMapping = false;
  // The notification written with the row (its job, type, texts, status).
  CNotificationRecord notification;
};

class CJobOutcomeWriter {
 public:
  explicit CJobOutcomeWriter(CDBConnectionDispensor* pConnections)
      : m_Outgoing(pConnections), m_Notifications(nullptr, pConnections), m_pConnections(pConnections) {}

  // Writes the batch in one transaction and returns, for each outcome in
  // order, whether its row was written (false: the job had moved on, or is
  // gone, and nothing of it was written). Raises _com_error on failure;
  // nothing of the batch is then written and the caller may repeat it.
  std::vector<bool> Write(const std::vector<CJobOutcome>& outcomes);

 private:
  CEngineOutgoingQueue m_Outgoing;
  CNotificationQueue m_Notifications;
  CDBConnectionDispensor* m_pConnections;
};

}  // namespace Norvale
