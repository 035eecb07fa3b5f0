#include "queues/engine_outgoing_queue.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "queues/message_history.h"
#include "queues/queue_schema.h"

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
//
// These statements serve a database without the per-message columns (made
// before them, and not upgraded: CEngineOutgoingQueue::SetOptionColumns).
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

// The claim with the per-message columns: high priority first (NULL counts
// as 0), then the oldest; a job whose NotBefore is still ahead is not taken.
// Expired jobs (ValidUntil past) are taken like any other and failed by the
// handset without being sent.
//
// Indexes (schema/*.sql). The pending jobs are chosen in two parts, each
// with an index that holds only what it may take:
//   SMSOutgoing_Due (COALESCE(Priority, 0) DESC, Id) WHERE Status = 0 AND
//     NotBefore IS NULL: the unscheduled pending jobs, already in the claim's
//     order; the scan stops after n rows of the claiming handset or of any.
//   SMSOutgoing_Scheduled (NotBefore) WHERE Status = 0 AND NotBefore IS NOT
//     NULL: a range scan up to now reads only the scheduled jobs that are
//     due, never those still waiting, however many.
// The best n of each part, then the best n of both. Measured (EXPLAIN
// ANALYZE) with 1,000,000 rows scheduled for later below 10,000 due rows, a
// claim of 100: one statement in Id order over the primary key reads the
// scheduled rows first, 2,943 ms; one statement with the priority's order
// and NotBefore IS NULL OR NotBefore <= now sorts every due row, 68 ms; the
// two parts read 100 entries of SMSOutgoing_Due and none of
// SMSOutgoing_Scheduled, 0.30 ms (also as a generic prepared plan). SQLite
// (EXPLAIN QUERY PLAN, no statistics): without INDEXED BY it searched
// (Status, Handset) and sorted a million rows, 2.4 s; with it, 7 ms. Status
// is written as the literal 0 (jsPending) so that both match the partial
// indexes in a prepared statement.
static_assert(jsPending == 0, "the claim's partial indexes name Status = 0");
constexpr const char* kClaimOrder = "COALESCE(Priority, 0) DESC, Id";
constexpr const char* kClaimedColumns =
    "Id, Type, PhoneNumber, Data, SourceType, SourceId, SourceName, RetryCount, Handset, Sender, Priority, NotBefore, "
    "ValidUntil, ReportRequest, ClientRef";

// The rows a handset may take: its own, and those of any handset that meet
// the condition (empty: all of them).
std::string HandsetCondition(const std::string& sAnyHandsetCondition) {
  if (sAnyHandsetCondition.empty()) return "(Handset=$4 OR Handset=$5)";
  return "(Handset=$4 OR (Handset=$5 AND (" + sAnyHandsetCondition + ")))";
}

// $3 pending, $4 the handset, $5 any, $6 n, $7 now (milliseconds). SQLite
// is told its indexes: without statistics (no ANALYZE) it would read every
// pending row through (Status, Handset) and sort them.
std::string ClaimChoice(bool bPostgres, const std::string& sHandsets) {
  const std::string lock = bPostgres ? " FOR UPDATE SKIP LOCKED" : "";
  const std::string due = std::string("SELECT Id, COALESCE(Priority, 0) AS p FROM SMSOutgoing") +
                          (bPostgres ? "" : " INDEXED BY SMSOutgoing_Due") +
                          " WHERE Status=0 AND NotBefore IS NULL AND " + sHandsets + " ORDER BY " + kClaimOrder +
                          " LIMIT $6" + lock;
  const std::string scheduled = std::string("SELECT Id, COALESCE(Priority, 0) AS p FROM SMSOutgoing") +
                                (bPostgres ? "" : " INDEXED BY SMSOutgoing_Scheduled") +
                                " WHERE Status=0 AND NotBefore IS NOT NULL AND NotBefore<=$7 AND " + sHandsets +
                                " ORDER BY " + kClaimOrder + " LIMIT $6" + lock;
  if (bPostgres)
    return "due AS MATERIALIZED (" + due + "), scheduled AS MATERIALIZED (" + scheduled +
           "), chosen AS MATERIALIZED (SELECT Id FROM (SELECT * FROM due UNION ALL SELECT * FROM scheduled) AS c "
           "ORDER BY p DESC, Id LIMIT $6)";
  return "SELECT Id FROM (SELECT * FROM (" + due + ") UNION ALL SELECT * FROM (" + scheduled +
         ")) ORDER BY p DESC, Id LIMIT $6";
}

