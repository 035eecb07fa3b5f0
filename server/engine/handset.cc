#include "server/engine/handset.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <set>

#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "errors/handler_ladder.h"
#include "platform/event_log.h"
#include "server/engine/job_converter.h"
#include "server/engine/time_stamp.h"
#include "server/engine/unreadable_job.h"

namespace Norvale {
using namespace OS;

namespace {

EnumJobStatus StatusOf(ESubmitOutcome e) {
  switch (e) {
    case ESubmitOutcome::Accepted: return jsSent;
    case ESubmitOutcome::InvalidNumber: return jsErrNumberInvalid;
    case ESubmitOutcome::NetworkFailure: return jsErrNetworkFailure;
    case ESubmitOutcome::DeviceError: return jsErrPhoneCommsError;
    case ESubmitOutcome::SystemFailure: return jsErrSystemFailure;
    case ESubmitOutcome::Timeout: return jsErrTimeout;
    case ESubmitOutcome::InvalidMessage: return jsInvalidJobType;
  }
  return jsErrSystemFailure;
}

std::string Describe(const _com_error& e) {
  const std::string d = e.DescriptionA();
  return d.empty() ? e.ErrorMessage() : d;
}

// Received rows stored (in one transaction on SQLite) and delivery reports
// handled in one round of the worker, before it claims a job again: a flood
// of received messages shares the worker with sending.
constexpr size_t kIncomingBatch = 20;

// Outcomes decided while parts are still in flight wait to be written
// together, up to this many windows' worth or this long: on PostgreSQL a
// write is a few round trips whatever its size, and answers come a few at a
// time. With nothing left in flight (light load, a modem's window of one),
// a report to handle, or a stop, they are written at once.
constexpr size_t kOutcomeWindows = 4;
constexpr auto kOutcomeDelay = std::chrono::milliseconds(20);

// A value every handset has (MaxPerSecond, MaxPerDay), read with its declared
// default and range.
std::int64_t CommonNumber(const CHandsetSettings& handset, const char* szName) {
  for (const CDeclaredValue& v : CommonHandsetValues())
    if (std::strcmp(v.szName, szName) == 0)
      return CSettingsReader(HandsetKeyPath(handset.nNumber), handset.Values)
          .GetNumber(szName, std::atoll(v.szDefault), v.nMin, v.nMax);
  return 0;
}

}  // namespace

CHandset::CHandset(const CEngineSettings& Settings, const CHandsetSettings& Handset,
                   std::unique_ptr<CSMSDriver> pDriver)
    : m_Settings(Settings),
      m_nNumber(Handset.nNumber),
      m_sDriverName(Handset.sDriver),
      m_bRequestReports(Handset.bDeliveryReports),
      m_pDriver(std::move(pDriver)),
      m_Ownership(&m_DB, Settings.nEngineId, Handset.nNumber),
      m_Assembler(std::chrono::milliseconds(Settings.dwReassemblyTimeout)),
      m_Pace(static_cast<double>(CommonNumber(Handset, "MaxPerSecond"))),
      m_Day(static_cast<long>(CommonNumber(Handset, "MaxPerDay"))),
      m_nConcatReference(static_cast<std::uint8_t>(std::random_device()())) {
  UseEngineDatabase(m_DB, Settings);
  Beat();
}

CHandset::~CHandset() { Stop(Clock::now()); }

void CHandset::Start() {
  m_pDriver->Start(this);
  m_bDriverStarted = true;
  m_Worker = std::thread([this] { Run(); });
}

void CHandset::Stop(Clock::time_point Deadline) {
  // The intake first: what the network sends from now on stays with it
  // (refused for later), and what the driver handed over before is stored
  // and acknowledged by the worker below before it ends.
  if (m_bDriverStarted) m_pDriver->StopIntake();
  {
    std::unique_lock lock(m_Lock);
    m_bStop = true;
    m_StopDeadline = std::min(m_StopDeadline, Deadline);
    m_Changed.notify_all();
    if (m_Worker.joinable()) m_Changed.wait_until(lock, Deadline, [this] { return m_bFinished; });
  }
  // A worker still busy most likely waits for parts in flight: stopping the
  // driver completes them (link lost), and the worker returns their jobs to
  // pending before it ends.
  if (m_bDriverStarted) m_pDriver->Stop();
  if (m_Worker.joinable()) m_Worker.join();
  m_bDriverStarted = false;
}

void CHandset::SetClaiming(bool bClaiming) {
  std::lock_guard guard(m_Lock);
  m_bClaiming = bClaiming;
  m_bWake = true;
  m_Changed.notify_all();
}

void CHandset::WaitForClaimingPass() {
  // A pass that began while claiming was allowed may still claim: wait for
  // its end, bounded by a submission's own limit.
  std::unique_lock lock(m_Lock);
  if (m_Worker.joinable() && std::this_thread::get_id() != m_Worker.get_id())
    m_Changed.wait_for(lock, m_pDriver->SubmitLimit() + std::chrono::seconds(5), [this] { return !m_bClaimingPass; });
}

void CHandset::Wake() {
  std::lock_guard guard(m_Lock);
  m_bWake = true;
  m_Changed.notify_all();
}

void CHandset::OnMessageReceived(CIncomingSms Message) {
  std::lock_guard guard(m_Lock);
  m_NewMessages.push_back(std::move(Message));
  m_Changed.notify_all();
}

void CHandset::OnDeliveryReport(CDeliveryReport Report) {
  std::lock_guard guard(m_Lock);
  m_NewReports.push_back(std::move(Report));
  m_Changed.notify_all();
}

CHandsetStatus CHandset::GetStatus() const {
  CHandsetStatus s;
  s.nNumber = m_nNumber;
  s.sDriver = m_sDriverName;
  s.Driver = m_pDriver->GetState();
  {
    std::lock_guard guard(m_Lock);
    s.sLastError = m_sLastError;
  }
  s.nSent = m_Counters.nSent;
  s.nFailed = m_Counters.nFailed;
  s.nRetried = m_Counters.nRetried;
  s.nParts = m_Counters.nParts;
  s.nDelivered = m_Counters.nDelivered;
  s.nUndelivered = m_Counters.nUndelivered;
  s.nUnmatched = m_Counters.nUnmatched;
  s.nReceived = m_Counters.nReceived;
  s.nRecovered = m_Counters.nRecovered;
  s.nInFlight = m_Counters.nInFlight;
  s.nMostInFlight = m_Counters.nMostInFlight;
  s.nLinkLost = m_Counters.nLinkLost;
  s.nWaitingRetry = m_nWaitingCount;
  return s;
}

void CHandset::Run() {
  CRepeatThrottle throttle;
  const std::string site = "CHandset::Run (handset " + std::to_string(m_nNumber) + ")";
  while (true) {
    Beat();
    bool stopping = false, claiming = false;
    std::deque<CIncomingSms> parts;
    std::deque<CCompletion> completions;
    Clock::time_point stopDeadline;
    {
      std::lock_guard guard(m_Lock);
      stopping = m_bStop;
      claiming = m_bClaiming && !m_bStop;
      m_bClaimingPass = claiming;
      stopDeadline = m_StopDeadline;
      m_bWake = false;
      for (auto& r : m_NewReports) {
        CReportWork work;
        work.Report = std::move(r);
        m_Reports.push_back(std::move(work));
      }
      m_NewReports.clear();
      parts.swap(m_NewMessages);
      completions.swap(m_Completions);
    }
    // Bookkeeping only: no statement runs here, so nothing is lost to a
    // failure.
    for (const auto& done : completions) Complete(done, stopping);
    UpdateSubmitUntil();
    for (auto& part : parts) {
      for (auto& m : m_Assembler.Add(std::move(part), Clock::now())) {
        m.sTimeStamp = TimeStampNow();
        m_ToStore.push_back(std::move(m));
      }
    }
    bool busy = false, failed = false;
    throttle.Run(site.c_str(), [&] {
      try {
        Work(stopping, claiming, &busy);
      } catch (const _com_error& e) {
        failed = true;
        std::lock_guard guard(m_Lock);
        m_sLastError = Describe(e);
        throw;
      } catch (const std::exception& e) {
        failed = true;
        std::lock_guard guard(m_Lock);
        m_sLastError = e.what();
        throw;
      }
    });
    m_nWaitingCount = m_Waiting.size();
    {
      std::lock_guard guard(m_Lock);
      if (!failed) m_sLastError.clear();
      m_bClaimingPass = false;
      m_Changed.notify_all();
    }
    if (stopping && !failed && m_Outcomes.empty() && m_InHand.empty() && m_PartsInFlight.empty() && m_Waiting.empty() &&
        m_Reports.empty() && m_ToStore.empty() && m_Assembler.Pending() == 0)
      break;
    // What is left is taken back at the next start. Parts still in flight
    // are completed by the driver's Stop, which follows the deadline; their
    // jobs go back to pending first.
    const bool late = stopping && Clock::now() >= stopDeadline;
    if (late && (m_PartsInFlight.empty() || failed || Clock::now() >= stopDeadline + m_pDriver->SubmitLimit())) break;
    if (busy && !failed && !late) continue;
    Clock::time_point until =
        failed ? Clock::now() + std::chrono::milliseconds(m_Settings.dwPollInterval) : NextDeadline(claiming);
    if (stopping) until = std::min(until, late ? Clock::now() + std::chrono::seconds(1) : stopDeadline);
    std::unique_lock lock(m_Lock);
    m_Changed.wait_until(lock, until, [&] {
      return m_bWake || !m_NewReports.empty() || !m_NewMessages.empty() || !m_Completions.empty() ||
             (m_bStop && !stopping);
    });
  }
  std::lock_guard guard(m_Lock);
  m_bFinished = true;
  m_bClaimingPass = false;
  m_Changed.notify_all();
}

bool CHandset::Alive(Clock::time_point Now, Clock::duration Within) const {
  if (Now - Heartbeat() <= Within) return true;
  const Clock::rep until = m_nSubmitUntil.load();
  return until != 0 && Now <= Clock::time_point(Clock::duration(until)) + Within;
}

void CHandset::SharePoll(std::function<bool()> watching, int nHandsets) {
  m_Watching = std::move(watching);
  m_nPollShare = std::max(1, nHandsets);
}

CHandset::Clock::time_point CHandset::NextDeadline(bool bClaiming) const {
  const int share = m_Watching && m_Watching() ? m_nPollShare : 1;
  Clock::time_point next = bClaiming ? Clock::now() + std::chrono::milliseconds(m_Settings.dwPollInterval) * share
                                     : Clock::time_point::max();
  // (Once past, it waits for the claim that takes the job and looks again.)
  if (bClaiming && m_NextScheduled > Clock::now()) next = std::min(next, m_NextScheduled);
  for (const auto& w : m_Waiting) next = std::min(next, w.Due);
  // Parts held back by MaxPerSecond go when the bucket holds a token (only
  // an empty bucket wakes the worker: otherwise the window or the driver
  // holds them back).
  if (!m_SendOrder.empty() && m_PartsInFlight.size() < static_cast<size_t>(std::max(1, m_pDriver->Window())))
    if (const Clock::time_point now = Clock::now(), token = m_Pace.NextToken(now); token > now)
      next = std::min(next, token);
  if (!m_Outcomes.empty()) next = std::min(next, m_OutcomesSince + kOutcomeDelay);
  const auto limit = m_pDriver->HeldPartLimit();
  if (const auto oldest = m_Assembler.OldestReceipt();
      oldest != Clock::time_point::max() && limit != std::chrono::milliseconds::max())
    next = std::min(next, oldest + limit);
  return std::min({next, m_Assembler.NextExpiry(), m_Matcher.NextExpiry()});
}

void CHandset::Recover() {
  std::set<LONG> seen;
  long returned = 0, failed = 0;
  for (const auto phase : {CJobOwnership::phWaiting, CJobOwnership::phSending}) {
    for (LONG id; (id = m_Ownership.FindOwned(phase)) > 0 && seen.insert(id).second;) {
      if (phase == CJobOwnership::phWaiting || m_Settings.bResendInDoubt) {
        m_Ownership.Release(id);
        m_OutgoingQueue.JobReturn(id, jsPending, -1);
        ++returned;
        continue;
      }
      // Perhaps sent, perhaps not: report it failed rather than risk sending
      // it twice.
      CClaimedJob job;
      job.nJobId = id;
      Handsets h = hsAll;
      m_OutgoingQueue.GetJobInfo(id, job.sPhoneNumber, job.eType, job.sData, h, job.source);
      if (m_OutgoingQueue.OptionColumns()) job.options.sClientRef = m_OutgoingQueue.ReadClientRef(id);
      Decide(id, job, jsErrSystemFailure, kErrorSendInDoubt, {}, m_Ownership.Tag(CJobOwnership::phSending));
      ++failed;
    }
  }
  m_Counters.nRecovered += returned + failed;
  if (returned + failed > 0)
    LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::Recover",
             "Handset " + std::to_string(m_nNumber) + " took back " + std::to_string(returned + failed) +
                 " jobs left in processing: " + std::to_string(returned) + " returned to pending, " +
                 std::to_string(failed) + " failed as perhaps sent");
}

