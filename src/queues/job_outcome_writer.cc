#include "queues/job_outcome_writer.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "errors/com_error_raise.h"
#include "queues/sql_array_text.h"

namespace Norvale {
using namespace OS;

namespace {

constexpr const char* kWriteOutcome =
    "UPDATE SMSOutgoing SET Status=$2, Handset=$3, MessageRef=$4 WHERE Id=$1 AND Status=$5 AND MessageRef=$6";
// Only a few rows are sent at any time (each batch removes the older ones),
// however many wait below them: the statement must reach them through an
// index on Status, never by walking the key up to $1. Both planners would
// walk it once their statistics say every row has the same Status (a queue
// of pending jobs, scheduled ones above all): 30 ms a batch with 100,000
// waiting. So Status is the literal (PostgreSQL then sees from its
// statistics how rare it is, even in a generic plan) and the key is hidden
// behind a unary plus, which neither planner takes to an index.
static_assert(jsSent == 2, "kDeleteOlderSent names Status = 2");
constexpr const char* kDeleteOlderSent = "DELETE FROM SMSOutgoing WHERE Status=2 AND +Id<$1";

// PostgreSQL: the batch's rows and references in one statement each, the
// values of all outcomes bound as one array per column (its text form,
// "{1,2,3}"), so that a batch costs the same few round trips at any size.
constexpr const char* kWriteOutcomes =
    "UPDATE SMSOutgoing AS o SET Status=v.st, Handset=v.hs, MessageRef=v.mr FROM unnest(CAST($1 AS bigint[]), "
    "CAST($2 AS integer[]), CAST($3 AS integer[]), CAST($4 AS bigint[]), CAST($5 AS integer[]), CAST($6 AS "
    "bigint[])) AS v(id, st, hs, mr, est, emr) WHERE o.Id=v.id AND o.Status=v.est AND o.MessageRef=v.emr RETURNING "
    "o.Id";
// The jobs' own mappings (of an earlier send, or a report's end).
constexpr const char* kDropMappings = "DELETE FROM SMSMessageRefs WHERE MessageRef = ANY(CAST($1 AS bigint[]))";
// A text the SMSC hands out again ends the wait of the older job that had it.
constexpr const char* kEndWaitsForTexts =
    "UPDATE SMSOutgoing SET MessageRef=NULL WHERE Status=$1 AND (Handset, Id) IN (SELECT r.Handset, r.MessageRef "
    "FROM SMSMessageRefs AS r JOIN unnest(CAST($2 AS integer[]), CAST($3 AS text[])) AS v(hs, ref) ON "
    "r.Handset=v.hs AND r.Reference=v.ref)";
constexpr const char* kDropTextMappings =
    "DELETE FROM SMSMessageRefs AS r USING unnest(CAST($1 AS integer[]), CAST($2 AS text[])) AS v(hs, ref) WHERE "
    "r.Handset=v.hs AND r.Reference=v.ref";
constexpr const char* kInsertMappings =
    "INSERT INTO SMSMessageRefs (MessageRef, Handset, Reference) SELECT * FROM unnest(CAST($1 AS bigint[]), CAST($2 "
    "AS integer[]), CAST($3 AS text[]))";
constexpr const char* kEndWaitsForNumbers =
    "UPDATE SMSOutgoing AS o SET MessageRef=NULL FROM unnest(CAST($2 AS integer[]), CAST($3 AS bigint[]), CAST($4 "
    "AS bigint[])) AS v(hs, ref, id) WHERE o.Status=$1 AND o.Handset=v.hs AND o.MessageRef=v.ref AND o.Id<>v.id";

// The notifications get their identifiers in one step: above the largest
// at the time of the insert, in the batch's order. On PostgreSQL engines
// writing at once take turns by this transaction-level lock (the ASCII of
// "velquor"), held from just before the insert to the COMMIT; a writer that
// does not take it (a single insert elsewhere) may still take an identifier
// first, and the batch then goes again as a whole.
constexpr std::int64_t kNotificationLock = 0x76656c71756f72;
constexpr const char* kLockNotifications = "SELECT pg_advisory_xact_lock($1)";
constexpr const char* kInsertNotifications =
    "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
    "JobStatus, SourceType, SourceId, SourceName) SELECT m.MaxId + v.n, v.oid, v.t, v.pn, v.mt, v.d, v.hs, v.ec, "
    "v.ts, v.js, v.st, v.si, v.sn FROM (SELECT COALESCE(MAX(Id), 0) AS MaxId FROM SMSNotifications) AS m, "
    "unnest(CAST($1 AS bigint[]), CAST($2 AS integer[]), CAST($3 AS text[]), CAST($4 AS integer[]), CAST($5 AS "
    "text[]), CAST($6 AS integer[]), CAST($7 AS integer[]), CAST($8 AS text[]), CAST($9 AS integer[]), CAST($10 AS "
    "integer[]), CAST($11 AS text[]), CAST($12 AS text[])) WITH ORDINALITY AS v(oid, t, pn, mt, d, hs, ec, ts, js, "
    "st, si, sn, n) WHERE m.MaxId + $13 <= 2147483647";
// The same with the jobs' client references, when one of the batch has one
// (a database made before the column takes notifications without).
constexpr const char* kInsertNotificationsWithRefs =
    "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
    "JobStatus, SourceType, SourceId, SourceName, ClientRef) SELECT m.MaxId + v.n, v.oid, v.t, v.pn, v.mt, v.d, v.hs, "
    "v.ec, v.ts, v.js, v.st, v.si, v.sn, v.cr FROM (SELECT COALESCE(MAX(Id), 0) AS MaxId FROM SMSNotifications) AS m, "
    "unnest(CAST($1 AS bigint[]), CAST($2 AS integer[]), CAST($3 AS text[]), CAST($4 AS integer[]), CAST($5 AS "
    "text[]), CAST($6 AS integer[]), CAST($7 AS integer[]), CAST($8 AS text[]), CAST($9 AS integer[]), CAST($10 AS "
    "integer[]), CAST($11 AS text[]), CAST($12 AS text[]), CAST($14 AS text[])) WITH ORDINALITY AS v(oid, t, pn, mt, "
    "d, hs, ec, ts, js, st, si, sn, cr, n) WHERE m.MaxId + $13 <= 2147483647";
// SQLite: the largest identifier read once in the batch's transaction (which
// holds the write lock), then one prepared insert per notification.
constexpr const char* kLargestNotificationId = "SELECT MAX(Id) AS MaxId FROM SMSNotifications";
constexpr const char* kInsertNotification =
    "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
    "JobStatus, SourceType, SourceId, SourceName) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)";
constexpr const char* kInsertNotificationWithRef =
    "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
    "JobStatus, SourceType, SourceId, SourceName, ClientRef) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, "
    "$12, $13, $14)";

// Texts as the clients' statements store them: an empty one as one blank.
std::string Stored(const std::string& text) { return text.empty() ? " " : text; }

// Whether the set statements give what the outcomes, written one after the
// other, would: each job once; each text reference and each number once per
// handset, and no number that another outcome of the batch writes as its
// reference (whose wait it would end or not depending on the order).
bool SetStatementsFit(const std::vector<CJobOutcome>& outcomes) {
  std::set<LONG> ids;
  std::set<std::pair<int, std::string>> texts;
  std::set<std::pair<int, LONG>> numbers;
  std::multiset<std::pair<int, LONG>> references;
  for (const CJobOutcome& o : outcomes) {
    if (!ids.insert(o.nJobId).second) return false;
    if (o.textReference && (o.bDropMapping || !texts.emplace(o.eHandset, Stored(*o.textReference)).second))
      return false;
    if (o.bNumericReference && !numbers.emplace(o.eHandset, o.nMessageRef).second) return false;
    references.emplace(o.eHandset, o.nMessageRef);
  }
  for (const auto& number : numbers)
    if (references.count(number) > 1) return false;
  return true;
}

}  // namespace

std::vector<bool> CJobOutcomeWriter::Write(const std::vector<CJobOutcome>& outcomes) {
  if (outcomes.empty()) return {};
  const CDatabaseOperation operation(m_pConnections);
  const bool postgres = m_pConnections->IsPostgres();
  // Inside a caller's transaction the batch is part of it and cannot go again
  // by itself.
  const bool own = !m_pConnections->InTransaction();
  for (int attempt = 1;; ++attempt) {
    try {
      return WriteOnce(outcomes, postgres);
    } catch (const _com_error& e) {
      // Another writer took a notification's identifier: the batch was rolled
      // back whole and goes again.
      if (!own || !postgres || e.Error() != DB_E_INTEGRITYVIOLATION || attempt >= CJobQueue::kAttempts ||
          operation.TimeIsUp())
        throw;
    }
  }
}

std::vector<bool> CJobOutcomeWriter::WriteOnce(const std::vector<CJobOutcome>& outcomes, bool bPostgres) {
  CDatabaseTransaction group(m_pConnections, CDatabaseTransaction::kEveryDatabase);
  const std::vector<bool> written =
      bPostgres && SetStatementsFit(outcomes) ? WriteRowsTogether(outcomes) : WriteRowsOneByOne(outcomes);
  // As JobUpdate does for a job sent: the sent rows before it go.
  LONG newestSent = -1;
  for (size_t i = 0; i < outcomes.size(); ++i)
    if (written[i] && outcomes[i].eStatus == jsSent) newestSent = std::max(newestSent, outcomes[i].nJobId);
  if (newestSent > 0) Run(kDeleteOlderSent, {newestSent});
  if (m_nHistoryEngineId) AppendHistory(outcomes, written);
  // Last: on PostgreSQL the lock they take is held to the COMMIT.
  InsertNotifications(outcomes, written, bPostgres);
  group.Commit();
  return written;
}

std::vector<bool> CJobOutcomeWriter::WriteRowsOneByOne(const std::vector<CJobOutcome>& outcomes) {
  std::vector<bool> written(outcomes.size(), false);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const CJobOutcome& o = outcomes[i];
    if (Run(kWriteOutcome,
            {o.nJobId, o.eStatus, o.eHandset, o.nMessageRef, o.eExpectedStatus, o.nExpectedMessageRef}) != 1)
      continue;
    written[i] = true;
    if (o.textReference) m_Outgoing.MapTextReference(o.nJobId, o.eHandset, *o.textReference);
    if (o.bNumericReference) m_Outgoing.EndWaitsForNumber(o.eHandset, o.nMessageRef, o.nJobId);
    if (o.bDropMapping) m_Outgoing.DropMapping(o.nJobId);
  }
  return written;
}

