#include "queues/message_history.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>

#include "norvale/enums.h"
#include "platform/wall_clock.h"
#include "queues/job_queue.h"
#include "queues/queue_schema.h"

namespace Norvale {
using namespace OS;

namespace {

constexpr const char* kRead =
    "SELECT Id, JobId, Event, Status, Handset, EngineId, Reference, Parts, ErrorCode, Detail, At FROM MessageHistory "
    "WHERE JobId=$1 ORDER BY Id";
constexpr const char* kReadQueued = "SELECT Status, PhoneNumber, Handset, MessageRef FROM SMSOutgoing WHERE Id=$1";
constexpr const char* kPrune =
    "DELETE FROM MessageHistory WHERE Id IN (SELECT Id FROM MessageHistory WHERE At<$1 LIMIT $2)";
// 'sent' as a literal: the partial index MessageHistory_Sent serves only a
// condition that names it.
constexpr const char* kCountSent =
    "SELECT COUNT(*) AS N FROM MessageHistory WHERE Event='sent' AND Handset=$1 AND At>=$2";
constexpr const char* kTableExistsSqlite =
    "SELECT COUNT(*) AS N FROM sqlite_master WHERE type='table' AND lower(name)='messagehistory'";
constexpr const char* kTableExistsPostgres =
    "SELECT CASE WHEN to_regclass('messagehistory') IS NULL THEN 0 ELSE 1 END AS N";

constexpr const char* kAppendPostgres =
    "INSERT INTO MessageHistory (JobId, Event, Status, Handset, EngineId, Reference, Parts, ErrorCode, Detail, At) "
    "SELECT v.j, v.e, v.s, v.h, v.g, v.r, v.p, v.ec, v.d, v.a FROM unnest(CAST($1 AS bigint[]), CAST($2 AS text[]), "
    "CAST($3 AS integer[]), CAST($4 AS integer[]), CAST($5 AS bigint[]), CAST($6 AS text[]), CAST($7 AS "
    "integer[]), CAST($8 AS integer[]), CAST($9 AS text[]), CAST($10 AS bigint[])) WITH ORDINALITY AS v(j, e, s, h, "
    "g, r, p, ec, d, a, n) ORDER BY v.n";
constexpr const char* kAppendSqlite =
    "INSERT INTO MessageHistory (JobId, Event, Status, Handset, EngineId, Reference, Parts, ErrorCode, Detail, At) "
    "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)";

// An array's text form for CAST(... AS integer[]/bigint[]/text[]); a value
// left out is NULL.
class ArrayText {
 public:
  template <typename T>
  void Add(const std::optional<T>& n) {
    Next() += n ? std::to_string(*n) : "NULL";
  }
  void Add(std::int64_t n) { Next() += std::to_string(n); }
  void Add(const std::string& text) {
    std::string& s = Next();
    if (text.empty()) {
      s += "NULL";
      return;
    }
    s += '"';
    for (const char c : text) {
      if (c == '"' || c == '\\') s += '\\';
      s += c;
    }
    s += '"';
  }
  SqlValue Value() const { return m_text + "}"; }

