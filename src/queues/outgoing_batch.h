// COutgoingBatch: many jobs into SMSOutgoing at once, as part of a
// transaction that also writes the caller's own records (velquor-http's
// HttpJobs and HttpIdempotency), so that the jobs and those records commit
// together or not at all.
//
// The rows are those COutgoingQueue::InsertJob writes (pending, no retry
// count, an empty text stored as one blank), with consecutive identifiers
// above the largest, in the order of the jobs. On PostgreSQL the batch is one
// statement over arrays of its values, with the identifiers chosen in it
// under a transaction-level advisory lock that batch writers take in turn; a
// writer that takes no lock (the library's single InsertJob) may still take
// an identifier first, and the duplicate key then fails the transaction,
// which Run goes through again after CJobQueue's back-off (up to
// CJobQueue::kAttempts times, never past the operation's time). On SQLite the
// transaction holds the database's write lock (BEGIN IMMEDIATE): the largest
// identifier is read once and the rows go in by one prepared statement each.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "norvale/enums.h"
#include "queues/job_queue.h"
#include "queues/message_endpoint.h"
#include "queues/send_options.h"

namespace Norvale {

struct COutgoingJobRow {
  std::string sPhoneNumber;
  JOBTYPE eJobType = jtTextMessage;
  std::string sData;  // as InsertJob takes it (the packed text for a data message)
  Handsets eHandset = hsAll;
  CSendOptions options{};
};

class COutgoingBatch : public CJobQueue {
 public:
  explicit COutgoingBatch(CDBConnectionDispensor* pConnections) : CJobQueue(pConnections, "SMSOutgoing") {}

  // Runs `group` in one transaction on either backend (BEGIN IMMEDIATE on
  // SQLite) and commits when it returns. A duplicate key raised in it on
  // PostgreSQL (another writer took an identifier, or a key of the caller's
  // records) rolls everything back; the group then runs again from the start
  // after a growing random wait, so it must read what it depends on inside.
  // Any other failure, or the last attempt's, reaches the caller with
  // nothing written.
  void Run(const std::function<void()>& group);

  // Inside Run's group (or another transaction of kEveryDatabase scope on
  // this provider): inserts the jobs, all with `source`, and returns their
  // identifiers in order. Raises E_UNEXPECTED outside a transaction and
  // DISP_E_OVERFLOW when the identifiers above the largest do not suffice.
  std::vector<OS::LONG> Insert(const std::vector<COutgoingJobRow>& jobs, const CMessageEndpoint& source);
};

}  // namespace Norvale
