#include "queues/outgoing_batch.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "errors/com_error_raise.h"
#include "queues/sql_array_text.h"

namespace Norvale {
using namespace OS;

namespace {

// PostgreSQL: batch writers take turns from the choice of their identifiers
// to their COMMIT by this transaction-level lock (the ASCII of "velqout").
constexpr std::int64_t kBatchLock = 0x76656c716f7574;
constexpr const char* kLockBatches = "SELECT pg_advisory_xact_lock($1)";
// The rows in one statement: identifiers above the largest in the order of
// the arrays, none when they would pass the largest 32-bit number.
constexpr const char* kInsertRows =
    "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName) "
    "SELECT m.MaxId + v.n, v.t, v.pn, v.d, v.hs, $5, $6, $7, $8 FROM (SELECT COALESCE(MAX(Id), 0) AS MaxId FROM "
    "SMSOutgoing) AS m, unnest(CAST($1 AS integer[]), CAST($2 AS text[]), CAST($3 AS text[]), CAST($4 AS "
    "integer[])) WITH ORDINALITY AS v(t, pn, d, hs, n) WHERE m.MaxId + $9 <= 2147483647 RETURNING Id";
// The same with the per-message columns, written only when a job of the
// batch has options (a database made before them takes batches without).
constexpr const char* kInsertRowsWithOptions =
    "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName, Sender, "
    "Priority, NotBefore, ValidUntil, ReportRequest, ClientRef) SELECT m.MaxId + v.n, v.t, v.pn, v.d, v.hs, $5, $6, "
    "$7, $8, v.se, v.pr, v.nb, v.vu, v.rr, v.cr FROM (SELECT COALESCE(MAX(Id), 0) AS MaxId FROM SMSOutgoing) AS m, "
    "unnest(CAST($1 AS integer[]), CAST($2 AS text[]), CAST($3 AS text[]), CAST($4 AS integer[]), CAST($10 AS "
    "text[]), CAST($11 AS integer[]), CAST($12 AS bigint[]), CAST($13 AS bigint[]), CAST($14 AS integer[]), CAST($15 "
    "AS text[])) WITH ORDINALITY AS v(t, pn, d, hs, se, pr, nb, vu, rr, cr, n) WHERE m.MaxId + $9 <= 2147483647 "
    "RETURNING Id";
constexpr const char* kSelectLargestId = "SELECT MAX(Id) AS MaxId FROM SMSOutgoing";
constexpr const char* kInsertRow =
    "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)";
constexpr const char* kInsertRowWithOptions =
    "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName, Sender, "
    "Priority, NotBefore, ValidUntil, ReportRequest, ClientRef) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, "
    "$12, $13, $14, $15)";

// Texts as InsertJob stores them (EncodeSQLLiteralString): an empty one as
// one blank.
std::string Stored(const std::string& text) { return text.empty() ? " " : text; }

// An option as a bound value: none is NULL.
SqlValue Bound(const std::string& text) { return text.empty() ? SqlValue(SqlNull) : SqlValue(text); }
template <typename T>
SqlValue Bound(const std::optional<T>& value) {
  return value ? SqlValue(static_cast<std::int64_t>(*value)) : SqlValue(SqlNull);
}
SqlValue BoundReport(const std::optional<bool>& report) {
  return report ? SqlValue(static_cast<std::int64_t>(*report ? 1 : 0)) : SqlValue(SqlNull);
}

}  // namespace

void COutgoingBatch::Run(const std::function<void()>& group) {
  CDBConnectionDispensor* connections = m_pDBConnectionDispensor;
  const CDatabaseOperation operation(connections);
  // Inside a caller's transaction the group is part of it and cannot go
  // again by itself.
  if (connections->InTransaction()) return group();
  const bool postgres = connections->IsPostgres();
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) WaitBeforeAttempt(attempt, connections->GetDeadline());
    try {
      CDatabaseTransaction transaction(connections, CDatabaseTransaction::kEveryDatabase);
      group();
      transaction.Commit();
      return;
    } catch (const _com_error& e) {
      if (!postgres || e.Error() != DB_E_INTEGRITYVIOLATION || attempt >= kAttempts || operation.TimeIsUp()) throw;
    }
  }
}

