#include "queues/engine_outgoing_queue.h"

#include <algorithm>

#include "queues/message_history.h"

namespace Norvale {
using namespace OS;

namespace {

// Ownership tags.
constexpr const char* kTagClaimed =
    "UPDATE SMSOutgoing SET MessageRef=$2 WHERE Id=$1 AND Status=$3 AND (MessageRef IS NULL OR MessageRef>=0 OR "
    "MessageRef=$2)";
constexpr const char* kReplaceTag = "UPDATE SMSOutgoing SET MessageRef=$3 WHERE Id=$1 AND Status=$4 AND MessageRef=$2";
constexpr const char* kClearTag = "UPDATE SMSOutgoing SET MessageRef=NULL WHERE Id=$1 AND Status=$2 AND MessageRef IN ";
constexpr const char* kOldestTagged = "SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE Status=$1 AND MessageRef=$2";

// References.
constexpr const char* kEndWaitsForNumber =
    "UPDATE SMSOutgoing SET MessageRef=NULL WHERE Status=$1 AND Handset=$2 AND MessageRef=$3 AND Id<>$4";
constexpr const char* kDropMapping = "DELETE FROM SMSMessageRefs WHERE MessageRef=$1";
constexpr const char* kEndWaitForText =
    "UPDATE SMSOutgoing SET MessageRef=NULL WHERE Status=$1 AND Handset=$2 AND Id IN (SELECT MessageRef FROM "
    "SMSMessageRefs WHERE Handset=$2 AND Reference=$3)";
constexpr const char* kDropTextMapping = "DELETE FROM SMSMessageRefs WHERE Handset=$1 AND Reference=$2";
constexpr const char* kInsertMapping =
    "INSERT INTO SMSMessageRefs (MessageRef, Handset, Reference) VALUES ($1, $2, $3)";
constexpr const char* kFindMapped =
    "SELECT MAX(MessageRef) AS MessageRef FROM SMSMessageRefs WHERE Handset=$1 AND Reference=$2";
constexpr const char* kFindMappedByNumericForm =
    "SELECT MAX(MessageRef) AS MessageRef FROM SMSMessageRefs WHERE Handset=$1 AND lower(ltrim(Reference, '0')) IN ";
constexpr const char* kFindNewestWaitingForNumber =
    "SELECT MAX(Id) AS JobId FROM SMSOutgoing WHERE Status=$1 AND Handset=$2 AND MessageRef=$3";
constexpr const char* kNextWaitingJob =
    "SELECT Id, MessageRef FROM SMSOutgoing WHERE Id=(SELECT MIN(Id) FROM SMSOutgoing WHERE Status=$1 AND "
    "Handset=$2 AND MessageRef IS NOT NULL AND Id>$3)";
constexpr const char* kEndWait = "UPDATE SMSOutgoing SET MessageRef=NULL WHERE Id=$1 AND Status=$2 AND MessageRef=$3";

// The batch claim: GetJobA's choice (the oldest pending jobs of the handset or
// of any), n of them at once, set to processing with the claim's tag. The
// choice is made once, before the UPDATE (a materialised common table
// expression): as a subquery of the UPDATE's condition the server may run it
// again for every row it considers, each run skipping the rows the UPDATE
// already changed and so choosing further rows, until it has taken every
// pending job. On PostgreSQL rows another claim has locked are passed over, so
// that claims running at once take different jobs instead of waiting for each
// other; the condition on Status keeps a row that changed meanwhile out.
// SQLite runs it under the database's write lock, the subquery once.
// RETURNING gives the rows in no particular order.
constexpr const char* kClaimPostgres =
    "WITH chosen AS MATERIALIZED (SELECT Id FROM SMSOutgoing WHERE Status=$3 AND (Handset=$4 OR Handset=$5) ORDER BY "
    "Id LIMIT $6 FOR UPDATE SKIP LOCKED) UPDATE SMSOutgoing AS o SET Status=$1, MessageRef=$2 FROM chosen WHERE "
    "o.Id=chosen.Id AND o.Status=$3 RETURNING o.Id, o.Type, o.PhoneNumber, o.Data, o.SourceType, o.SourceId, "
    "o.SourceName, o.RetryCount";
constexpr const char* kClaimSqlite =
    "UPDATE SMSOutgoing SET Status=$1, MessageRef=$2 WHERE Id IN (SELECT Id FROM SMSOutgoing WHERE Status=$3 AND "
    "(Handset=$4 OR Handset=$5) ORDER BY Id LIMIT $6) AND Status=$3 RETURNING Id, Type, PhoneNumber, Data, "
    "SourceType, SourceId, SourceName, RetryCount";
// The same with the 'claimed' event of every job taken, in the same
// statement ($7 the engine, $8 the time).
constexpr const char* kClaimPostgresWithHistory =
    "WITH chosen AS MATERIALIZED (SELECT Id FROM SMSOutgoing WHERE Status=$3 AND (Handset=$4 OR Handset=$5) ORDER BY "
    "Id LIMIT $6 FOR UPDATE SKIP LOCKED), claimed AS (UPDATE SMSOutgoing AS o SET Status=$1, MessageRef=$2 FROM "
    "chosen WHERE o.Id=chosen.Id AND o.Status=$3 RETURNING o.Id, o.Type, o.PhoneNumber, o.Data, o.SourceType, "
    "o.SourceId, o.SourceName, o.RetryCount), logged AS (INSERT INTO MessageHistory (JobId, Event, Status, Handset, "
    "EngineId, At) SELECT Id, 'claimed', $1, $4, CAST($7 AS bigint), CAST($8 AS bigint) FROM claimed) SELECT * FROM "
    "claimed";
constexpr const char* kClaimHistorySqlite =
    "INSERT INTO MessageHistory (JobId, Event, Status, Handset, EngineId, At) SELECT value, 'claimed', $1, $2, $3, $4 "
    "FROM json_each($5)";
// Claimed rows that cannot be read go back, untagged.
constexpr const char* kReturnUnreadable =
    "UPDATE SMSOutgoing SET Status=$1, MessageRef=NULL WHERE Status=$2 AND MessageRef=$3 AND ";
constexpr const char* kReplaceTags = "UPDATE SMSOutgoing SET MessageRef=$2 WHERE Status=$3 AND MessageRef=$1 AND ";

// Rows.
constexpr const char* kJobExists = "SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Id=$1";
constexpr const char* kReadRow = "SELECT * FROM SMSOutgoing WHERE Id=$1";
constexpr const char* kFailUnreadable =
    "UPDATE SMSOutgoing SET Status=$2, Handset=$3, MessageRef=0 WHERE Id=$1 AND Status=$4";
// As JobReturn, and the job now names its handset (so no route moves it on).
constexpr const char* kPassJobTo =
    "UPDATE SMSOutgoing SET Status=$4, Handset=$2, RetryCount=$3 WHERE Id=$1 AND Status=$5 AND Handset=$6";

// A condition on Id: one of the identifiers that the placeholder $n binds as
// one text (IdList), so that the statement's text is the same for any count.
std::string IdIn(bool bPostgres, int n) {
  const std::string p = "$" + std::to_string(n);
  return bPostgres ? "Id = ANY(CAST(" + p + " AS bigint[]))" : "Id IN (SELECT value FROM json_each(" + p + "))";
}
std::string IdList(bool bPostgres, const std::vector<LONG>& ids) {
  std::string list;
  for (const LONG id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  return bPostgres ? "{" + list + "}" : "[" + list + "]";
}

// "($first, $first+1, ...)" for `count` values.
std::string Placeholders(size_t first, size_t count) {
  std::string list = "(";
  for (size_t i = 0; i < count; ++i) list += (i ? ", $" : "$") + std::to_string(first + i);
  return list + ")";
}

}  // namespace

std::optional<CClaimedJob> CEngineOutgoingQueue::ClaimJob(Handsets ePriorityHandset) {
  CClaimedJob job;
  try {
    if (!GetJobA(job.nJobId, job.sPhoneNumber, job.eType, job.sData, job.nRetryCount, ePriorityHandset, job.source))
      return std::nullopt;
  } catch (const _com_error& e) {
    if (job.nJobId > 0) throw CClaimFailed(e, job.nJobId);
    throw;
  }
  return job;
}

CClaimBatch CEngineOutgoingQueue::ClaimJobs(Handsets eHandset, int nMax, LONG nTag,
                                            std::optional<std::int64_t> nHistoryEngineId,
                                            const std::string& sAnyHandsetCondition) {
  (void)sAnyHandsetCondition;  // TODO(routes): applied in the claim's condition
  CClaimBatch batch;
  if (nMax <= 0) return batch;
  const CDatabaseOperation operation(m_pDBConnection);
  const bool postgres = m_pDBConnection->IsPostgres();
  // One statement; on SQLite in one transaction with the return of rows that
  // cannot be read, so that none stays claimed by a batch that failed.
  CDatabaseTransaction group(m_pDBConnection);
  const std::int64_t now = HistoryNow();
  SqlValues values{jsProcessing, nTag, jsPending, eHandset, hsAll, nMax};
  if (postgres && nHistoryEngineId) values.insert(values.end(), {*nHistoryEngineId, now});
  const auto rs =
      Query(postgres ? (nHistoryEngineId ? kClaimPostgresWithHistory : kClaimPostgres) : kClaimSqlite, values);
  std::vector<LONG> taken;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    const LONG id = rs->GetFieldValue("Id").ToLong();
    taken.push_back(id);
    CClaimedJob job;
    job.nJobId = id;
    try {
      // Read as GetJobA reads it.
      const CQueueRow row(*rs, m_sTableName, id);
      job.sPhoneNumber = row.String("PhoneNumber");
      job.sData = row.String("Data");
      job.eType = static_cast<JOBTYPE>(row.Long("Type"));
      job.source = row.EndpointOrEmpty("Source");
      job.nRetryCount = row.LongOrZero("RetryCount");
    } catch (const _com_error&) {
      batch.unreadable.push_back(id);
      continue;
    }
    batch.jobs.push_back(std::move(job));
  }
  if (!postgres && nHistoryEngineId && !taken.empty()) {
    std::sort(taken.begin(), taken.end());
    LONG affected = 0;
    Run(kClaimHistorySqlite, {jsProcessing, eHandset, *nHistoryEngineId, now, IdList(false, taken)}, affected);
  }
  std::sort(batch.jobs.begin(), batch.jobs.end(), [](const auto& a, const auto& b) { return a.nJobId < b.nJobId; });
  std::sort(batch.unreadable.begin(), batch.unreadable.end());
  if (!batch.unreadable.empty()) {
    // Even when the operation's time is up: they must not stay claimed.
    const CDatabaseOperation giveBack(m_pDBConnection, true);
    const std::string sql = kReturnUnreadable + IdIn(postgres, 4);
    LONG affected = 0;
    Run(sql.c_str(), {jsPending, jsProcessing, nTag, IdList(postgres, batch.unreadable)}, affected);
  }
  group.Commit();
  return batch;
}

void CEngineOutgoingQueue::ReplaceTags(const std::vector<LONG>& jobIds, LONG nFrom, LONG nTo) {
  if (jobIds.empty()) return;
  const bool postgres = m_pDBConnection->IsPostgres();
  const std::string sql = kReplaceTags + IdIn(postgres, 4);
  LONG affected = 0;
  Run(sql.c_str(), {nFrom, nTo, jsProcessing, IdList(postgres, jobIds)}, affected);
}

bool CEngineOutgoingQueue::TagClaimedJob(LONG nJobId, LONG nTag) {
  LONG affected = 0;
  // A repetition of this very statement (its answer lost) finds the job
  // already tagged with nTag and still counts it.
  Run(kTagClaimed, {nJobId, nTag, jsProcessing}, affected);
  return affected == 1;
}

void CEngineOutgoingQueue::ReplaceTag(LONG nJobId, LONG nFrom, LONG nTo) {
  LONG affected = 0;
  Run(kReplaceTag, {nJobId, nFrom, nTo, jsProcessing}, affected);
}

void CEngineOutgoingQueue::ClearTag(LONG nJobId, const std::vector<LONG>& tags) {
  SqlValues values{nJobId, jsProcessing};
  for (const LONG tag : tags) values.emplace_back(tag);
  LONG affected = 0;
  ExecuteCommand(kClearTag + Placeholders(3, tags.size()), values, affected, adCmdText | adExecuteNoRecords, -1,
                 kAttempts);
}

LONG CEngineOutgoingQueue::OldestTagged(LONG nTag) { return QueryId(kOldestTagged, {jsProcessing, nTag}, "JobId"); }

void CEngineOutgoingQueue::EndWaitsForNumber(Handsets eHandset, LONG nReference, LONG nExceptJobId) {
  LONG affected = 0;
  Run(kEndWaitsForNumber, {jsSentNotConfirmed, eHandset, nReference, nExceptJobId}, affected);
}

void CEngineOutgoingQueue::MapTextReference(LONG nJobId, Handsets eHandset, const std::string& sReference) {
  // The text as the statements always stored it: an empty one as one blank.
  const std::string text = sReference.empty() ? " " : sReference;
  LONG affected = 0;
  // A job sent again (after a crash) replaces its earlier reference.
  Run(kDropMapping, {nJobId}, affected);
  // A text the SMSC hands out again ends the wait of the older job that had
  // it, as a number does.
  Run(kEndWaitForText, {jsSentNotConfirmed, eHandset, text}, affected);
  Run(kDropTextMapping, {eHandset, text}, affected);
  Run(kInsertMapping, {nJobId, eHandset, text}, affected, 1);
}

LONG CEngineOutgoingQueue::FindMappedJob(Handsets eHandset, const std::string& sReference) {
  // The newest mapping: should an older one still be there (written by an
  // older engine), the report belongs to the message sent last.
  return QueryId(kFindMapped, {eHandset, sReference.empty() ? " " : sReference}, "MessageRef");
}

LONG CEngineOutgoingQueue::FindMappedJobByNumericForm(Handsets eHandset, const std::vector<std::string>& texts) {
  if (texts.empty()) return -1;
  SqlValues values{eHandset};
  for (const auto& text : texts) values.emplace_back(text.empty() ? " " : text);
  const std::string sql = kFindMappedByNumericForm + Placeholders(2, texts.size());
  return QueryId(sql.c_str(), values, "MessageRef");
}

LONG CEngineOutgoingQueue::FindNewestWaitingForNumber(Handsets eHandset, LONG nReference) {
  return QueryId(kFindNewestWaitingForNumber, {jsSentNotConfirmed, eHandset, nReference}, "JobId");
}

void CEngineOutgoingQueue::DropMapping(LONG nJobId) {
  LONG affected = 0;
  Run(kDropMapping, {nJobId}, affected);
}

std::optional<CJobAwaitingReport> CEngineOutgoingQueue::NextWaitingJob(Handsets eHandset, LONG nAfterId) {
  const auto rs = Query(kNextWaitingJob, {jsSentNotConfirmed, eHandset, nAfterId});
  if (rs->adoEOF()) return std::nullopt;
  const _variant_t ref = rs->GetFieldValue("MessageRef");
  CJobAwaitingReport job;
  job.nJobId = rs->GetFieldValue("Id").ToLong();
  if (ref.vt != VT_NULL) job.nMessageRef = ref.ToLong();
  return job;
}

void CEngineOutgoingQueue::EndWait(LONG nJobId, LONG nMessageRef) {
  LONG affected = 0;
  Run(kEndWait, {nJobId, jsSentNotConfirmed, nMessageRef}, affected);
}

bool CEngineOutgoingQueue::JobExists(LONG nJobId) {
  return Query(kJobExists, {nJobId})->GetFieldValue("N").ToLong() != 0;
}

_RecordsetPtr CEngineOutgoingQueue::ReadRow(LONG nJobId) {
  auto rs = Query(kReadRow, {nJobId});
  if (!rs || rs->adoEOF()) return nullptr;
  return rs;
}

bool CEngineOutgoingQueue::FailUnreadablePendingJob(LONG nJobId, EnumJobStatus eStatus, Handsets eHandset) {
  LONG moved = 0;
  Run(kFailUnreadable, {nJobId, eStatus, eHandset, jsPending}, moved);
  return moved != 0;
}

bool CEngineOutgoingQueue::PassJobTo(LONG nJobId, Handsets eTo, LONG nRetryCount) {
  LONG moved = 0;
  Run(kPassJobTo, {nJobId, eTo, nRetryCount, jsPending, jsProcessing, hsAll}, moved);
  return moved != 0;
}

void CEngineOutgoingQueue::Run(const char* szSql, const SqlValues& values, LONG& nAffected, LONG nAffectedCheck) {
  ExecuteCommand(szSql, values, nAffected, adCmdText | adExecuteNoRecords, nAffectedCheck, kAttempts);
}

_RecordsetPtr CEngineOutgoingQueue::Query(const char* szSql, const SqlValues& values) {
  LONG affected = 0;
  return ExecuteCommand(szSql, values, affected, adCmdText, -1, kAttempts);
}

LONG CEngineOutgoingQueue::QueryId(const char* szSql, const SqlValues& values, const char* szColumn) {
  const auto rs = Query(szSql, values);
  const _variant_t id = rs->GetFieldValue(szColumn);
  rs->Close();
  return id.vt == VT_NULL ? -1 : id.ToLong();
}

}  // namespace Norvale
