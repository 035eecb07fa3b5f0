#include "queues/engine_maintenance_queue.h"

#include "queues/job_queue.h"

namespace Norvale {
using namespace OS;

namespace {

// A processing job without an owner's tag.
constexpr const char* kNextUntagged =
    "SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE Status=$1 AND (MessageRef IS NULL OR MessageRef>=0) AND Id>$2";
constexpr const char* kReturnUntagged =
    "UPDATE SMSOutgoing SET Status=$2 WHERE Id=$1 AND Status=$3 AND (MessageRef IS NULL OR MessageRef>=0)";
// Handset NULL or out of range never matches a claim; on SQLite a text there
// compares above any number and is caught as well.
constexpr const char* kNextStray =
    "SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE (Status IS NULL OR (Status=$1 AND (Handset IS NULL OR "
    "Handset<$2 OR Handset>$3))) AND Id>$4";
constexpr const char* kFailStray =
    "UPDATE SMSOutgoing SET Status=$2 WHERE Id=$1 AND (Status IS NULL OR (Status=$3 AND (Handset IS NULL OR "
    "Handset<$4 OR Handset>$5)))";
// Pending jobs past their validity (the index SMSOutgoing_Expiry; Status
// written as 0, jsPending, to match it).
constexpr const char* kNextExpired =
    "SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE Status=0 AND ValidUntil IS NOT NULL AND ValidUntil<=$1 AND Id>$2";
constexpr const char* kFailExpired =
    "UPDATE SMSOutgoing SET Status=$2, MessageRef=NULL WHERE Id=$1 AND Status=0 AND ValidUntil IS NOT NULL AND "
    "ValidUntil<=$3";
constexpr const char* kSetNotificationClientRef =
    "UPDATE SMSNotifications SET ClientRef=$2 WHERE Id=(SELECT MAX(Id) FROM SMSNotifications WHERE OriginalId=$1)";
constexpr const char* kNewestMarkTime = "SELECT MAX(MarkTime) AS T FROM SMSOutgoingMarks";
constexpr const char* kLargestJobId = "SELECT MAX(Id) AS MaxId FROM SMSOutgoing";
constexpr const char* kRecordMark = "INSERT INTO SMSOutgoingMarks (MarkTime, MaxId) VALUES ($1, $2)";
constexpr const char* kMarkAtOrBefore =
    "SELECT MaxId FROM SMSOutgoingMarks WHERE MarkTime=(SELECT MAX(MarkTime) FROM SMSOutgoingMarks WHERE "
    "MarkTime<=$1)";
constexpr const char* kNewestMarkAtOrBefore = "SELECT MAX(MarkTime) AS T FROM SMSOutgoingMarks WHERE MarkTime<=$1";
constexpr const char* kDropMarksBefore = "DELETE FROM SMSOutgoingMarks WHERE MarkTime<$1";
// A job being sent (processing) or waiting for a retry (pending) keeps its
// row until its outcome.
constexpr const char* kDropFinishedReferences =
    "DELETE FROM SMSMessageRefs WHERE MessageRef NOT IN (SELECT Id FROM SMSOutgoing WHERE Status IN ($1, $2, $3))";
constexpr const char* kDeleteFinishedJobs =
    "DELETE FROM SMSOutgoing WHERE Status NOT IN ($1, $2) AND Id<=$3 AND Id<(SELECT MAX(Id) FROM SMSOutgoing)";
constexpr const char* kDeleteNotifications =
    "DELETE FROM SMSNotifications WHERE TmStamp<$1 AND Id<(SELECT MAX(Id) FROM SMSNotifications)";
constexpr const char* kDeleteIncoming =
    "DELETE FROM SMSIncoming WHERE TmStamp<$1 AND Id<(SELECT MAX(Id) FROM SMSIncoming)";

LONG IdOrNone(const _variant_t& id) { return id.vt == VT_NULL ? -1 : id.ToLong(); }

}  // namespace

LONG CEngineMaintenanceQueue::NextUntaggedProcessingJob(LONG nAfterId) {
  return IdOrNone(QueryValue(kNextUntagged, {jsProcessing, nAfterId}, "JobId"));
}

LONG CEngineMaintenanceQueue::ReturnUntagged(LONG nJobId) {
  LONG affected = 0;
  Run(kReturnUntagged, {nJobId, jsPending, jsProcessing}, affected, CJobQueue::kAttempts);
  return affected;
}

LONG CEngineMaintenanceQueue::NextStrayJob(LONG nAfterId) {
  return IdOrNone(QueryValue(kNextStray, {jsPending, hsAll, hsHandset8, nAfterId}, "JobId"));
}

bool CEngineMaintenanceQueue::FailStrayJob(LONG nJobId) {
  LONG affected = 0;
  Run(kFailStray, {nJobId, jsInvalidJobType, jsPending, hsAll, hsHandset8}, affected, CJobQueue::kAttempts);
  return affected == 1;
}

LONG CEngineMaintenanceQueue::NextExpiredJob(LONG nAfterId, std::int64_t nNowMs) {
  static_assert(jsPending == 0, "the statements name Status=0");
  return IdOrNone(QueryValue(kNextExpired, {nNowMs, nAfterId}, "JobId"));
}

bool CEngineMaintenanceQueue::FailExpiredJob(LONG nJobId, std::int64_t nNowMs) {
  LONG affected = 0;
  Run(kFailExpired, {nJobId, jsErrTimeout, nNowMs}, affected, CJobQueue::kAttempts);
  return affected == 1;
}

void CEngineMaintenanceQueue::SetNotificationClientRef(LONG nJobId, const std::string& sClientRef) {
  LONG affected = 0;
  Run(kSetNotificationClientRef, {nJobId, sClientRef}, affected, CJobQueue::kAttempts);
}

std::optional<std::int64_t> CEngineMaintenanceQueue::NewestMarkTime() {
  const _variant_t t = QueryValue(kNewestMarkTime, {}, "T");
  if (t.vt == VT_NULL) return std::nullopt;
  return t.ToLongLong();
}

std::optional<LONG> CEngineMaintenanceQueue::LargestJobId() {
  const _variant_t id = QueryValue(kLargestJobId, {}, "MaxId");
  if (id.vt == VT_NULL) return std::nullopt;
  return id.ToLong();
}

bool CEngineMaintenanceQueue::RecordMark(std::int64_t nTimeMs, LONG nMaxId) {
  try {
    LONG affected = 0;
    Run(kRecordMark, {nTimeMs, nMaxId}, affected, 1);
    return true;
  } catch (const _com_error&) {
    return false;
  }
}

LONG CEngineMaintenanceQueue::MarkAtOrBefore(std::int64_t nTimeMs) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(kMarkAtOrBefore, {nTimeMs}, affected, adCmdText, -1, CJobQueue::kAttempts);
  if (rs->adoEOF()) return -1;
  return IdOrNone(rs->GetFieldValue("MaxId"));
}