std::string ClaimStatement(bool bPostgres, bool bHistory, const std::string& sAnyHandsetCondition) {
  const std::string choice = ClaimChoice(bPostgres, HandsetCondition(sAnyHandsetCondition));
  if (!bPostgres)
    return std::string("UPDATE SMSOutgoing NOT INDEXED SET Status=$1, MessageRef=$2 WHERE Id IN (") + choice +
           ") AND Status=$3 RETURNING " + kClaimedColumns;
  std::string returned;
  for (std::string rest = kClaimedColumns; !rest.empty();) {
    const size_t comma = rest.find(", ");
    returned += (returned.empty() ? "o." : ", o.") + rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 2);
  }
  const std::string update =
      "UPDATE SMSOutgoing AS o SET Status=$1, MessageRef=$2 FROM chosen WHERE o.Id=chosen.Id "
      "AND o.Status=$3 RETURNING " +
      returned;
  if (!bHistory) return "WITH " + choice + " " + update;
  // $8 the engine, $9 the time.
  return "WITH " + choice + ", claimed AS (" + update +
         "), logged AS (INSERT INTO MessageHistory (JobId, Event, Status, Handset, EngineId, At) SELECT Id, "
         "'claimed', $1, $4, CAST($8 AS bigint), CAST($9 AS bigint) FROM claimed) SELECT * FROM claimed";
}

constexpr const char* kClaimHistorySqlite =
    "INSERT INTO MessageHistory (JobId, Event, Status, Handset, EngineId, At) SELECT value, 'claimed', $1, $2, $3, $4 "
    "FROM json_each($5)";
// Claimed rows that cannot be read go back, untagged.
constexpr const char* kReturnUnreadable =
    "UPDATE SMSOutgoing SET Status=$1, MessageRef=NULL WHERE Status=$2 AND MessageRef=$3 AND ";
constexpr const char* kReplaceTags = "UPDATE SMSOutgoing SET MessageRef=$2 WHERE Status=$3 AND MessageRef=$1 AND ";

// Rows.
constexpr const char* kJobExists = "SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Id=$1";
// The index SMSOutgoing_Scheduled in NotBefore's order: the first row of the
// handset or of any ends the scan.
constexpr const char* kNextScheduledPostgres =
    "SELECT MIN(NotBefore) AS T FROM SMSOutgoing WHERE Status=0 AND NotBefore IS NOT NULL AND NotBefore>$1 AND "
    "(Handset=$2 OR Handset=$3)";
constexpr const char* kNextScheduledSqlite =
    "SELECT MIN(NotBefore) AS T FROM SMSOutgoing INDEXED BY SMSOutgoing_Scheduled WHERE Status=0 AND NotBefore IS "
    "NOT NULL AND NotBefore>$1 AND (Handset=$2 OR Handset=$3)";
constexpr const char* kReadClientRef = "SELECT ClientRef FROM SMSOutgoing WHERE Id=$1";
constexpr const char* kReadRow = "SELECT * FROM SMSOutgoing WHERE Id=$1";
constexpr const char* kFailUnreadable =
    "UPDATE SMSOutgoing SET Status=$2, Handset=$3, MessageRef=0 WHERE Id=$1 AND Status=$4";
// As JobReturn, and the job now names its handset (so no route moves it on).
constexpr const char* kPassJobTo =
    "UPDATE SMSOutgoing SET Status=$4, Handset=$2, RetryCount=$3 WHERE Id=$1 AND Status=$5 AND Handset=$6";

