// CMessageHistory: the engine's record of each job's life, kept in its own
// table MessageHistory after the queue row is gone (a sent row is deleted as
// soon as a newer job is sent). One row per event, in the order of Id:
//   queued     the client's insert into SMSOutgoing (a trigger of the schema
//              writes it in the insert's statement; Status, Handset asked)
//   claimed    an engine's claim (EngineId, Handset claiming)
//   sent       the network took every part (Status jsSent: no delivery report
//              awaited; jsSentNotConfirmed: awaited; Reference, Parts)
//   failed     the submission failed, or a delivery report said it failed
//              (Status, ErrorCode)
//   delivered  a delivery report said it arrived
//   notified   the notification written for the sender (Detail: its kind)
// Each event is written in the transaction of what it records (the claim,
// the outcome batch), so that a rolled-back batch leaves none. At is
// milliseconds since the epoch (UTC). The engine deletes rows older than its
// HistoryAge.
//
// A job's identifier can come back after its row was deleted; the events of
// its latest life start at its latest 'queued' event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "queues/database_access.h"

namespace Norvale {

struct CHistoryEvent {
  std::int64_t nId = 0;
  OS::LONG nJobId = 0;
  std::string sEvent;
  std::optional<OS::LONG> nStatus, nHandset, nParts, nErrorCode;
  std::optional<std::int64_t> nEngineId;
  std::string sReference;  // the network's reference, empty when none
  std::string sDetail;
  std::int64_t nAt = 0;
};

// A job's row in SMSOutgoing, as far as its status is concerned.
struct CQueuedJob {
  OS::LONG nStatus = 0;
  std::string sPhoneNumber;
  std::optional<OS::LONG> nHandset;
  std::optional<OS::LONG> nMessageRef;
};

// The names of the events (the values of the Event column).
inline constexpr const char* kHistoryQueued = "queued";
inline constexpr const char* kHistoryClaimed = "claimed";
inline constexpr const char* kHistorySent = "sent";
inline constexpr const char* kHistoryDelivered = "delivered";
inline constexpr const char* kHistoryFailed = "failed";
inline constexpr const char* kHistoryNotified = "notified";

// The name of a NotificationTypes value as the 'notified' event spells it:
// "delivered", "delivery_failed", "sent", "send_failed".
const char* NotificationKindName(int eType);

// How many events of one kind one handset had in one minute.
struct CHistoryCount {
  std::int64_t nMinute = 0;  // At / 60000
  OS::LONG nHandset = 0;     // 0: none recorded
  std::string sEvent;
  OS::LONG nCount = 0;
};

// An engine that claimed jobs, as its 'claimed' events tell.
struct CHistoryEngine {
  std::int64_t nEngineId = 0;
  std::int64_t nLastClaimAt = 0;
  OS::LONG nClaims = 0;
};

class CMessageHistory : public CDatabaseQueryExecuter {
 public:
  explicit CMessageHistory(CDBConnectionDispensor* pConnections) : CDatabaseQueryExecuter(pConnections) {}

  // The events of the job's latest life, oldest first; none when the history
  // holds nothing of it.
  std::vector<CHistoryEvent> Read(OS::LONG nJobId);
  // The job's row, when SMSOutgoing still holds it.
  std::optional<CQueuedJob> ReadQueuedJob(OS::LONG nJobId);
  // Appends the events (their Id is the table's), in order: on PostgreSQL
  // in one statement over arrays, on SQLite one prepared insert each. Runs
  // in the caller's transaction when one is open.
  void Append(const std::vector<CHistoryEvent>& events);
  // The sent, failed and delivered events since the time, counted by
  // minute, handset and event (for the web console's traffic).
  std::vector<CHistoryCount> CountOutcomes(std::int64_t nSinceMs);
  // The engines whose claims the history holds, the latest claim first.
  std::vector<CHistoryEngine> Engines();
  // The 'sent' events of the handset at or after the time: the messages it
  // sent since then, by whichever engine (MaxPerDay). The partial index
  // MessageHistory_Sent keeps it to the events counted.
  OS::LONG CountSent(OS::LONG nHandset, std::int64_t nSinceMs);
  // Deletes up to nLimit events older than the time; gives how many it did.
  OS::LONG PruneBefore(std::int64_t nTimeMs, OS::LONG nLimit);

  // Creates the table, its indexes and the trigger of the 'queued' event in
  // a database made before they existed (the statements of the schema that
  // concern them; nothing changes where they exist). True when the table is
  // there afterwards, false when it is not and cannot be made (e.g. no right
  // to create tables; the reason in sWhyNot). A failure to reach the
  // database raises. Done once per data source and process.
  static bool EnsureTable(CDBConnectionDispensor* pConnections, const std::string& sDSN, std::string* sWhyNot);
};

// Milliseconds since the epoch, now.
std::int64_t HistoryNow();
// The time as ISO 8601 in UTC with milliseconds: "2026-12-09T16:48:40.123Z".
std::string HistoryTimeText(std::int64_t nMs);

}  // namespace Norvale
