// CEngineMaintenanceQueue: the statements of the engine's periodic work on
// the queue tables (CQueueMaintenance decides when and why): orphaned claims,
// jobs no handset can claim, the marks that date SMSOutgoing's identifiers,
// and the clean-up of finished jobs, notifications, received messages and
// references. Every statement is safe to run from several engines at once and
// binds its values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "norvale/enums.h"
#include "queues/database_access.h"

namespace Norvale {

class CEngineMaintenanceQueue : public CDatabaseQueryExecuter {
 public:
  explicit CEngineMaintenanceQueue(CDBConnectionDispensor* pConnections) : CDatabaseQueryExecuter(pConnections) {}

  // Orphans: the oldest processing job above nAfterId that carries no owner's
  // tag (CEngineOutgoingQueue), or -1; ReturnUntagged puts it back to pending
  // while it is still so, and gives the rows it changed.
  OS::LONG NextUntaggedProcessingJob(OS::LONG nAfterId);
  OS::LONG ReturnUntagged(OS::LONG nJobId);

  // Strays: a job with no Status, or a pending one whose Handset is none of
  // 0 (any) to 8. NextStrayJob gives the oldest above nAfterId or -1;
  // FailStrayJob sets it to jsInvalidJobType while it is still a stray, true
  // when this statement did.
  OS::LONG NextStrayJob(OS::LONG nAfterId);
  bool FailStrayJob(OS::LONG nJobId);

  // Expired: a pending job whose ValidUntil is at or before the time (no
  // handset claimed it in time). NextExpiredJob gives the oldest above
  // nAfterId or -1; FailExpiredJob sets it to jsErrTimeout while it is still
  // pending and expired, true when this statement did.
  OS::LONG NextExpiredJob(OS::LONG nAfterId, std::int64_t nNowMs);
  bool FailExpiredJob(OS::LONG nJobId, std::int64_t nNowMs);
  // Writes the job's client reference into its newest notification.
  void SetNotificationClientRef(OS::LONG nJobId, const std::string& sClientRef);

  // Marks: the newest mark's time; the largest Id of SMSOutgoing; a new mark
  // (false when another engine recorded the same instant); the MaxId of the
  // newest mark at or before the time, -1 when none; and dropping the marks
  // older than the newest at or before the time.
  std::optional<std::int64_t> NewestMarkTime();
  std::optional<OS::LONG> LargestJobId();
  bool RecordMark(std::int64_t nTimeMs, OS::LONG nMaxId);
  OS::LONG MarkAtOrBefore(std::int64_t nTimeMs);
  void DropMarksBefore(std::int64_t nTimeMs);

  // Clean-up. The row with the largest Id of each table always stays.
  // References of jobs neither pending, processing nor waiting for a report.
  void DropFinishedReferences();
  // Jobs neither pending nor processing, with an Id at or below nMaxId.
  void DeleteFinishedJobsUpTo(OS::LONG nMaxId);
  // Rows with a TmStamp before the time stamp (the engine's sortable form).
  void DeleteNotificationsBefore(const std::string& sTimeStamp);
  void DeleteIncomingBefore(const std::string& sTimeStamp);

 private:
  void Run(const char* szSql, const OS::SqlValues& values, OS::LONG& nAffected, int nAttempts);
  OS::_variant_t QueryValue(const char* szSql, const OS::SqlValues& values, const char* szColumn);
};

}  // namespace Norvale