std::vector<LONG> COutgoingBatch::Insert(const std::vector<COutgoingJobRow>& jobs, const CMessageEndpoint& source) {
  if (jobs.empty()) return {};
  CDBConnectionDispensor* connections = m_pDBConnectionDispensor;
  if (!connections->InTransaction())
    RAISE_COM_ERROR(E_UNEXPECTED, "SMSOutgoing: a batch of jobs is inserted only inside a transaction");
  const CDatabaseOperation operation(connections);
  const auto count = static_cast<std::int64_t>(jobs.size());
  const auto overflow = [&](std::int64_t largest) {
    RAISE_COM_ERROR(DISP_E_OVERFLOW, "SMSOutgoing has no identifiers left above " +
                                         std::to_string(CJobQueue::kLargestId) + " for " + std::to_string(count) +
                                         " jobs (its largest Id is " + std::to_string(largest) + ")");
  };
  const auto largest = [&]() -> std::int64_t {
    LONG affected = 0;
    const auto rs = ExecuteCommand(kSelectLargestId, {}, affected, adCmdText, -1, 1);
    const _variant_t max = rs->GetFieldValue("MaxId");
    return max.vt == VT_NULL ? 0 : max.ToLongLong();
  };
  const SqlValue status = static_cast<std::int64_t>(jsPending);
  const SqlValue sourceType = static_cast<std::int64_t>(source.m_eType);
  const SqlValue sourceId = Stored(source.m_sId);
  const SqlValue sourceName = Stored(source.m_sName);
  std::vector<LONG> ids;
  ids.reserve(jobs.size());
  LONG affected = 0;
  const bool options =
      std::any_of(jobs.begin(), jobs.end(), [](const COutgoingJobRow& job) { return !job.options.Empty(); });
  if (connections->IsPostgres()) {
    ExecuteCommand(kLockBatches, {kBatchLock}, affected, adCmdText | adExecuteNoRecords, -1, 1);
    CSqlArrayText types, phones, data, handsets, senders, priorities, notBefore, validUntil, reports, clientRefs;
    const auto add = [](CSqlArrayText& array, const auto& value) {
      if (value)
        array.Add(static_cast<std::int64_t>(*value));
      else
        array.AddNull();
    };
    for (const COutgoingJobRow& job : jobs) {
      types.Add(static_cast<std::int64_t>(job.eJobType));
      phones.Add(Stored(job.sPhoneNumber));
      data.Add(Stored(job.sData));
      handsets.Add(static_cast<std::int64_t>(job.eHandset));
      if (!options) continue;
      const CSendOptions& o = job.options;
      if (o.sSender.empty())
        senders.AddNull();
      else
        senders.Add(o.sSender);
      add(priorities, o.nPriority);
      add(notBefore, o.nNotBefore);
      add(validUntil, o.nValidUntil);
      add(reports, o.bReportRequest ? std::optional<int>(*o.bReportRequest ? 1 : 0) : std::nullopt);
      if (o.sClientRef.empty())
        clientRefs.AddNull();
      else
        clientRefs.Add(o.sClientRef);
    }
    SqlValues values{types.Value(), phones.Value(), data.Value(), handsets.Value(), status, sourceType,
                     sourceId,      sourceName,     count};
    if (options)
      values.insert(values.end(), {senders.Value(), priorities.Value(), notBefore.Value(), validUntil.Value(),
                                   reports.Value(), clientRefs.Value()});
    const auto rs = ExecuteCommand(options ? kInsertRowsWithOptions : kInsertRows, values, affected, adCmdText, -1, 1);
    for (; rs && !rs->adoEOF(); rs->MoveNext()) ids.push_back(rs->GetFieldValue("Id").ToLong());
    if (static_cast<std::int64_t>(ids.size()) != count) overflow(largest());
    // The identifiers are the largest plus the jobs' places: in order once
    // sorted, whatever order RETURNING gave them in.
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  const std::int64_t first = largest() + 1;
  if (first - 1 + count > CJobQueue::kLargestId) overflow(first - 1);
  for (std::int64_t i = 0; i < count; ++i) {
    const COutgoingJobRow& job = jobs[static_cast<size_t>(i)];
    SqlValues values{first + i,
                     static_cast<std::int64_t>(job.eJobType),
                     Stored(job.sPhoneNumber),
                     Stored(job.sData),
                     static_cast<std::int64_t>(job.eHandset),
                     status,
                     sourceType,
                     sourceId,
                     sourceName};
    if (options) {
      const CSendOptions& o = job.options;
      values.insert(values.end(), {Bound(o.sSender), Bound(o.nPriority), Bound(o.nNotBefore), Bound(o.nValidUntil),
                                   BoundReport(o.bReportRequest), Bound(o.sClientRef)});
    }
    ExecuteCommand(options ? kInsertRowWithOptions : kInsertRow, values, affected, adCmdText | adExecuteNoRecords, 1,
                   1);
    ids.push_back(static_cast<LONG>(first + i));
  }
  return ids;
}

}  // namespace Norvale