void CHandset::Work(bool bStopping, bool bClaiming, bool* bBusy) {
  if (!m_bRecovered) {
    if (!m_bHistoryChecked) {
      // A database made before the history gets its table here.
      std::string why;
      if (CMessageHistory::EnsureTable(&m_DB, m_Settings.sDSN, &why)) {
        m_nHistoryEngineId = m_Settings.nEngineId;
        m_Writer.SetHistory(m_nHistoryEngineId);
      } else {
        LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::Work",
                 "Handset " + std::to_string(m_nNumber) +
                     " keeps no message history: the table MessageHistory is missing and cannot be created (" + why +
                     "); run 'velquor db init' as the database's owner");
      }
      // And the per-message columns and the claim's indexes.
      std::string whyNot;
      const bool columns = CEngineOutgoingQueue::EnsureOptionColumns(&m_DB, m_Settings.sDSN, &whyNot);
      m_OutgoingQueue.SetOptionColumns(columns);
      if (!columns)
        LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::Work",
                 "Handset " + std::to_string(m_nNumber) +
                     " ignores the per-message options (priority, schedule, validity): SMSOutgoing lacks their "
                     "columns and they cannot be added (" +
                     whyNot + "); run 'velquor db upgrade' as the database's owner");
      m_bHistoryChecked = true;
    }
    Recover();
    m_Matcher.TrackWaiting(m_nNumber, Clock::now());
    m_bRecovered = true;
  }
  if (bStopping) ReturnJobsInHand();
  if (OutcomesDue(bStopping)) WriteOutcomes();
  ReturnWaitingJobs(bStopping);
  Beat();
  const bool moreReports = HandleReports();
  m_Matcher.ExpireReferences(Clock::now());
  Beat();
  const bool moreIncoming = HandleIncoming(bStopping);
  Beat();
  *bBusy = moreReports || moreIncoming;
  if (bStopping && m_pRouter) m_pRouter->SetReady(m_nNumber, false);
  if (bStopping) return;
  // A driver that cannot send (a modem off the network) leaves the jobs it
  // has not begun to other handsets and engines meanwhile.
  if (!m_InHand.empty() && !m_pDriver->IsReadyToSend()) ReturnJobsInHand();
  if (ResumeWaitingJobs(bClaiming)) *bBusy = true;
  // A driver not ready (a modem off the network) leaves the jobs pending,
  // and those routed to it to the next handset of their route.
  if (m_pRouter) m_pRouter->SetReady(m_nNumber, bClaiming && m_pDriver->IsReadyToSend());
  if (bClaiming && m_pDriver->IsReadyToSend() && Claim()) *bBusy = true;
  if (SubmitParts()) *bBusy = true;
  if (OutcomesDue(bStopping)) *bBusy = true;  // decided in this round: written in the next
}