 private:
  std::string& Next() {
    m_text += m_text.size() > 1 ? "," : "";
    return m_text;
  }
  std::string m_text = "{";
};

template <typename T>
SqlValue Bound(const std::optional<T>& n) {
  return n ? SqlValue(static_cast<std::int64_t>(*n)) : SqlValue(SqlNull);
}
SqlValue Bound(const std::string& text) { return text.empty() ? SqlValue(SqlNull) : SqlValue(text); }

std::optional<LONG> OptionalLong(const _variant_t& v) {
  if (v.vt == VT_NULL || v.vt == VT_EMPTY) return std::nullopt;
  return v.ToLong();
}
std::string Text(const _variant_t& v) { return v.vt == VT_NULL || v.vt == VT_EMPTY ? "" : v.ToString(); }

}  // namespace

const char* NotificationKindName(int eType) {
  switch (eType) {
    case ntDeliveryReport: return "delivered";
    case ntDeliveryFailure: return "delivery_failed";
    case ntMessageSent: return "sent";
    case ntSendFailure: return "send_failed";
    default: return "unknown";
  }
}

std::int64_t HistoryNow() { return OS::NowMs(); }

std::string HistoryTimeText(std::int64_t nMs) {
  const std::int64_t ms = ((nMs % 1000) + 1000) % 1000;
  const std::time_t seconds = static_cast<std::time_t>((nMs - ms) / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
  return text;
}

std::vector<CHistoryCount> CMessageHistory::CountOutcomes(std::int64_t nSinceMs) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(
      "SELECT At / 60000 AS Minute, Handset, Event, COUNT(*) AS N FROM MessageHistory WHERE At >= $1 AND Event IN "
      "('sent', 'failed', 'delivered') GROUP BY At / 60000, Handset, Event",
      {nSinceMs}, affected, adCmdText, -1, CJobQueue::kAttempts);
  std::vector<CHistoryCount> counts;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    CHistoryCount c;
    c.nMinute = rs->GetFieldValue("Minute").ToLongLong();
    c.nHandset = OptionalLong(rs->GetFieldValue("Handset")).value_or(0);
    c.sEvent = Text(rs->GetFieldValue("Event"));
    c.nCount = rs->GetFieldValue("N").ToLong();
    counts.push_back(std::move(c));
  }
  return counts;
}

std::vector<CHistoryEngine> CMessageHistory::Engines() {
  LONG affected = 0;
  const auto rs = ExecuteCommand(
      "SELECT EngineId, MAX(At) AS LastAt, COUNT(*) AS N FROM MessageHistory WHERE Event = 'claimed' AND EngineId IS "
      "NOT NULL GROUP BY EngineId ORDER BY MAX(At) DESC",
      affected, adCmdText, -1, CJobQueue::kAttempts);
  std::vector<CHistoryEngine> engines;
  for (; rs && !rs->adoEOF(); rs->MoveNext())
    engines.push_back({rs->GetFieldValue("EngineId").ToLongLong(), rs->GetFieldValue("LastAt").ToLongLong(),
                       rs->GetFieldValue("N").ToLong()});
  return engines;
}

std::optional<CQueuedJob> CMessageHistory::ReadQueuedJob(LONG nJobId) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(kReadQueued, {nJobId}, affected, adCmdText, -1, CJobQueue::kAttempts);
  if (!rs || rs->BOF() || rs->adoEOF()) return std::nullopt;
  CQueuedJob job;
  job.nStatus = OptionalLong(rs->GetFieldValue("Status")).value_or(-1);
  job.sPhoneNumber = Text(rs->GetFieldValue("PhoneNumber"));
  job.nHandset = OptionalLong(rs->GetFieldValue("Handset"));
  job.nMessageRef = OptionalLong(rs->GetFieldValue("MessageRef"));
  rs->Close();
  return job;
}

