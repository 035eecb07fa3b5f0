#include "server/engine/queue_maintenance.h"

#include "errors/handler_ladder.h"
#include "platform/event_log.h"
#include "queues/job_queue.h"
#include "server/engine/job_ownership.h"
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

CQueueMaintenance::CQueueMaintenance(const CEngineSettings& Settings)
    : CDatabaseQueryExecuter(&m_DB), m_Settings(Settings) {
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

void CQueueMaintenance::Execute(const std::string& sql) {
  LONG affected = 0;
  ExecuteCommand(sql, affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
}

void CQueueMaintenance::RunPass(std::chrono::system_clock::time_point Now) {
  // The grace of claims is counted on the steady clock, moved by as much as
  // the pass's time differs from the system clock's now: none in a running
  // engine, the virtual time's lead in a test.
  ReturnOrphans(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       Now - std::chrono::system_clock::now()));
  FailStrayJobs();
  const std::int64_t now = Ms(Now);
  RecordMark(now);
  // The mapping rows of jobs that no longer wait (a report came, or the job
  // is deleted); a job being sent (status 1) or waiting for a retry (0) keeps
  // its row until its outcome.
  Execute("DELETE FROM SMSMessageRefs WHERE MessageRef NOT IN (SELECT Id FROM SMSOutgoing WHERE Status IN (" +
          N(jsPending) + ", " + N(jsProcessing) + ", " + N(jsSentNotConfirmed) + "))");
  if (m_Settings.nCleanupAge > 0) {
    if (const LONG old = MarkAtOrBefore(now - m_Settings.nCleanupAge); old > 0)
      Execute("DELETE FROM SMSOutgoing WHERE Status NOT IN (" + N(jsPending) + ", " + N(jsProcessing) +
              ") AND Id<=" + N(old) + " AND Id<(SELECT MAX(Id) FROM SMSOutgoing)");
    Execute("DELETE FROM SMSNotifications WHERE TmStamp<'" +
            FormatTimeStamp(Now - std::chrono::milliseconds(m_Settings.nCleanupAge)) +
            "' AND Id<(SELECT MAX(Id) FROM SMSNotifications)");
  }
  if (m_Settings.nIncomingCleanupAge > 0)
    Execute("DELETE FROM SMSIncoming WHERE TmStamp<'" +
            FormatTimeStamp(Now - std::chrono::milliseconds(m_Settings.nIncomingCleanupAge)) +
            "' AND Id<(SELECT MAX(Id) FROM SMSIncoming)");
  // Marks older than the oldest any age needs are of no more use.
  const std::int64_t keep = std::max(m_Settings.nReportExpiry, m_Settings.nCleanupAge);
  LONG affected = 0;
  const auto rs = ExecuteCommand("SELECT MAX(MarkTime) AS T FROM SMSOutgoingMarks WHERE MarkTime<=" + N(now - keep),
                                 affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t t = rs->GetFieldValue("T");
  if (t.vt != VT_NULL) Execute("DELETE FROM SMSOutgoingMarks WHERE MarkTime<" + N(t.ToLongLong()));
}

void CQueueMaintenance::ReturnOrphans(std::chrono::steady_clock::time_point Now) {
  std::map<LONG, std::chrono::steady_clock::time_point> seen;
  LONG last = 0;
  while (true) {
    LONG affected = 0;
    const auto rs = ExecuteCommand("SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE Status=" + N(jsProcessing) +
                                       " AND " + std::string(CJobOwnership::kUntagged) + " AND Id>" + N(last),
                                   affected, adCmdText, -1, CJobQueue::kAttempts);
    const _variant_t id = rs->GetFieldValue("JobId");
    rs->Close();
    if (id.vt == VT_NULL) break;
    last = id.ToLong();
    const auto it = m_SeenUntagged.find(last);
    const auto first = it == m_SeenUntagged.end() ? Now : it->second;
    if (Now - first >= std::chrono::milliseconds(m_Settings.dwOrphanGrace)) {
      ExecuteCommand("UPDATE SMSOutgoing SET Status=" + N(jsPending) + " WHERE Id=" + N(last) +
                         " AND Status=" + N(jsProcessing) + " AND " + CJobOwnership::kUntagged,
                     affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
      m_nOrphansReturned += affected;
    } else {
      seen[last] = first;
    }
  }
  m_SeenUntagged = std::move(seen);
}

void CQueueMaintenance::FailStrayJobs() {
  // Handset NULL or out of range never matches a claim; on SQLite a text
  // there compares above any number and is caught as well.
  const std::string stray =
      "(Status IS NULL OR (Status=" + N(jsPending) + " AND (Handset IS NULL OR Handset<0 OR Handset>8)))";
  for (LONG last = 0;;) {
    LONG affected = 0;
    auto rs = ExecuteCommand("SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE " + stray + " AND Id>" + N(last), affected,
                             adCmdText, -1, CJobQueue::kAttempts);
    const _variant_t id = rs->GetFieldValue("JobId");
    rs->Close();
    if (id.vt == VT_NULL) return;
    last = id.ToLong();
    rs = ExecuteCommand("SELECT * FROM SMSOutgoing WHERE Id=" + N(last), affected, adCmdText, -1, CJobQueue::kAttempts);
    if (!rs || rs->adoEOF()) continue;
    const bool noStatus = rs->GetFieldValue("Status").vt == VT_NULL;
    const std::string handset =
        rs->GetFieldValue("Handset").vt == VT_NULL ? "NULL" : CUnreadableJob::Text(*rs, "Handset");
    const CUnreadableJob job(*rs);
    rs->Close();
    {
      CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
      ExecuteCommand("UPDATE SMSOutgoing SET Status=" + N(jsInvalidJobType) + " WHERE Id=" + N(last) + " AND " + stray,
                     affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
      if (affected == 1)
        m_Notifications.InsertJob(last, ntSendFailure, job.sPhoneNumber, job.eType, job.sData, hsAll, jsInvalidJobType,
                                  TimeStampNow(), jsInvalidJobType, job.Source);
      group.Commit();
    }
    if (affected != 1) continue;  // changed meanwhile, or another engine failed it
    ++m_nStrayJobsFailed;
    LogEvent(EVENTLOG_WARNING_TYPE, "CQueueMaintenance::FailStrayJobs",
             "Job " + N(last) +
                 (noStatus ? std::string(" has no Status")
                           : " is for handset " + handset + ", which no engine has (0 any, 1 to 8)") +
                 ": no handset would ever claim it; failed with status " + N(jsInvalidJobType));
  }
}

void CQueueMaintenance::RecordMark(std::int64_t nNowMs) {
  LONG affected = 0;
  auto rs =
      ExecuteCommand("SELECT MAX(MarkTime) AS T FROM SMSOutgoingMarks", affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t last = rs->GetFieldValue("T");
  if (last.vt != VT_NULL &&
      nNowMs - last.ToLongLong() < static_cast<std::int64_t>(m_Settings.dwMaintenanceInterval) / 2)
    return;  // another engine has just made one
  rs = ExecuteCommand("SELECT MAX(Id) AS MaxId FROM SMSOutgoing", affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t maxId = rs->GetFieldValue("MaxId");
  if (maxId.vt == VT_NULL) return;
  try {
    ExecuteCommand(
        "INSERT INTO SMSOutgoingMarks (MarkTime, MaxId) VALUES ( " + N(nNowMs) + ", " + N(maxId.ToLong()) + " )",
        affected, adCmdText | adExecuteNoRecords, -1, 1);
  } catch (const _com_error&) {
    // Another engine recorded the same instant: its mark serves as well.
  }
}

LONG CQueueMaintenance::MarkAtOrBefore(std::int64_t nTimeMs) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(
      "SELECT MaxId FROM SMSOutgoingMarks WHERE MarkTime=(SELECT MAX(MarkTime) FROM SMSOutgoingMarks WHERE MarkTime<=" +
          N(nTimeMs) + ")",
      affected, adCmdText, -1, CJobQueue::kAttempts);
  if (rs->adoEOF()) return -1;
  const _variant_t id = rs->GetFieldValue("MaxId");
  return id.vt == VT_NULL ? -1 : id.ToLong();
}

}  // namespace Norvale