bool CHandset::Claim() {
  const size_t window = static_cast<size_t>(std::max(1, m_pDriver->Window()));
  const size_t limit = static_cast<size_t>(std::max(1, m_Settings.nClaimBatch));
  if (m_InHand.size() >= limit) return false;
  // Enough to fill the window waits already: claim when it runs short, so
  // that a claim takes a batch and not one job at a time.
  size_t toSend = 0;
  for (const LONG id : m_SendOrder)
    if (const auto it = m_InHand.find(id); it != m_InHand.end() && !it->second.ToSend.empty()) ++toSend;
  if (toSend >= window) return false;
  const long allowance = DayAllowance();
  if (allowance <= 0) return false;
  const auto take = static_cast<int>(std::min<long>(allowance, static_cast<long>(limit - m_InHand.size())));
  // One group on either backend: a claim that fails part-way leaves no job
  // claimed without its tag (which only the orphan sweep would return).
  CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
  CClaimBatch batch =
      m_OutgoingQueue.ClaimJobs(static_cast<Handsets>(m_nNumber), take, m_Ownership.Tag(CJobOwnership::phWaiting),
                                m_nHistoryEngineId, m_pRouter ? m_pRouter->ClaimCondition(m_nNumber) : std::string());
  group.Commit();
  // Nothing more is due now: the earliest job scheduled for later sets the
  // next wake-up.
  if (batch.jobs.size() + batch.unreadable.size() < limit - m_InHand.size()) {
    const std::int64_t nowMs = HistoryNow();
    const auto next = m_OutgoingQueue.NextScheduled(static_cast<Handsets>(m_nNumber), nowMs);
    m_NextScheduled = next ? Clock::now() + std::chrono::milliseconds(*next - nowMs) : Clock::time_point::max();
  }
  // In hand first (no statement runs there): whatever fails next, no job
  // claimed is left behind.
  for (auto& job : batch.jobs) {
    m_ReadFailures.erase(job.nJobId);
    TakeInHand(std::move(job), nullptr, false);
  }
  // A row the claim took but could not read (NULL or a value of the wrong
  // kind in a column the claim reads) would come back at every claim, first
  // of all for every handset.
  for (const LONG id : batch.unreadable) HandleUnreadableRow(id);
  return !batch.jobs.empty() || !batch.unreadable.empty();
}

