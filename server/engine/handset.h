// CHandset: one handset of the engine and the one thread that works for it.
//
// The worker claims jobs of the outgoing queue for its handset or for any
// handset (GetJobA), takes them over (CJobOwnership), converts them
// (CJobConverter), submits their parts through its driver and records the
// outcome with JobUpdate and a notification for the job's sender. Temporary
// failures wait in processing for their back-off and then go back to pending
// with JobReturn and a RetryCount one higher; past the engine's retry limit
// they fail. A job of several parts some of which the network accepted stays
// with its handset instead: after the back-off the handset counts the retry
// and sends only the parts not yet accepted, under the same concatenation
// reference. That progress lives in memory only: a stop (or a crash) returns
// such a job to pending, and its next attempt sends every part again.
//
// The same thread handles what the driver receives: delivery reports
// (CDeliveryReportMatcher) and messages (CIncomingAssembler, StoreMessage),
// which the driver hands over on its own threads and which wait in memory
// until the worker takes them. So every database statement of a handset runs
// on its worker, over the worker's own connection. A message is acknowledged
// to the driver (CSMSDriver::Acknowledge) once its row is committed, a report
// once its outcome is written; the driver bounds how many it hands over
// unacknowledged, which bounds what waits here. Each round stores a batch of
// received rows and handles a batch of reports, then claims a job, so a flood
// of received messages does not starve sending.
//
// The worker never spins: with nothing to do it waits for the poll interval,
// a wake-up (Wake: SendMessage inserted a job, or the engine's queue watcher
// saw one queued), an event of the
// driver, the next retry or reassembly deadline, or stop. A database failure
// is logged (throttled after ten in a row) and the work is tried again after
// the poll interval; an outcome already decided is kept until it is written.
//
// Stopping (Stop): the driver's intake stops first (what the network sends
// from then on stays with it); the worker claims nothing more, finishes the
// job in hand, returns the jobs waiting for a retry, writes what it still
// holds (parts held for reassembly as they are) and acknowledges it, and
// ends; then the driver stops. What it cannot write before the stop deadline
// stays in processing (jobs), or unacknowledged with the network (received
// messages), and is taken back at the next start.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "queues/engine_outgoing_queue.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "server/drivers/sms_driver.h"
#include "server/engine/delivery_report_matcher.h"
#include "server/engine/engine_settings.h"
#include "server/engine/incoming_assembler.h"
#include "server/engine/job_ownership.h"

namespace Norvale {

// The error code of the send failure of a job the engine may have sent when
// it stopped without recording the outcome (with ResendInDoubt 0).
constexpr OS::LONG kErrorSendInDoubt = 1000;

struct CHandsetCounters {
  std::atomic<long> nSent{0};         // jobs recorded as sent (2 or 9)
  std::atomic<long> nFailed{0};       // jobs recorded as failed (3 to 8)
  std::atomic<long> nRetried{0};      // temporary failures that wait for a retry
  std::atomic<long> nParts{0};        // messages the network accepted
  std::atomic<long> nDelivered{0};    // delivery reports: delivered
  std::atomic<long> nUndelivered{0};  // delivery reports: not delivered
  std::atomic<long> nUnmatched{0};    // delivery reports that matched no job
  std::atomic<long> nReceived{0};     // rows stored in SMSIncoming
  std::atomic<long> nRecovered{0};    // jobs taken back at start
};

struct CHandsetStatus {
  int nNumber = 0;
  std::string sDriver;
  CDriverState Driver;
  std::string sLastError;
  long nSent = 0, nFailed = 0, nRetried = 0, nParts = 0, nDelivered = 0, nUndelivered = 0, nUnmatched = 0,
       nReceived = 0, nRecovered = 0;
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
  void Wake();

  int Number() const { return m_nNumber; }
  CHandsetStatus GetStatus() const;
  // When the worker last made progress (went round its loop, finished a
  // step of its work or a submission).
  Clock::time_point Heartbeat() const { return Clock::time_point(Clock::duration(m_nHeartbeat.load())); }
  // Whether the worker is alive at `Now`: it made progress within `Within`,
  // or it waits in a submission of its driver whose own limit
  // (CSMSDriver::SubmitLimit), plus `Within`, has not passed.
  bool Alive(Clock::time_point Now, Clock::duration Within) const;