std::vector<CHistoryEvent> CMessageHistory::Read(LONG nJobId) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(kRead, {nJobId}, affected, adCmdText, -1, CJobQueue::kAttempts);
  std::vector<CHistoryEvent> events;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    CHistoryEvent e;
    e.nId = rs->GetFieldValue("Id").ToLongLong();
    e.nJobId = rs->GetFieldValue("JobId").ToLong();
    e.sEvent = Text(rs->GetFieldValue("Event"));
    e.nStatus = OptionalLong(rs->GetFieldValue("Status"));
    e.nHandset = OptionalLong(rs->GetFieldValue("Handset"));
    const _variant_t engine = rs->GetFieldValue("EngineId");
    if (engine.vt != VT_NULL && engine.vt != VT_EMPTY) e.nEngineId = engine.ToLongLong();
    e.sReference = Text(rs->GetFieldValue("Reference"));
    e.nParts = OptionalLong(rs->GetFieldValue("Parts"));
    e.nErrorCode = OptionalLong(rs->GetFieldValue("ErrorCode"));
    e.sDetail = Text(rs->GetFieldValue("Detail"));
    e.nAt = rs->GetFieldValue("At").ToLongLong();
    events.push_back(std::move(e));
  }
  // An identifier used again: the latest life only.
  for (size_t i = events.size(); i-- > 1;) {
    if (events[i].sEvent == kHistoryQueued) {
      events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  return events;
}

void CMessageHistory::Append(const std::vector<CHistoryEvent>& events) {
  if (events.empty()) return;
  LONG affected = 0;
  if (m_pDBConnection->IsPostgres()) {
    ArrayText jobs, names, statuses, handsets, engines, references, parts, errors, details, times;
    for (const CHistoryEvent& e : events) {
      jobs.Add(e.nJobId), names.Add(e.sEvent), statuses.Add(e.nStatus), handsets.Add(e.nHandset);
      engines.Add(e.nEngineId), references.Add(e.sReference), parts.Add(e.nParts), errors.Add(e.nErrorCode);
      details.Add(e.sDetail), times.Add(e.nAt);
    }
    ExecuteCommand(kAppendPostgres,
                   {jobs.Value(), names.Value(), statuses.Value(), handsets.Value(), engines.Value(),
                    references.Value(), parts.Value(), errors.Value(), details.Value(), times.Value()},
                   affected, adCmdText | adExecuteNoRecords, -1, 1);
    return;
  }
  for (const CHistoryEvent& e : events)
    ExecuteCommand(kAppendSqlite,
                   {e.nJobId, e.sEvent, Bound(e.nStatus), Bound(e.nHandset), Bound(e.nEngineId), Bound(e.sReference),
                    Bound(e.nParts), Bound(e.nErrorCode), Bound(e.sDetail), e.nAt},
                   affected, adCmdText | adExecuteNoRecords, -1, 1);
}

LONG CMessageHistory::CountSent(LONG nHandset, std::int64_t nSinceMs) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(kCountSent, {nHandset, nSinceMs}, affected, adCmdText, -1, CJobQueue::kAttempts);
  const LONG count = rs->GetFieldValue("N").ToLong();
  rs->Close();
  return count;
}

LONG CMessageHistory::PruneBefore(std::int64_t nTimeMs, LONG nLimit) {
  LONG affected = 0;
  ExecuteCommand(kPrune, {nTimeMs, nLimit}, affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
  return affected;
}

bool CMessageHistory::EnsureTable(CDBConnectionDispensor* pConnections, const std::string& sDSN, std::string* sWhyNot) {
  static std::mutex lock;
  static std::map<std::string, bool> known;
  const std::lock_guard guard(lock);
  if (const auto it = known.find(sDSN); it != known.end()) return it->second;
  CMessageHistory history(pConnections);
  std::string why;
  try {
    for (const std::string& statement : QueueSchemaStatements(sDSN)) {
      if (statement.find("istory") == std::string::npos) continue;
      LONG affected = 0;
      history.ExecuteCommand(statement, affected, adCmdText | adExecuteNoRecords, -1, 1);
    }
  } catch (const _com_error& e) {
    why = e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA();
  }
  bool present = why.empty();
  if (!present) {
    // Another process may have made it meanwhile; a database out of reach
    // raises here.
    LONG affected = 0;
    const auto rs = history.ExecuteCommand(pConnections->IsPostgres() ? kTableExistsPostgres : kTableExistsSqlite,
                                           affected, adCmdText, -1, CJobQueue::kAttempts);
    present = rs->GetFieldValue("N").ToLong() != 0;
    if (!present && sWhyNot) *sWhyNot = why;
  }
  known[sDSN] = present;
  return present;
}

}  // namespace Norvale
