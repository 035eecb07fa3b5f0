// CHandset: one handset of the engine and the one thread that works for it.
//
// The worker is a pipeline. It claims jobs of the outgoing queue for its
// handset or for any handset a batch at a time (CEngineOutgoingQueue::
// ClaimJobs, up to the engine's ClaimBatch jobs in hand), tagged as waiting
// (CJobOwnership): not in the network's hands, so a crash returns them to
// pending. It converts them (CJobConverter) and hands their parts to its
// driver with SubmitAsync, keeping up to the driver's Window() parts in
// flight; the parts of a long text go in parallel within the window. Right
// before a round of parts goes to the driver, the jobs they belong to are
// retagged sending in one statement: after a crash only those are in doubt
// (Recover, ResendInDoubt). The driver's completions are queued and wake the
// worker; the driver's thread never waits for it.
//
// A job is decided when none of its parts is in flight any more: sent when
// the network accepted every part, failed at the first final failure.
// Temporary failures wait in processing for their back-off and then go back
// to pending with JobReturn and a RetryCount one higher; past the engine's
// retry limit they fail. The parts the network accepted are kept as a set:
// a job some of whose parts were accepted stays with its handset instead,
// and after the back-off the handset counts the retry and sends only the
// parts not accepted, under the same concatenation reference. A part whose
// connection ended before its answer (CSubmitResult::bLinkLost) is tried
// again in the same way after the poll interval, without counting an
// attempt. That progress lives in memory only: a stop (or a crash) returns
// such a job to pending, and its next attempt sends every part again.
//
// Outcomes decided in a round (status, network reference, notification) are
// written together with one CJobOutcomeWriter::Write, in one transaction on
// either backend, each only while the job is still processing with this
// handset's sending tag; a failed write is repeated whole later, and only
// then are the references tracked for their delivery reports
// (CDeliveryReportMatcher).
//
// The same thread handles what the driver receives: delivery reports
// (CDeliveryReportMatcher) and messages (CIncomingAssembler, StoreMessage),
// which the driver hands over on its own threads and which wait in memory
// until the worker takes them. So every database statement of a handset runs
// on its worker, over the worker's own connection. Each round writes the
// outcomes of a batch of reports together and stores a batch of received
// rows in one transaction (on every database); a message or report is
// acknowledged to the driver (CSMSDriver::Acknowledge) only once its batch
// has committed. The driver bounds how many it hands over unacknowledged,
// which bounds what waits here; a flood of received messages does not starve
// sending.
//
// The worker never spins: with nothing to do it waits for the poll interval,
// a wake-up (Wake: SendMessage inserted a job, or the engine's queue watcher
// saw one queued), a completion or another event of the driver, the next
// retry or reassembly deadline, or stop. While the queue watcher watches
// (SharePoll), the handsets share the safety-net poll: each looks once every
// poll interval times their number, so that an idle engine looks about once
// per interval in all. A database failure is logged
// (throttled after ten in a row) and the work is tried again after the poll
// interval; an outcome already decided is kept until it is written.
//
// The handset's limits (send_limits.h), whatever its driver: MaxPerSecond
// paces the submissions handed to the driver (a token bucket; the worker
// waits for the next token), MaxPerDay caps the jobs claimed so that no more
// than that many are sent in a UTC day, counted from the message history
// (without the history the handset claims nothing while MaxPerDay is set).
//
// Stopping (Stop): the driver's intake stops first (what the network sends
// from then on stays with it); the worker claims nothing more and hands no
// further part to the driver, waits for the parts in flight, returns the
// jobs claimed but not (wholly) sent and those waiting for a retry to
// pending, writes the outcomes and what it still holds (parts held for
// reassembly as they are) and acknowledges it, and ends; then the driver
// stops. When the parts in flight are not answered by the stop deadline the
// driver's Stop completes them (link lost) and their jobs go back to
// pending. What it cannot write before the stop deadline stays in processing
// (jobs), or unacknowledged with the network (received messages), and is
// taken back at the next start.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "queues/engine_outgoing_queue.h"
#include "queues/incoming_queue.h"
#include "queues/job_outcome_writer.h"
#include "queues/message_history.h"
#include "queues/notification_queue.h"
#include "server/drivers/sms_driver.h"
#include "server/engine/delivery_report_matcher.h"
#include "server/engine/engine_settings.h"
#include "server/engine/incoming_assembler.h"
#include "server/engine/job_converter.h"
#include "server/engine/job_ownership.h"
#include "server/engine/router.h"
#include "server/engine/send_limits.h"

