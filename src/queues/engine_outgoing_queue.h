// CEngineOutgoingQueue: the engine's side of SMSOutgoing and of its table
// SMSMessageRefs. Beside the client's statements of COutgoingQueue it holds
// the claim as a record, the owner's tags of jobs in processing
// (CJobOwnership decides what the tags mean), the references of jobs waiting
// for a delivery report (CDeliveryReportMatcher) and the reads and the
// failing of rows that cannot be read.
//
// Owner's tags. While a job is in processing its MessageRef holds a negative
// tag; a job with MessageRef NULL or not negative is untagged.
//
// Every statement binds its values; each text is a constant, so that a
// statement can later be prepared once per connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "queues/outgoing_queue.h"
#include "queues/send_options.h"

namespace Norvale {

// A job the claim took: the columns GetJobA reads.
struct CClaimedJob {
  OS::LONG nJobId = -1;
  std::string sPhoneNumber;
  JOBTYPE eType = jtTextMessage;
  std::string sData;
  OS::LONG nRetryCount = 0;
  CMessageEndpoint source;
  // The row's Handset: hsAll when any handset (or a route) may take it.
  Handsets eHandset = hsAll;
  CSendOptions options{};
};

// What a batch claim took: the jobs, in the order GetJobA would have given
// them, each in processing and carrying the claim's tag; and the jobs it
// took but could not read (a NULL or a value of the wrong kind in a column
// the claim reads), which are pending and untagged again.
struct CClaimBatch {
  std::vector<CClaimedJob> jobs;
  std::vector<OS::LONG> unreadable;
};

// A claim that took a job and then failed, usually because the row cannot be
// read (a NULL or a value of the wrong kind): the job is pending again. The
// HRESULT and text are the failure's.
class CClaimFailed : public CDatabase_com_error {
 public:
  CClaimFailed(const OS::_com_error& e, OS::LONG nJobId) : CDatabase_com_error(e), m_nJobId(nJobId) {}
  OS::LONG JobId() const { return m_nJobId; }

 private:
  OS::LONG m_nJobId;
};

// A job waiting for its delivery report, and its reference (none when it was
// cleared while the row was read).
struct CJobAwaitingReport {
  OS::LONG nJobId = 0;
  std::optional<OS::LONG> nMessageRef;
};

class CEngineOutgoingQueue : public COutgoingQueue {
 public:
  explicit CEngineOutgoingQueue(CDBConnectionDispensor* pConnections) : COutgoingQueue(nullptr, pConnections) {}

  // The claim (GetJobA): the oldest pending job for the handset or for any,
  // now in processing; none when there is none. A job claimed but not read
  // raises CClaimFailed.
  std::optional<CClaimedJob> ClaimJob(Handsets ePriorityHandset);
  // The batch claim: up to nMax of the jobs GetJobA would give the handset
  // (of those whose NotBefore, if any, is past), high priority first (no
  // priority counts as 0), then in GetJobA's order, set to processing and tagged with nTag in the same step
  // (the take-over), in one statement on PostgreSQL and one transaction on
  // SQLite. Two claims, in one process or several, never take one job.
  // With nHistoryEngineId, each job taken gets its 'claimed' event
  // (CMessageHistory) in the same statement or transaction.
  // sAnyHandsetCondition, when not empty, is an SQL condition over the
  // row's columns, its values written as literals, that a job for any
  // handset must also meet to be taken (the routes that give such jobs to
  // this handset now); jobs for this handset by name are taken regardless.
  CClaimBatch ClaimJobs(Handsets eHandset, int nMax, OS::LONG nTag,
                        std::optional<std::int64_t> nHistoryEngineId = std::nullopt,
                        const std::string& sAnyHandsetCondition = {});

  // Whether SMSOutgoing has the per-message columns (Sender, Priority,
  // NotBefore, ValidUntil, ReportRequest, ClientRef; the default). Without
  // them (a database made before them that could not be upgraded) the claim
  // is the oldest first, as before, and reads no options.
  void SetOptionColumns(bool bPresent) { m_bOptionColumns = bPresent; }
  bool OptionColumns() const { return m_bOptionColumns; }
  // At an engine's start: adds the per-message columns and the claim's
  // indexes to a database made before them (UpgradeQueueSchema). True when
  // the columns are there afterwards; false when they are not and cannot be
  // added (e.g. no right to alter the tables; the reason in sWhyNot). A
  // failure to reach the database raises. Done once per data source and
  // process.
  static bool EnsureOptionColumns(CDBConnectionDispensor* pConnections, const std::string& sDSN, std::string* sWhyNot);