void CEngineMaintenanceQueue::DropMarksBefore(std::int64_t nTimeMs) {
  const _variant_t t = QueryValue(kNewestMarkAtOrBefore, {nTimeMs}, "T");
  if (t.vt == VT_NULL) return;
  LONG affected = 0;
  Run(kDropMarksBefore, {t.ToLongLong()}, affected, CJobQueue::kAttempts);
}

void CEngineMaintenanceQueue::DropFinishedReferences() {
  LONG affected = 0;
  Run(kDropFinishedReferences, {jsPending, jsProcessing, jsSentNotConfirmed}, affected, CJobQueue::kAttempts);
}

void CEngineMaintenanceQueue::DeleteFinishedJobsUpTo(LONG nMaxId) {
  LONG affected = 0;
  Run(kDeleteFinishedJobs, {jsPending, jsProcessing, nMaxId}, affected, CJobQueue::kAttempts);
}

void CEngineMaintenanceQueue::DeleteNotificationsBefore(const std::string& sTimeStamp) {
  LONG affected = 0;
  Run(kDeleteNotifications, {sTimeStamp}, affected, CJobQueue::kAttempts);
}

void CEngineMaintenanceQueue::DeleteIncomingBefore(const std::string& sTimeStamp) {
  LONG affected = 0;
  Run(kDeleteIncoming, {sTimeStamp}, affected, CJobQueue::kAttempts);
}

void CEngineMaintenanceQueue::Run(const char* szSql, const SqlValues& values, LONG& nAffected, int nAttempts) {
  ExecuteCommand(szSql, values, nAffected, adCmdText | adExecuteNoRecords, -1, nAttempts);
}

_variant_t CEngineMaintenanceQueue::QueryValue(const char* szSql, const SqlValues& values, const char* szColumn) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(szSql, values, affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t value = rs->GetFieldValue(szColumn);
  rs->Close();
  return value;
}

}  // namespace Norvale