namespace Norvale {

// The error code of the send failure of a job the engine may have sent when
// it stopped without recording the outcome (with ResendInDoubt 0).
constexpr OS::LONG kErrorSendInDoubt = 1000;
// The error code of a job whose destination is on the blocklist (status
// jsErrNumberInvalid): queued by a path that does not check the blocklist,
// or before its entry was added.
constexpr OS::LONG kErrorDestinationBlocked = 1001;

struct CHandsetCounters {
  std::atomic<long> nSent{0};          // jobs recorded as sent (2 or 9)
  std::atomic<long> nFailed{0};        // jobs recorded as failed (3 to 8)
  std::atomic<long> nRetried{0};       // temporary failures that wait for a retry
  std::atomic<long> nParts{0};         // messages the network accepted
  std::atomic<long> nDelivered{0};     // delivery reports: delivered
  std::atomic<long> nUndelivered{0};   // delivery reports: not delivered
  std::atomic<long> nUnmatched{0};     // delivery reports that matched no job
  std::atomic<long> nReceived{0};      // rows stored in SMSIncoming
  std::atomic<long> nRecovered{0};     // jobs taken back at start
  std::atomic<long> nInFlight{0};      // parts handed to the driver and not yet answered
  std::atomic<long> nMostInFlight{0};  // the most parts in flight at once so far
  std::atomic<long> nLinkLost{0};      // parts whose connection ended before the answer
};

struct CHandsetStatus {
  int nNumber = 0;
  std::string sDriver;
  CDriverState Driver;
  std::string sLastError;
  long nSent = 0, nFailed = 0, nRetried = 0, nParts = 0, nDelivered = 0, nUndelivered = 0, nUnmatched = 0,
       nReceived = 0, nRecovered = 0, nInFlight = 0, nMostInFlight = 0, nLinkLost = 0;
  size_t nWaitingRetry = 0;
};

class CHandset final : public IDriverEvents {
 public:
  using Clock = std::chrono::steady_clock;

  CHandset(const CEngineSettings& Settings, const CHandsetSettings& Handset, std::unique_ptr<CSMSDriver> pDriver);
  ~CHandset() override;
  CHandset(const CHandset&) = delete;
  CHandset& operator=(const CHandset&) = delete;

  // Connects the driver and starts the worker; a driver that cannot start
  // raises _com_error.
  void Start();
  // Stops claiming, lets the worker finish and end, then disconnects the
  // driver. When the worker is not done by `Deadline`, the driver is
  // stopped first, which ends a submission in progress.
  void Stop(Clock::time_point Deadline);
  // Whether the worker claims jobs (the engine's Start and Stop).
  void SetClaiming(bool bClaiming);
  // After SetClaiming(false): returns once the worker's pass that may have
  // begun before it has ended (bounded), so that nothing is claimed after.
  void WaitForClaimingPass();
  void Wake();
  // Before Start: while `watching` answers true, the idle poll of this
  // handset is the poll interval times `nHandsets`.
  void SharePoll(std::function<bool()> watching, int nHandsets);
  // Before Start: the engine's routes and blocklist. The worker tells the
  // router whether it is ready, claims jobs of any handset as it says, fails
  // jobs to blocked destinations, and passes a routed job that failed with a
  // temporary network failure to the route's next ready handset.
  void UseRouter(std::shared_ptr<CRouter> pRouter) { m_pRouter = std::move(pRouter); }

