#include "server/engine/queue_maintenance.h"

#include "errors/handler_ladder.h"
#include "platform/event_log.h"
#include "server/engine/time_stamp.h"
#include "server/engine/unreadable_job.h"

namespace Norvale {
using namespace OS;

namespace {
std::string N(long long v) { return std::to_string(v); }
std::int64_t Ms(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
}  // namespace

CQueueMaintenance::CQueueMaintenance(const CEngineSettings& Settings) : m_Settings(Settings) {
  UseEngineDatabase(m_DB, Settings);
}

CQueueMaintenance::~CQueueMaintenance() { Stop(); }

void CQueueMaintenance::Start() {
  std::lock_guard guard(m_Lock);
  m_bStop = false;
  if (!m_Thread.joinable()) m_Thread = std::thread([this] { Run(); });
}

void CQueueMaintenance::Stop() {
  {
    std::lock_guard guard(m_Lock);
    m_bStop = true;
  }
  m_Changed.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
}

void CQueueMaintenance::Run() {
  CRepeatThrottle throttle;
  std::unique_lock lock(m_Lock);
  while (!m_bStop) {
    lock.unlock();
    throttle.Run("CQueueMaintenance::Run", [this] { RunPass(std::chrono::system_clock::now()); });
    lock.lock();
    m_Changed.wait_for(lock, std::chrono::milliseconds(m_Settings.dwMaintenanceInterval), [this] { return m_bStop; });
  }
}

void CQueueMaintenance::RunPass(std::chrono::system_clock::time_point Now) {
  // The grace of claims is counted on the steady clock, moved by as much as
  // the pass's time differs from the system clock's now: none in a running
  // engine, the virtual time's lead in a test.
  ReturnOrphans(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       Now - std::chrono::system_clock::now()));
  FailStrayJobs();
  const std::int64_t now = Ms(Now);
  FailExpiredJobs(now);
  RecordMark(now);
  // The mapping rows of jobs that no longer wait (a report came, or the job
  // is deleted); a job being sent or waiting for a retry keeps its row until
  // its outcome.
  m_Queue.DropFinishedReferences();
  if (m_Settings.nCleanupAge > 0) {
    if (const LONG old = m_Queue.MarkAtOrBefore(now - m_Settings.nCleanupAge); old > 0)
      m_Queue.DeleteFinishedJobsUpTo(old);
    m_Queue.DeleteNotificationsBefore(FormatTimeStamp(Now - std::chrono::milliseconds(m_Settings.nCleanupAge)));
  }
  if (m_Settings.nIncomingCleanupAge > 0)
    m_Queue.DeleteIncomingBefore(FormatTimeStamp(Now - std::chrono::milliseconds(m_Settings.nIncomingCleanupAge)));
  if (m_Settings.nHistoryAge > 0) PruneHistory(now - m_Settings.nHistoryAge);
  // Marks older than the oldest any age needs are of no more use.
  const std::int64_t keep = std::max(m_Settings.nReportExpiry, m_Settings.nCleanupAge);
  m_Queue.DropMarksBefore(now - keep);
}

void CQueueMaintenance::PruneHistory(std::int64_t nBeforeMs) {
  // Where the table is missing and cannot be made the handsets say so.
  if (!CMessageHistory::EnsureTable(&m_DB, m_Settings.sDSN, nullptr)) return;
  // In bounded steps, so that a long backlog does not hold the table; the
  // rest goes in the next passes.
  constexpr LONG kStep = 10000;
  for (int i = 0; i < 10 && m_History.PruneBefore(nBeforeMs, kStep) == kStep; ++i) {
  }
}

void CQueueMaintenance::ReturnOrphans(std::chrono::steady_clock::time_point Now) {
  std::map<LONG, std::chrono::steady_clock::time_point> seen;
  for (LONG last = 0; (last = m_Queue.NextUntaggedProcessingJob(last)) >= 0;) {
    const auto it = m_SeenUntagged.find(last);
    const auto first = it == m_SeenUntagged.end() ? Now : it->second;
    if (Now - first >= std::chrono::milliseconds(m_Settings.dwOrphanGrace))
      m_nOrphansReturned += m_Queue.ReturnUntagged(last);
    else
      seen[last] = first;
  }
  m_SeenUntagged = std::move(seen);
}

void CQueueMaintenance::FailStrayJobs() {
  for (LONG last = 0; (last = m_Queue.NextStrayJob(last)) >= 0;) {
    const auto rs = m_OutgoingQueue.ReadRow(last);
    if (!rs) continue;
    const bool noStatus = rs->GetFieldValue("Status").vt == VT_NULL;
    const std::string handset =
        rs->GetFieldValue("Handset").vt == VT_NULL ? "NULL" : CUnreadableJob::Text(*rs, "Handset");
    const CUnreadableJob job(*rs);
    rs->Close();
    bool failed = false;
    {
      CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
      failed = m_Queue.FailStrayJob(last);
      if (failed)
        m_Notifications.InsertJob(last, ntSendFailure, job.sPhoneNumber, job.eType, job.sData, hsAll, jsInvalidJobType,
                                  TimeStampNow(), jsInvalidJobType, job.Source);
      group.Commit();
    }
    if (!failed) continue;  // changed meanwhile, or another engine failed it
    ++m_nStrayJobsFailed;
    LogEvent(EVENTLOG_WARNING_TYPE, "CQueueMaintenance::FailStrayJobs",
             "Job " + N(last) +
                 (noStatus ? std::string(" has no Status")
                           : " is for handset " + handset + ", which no engine has (0 any, 1 to 8)") +
                 ": no handset would ever claim it; failed with status " + N(jsInvalidJobType));
  }
}

void CQueueMaintenance::FailExpiredJobs(std::int64_t nNowMs) {
  // A database without the columns has no validity to honour (the handsets
  // say so).
  if (!CEngineOutgoingQueue::EnsureOptionColumns(&m_DB, m_Settings.sDSN, nullptr)) return;
  for (LONG last = 0; (last = m_Queue.NextExpiredJob(last, nNowMs)) >= 0;) {
    const auto rs = m_OutgoingQueue.ReadRow(last);
    if (!rs) continue;
    const CUnreadableJob job(*rs);
    const _variant_t ref = rs->GetFieldValue("ClientRef");
    const std::string clientRef = ref.vt == VT_NULL || ref.vt == VT_EMPTY ? std::string() : ref.ToString();
    rs->Close();
    bool failed = false;
    {
      CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
      failed = m_Queue.FailExpiredJob(last, nNowMs);
      if (failed) {
        m_Notifications.InsertJob(last, ntSendFailure, job.sPhoneNumber, job.eType, job.sData, hsAll, jsErrTimeout,
                                  TimeStampNow(), jsErrTimeout, job.Source);
        if (!clientRef.empty()) m_Queue.SetNotificationClientRef(last, clientRef);
      }
      group.Commit();
    }
    if (failed) ++m_nExpiredJobsFailed;  // else claimed meanwhile, or another engine failed it
  }
}

void CQueueMaintenance::RecordMark(std::int64_t nNowMs) {
  const auto last = m_Queue.NewestMarkTime();
  if (last && nNowMs - *last < static_cast<std::int64_t>(m_Settings.dwMaintenanceInterval) / 2)
    return;  // another engine has just made one
  const auto maxId = m_Queue.LargestJobId();
  if (!maxId) return;
  // A failure means another engine recorded the same instant: its mark
  // serves as well.
  m_Queue.RecordMark(nNowMs, *maxId);
}

}  // namespace Norvale