// Optional columns: NULL (or a value of the wrong kind) is none.
std::optional<std::int64_t> OptionalNumber(Recordset& rs, const char* szColumn) {
  const _variant_t v = rs.GetFieldValue(szColumn);
  if (v.vt == VT_NULL || v.vt == VT_EMPTY) return std::nullopt;
  try {
    return v.ToLongLong();
  } catch (const _com_error&) {
    return std::nullopt;
  }
}
std::string OptionalText(Recordset& rs, const char* szColumn) {
  const _variant_t v = rs.GetFieldValue(szColumn);
  if (v.vt == VT_NULL || v.vt == VT_EMPTY) return {};
  std::string text = v.ToString();
  return text == " " ? std::string() : text;
}

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
  CClaimBatch batch;
  if (nMax <= 0) return batch;
  const CDatabaseOperation operation(m_pDBConnection);
  const bool postgres = m_pDBConnection->IsPostgres();
  // One statement; on SQLite in one transaction with the return of rows that
  // cannot be read, so that none stays claimed by a batch that failed.
  CDatabaseTransaction group(m_pDBConnection);
  const std::int64_t now = HistoryNow();
  SqlValues values{jsProcessing, nTag, jsPending, eHandset, hsAll, nMax};
  std::string sql;
  if (m_bOptionColumns) {
    values.emplace_back(now);
    if (postgres && nHistoryEngineId) values.insert(values.end(), {*nHistoryEngineId, now});
    sql = ClaimStatement(postgres, postgres && nHistoryEngineId, sAnyHandsetCondition);
  } else {
    if (postgres && nHistoryEngineId) values.insert(values.end(), {*nHistoryEngineId, now});
    sql = postgres ? (nHistoryEngineId ? kClaimPostgresWithHistory : kClaimPostgres) : kClaimSqlite;
  }
  const auto rs = Query(sql.c_str(), values);
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
      if (m_bOptionColumns) ReadOptions(*rs, job);
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
  // The claim's order: high priority first, then the oldest.
  std::sort(batch.jobs.begin(), batch.jobs.end(), [](const auto& a, const auto& b) {
    const int pa = a.options.nPriority.value_or(0), pb = b.options.nPriority.value_or(0);
    return pa != pb ? pa > pb : a.nJobId < b.nJobId;
  });
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

bool CEngineOutgoingQueue::EnsureOptionColumns(CDBConnectionDispensor* pConnections, const std::string& sDSN,
                                               std::string* sWhyNot) {
  static std::mutex lock;
  static std::map<std::string, bool> known;
  const std::lock_guard guard(lock);
  if (const auto it = known.find(sDSN); it != known.end()) return it->second;
  CEngineOutgoingQueue queue(pConnections);
  const SchemaStatementRunner run = [&queue](const std::string& sql) {
    LONG affected = 0;
    return queue.ExecuteCommand(sql, affected, adCmdText, -1, 1);
  };
  std::string why;
  try {
    UpgradeQueueSchema(run, sDSN, false);
  } catch (const _com_error& e) {
    why = e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA();
  }
  // Another engine may have added them meanwhile; a database out of reach
  // raises here.
  const bool present = QueueColumnsPresent(run, sDSN);
  if (!present && sWhyNot) *sWhyNot = why;
  known[sDSN] = present;
  return present;
}

void CEngineOutgoingQueue::ReadOptions(Recordset& rs, CClaimedJob& job) {
  if (const auto handset = OptionalNumber(rs, "Handset")) job.eHandset = static_cast<Handsets>(*handset);
  CSendOptions& o = job.options;
  o.sSender = OptionalText(rs, "Sender");
  if (const auto priority = OptionalNumber(rs, "Priority")) o.nPriority = static_cast<int>(*priority);
  o.nNotBefore = OptionalNumber(rs, "NotBefore");
  o.nValidUntil = OptionalNumber(rs, "ValidUntil");
  if (const auto report = OptionalNumber(rs, "ReportRequest")) o.bReportRequest = *report != 0;
  o.sClientRef = OptionalText(rs, "ClientRef");
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

std::optional<std::int64_t> CEngineOutgoingQueue::NextScheduled(Handsets eHandset, std::int64_t nNowMs) {
  if (!m_bOptionColumns) return std::nullopt;
  const auto rs =
      Query(m_pDBConnection->IsPostgres() ? kNextScheduledPostgres : kNextScheduledSqlite, {nNowMs, eHandset, hsAll});
  if (!rs || rs->adoEOF()) return std::nullopt;
  return OptionalNumber(*rs, "T");
}

std::string CEngineOutgoingQueue::ReadClientRef(LONG nJobId) {
  const auto rs = Query(kReadClientRef, {nJobId});
  if (!rs || rs->adoEOF()) return {};
  return OptionalText(*rs, "ClientRef");
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