  int Number() const { return m_nNumber; }
  CHandsetStatus GetStatus() const;
  // When the worker last made progress (went round its loop, finished a
  // step of its work or a submission).
  Clock::time_point Heartbeat() const { return Clock::time_point(Clock::duration(m_nHeartbeat.load())); }
  // Whether the worker is alive at `Now`: it made progress within `Within`,
  // or it has parts in flight (or is in SubmitAsync) and the driver's own
  // limit (CSMSDriver::SubmitLimit) for the oldest of them, plus `Within`,
  // has not passed.
  bool Alive(Clock::time_point Now, Clock::duration Within) const;

  void OnMessageReceived(CIncomingSms Message) override;
  void OnDeliveryReport(CDeliveryReport Report) override;

 private:
  // A decided outcome of a job, kept until it is written.
  struct COutcome {
    CJobOutcome Record;
    CNetworkReference Reference;
    Clock::time_point Sent;
  };
  // How far a job of several parts got: its concatenation reference, the
  // parts (0-based) the network accepted and the network's reference of the
  // last part once accepted.
  struct CProgress {
    std::uint8_t nReference = 0;
    std::set<int> Accepted;
    CNetworkReference Reference;
  };
  // A job this handset goes on with itself after its back-off.
  struct CResume {
    CProgress Progress;
    CClaimedJob Job;
  };
  struct CWaitingJob {
    OS::LONG nJobId;
    OS::LONG nRetryCount;  // attempts made so far; -1 keeps the stored count
    Clock::time_point Due;
    bool bReleased = false;
    std::optional<CResume> Resume;
    bool bWaitingTag = false;  // retagged waiting (else still sending)  // parts were accepted: not returned to pending
    int nPassTo = 0;           // returned to pending for this handset of its route
  };
  // A job in hand: claimed (or resumed) and not yet decided.
  struct CJobInHand {
    CClaimedJob Job;
    CConvertedJob Converted;
    CProgress Progress;
    bool bWhole = false;      // one submission for every part (TakesWholeMessages)
    bool bSending = false;    // tagged sending (else waiting)
    std::vector<int> ToSend;  // parts not handed to the driver yet, in order
    int nInFlight = 0;
    bool bHalted = false;                  // a part failed: no further part goes out
    std::optional<CSubmitResult> Failure;  // the first failure that counts
    bool bLinkLost = false;
  };
  struct CCompletion {
    OS::LONG nJobId;
    int nPart;
    CSubmitResult Result;
  };
  struct CReportWork {
    CDeliveryReport Report;
    OS::LONG nJobId = -2;  // -2 not looked up yet
    std::optional<CJobOutcome> Record;
  };

  void Run();
  // Takes back the jobs this handset left in processing when its engine
  // last stopped without finishing them.
  void Recover();
  void Work(bool bStopping, bool bClaiming, bool* bBusy);
  // Claims a batch when the jobs in hand run short of the window; true when
  // it claimed any.
  bool Claim();
  // Takes a claimed (or resumed) job in hand; with `pProgress`, only the
  // parts not accepted go again, under that reference.
  void TakeInHand(CClaimedJob Job, const CProgress* pProgress, bool bSending);
  // Hands parts to the driver up to its window; true when it did.
  bool SubmitParts();
  void Complete(const CCompletion& Done, bool bStopping);
  // Decides a job none of whose parts is in flight any more.
  void Settle(OS::LONG nJobId, bool bStopping);
  // Returns the jobs in hand with nothing in flight to pending (stopping).
  void ReturnJobsInHand();
  void Decide(OS::LONG nJobId, const CClaimedJob& Job, EnumJobStatus eStatus, OS::LONG nErrorCode,
              const CNetworkReference& Reference, OS::LONG nExpectedTag);
  void WriteOutcomes();
  // Whether the outcomes decided so far are to be written now.
  bool OutcomesDue(bool bStopping) const;
  // Sends the rest of the waiting jobs of several parts whose back-off is
  // over; true when it did.
  bool ResumeWaitingJobs(bool bClaiming);
  void ReturnWaitingJobs(bool bAll);
  // These three do a batch at a time; true when more is left.
  bool HandleReports();
  bool HandleIncoming(bool bStopping);
  bool StoreReceived();
  bool HandleUnreadableRow(OS::LONG nJobId);
  Clock::time_point NextDeadline(bool bClaiming) const;
  void Beat() { m_nHeartbeat = Clock::now().time_since_epoch().count(); }
  // m_nSubmitUntil from the oldest part in flight.
  void UpdateSubmitUntil();
  // How many jobs a claim may take under MaxPerDay (a large number without
  // it); reads the day's count from the history when it is due.
  long DayAllowance();