std::vector<bool> CJobOutcomeWriter::WriteRowsTogether(const std::vector<CJobOutcome>& outcomes) {
  CSqlArrayText ids, statuses, handsets, refs, expectedStatuses, expectedRefs;
  for (const CJobOutcome& o : outcomes) {
    ids.Add(o.nJobId);
    statuses.Add(o.eStatus);
    handsets.Add(o.eHandset);
    refs.Add(o.nMessageRef);
    expectedStatuses.Add(o.eExpectedStatus);
    expectedRefs.Add(o.nExpectedMessageRef);
  }
  LONG affected = 0;
  const auto rs = m_Outgoing.ExecuteCommand(
      kWriteOutcomes,
      {ids.Value(), statuses.Value(), handsets.Value(), refs.Value(), expectedStatuses.Value(), expectedRefs.Value()},
      affected, adCmdText, -1, 1);
  std::set<LONG> rows;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) rows.insert(rs->GetFieldValue("Id").ToLong());
  std::vector<bool> written(outcomes.size(), false);
  CSqlArrayText dropped, textIds, textHandsets, texts, numberHandsets, numbers, numberIds;
  bool anyDropped = false, anyText = false, anyNumber = false;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const CJobOutcome& o = outcomes[i];
    if (!rows.count(o.nJobId)) continue;
    written[i] = true;
    if (o.textReference || o.bDropMapping) dropped.Add(o.nJobId), anyDropped = true;
    if (o.textReference) {
      textIds.Add(o.nJobId), textHandsets.Add(o.eHandset), texts.Add(Stored(*o.textReference));
      anyText = true;
    }
    if (o.bNumericReference) {
      numberHandsets.Add(o.eHandset), numbers.Add(o.nMessageRef), numberIds.Add(o.nJobId);
      anyNumber = true;
    }
  }
  if (anyDropped) Run(kDropMappings, {dropped.Value()});
  if (anyText) {
    Run(kEndWaitsForTexts, {jsSentNotConfirmed, textHandsets.Value(), texts.Value()});
    Run(kDropTextMappings, {textHandsets.Value(), texts.Value()});
    Run(kInsertMappings, {textIds.Value(), textHandsets.Value(), texts.Value()});
  }
  if (anyNumber)
    Run(kEndWaitsForNumbers, {jsSentNotConfirmed, numberHandsets.Value(), numbers.Value(), numberIds.Value()});
  return written;
}