  void OnMessageReceived(CIncomingSms Message) override;
  void OnDeliveryReport(CDeliveryReport Report) override;

 private:
  // A decided outcome of a job, written in steps so that a failed write is
  // repeated from where it stopped.
  struct COutcome {
    OS::LONG nJobId = 0;
    EnumJobStatus eStatus = jsSent;
    CNetworkReference Reference;
    OS::LONG nErrorCode = 0;
    std::string sPhoneNumber, sData;
    JOBTYPE eType = jtTextMessage;
    CMessageEndpoint Source;
    OS::LONG nMessageRef = 0;
    int nStep = 0;
  };
  // How far a job of several parts got: its concatenation reference and the
  // parts the network accepted.
  struct CProgress {
    std::uint8_t nReference = 0;
    int nAccepted = 0;
  };
  // A job this handset goes on with itself after its back-off.
  struct CResume {
    CProgress Progress;
    std::string sPhoneNumber, sData;
    JOBTYPE eType = jtTextMessage;
    CMessageEndpoint Source;
  };
  struct CWaitingJob {
    OS::LONG nJobId;
    OS::LONG nRetryCount;  // attempts made so far; -1 keeps the stored count
    Clock::time_point Due;
    bool bReleased = false;
    std::optional<CResume> Resume;  // parts were accepted: not returned to pending
  };
  struct CReportWork {
    CDeliveryReport Report;
    OS::LONG nJobId = -2;  // -2 not looked up yet
    int nStep = 0;
    std::string sPhoneNumber, sData;
    JOBTYPE eType = jtTextMessage;
    CMessageEndpoint Source;
  };

  void Run();
  // Takes back the jobs this handset left in processing when its engine
  // last stopped without finishing them.
  void Recover();
  void Work(bool bStopping, bool bClaiming, bool* bBusy);
  bool ClaimAndSend();
  // With `pProgress`, goes on from the first part not accepted, under that
  // reference.
  void Send(OS::LONG nJobId, const std::string& sPhoneNumber, JOBTYPE eType, const std::string& sData,
            OS::LONG nRetryCount, const CMessageEndpoint& Source, const CProgress* pProgress = nullptr);
  // Sends the rest of a waiting job of several parts once its back-off is
  // over; true when it did.
  bool ResumeWaitingJob(bool bClaiming);
  void Decide(COutcome Outcome);
  void WriteOutcomes();
  void ReturnWaitingJobs(bool bAll);
  // These three do a batch at a time; true when more is left.
  bool HandleReports();
  bool HandleIncoming(bool bStopping);
  bool StoreReceived();
  bool HandleUnreadableRow(OS::LONG nJobId);
  // JobUpdate; false (and nothing raised) when the job's row is gone.
  bool UpdateIfPresent(OS::LONG nJobId, EnumJobStatus eStatus, OS::LONG nMessageRef);
  Clock::time_point NextDeadline(bool bClaiming) const;
  void Beat() { m_nHeartbeat = Clock::now().time_since_epoch().count(); }

  const CEngineSettings& m_Settings;
  const int m_nNumber;
  const std::string m_sDriverName;
  const bool m_bRequestReports;
  std::unique_ptr<CSMSDriver> m_pDriver;

  CDBConnectionDispensor m_DB;
  CEngineOutgoingQueue m_OutgoingQueue{&m_DB};
  CIncomingQueue m_IncomingQueue{nullptr, &m_DB};
  CNotificationQueue m_NotificationQueue{nullptr, &m_DB};
  CJobOwnership m_Ownership;
  CDeliveryReportMatcher m_Matcher{&m_OutgoingQueue, std::chrono::milliseconds(m_Settings.nReportExpiry)};
  CIncomingAssembler m_Assembler;

  // The worker's own state.
  std::deque<COutcome> m_Outcomes;
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
  Clock::time_point m_StopDeadline = Clock::time_point::max();
  std::deque<CDeliveryReport> m_NewReports;
  std::deque<CIncomingSms> m_NewMessages;
  std::string m_sLastError;
  std::atomic<Clock::rep> m_nHeartbeat{0};
  std::atomic<Clock::rep> m_nSubmitUntil{0};  // the limit of the submission in progress; 0 none
  CHandsetCounters m_Counters;
  std::atomic<size_t> m_nWaitingCount{0};
  std::thread m_Worker;
  bool m_bDriverStarted = false;
};

}  // namespace Norvale