long CHandset::DayAllowance() {
  if (!m_Day.Limited()) return std::numeric_limits<long>::max();
  const std::int64_t now = HistoryNow();
  const std::int64_t day = CDayQuota::DayStart(now);
  if (!m_nHistoryEngineId) {
    // Nothing to count from: sending could pass the limit unseen.
    if (m_nDayLimitNoted != day)
      LogEvent(EVENTLOG_ERROR_TYPE, "CHandset::Claim",
               "Handset " + std::to_string(m_nNumber) +
                   " sends nothing: its MaxPerDay is counted from the message history, which this database lacks");
    m_nDayLimitNoted = day;
    return 0;
  }
  // Jobs that may still be sent without another claim: those in hand, those
  // this handset resumes after their back-off, and those decided sent whose
  // outcome is not written yet.
  long reserved = static_cast<long>(m_InHand.size());
  for (const auto& w : m_Waiting)
    if (w.Resume) ++reserved;
  for (const auto& o : m_Outcomes)
    if (o.Record.eStatus == jsSent || o.Record.eStatus == jsSentNotConfirmed) ++reserved;
  if (m_Day.NeedsCount(now, reserved)) m_Day.SetCount(now, m_History.CountSent(m_nNumber, day));
  const long left = m_Day.Remaining(now, reserved);
  if (left <= 0 && reserved == 0 && m_nDayLimitNoted != day) {
    m_nDayLimitNoted = day;
    LogEvent(EVENTLOG_INFORMATION_TYPE, "CHandset::Claim",
             "Handset " + std::to_string(m_nNumber) + " sent its MaxPerDay of " + std::to_string(m_Day.Max()) +
                 " messages today (UTC) and claims no more until the day turns");
  }
  return left;
}

void CHandset::TakeInHand(CClaimedJob Job, const CProgress* pProgress, bool bSending) {
  const LONG id = Job.nJobId;
  CJobInHand j;
  j.Progress.nReference = pProgress ? pProgress->nReference : m_nConcatReference++;
  if (pProgress) {
    j.Progress.Accepted = pProgress->Accepted;
    j.Progress.Reference = pProgress->Reference;
  }
  j.Converted = CJobConverter::Convert(Job.sPhoneNumber, Job.eType, Job.sData, j.Progress.nReference);
  j.bSending = bSending;
  if (m_pRouter && !m_pRouter->BlockedBy(Job.sPhoneNumber).empty()) {
    Decide(id, Job, jsErrNumberInvalid, kErrorDestinationBlocked, {},
           m_Ownership.Tag(bSending ? CJobOwnership::phSending : CJobOwnership::phWaiting));
    return;
  }
  // Past its validity: failed, never sent late (jsErrTimeout, with its send
  // failure notification).
  if (Job.options.nValidUntil && *Job.options.nValidUntil <= HistoryNow()) {
    Decide(id, Job, jsErrTimeout, jsErrTimeout, {},
           m_Ownership.Tag(bSending ? CJobOwnership::phSending : CJobOwnership::phWaiting));
    return;
  }
  if (!j.Converted.bOk) {
    Decide(id, Job, j.Converted.eFailure, j.Converted.eFailure, {},
           m_Ownership.Tag(bSending ? CJobOwnership::phSending : CJobOwnership::phWaiting));
    return;
  }
  j.bWhole = j.Converted.Parts.size() > 1 && m_pDriver->TakesWholeMessages();
  const int parts = j.bWhole ? 1 : static_cast<int>(j.Converted.Parts.size());
  for (int i = 0; i < parts; ++i)
    if (!j.Progress.Accepted.contains(i)) j.ToSend.push_back(i);
  j.Job = std::move(Job);
  m_InHand.insert_or_assign(id, std::move(j));
  m_SendOrder.push_back(id);
}