void CJobOutcomeWriter::AppendHistory(const std::vector<CJobOutcome>& outcomes, const std::vector<bool>& written) {
  const std::int64_t now = HistoryNow();
  std::vector<CHistoryEvent> events;
  events.reserve(outcomes.size() * 2);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (!written[i]) continue;
    const CJobOutcome& o = outcomes[i];
    CHistoryEvent e;
    e.nJobId = o.nJobId;
    e.nStatus = o.eStatus;
    e.nHandset = o.eHandset;
    e.nEngineId = m_nHistoryEngineId;
    e.nAt = now;
    const bool report = o.eExpectedStatus == jsSentNotConfirmed;
    const bool sent = o.eStatus == jsSent || o.eStatus == jsSentNotConfirmed;
    if (report) {
      e.sEvent = o.eStatus == jsSent ? kHistoryDelivered : kHistoryFailed;
      e.sDetail = "delivery report";
    } else {
      e.sEvent = sent ? kHistorySent : kHistoryFailed;
      if (o.textReference)
        e.sReference = *o.textReference;
      else if (o.bNumericReference)
        e.sReference = std::to_string(o.nMessageRef);
      if (o.nParts > 0) e.nParts = o.nParts;
    }
    if (o.notification.nErrorCode != 0) e.nErrorCode = o.notification.nErrorCode;
    events.push_back(e);
    CHistoryEvent n;
    n.nJobId = o.nJobId;
    n.sEvent = kHistoryNotified;
    n.nStatus = o.notification.eJobStatus;
    n.nHandset = o.eHandset;
    n.nEngineId = m_nHistoryEngineId;
    n.sDetail = NotificationKindName(o.notification.eType);
    n.nAt = now;
    events.push_back(std::move(n));
  }
  m_History.Append(events);
}

