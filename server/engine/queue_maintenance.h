// CQueueMaintenance: the engine's periodic work on the tables, on a thread
// and a connection of its own, once every MaintenanceInterval:
//
// Orphans. A job claimed by GetJobA but never taken over by its handset
// (CJobOwnership), because its engine died in between or lost the claim's
// answer, would stay in processing for ever. A job seen untagged in
// processing in two passes at least OrphanGrace apart goes back to pending,
// with a statement that changes it only while it is still untagged.
//
// Marks. SMSOutgoing holds no time; every pass records the largest Id with
// the time in SMSOutgoingMarks. Identifiers only grow (the clean-up keeps the
// largest), so every row with an Id at or below a mark is older than it.
//
// References. A row of SMSMessageRefs whose job is final or deleted is
// deleted. (A reference's expiry counts from the send, which only the
// handset that sent it knows: CDeliveryReportMatcher.)
//
// Clean-up. Finished rows of SMSOutgoing (neither pending nor processing)
// older than CleanupAge, notifications older than CleanupAge and received
// messages older than IncomingCleanupAge (by their TmStamp, which the engine
// writes in its sortable format) are deleted. The row with the largest Id of
// each table always stays, so identifiers never start again at 1: a new job
// never reuses the identifier of one a sender may still ask about.
//
// History. Events of the message history (CMessageHistory) older than
// HistoryAge are deleted, at most 100,000 a pass.
//
// Strays. A job no handset can ever claim, one with no Status, or a pending
// one whose Handset is not 0 (any) to 8, fails with 8 (invalid job) and a
// send failure notification for its sender, committed together, and a
// warning in the journal.
//
// Expired. A pending job whose ValidUntil has passed and that no handset
// claimed (none ready, or its NotBefore still ahead) fails with 7
// (jsErrTimeout) and a send failure notification carrying its ClientRef,
// committed together; it is never sent. (A handset that claims an expired job
// fails it the same way without sending it.)
//
// Every statement is safe to run from several engines at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "queues/engine_maintenance_queue.h"
#include "queues/engine_outgoing_queue.h"
#include "queues/message_history.h"
#include "queues/notification_queue.h"
#include "server/engine/engine_settings.h"

namespace Norvale {

class CQueueMaintenance {
 public:
  explicit CQueueMaintenance(const CEngineSettings& Settings);
  ~CQueueMaintenance();

  void Start();
  void Stop();

  // One pass at the given wall-clock time (the thread uses now); raises
  // database failures.
  void RunPass(std::chrono::system_clock::time_point Now);

  // Statistics of the passes so far.
  long OrphansReturned() const { return m_nOrphansReturned; }
  long StrayJobsFailed() const { return m_nStrayJobsFailed; }
  long ExpiredJobsFailed() const { return m_nExpiredJobsFailed; }

 private:
  void Run();
  void ReturnOrphans(std::chrono::steady_clock::time_point Now);
  void FailStrayJobs();
  void FailExpiredJobs(std::int64_t nNowMs);
  void RecordMark(std::int64_t nNowMs);
  void PruneHistory(std::int64_t nBeforeMs);

  const CEngineSettings& m_Settings;
  CDBConnectionDispensor m_DB;
  CEngineMaintenanceQueue m_Queue{&m_DB};
  CEngineOutgoingQueue m_OutgoingQueue{&m_DB};
  CNotificationQueue m_Notifications{nullptr, &m_DB};
  CMessageHistory m_History{&m_DB};
  std::map<OS::LONG, std::chrono::steady_clock::time_point> m_SeenUntagged;
  long m_nOrphansReturned = 0;
  long m_nStrayJobsFailed = 0;
  long m_nExpiredJobsFailed = 0;

  std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_bStop = false;
  std::thread m_Thread;
};

}  // namespace Norvale