bool CHandset::SubmitParts() {
  const size_t window = static_cast<size_t>(std::max(1, m_pDriver->Window()));
  if (m_PartsInFlight.size() >= window || m_SendOrder.empty() || !m_pDriver->IsReadyToSend()) return false;
  // The parts of this round, in order, and the jobs that go to the network
  // for the first time in it.
  std::vector<std::pair<LONG, int>> round;
  std::vector<LONG> retag;
  size_t room = window - m_PartsInFlight.size();
  const Clock::time_point paced = Clock::now();
  room = std::min(room, static_cast<size_t>(std::max(0L, m_Pace.Available(paced))));
  if (room == 0) return false;  // NextDeadline wakes the worker for the next token
  for (auto it = m_SendOrder.begin(); it != m_SendOrder.end() && room > 0;) {
    const auto job = m_InHand.find(*it);
    if (job == m_InHand.end() || job->second.ToSend.empty()) {
      it = m_SendOrder.erase(it);
      continue;
    }
    CJobInHand& j = job->second;
    if (!j.bSending) retag.push_back(*it);
    for (size_t k = 0; k < j.ToSend.size() && room > 0; ++k, --room) round.emplace_back(*it, j.ToSend[k]);
    ++it;
  }
  if (round.empty()) return false;
  m_Pace.Take(static_cast<long>(round.size()), paced);
  // From here on a crash finds these jobs in doubt, and only these.
  if (!retag.empty()) {
    m_OutgoingQueue.ReplaceTags(retag, m_Ownership.Tag(CJobOwnership::phWaiting),
                                m_Ownership.Tag(CJobOwnership::phSending));
    for (const LONG id : retag) m_InHand.at(id).bSending = true;
  }
  const std::int64_t nowMs = HistoryNow();
  for (const auto& [id, part] : round) {
    CJobInHand& j = m_InHand.at(id);
    j.ToSend.erase(std::find(j.ToSend.begin(), j.ToSend.end(), part));
    const int parts = j.bWhole ? 1 : static_cast<int>(j.Converted.Parts.size());
    const CSendOptions& options = j.Job.options;
    // The message's own request, else the handset's setting.
    const bool report = options.bReportRequest.value_or(m_bRequestReports) && m_pDriver->CanReport();
    COutgoingSms message{id,
                         part + 1,
                         parts,
                         *j.Converted.Number,
                         j.Converted.Parts[static_cast<size_t>(part)],
                         report && part + 1 == parts,
                         {},
                         options.sSender,
                         options.nPriority.value_or(0),
                         {}};
    // What is left of the validity, in whole seconds rounded up (at least
    // one: the claim failed the job if none was left).
    if (options.nValidUntil)
      message.Validity = std::chrono::seconds(std::max<std::int64_t>(1, (*options.nValidUntil - nowMs + 999) / 1000));
    if (j.bWhole) message.WholeMessage = j.Converted.Parts;
    ++j.nInFlight;
    const Clock::time_point now = Clock::now();
    m_PartsInFlight[{id, part}] = now;
    m_InFlightSince.insert(now);
    const long inFlight = ++m_Counters.nInFlight;
    for (long most = m_Counters.nMostInFlight;
         inFlight > most && !m_Counters.nMostInFlight.compare_exchange_weak(most, inFlight);) {
    }
    // While the driver paces this part, the oldest part in flight still
    // sets the limit.
    m_nSubmitUntil = (*m_InFlightSince.begin() + m_pDriver->SubmitLimit()).time_since_epoch().count();
    m_pDriver->SubmitAsync(message, [this, id, part](CSubmitResult result) {
      std::lock_guard guard(m_Lock);
      m_Completions.push_back(CCompletion{id, part, std::move(result)});
      m_Changed.notify_all();
    });
    Beat();
  }
  std::erase_if(m_SendOrder, [this](LONG id) {
    const auto it = m_InHand.find(id);
    return it == m_InHand.end() || it->second.ToSend.empty();
  });
  return true;
}

void CHandset::UpdateSubmitUntil() {
  m_nSubmitUntil =
      m_InFlightSince.empty() ? 0 : (*m_InFlightSince.begin() + m_pDriver->SubmitLimit()).time_since_epoch().count();
}

void CHandset::Complete(const CCompletion& Done, bool bStopping) {
  Beat();
  if (const auto it = m_PartsInFlight.find({Done.nJobId, Done.nPart}); it != m_PartsInFlight.end()) {
    m_InFlightSince.erase(m_InFlightSince.find(it->second));
    m_PartsInFlight.erase(it);
    --m_Counters.nInFlight;
  }
  const auto job = m_InHand.find(Done.nJobId);
  if (job == m_InHand.end()) return;
  CJobInHand& j = job->second;
  --j.nInFlight;
  const CSubmitResult& result = Done.Result;
  const int parts = j.bWhole ? 1 : static_cast<int>(j.Converted.Parts.size());
  if (result.eOutcome == ESubmitOutcome::Accepted) {
    ++m_Counters.nParts;
    j.Progress.Accepted.insert(Done.nPart);
    if (Done.nPart + 1 == parts) j.Progress.Reference = result.Reference;
  } else {
    // No further part of the job goes out; the parts in flight finish.
    j.bHalted = true;
    j.ToSend.clear();
    if (result.bLinkLost) {
      ++m_Counters.nLinkLost;
      j.bLinkLost = true;
    } else if (!j.Failure || (j.Failure->bTemporary && !result.bTemporary)) {
      j.Failure = result;
    }
  }
  Settle(Done.nJobId, bStopping);
}