  // The earliest NotBefore after nNowMs of the pending jobs for the handset
  // or for any; none when no job is scheduled for later (or the columns are
  // missing).
  std::optional<std::int64_t> NextScheduled(Handsets eHandset, std::int64_t nNowMs);

  // Tags the job, still processing and untagged (or already carrying nTag),
  // with nTag; true when this statement's row now carries it.
  bool TagClaimedJob(OS::LONG nJobId, OS::LONG nTag);
  // Replaces the tag of a processing job carrying nFrom with nTo.
  void ReplaceTag(OS::LONG nJobId, OS::LONG nFrom, OS::LONG nTo);
  // The same for every job of `jobIds`, in one statement.
  void ReplaceTags(const std::vector<OS::LONG>& jobIds, OS::LONG nFrom, OS::LONG nTo);
  // Clears the tag of a processing job that carries one of `tags`.
  void ClearTag(OS::LONG nJobId, const std::vector<OS::LONG>& tags);
  // The oldest processing job carrying nTag, or -1.
  OS::LONG OldestTagged(OS::LONG nTag);

  // Ends the wait of the handset's jobs (other than nExceptJobId) waiting
  // for the numeric reference nReference.
  void EndWaitsForNumber(Handsets eHandset, OS::LONG nReference, OS::LONG nExceptJobId);
  // Maps the text reference to the job, whose MessageRef will hold its own
  // Id: drops the job's earlier mapping, ends the wait of the handset's job
  // that had the same text, and inserts the mapping.
  void MapTextReference(OS::LONG nJobId, Handsets eHandset, const std::string& sReference);
  // The newest job mapped to the text, or to any of `texts` after
  // lower(ltrim(Reference, '0')); -1 when none.
  OS::LONG FindMappedJob(Handsets eHandset, const std::string& sReference);
  OS::LONG FindMappedJobByNumericForm(Handsets eHandset, const std::vector<std::string>& texts);
  // The newest of the handset's jobs waiting for the numeric reference, or -1.
  OS::LONG FindNewestWaitingForNumber(Handsets eHandset, OS::LONG nReference);
  // Drops the mapping row of the job.
  void DropMapping(OS::LONG nJobId);
  // The handset's oldest job above nAfterId that waits with a reference.
  std::optional<CJobAwaitingReport> NextWaitingJob(Handsets eHandset, OS::LONG nAfterId);
  // Ends the wait of the job if it still waits with that reference.
  void EndWait(OS::LONG nJobId, OS::LONG nMessageRef);

  bool JobExists(OS::LONG nJobId);
  // The job's ClientRef; "" when it has none or is gone.
  std::string ReadClientRef(OS::LONG nJobId);
  // The whole row, or null when there is none.
  OS::_RecordsetPtr ReadRow(OS::LONG nJobId);
  // Fails a pending job that cannot be read: status, handset and MessageRef
  // 0; true when this statement moved it out of pending.
  bool FailUnreadablePendingJob(OS::LONG nJobId, EnumJobStatus eStatus, Handsets eHandset);
  // Returns a processing job of any handset to pending for handset eTo (a
  // route's next handset) with the retry count nRetryCount; true when this
  // statement moved it.
  bool PassJobTo(OS::LONG nJobId, Handsets eTo, OS::LONG nRetryCount);

 private:
  // The row's Handset and options, as the claim returned them.
  static void ReadOptions(OS::Recordset& rs, CClaimedJob& job);
  void Run(const char* szSql, const OS::SqlValues& values, OS::LONG& nAffected, OS::LONG nAffectedCheck = -1);
  OS::_RecordsetPtr Query(const char* szSql, const OS::SqlValues& values);
  // The single column of a one-row query, -1 for NULL.
  OS::LONG QueryId(const char* szSql, const OS::SqlValues& values, const char* szColumn);

  bool m_bOptionColumns = true;
};

}  // namespace Norvale