void CJobOutcomeWriter::InsertNotifications(const std::vector<CJobOutcome>& outcomes, const std::vector<bool>& written,
                                            bool bPostgres) {
  std::vector<const CNotificationRecord*> notifications;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (!written[i]) continue;
    notifications.push_back(&outcomes[i].notification);  // about the outcome's job, whatever it names
  }
  if (notifications.empty()) return;
  const bool refs = std::any_of(notifications.begin(), notifications.end(),
                                [](const CNotificationRecord* n) { return !n->sClientRef.empty(); });
  const auto count = static_cast<LONG>(notifications.size());
  const auto overflow = [&](std::int64_t largest) {
    RAISE_COM_ERROR(DISP_E_OVERFLOW, "SMSNotifications has no identifiers left above " +
                                         std::to_string(CJobQueue::kLargestId) + " for " + std::to_string(count) +
                                         " notifications (its largest Id is " + std::to_string(largest) + ")");
  };
  if (bPostgres) {
    Run(kLockNotifications, {kNotificationLock});
    CSqlArrayText jobs, types, phones, msgTypes, data, handsets, errors, times, statuses, sourceTypes, sourceIds,
        sourceNames, clientRefs;
    for (size_t i = 0, k = 0; i < outcomes.size(); ++i) {
      if (!written[i]) continue;
      const CNotificationRecord& n = *notifications[k++];
      jobs.Add(outcomes[i].nJobId), types.Add(n.eType), phones.Add(Stored(n.sPhoneNumber)), msgTypes.Add(n.eJobType);
      data.Add(Stored(n.sData)), handsets.Add(n.eHandset), errors.Add(n.nErrorCode), times.Add(Stored(n.sTimeStamp));
      statuses.Add(n.eJobStatus), sourceTypes.Add(n.Source.m_eType), sourceIds.Add(Stored(n.Source.m_sId));
      sourceNames.Add(Stored(n.Source.m_sName));
      if (n.sClientRef.empty())
        clientRefs.AddNull();
      else
        clientRefs.Add(n.sClientRef);
    }
    SqlValues values{jobs.Value(),      types.Value(),       phones.Value(), msgTypes.Value(), data.Value(),
                     handsets.Value(),  errors.Value(),      times.Value(),  statuses.Value(), sourceTypes.Value(),
                     sourceIds.Value(), sourceNames.Value(), count};
    if (refs) values.push_back(clientRefs.Value());
    if (Run(refs ? kInsertNotificationsWithRefs : kInsertNotifications, values) != count)
      overflow(m_Notifications.GenerateJobId());
    return;
  }
  LONG affected = 0;
  const auto rs = m_Notifications.ExecuteCommand(kLargestNotificationId, {}, affected, adCmdText, -1, 1);
  const _variant_t max = rs->GetFieldValue("MaxId");
  const std::int64_t largest = max.vt == VT_NULL ? 0 : max.ToLongLong();
  if (largest + count > CJobQueue::kLargestId) overflow(largest);
  std::int64_t id = largest;
  for (size_t i = 0, k = 0; i < outcomes.size(); ++i) {
    if (!written[i]) continue;
    const CNotificationRecord& n = *notifications[k++];
    SqlValues values{++id,
                     outcomes[i].nJobId,
                     n.eType,
                     Stored(n.sPhoneNumber),
                     n.eJobType,
                     Stored(n.sData),
                     n.eHandset,
                     n.nErrorCode,
                     Stored(n.sTimeStamp),
                     n.eJobStatus,
                     n.Source.m_eType,
                     Stored(n.Source.m_sId),
                     Stored(n.Source.m_sName)};
    if (refs) values.push_back(n.sClientRef.empty() ? SqlValue(SqlNull) : SqlValue(n.sClientRef));
    Run(refs ? kInsertNotificationWithRef : kInsertNotification, values);
  }
}

LONG CJobOutcomeWriter::Run(const char* szSql, const SqlValues& values) {
  LONG affected = 0;
  m_Outgoing.ExecuteCommand(szSql, values, affected, adCmdText | adExecuteNoRecords, -1, 1);
  return affected;
}

}  // namespace Norvale
