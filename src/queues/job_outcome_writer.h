// CJobOutcomeWriter: the engine writes what became of its jobs (a
// submission's outcome, a delivery report's) a batch at a time: each job's
// row in SMSOutgoing, its reference for matching the delivery report, and
// the notification its sender reads, all in one transaction on either
// backend. A crash or a failure never leaves a status without its
// notification, and a batch written again after a lost answer to its COMMIT
// writes nothing twice: each row is written only while it is still as the
// outcome expects it (the submitting handset's tag while in processing, the
// reference while a report is awaited), and a notification only with its row.
//
// Cost: on PostgreSQL a batch is a fixed number of statements whatever its
// size (the rows, each kind of reference and the notifications each one
// statement over arrays of the batch's values; a batch whose outcomes would
// depend on one another's order, e.g. one job twice, goes one by one). The
// notifications take their identifiers in one step, above the largest, under
// a transaction-level advisory lock that engines writing at once take in
// turn; should a writer that takes no lock take an identifier first, the batch
// goes again (up to ten times). The history's events of the batch are one
// more statement. On SQLite the batch runs in one BEGIN IMMEDIATE
// transaction of prepared statements.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "queues/engine_outgoing_queue.h"
#include "queues/message_history.h"
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
  // The parts the job went out in (its history; 0 where not known).
  int nParts = 0;
};

class CJobOutcomeWriter {
 public:
  // With nHistoryEngineId, each outcome written also gets its events in the
  // message history (CMessageHistory), in the batch's transaction: what
  // became of the job, and the notification.
  explicit CJobOutcomeWriter(CDBConnectionDispensor* pConnections,
                             std::optional<std::int64_t> nHistoryEngineId = std::nullopt)
      : m_Outgoing(pConnections),
        m_Notifications(nullptr, pConnections),
        m_History(pConnections),
        m_pConnections(pConnections),
        m_nHistoryEngineId(nHistoryEngineId) {}

  void SetHistory(std::optional<std::int64_t> nHistoryEngineId) { m_nHistoryEngineId = nHistoryEngineId; }

  // Writes the batch in one transaction and returns, for each outcome in
  // order, whether its row was written (false: the job had moved on, or is
  // gone, and nothing of it was written). Raises _com_error on failure;
  // nothing of the batch is then written and the caller may repeat it.
  std::vector<bool> Write(const std::vector<CJobOutcome>& outcomes);

 private:
  std::vector<bool> WriteOnce(const std::vector<CJobOutcome>& outcomes, bool bPostgres);
  // The rows and their references; whether each row was written.
  std::vector<bool> WriteRowsOneByOne(const std::vector<CJobOutcome>& outcomes);
  std::vector<bool> WriteRowsTogether(const std::vector<CJobOutcome>& outcomes);
  void InsertNotifications(const std::vector<CJobOutcome>& outcomes, const std::vector<bool>& written, bool bPostgres);
  void AppendHistory(const std::vector<CJobOutcome>& outcomes, const std::vector<bool>& written);
  // One statement of the batch; the rows it changed.
  OS::LONG Run(const char* szSql, const OS::SqlValues& values);

  CEngineOutgoingQueue m_Outgoing;
  CNotificationQueue m_Notifications;
  CMessageHistory m_History;
  CDBConnectionDispensor* m_pConnections;
  std::optional<std::int64_t> m_nHistoryEngineId;
};

}  // namespace Norvale