void CHandset::Settle(LONG nJobId, bool bStopping) {
  const auto it = m_InHand.find(nJobId);
  if (it == m_InHand.end()) return;
  CJobInHand& j = it->second;
  if (j.nInFlight > 0 || (!bStopping && !j.ToSend.empty())) return;
  const int parts = j.bWhole ? 1 : static_cast<int>(j.Converted.Parts.size());
  const LONG tag = m_Ownership.Tag(j.bSending ? CJobOwnership::phSending : CJobOwnership::phWaiting);
  const CJobInHand held = std::move(j);
  m_InHand.erase(it);
  if (static_cast<int>(held.Progress.Accepted.size()) == parts) {
    const CNetworkReference& ref = held.Progress.Reference;
    Decide(nJobId, held.Job, ref.bValid ? jsSentNotConfirmed : jsSent, 0, ref, tag);
    m_Outcomes.back().Record.nParts = static_cast<int>(held.Converted.Parts.size());
    return;
  }
  if (held.Failure && !held.Failure->bTemporary) {
    const EnumJobStatus status = StatusOf(held.Failure->eOutcome);
    Decide(nJobId, held.Job, status, held.Failure->nErrorCode != 0 ? held.Failure->nErrorCode : status, {}, tag);
    return;
  }
  CWaitingJob waiting{nJobId, -1, Clock::now(), false, {}};  // -1: the stored count stays
  waiting.bWaitingTag = !held.bSending;
  if (held.Failure && !bStopping) {
    // A temporary failure counts as an attempt.
    const LONG attempts = held.Job.nRetryCount + 1;
    // A routed job the network failed for now goes to the next ready
    // handset of its route at once, which it names from then on.
    if (m_pRouter && held.Job.eHandset == hsAll && held.Progress.Accepted.empty() &&
        held.Failure->eOutcome == ESubmitOutcome::NetworkFailure) {
      waiting.nPassTo =
          m_pRouter->PassOnTo(m_nNumber, held.Job.sPhoneNumber, held.Job.source.m_eType, held.Job.source.m_sId);
      if (waiting.nPassTo != 0) {
        waiting.nRetryCount = attempts;
        ++m_Counters.nRetried;
        m_Waiting.push_back(std::move(waiting));
        m_nWaitingCount = m_Waiting.size();
        return;
      }
    }
    if (attempts > m_Settings.nMaxRetries) {
      const EnumJobStatus status = StatusOf(held.Failure->eOutcome);
      Decide(nJobId, held.Job, status, held.Failure->nErrorCode != 0 ? held.Failure->nErrorCode : status, {}, tag);
      return;
    }
    const int shift = std::min<LONG>(attempts - 1, 6);
    waiting.nRetryCount = attempts;
    waiting.Due =
        Clock::now() + std::chrono::milliseconds(static_cast<std::int64_t>(m_Settings.dwRetryBackoff) << shift);
    ++m_Counters.nRetried;
  } else if (!bStopping) {
    // The connection ended before the answer (not the job's fault): tried
    // again after the poll interval, without counting an attempt.
    waiting.Due = Clock::now() + std::chrono::milliseconds(m_Settings.dwPollInterval);
  }
  // Parts already accepted are not sent again: the rest follows, under the
  // same reference. A stop returns the job to pending all the same.
  if (!held.Progress.Accepted.empty() && !bStopping) {
    CClaimedJob job = held.Job;
    if (waiting.nRetryCount >= 0) job.nRetryCount = waiting.nRetryCount;
    waiting.Resume = CResume{held.Progress, std::move(job)};
  }
  m_Waiting.push_back(std::move(waiting));
  m_nWaitingCount = m_Waiting.size();
}

void CHandset::ReturnJobsInHand() {
  std::vector<LONG> idle;
  for (const auto& [id, j] : m_InHand)
    if (j.nInFlight == 0) idle.push_back(id);
  for (const LONG id : idle) Settle(id, true);
  std::erase_if(m_SendOrder, [this](LONG id) { return !m_InHand.contains(id); });
}

void CHandset::Decide(LONG nJobId, const CClaimedJob& Job, EnumJobStatus eStatus, LONG nErrorCode,
                      const CNetworkReference& Reference, LONG nExpectedTag) {
  const auto handset = static_cast<Handsets>(m_nNumber);
  const bool sent = eStatus == jsSent || eStatus == jsSentNotConfirmed;
  COutcome o;
  o.Reference = Reference;
  o.Sent = Clock::now();
  CJobOutcome& r = o.Record;
  r.nJobId = nJobId;
  r.eExpectedStatus = jsProcessing;
  r.nExpectedMessageRef = nExpectedTag;
  r.eStatus = eStatus;
  r.eHandset = handset;
  CDeliveryReportMatcher::SetReference(r, Reference);
  r.notification = CNotificationRecord{nJobId,
                                       sent ? ntMessageSent : ntSendFailure,
                                       Job.sPhoneNumber,
                                       Job.eType,
                                       Job.sData,
                                       handset,
                                       sent ? 0 : nErrorCode,
                                       TimeStampNow(),
                                       eStatus,
                                       Job.source,
                                       Job.options.sClientRef};
  if (m_Outcomes.empty()) m_OutcomesSince = Clock::now();
  m_Outcomes.push_back(std::move(o));
}