  const CEngineSettings& m_Settings;
  std::function<bool()> m_Watching;
  std::shared_ptr<CRouter> m_pRouter;
  int m_nPollShare = 1;
  const int m_nNumber;
  const std::string m_sDriverName;
  const bool m_bRequestReports;
  std::unique_ptr<CSMSDriver> m_pDriver;

  CDBConnectionDispensor m_DB;
  CEngineOutgoingQueue m_OutgoingQueue{&m_DB};
  CIncomingQueue m_IncomingQueue{nullptr, &m_DB};
  CNotificationQueue m_NotificationQueue{nullptr, &m_DB};
  CJobOwnership m_Ownership;
  CJobOutcomeWriter m_Writer{&m_DB};
  CDeliveryReportMatcher m_Matcher{&m_OutgoingQueue, std::chrono::milliseconds(m_Settings.nReportExpiry)};
  CIncomingAssembler m_Assembler;
  CMessageHistory m_History{&m_DB};
  CTokenBucket m_Pace;                 // MaxPerSecond
  CDayQuota m_Day;                     // MaxPerDay
  std::int64_t m_nDayLimitNoted = -1;  // the day whose reached limit was logged

  // The worker's own state.
  bool m_bHistoryChecked = false;
  // When the earliest job scheduled for later (NotBefore) that this handset
  // may take comes due: the worker wakes then rather than at its next poll,
  // so that the job leaves on time. Looked up whenever a claim left the
  // queue empty for it.
  Clock::time_point m_NextScheduled = Clock::time_point::max();
  std::optional<std::int64_t> m_nHistoryEngineId;  // set: the history is kept
  std::vector<COutcome> m_Outcomes;
  Clock::time_point m_OutcomesSince;  // when the oldest of m_Outcomes was decided
  std::map<OS::LONG, CJobInHand> m_InHand;
  std::deque<OS::LONG> m_SendOrder;  // jobs in hand with parts to hand over, oldest first
  std::multiset<Clock::time_point> m_InFlightSince;
  std::map<std::pair<OS::LONG, int>, Clock::time_point> m_PartsInFlight;
  std::deque<CWaitingJob> m_Waiting;
  std::deque<CReportWork> m_Reports;
  std::deque<CReceivedMessage> m_ToStore;
  std::map<OS::LONG, int> m_ReadFailures;
  bool m_bRecovered = false;
  std::uint8_t m_nConcatReference;

  // Shared with the driver's threads and the engine.
  mutable std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_bStop = false, m_bClaiming = true, m_bWake = false, m_bFinished = false;
  // A pass of the worker that may claim is running (WaitForClaimingPass).
  bool m_bClaimingPass = false;
  Clock::time_point m_StopDeadline = Clock::time_point::max();
  std::deque<CDeliveryReport> m_NewReports;
  std::deque<CIncomingSms> m_NewMessages;
  std::deque<CCompletion> m_Completions;
  std::string m_sLastError;
  std::atomic<Clock::rep> m_nHeartbeat{0};
  // The limit of the oldest part in flight (or of the SubmitAsync in
  // progress); 0 none.
  std::atomic<Clock::rep> m_nSubmitUntil{0};
  CHandsetCounters m_Counters;
  std::atomic<size_t> m_nWaitingCount{0};
  std::thread m_Worker;
  bool m_bDriverStarted = false;
};

}  // namespace Norvale
