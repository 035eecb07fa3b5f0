// CQueueHandover: a reader that keeps what it takes from the queue in tables
// of its own (velquor-http's inbox and webhook outbox) takes a batch of
// notifications or received messages and writes its own rows in ONE
// transaction on the same connection: the rows are read and deleted, the
// caller's writer runs on the open connection, and only then does the
// transaction commit. A crash or a failure anywhere before the COMMIT leaves
// the rows in the queue and nothing of the writer's; after it, the rows are
// gone and the writer's are there. Never both, never neither.
//
// Readers taking at once each get rows of their own: on PostgreSQL the rows
// are chosen with FOR UPDATE SKIP LOCKED, on SQLite the transaction holds the
// database's write lock (BEGIN IMMEDIATE) from the start. Rows are read
// leniently (a NULL number reads as 0), so that one odd row cannot stop every
// later batch.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "norvale/enums.h"
#include "queues/database_access.h"
#include "queues/notification_queue.h"

namespace Norvale {

// A notification taken, with its row's Id.
struct CTakenNotification {
  OS::LONG nId = 0;
  CNotificationRecord record;
};

// A received message taken from SMSIncoming.
struct CTakenMessage {
  OS::LONG nId = 0;
  JOBTYPE eJobType = static_cast<JOBTYPE>(0);
  std::string sPhoneNumber;  // the sender
  std::string sData;
  Handsets eHandset = hsAll;
  std::string sTimeStamp;
  CMessageEndpoint dest;
};

class CQueueHandover {
 public:
  // The writer of the caller's rows: it runs inside the transaction, on the
  // provider's open connection, and raises to undo the whole batch.
  using NotificationWriter = std::function<void(const std::vector<CTakenNotification>&)>;
  using MessageWriter = std::function<void(const std::vector<CTakenMessage>&)>;

  explicit CQueueHandover(CDBConnectionDispensor* pConnections);

  // Takes the oldest notifications of the source type, at most nLimit, in
  // the order of their Ids, and hands them to `write` before the COMMIT.
  // Returns how many were taken (0: none there; `write` is then not called).
  // Raises _com_error on failure, when nothing was taken.
  std::size_t TakeNotifications(SourceTypes eSourceType, std::size_t nLimit, const NotificationWriter& write);
  // The same for received messages of the handsets (an empty list, or one
  // holding hsAll: of any handset).
  std::size_t TakeMessages(const std::vector<int>& handsets, std::size_t nLimit, const MessageWriter& write);

 private:
  // Whether a row is there: a look outside any transaction, so that an idle
  // reader that asks often takes no write lock (SQLite) and opens no
  // transaction.
  bool AnyRow(const std::string& sTable, const std::string& sCondition, const OS::SqlValues& values);
  // Selects (and on PostgreSQL locks) the rows, hands each to `read`, then
  // deletes them; raises when a row chosen is gone. Returns how many.
  std::size_t SelectAndDelete(const std::string& sTable, const std::string& sCondition, const OS::SqlValues& values,
                              std::size_t nLimit, const std::function<void(const CQueueRow&)>& read);

  CDBConnectionDispensor* m_pConnections;
};

}  // namespace Norvale