bool CHandset::OutcomesDue(bool bStopping) const {
  if (m_Outcomes.empty()) return false;
  // A report may be about a job whose reference is among them.
  if (bStopping || m_PartsInFlight.empty() || !m_Reports.empty()) return true;
  const size_t batch = std::min(static_cast<size_t>(std::max(1, m_pDriver->Window())) * kOutcomeWindows,
                                static_cast<size_t>(std::max(1, m_Settings.nClaimBatch)));
  return m_Outcomes.size() >= batch || Clock::now() - m_OutcomesSince >= kOutcomeDelay;
}

void CHandset::WriteOutcomes() {
  if (m_Outcomes.empty()) return;
  std::vector<CJobOutcome> records;
  records.reserve(m_Outcomes.size());
  for (const auto& o : m_Outcomes) records.push_back(o.Record);
  // Every status with its notification and reference, in one transaction;
  // a failure leaves them all to be written again.
  const std::vector<bool> written = m_Writer.Write(records);
  for (size_t i = 0; i < m_Outcomes.size(); ++i) {
    const COutcome& o = m_Outcomes[i];
    if (!written[i]) {
      LogEvent(
          EVENTLOG_WARNING_TYPE, "CHandset::WriteOutcomes",
          "Job " + std::to_string(o.Record.nJobId) + " was deleted or taken back before its outcome could be recorded");
      continue;
    }
    const bool sent = o.Record.eStatus == jsSent || o.Record.eStatus == jsSentNotConfirmed;
    ++(sent ? m_Counters.nSent : m_Counters.nFailed);
    if (sent) m_Day.AddSent(1);
    if (o.Reference.bValid) m_Matcher.Track(o.Record.nJobId, o.Record.nMessageRef, o.Sent);
  }
  m_Outcomes.clear();
}

void CHandset::ReturnWaitingJobs(bool bAll) {
  // The jobs that began to wait since the last round leave the network's
  // hands: a crash from here on returns them to pending.
  std::vector<LONG> retag;
  for (const auto& w : m_Waiting)
    if (!w.bWaitingTag) retag.push_back(w.nJobId);
  if (!retag.empty()) {
    m_OutgoingQueue.ReplaceTags(retag, m_Ownership.Tag(CJobOwnership::phSending),
                                m_Ownership.Tag(CJobOwnership::phWaiting));
    for (auto& w : m_Waiting) w.bWaitingTag = true;
  }
  const Clock::time_point now = Clock::now();
  for (auto it = m_Waiting.begin(); it != m_Waiting.end();) {
    if (!bAll && (it->Due > now || it->Resume)) {  // the handset goes on with a job begun (ResumeWaitingJobs)
      ++it;
      continue;
    }
    if (!it->bReleased) {
      m_Ownership.Release(it->nJobId);
      it->bReleased = true;
    }
    // A job that names its handset after all stays for its own retries.
    if (it->nPassTo != 0 && m_OutgoingQueue.PassJobTo(it->nJobId, static_cast<Handsets>(it->nPassTo), it->nRetryCount))
      m_pRouter->WakeAll();
    else
      m_OutgoingQueue.JobReturn(it->nJobId, jsPending, it->nRetryCount);
    it = m_Waiting.erase(it);
  }
  m_nWaitingCount = m_Waiting.size();
}

bool CHandset::ResumeWaitingJobs(bool bClaiming) {
  const Clock::time_point now = Clock::now();
  bool resumed = false;
  for (auto it = m_Waiting.begin(); it != m_Waiting.end();) {
    if (!it->Resume || it->Due > now) {
      ++it;
      continue;
    }
    if (!bClaiming || !m_pDriver->IsReadyToSend()) {
      // Waits on in processing, owned by this handset, until it can be sent.
      it->Due = now + std::chrono::milliseconds(m_Settings.dwPollInterval);
      ++it;
      continue;
    }
    // The retry is counted as JobReturn counts it, but the job stays in
    // processing (tagged waiting until its parts go out again).
    m_OutgoingQueue.JobReturn(it->nJobId, jsProcessing, it->nRetryCount);
    CWaitingJob w = std::move(*it);
    it = m_Waiting.erase(it);
    TakeInHand(std::move(w.Resume->Job), &w.Resume->Progress, !w.bWaitingTag);
    resumed = true;
  }
  m_nWaitingCount = m_Waiting.size();
  return resumed;
}

bool CHandset::HandleReports() {
  const auto handset = static_cast<Handsets>(m_nNumber);
  const size_t count = std::min(m_Reports.size(), kIncomingBatch);
  if (count == 0) return false;
  // The outcomes of a batch of reports, looked up first (what is found is
  // kept should the write fail) and written together.
  std::vector<CJobOutcome> records;
  for (size_t i = 0; i < count; ++i) {
    CReportWork& w = m_Reports[i];
    if (w.nJobId == -2) w.nJobId = m_Matcher.FindJob(m_nNumber, w.Report.Reference);
    if (w.nJobId < 0 || w.Record) {
      if (w.Record) records.push_back(*w.Record);
      continue;
    }
    CClaimedJob job;
    Handsets h = handset;
    try {
      m_OutgoingQueue.GetJobInfo(w.nJobId, job.sPhoneNumber, job.eType, job.sData, h, job.source);
    } catch (const _com_error& e) {
      if (e.Error() != adErrNoCurrentRecord) throw;
      w.nJobId = -1;  // deleted since it was found
      continue;
    }
    const CNetworkReference& ref = w.Report.Reference;
    const EnumJobStatus status = w.Report.bDelivered ? jsSent : jsDeliveryFailed;
    const LONG messageRef = ref.bText ? w.nJobId : ref.nNumber;
    CJobOutcome r;
    r.nJobId = w.nJobId;
    r.eExpectedStatus = jsSentNotConfirmed;
    r.nExpectedMessageRef = messageRef;
    r.eStatus = status;
    r.eHandset = handset;
    r.nMessageRef = messageRef;
    r.bDropMapping = ref.bText;
    const LONG error = w.Report.bDelivered ? 0 : (w.Report.nErrorCode != 0 ? w.Report.nErrorCode : jsDeliveryFailed);
    r.notification =
        CNotificationRecord{w.nJobId,
                            w.Report.bDelivered ? ntDeliveryReport : ntDeliveryFailure,
                            job.sPhoneNumber,
                            job.eType,
                            job.sData,
                            handset,
                            error,
                            TimeStampNow(),
                            status,
                            job.source,
                            m_OutgoingQueue.OptionColumns() ? m_OutgoingQueue.ReadClientRef(w.nJobId) : ""};
    w.Record = r;
    records.push_back(std::move(r));
  }
  const std::vector<bool> written = m_Writer.Write(records);
  // The driver lets a report go once its outcome is committed, or once it
  // is known to match no job.
  for (size_t i = 0, k = 0; i < count; ++i) {
    const CReportWork& w = m_Reports.front();
    if (w.Record && written[k++]) {
      m_Matcher.Forget(w.nJobId);
      ++(w.Report.bDelivered ? m_Counters.nDelivered : m_Counters.nUndelivered);
    } else {
      ++m_Counters.nUnmatched;
    }
    if (const auto receipt = w.Report.nReceipt; receipt != 0) m_pDriver->Acknowledge(receipt);
    m_Reports.pop_front();
  }
  return !m_Reports.empty();
}

bool CHandset::HandleIncoming(bool bStopping) {
  const Clock::time_point now = Clock::now();
  auto given = bStopping ? m_Assembler.Flush() : m_Assembler.Expire(now);
  for (auto& m : given) {
    m.sTimeStamp = TimeStampNow();
    m_ToStore.push_back(std::move(m));
  }
  // Parts whose answer has waited as long as the driver allows are answered
  // while they wait for the rest of their message.
  if (const auto limit = m_pDriver->HeldPartLimit(); limit != std::chrono::milliseconds::max())
    for (const auto receipt : m_Assembler.TakeReceiptsHeldSince(now - limit)) m_pDriver->Acknowledge(receipt);
  return StoreReceived();
}

bool CHandset::StoreReceived() {
  if (m_ToStore.empty()) return false;
  // A batch commits at once, on every database; its receipts go to the
  // driver only after the commit.
  const size_t count = std::min(m_ToStore.size(), kIncomingBatch);
  CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
  for (size_t i = 0; i < count; ++i) {
    const CReceivedMessage& m = m_ToStore[i];
    // The recipient, when known, in DestName only: DestType and DestId stay
    // as every reader of the table knows them.
    m_IncomingQueue.StoreMessage(m.sSender, m.eType, m.sData, m_nNumber, m.sTimeStamp,
                                 CMessageEndpoint(stUnspecified, "", m.sRecipient));
  }
  group.Commit();
  for (size_t i = 0; i < count; ++i) {
    ++m_Counters.nReceived;
    for (const auto receipt : m_ToStore.front().Receipts) m_pDriver->Acknowledge(receipt);
    m_ToStore.pop_front();
  }
  return !m_ToStore.empty();
}

bool CHandset::HandleUnreadableRow(LONG nJobId) {
  const auto rs = m_OutgoingQueue.ReadRow(nJobId);
  if (!rs) return false;
  // Read as the claim reads it: NULL where a value is required, or a value
  // of the wrong kind (a text or a number beyond 32 bits in Type, say),
  // makes the row unreadable. A row that reads well here was not the fault.
  std::string why;
  try {
    const CQueueRow row(*rs, "SMSOutgoing", nJobId);
    row.String("PhoneNumber");
    row.String("Data");
    row.Long("Type");
    row.EndpointOrEmpty("Source");
    row.LongOrZero("RetryCount");
  } catch (const _com_error& e) {
    why = Describe(e);
  }
  if (why.empty()) return false;
  if (++m_ReadFailures[nJobId] < m_Settings.nMaxReadFailures) return true;
  m_ReadFailures.erase(nJobId);
  const EnumJobStatus status = rs->GetFieldValue("PhoneNumber").vt == VT_NULL ? jsErrNumberInvalid : jsInvalidJobType;
  const auto handset = static_cast<Handsets>(m_nNumber);
  const CUnreadableJob job(*rs);
  rs->Close();
  CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
  // Every handset counts its own failed reads: only the one that moves the
  // row out of pending fails it, so the sender hears of it once.
  const bool moved = m_OutgoingQueue.FailUnreadablePendingJob(nJobId, status, handset);
  if (!moved) {
    group.Commit();
    return true;
  }
  m_NotificationQueue.InsertJob(nJobId, ntSendFailure, job.sPhoneNumber, job.eType, job.sData, handset, status,
                                TimeStampNow(), status, job.Source);
  group.Commit();
  ++m_Counters.nFailed;
  LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::HandleUnreadableRow",
           "Job " + std::to_string(nJobId) + " cannot be read (" + why + ") and failed with status " +
               std::to_string(status));
  return true;
}

}  // namespace Norvale
