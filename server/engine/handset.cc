#include "server/engine/handset.h"

#include <algorithm>
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
  // A worker still busy is most likely in a submission: stopping the driver
  // ends it, and the job goes back to pending.
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
    Clock::time_point stopDeadline;
    {
      std::lock_guard guard(m_Lock);
      stopping = m_bStop;
      claiming = m_bClaiming && !m_bStop;
      stopDeadline = m_StopDeadline;
      m_bWake = false;
      for (auto& r : m_NewReports) {
        CReportWork work;
        work.Report = std::move(r);
        m_Reports.push_back(std::move(work));
      }
      m_NewReports.clear();
      parts.swap(m_NewMessages);
    }
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
    if (!failed) {
      std::lock_guard guard(m_Lock);
      m_sLastError.clear();
    }
    if (stopping && !failed && m_Outcomes.empty() && m_Waiting.empty() && m_Reports.empty() && m_ToStore.empty() &&
        m_Assembler.Pending() == 0)
      break;
    if (stopping && Clock::now() >= stopDeadline) break;  // what is left is taken back at the next start
    if (busy && !failed) continue;
    Clock::time_point until =
        failed ? Clock::now() + std::chrono::milliseconds(m_Settings.dwPollInterval) : NextDeadline(claiming);
    if (stopping) until = std::min(until, stopDeadline);
    std::unique_lock lock(m_Lock);
    m_Changed.wait_until(lock, until, [&] {
      return m_bWake || !m_NewReports.empty() || !m_NewMessages.empty() || (m_bStop && !stopping);
    });
  }
  std::lock_guard guard(m_Lock);
  m_bFinished = true;
  m_Changed.notify_all();
}

bool CHandset::Alive(Clock::time_point Now, Clock::duration Within) const {
  if (Now - Heartbeat() <= Within) return true;
  const Clock::rep until = m_nSubmitUntil.load();
  return until != 0 && Now <= Clock::time_point(Clock::duration(until)) + Within;
}

CHandset::Clock::time_point CHandset::NextDeadline(bool bClaiming) const {
  Clock::time_point next =
      bClaiming ? Clock::now() + std::chrono::milliseconds(m_Settings.dwPollInterval) : Clock::time_point::max();
  for (const auto& w : m_Waiting) next = std::min(next, w.Due);
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
      COutcome outcome;
      outcome.nJobId = id;
      Handsets h = hsAll;
      m_OutgoingQueue.GetJobInfo(id, outcome.sPhoneNumber, outcome.eType, outcome.sData, h, outcome.Source);
      outcome.eStatus = jsErrSystemFailure;
      outcome.nErrorCode = kErrorSendInDoubt;
      Decide(std::move(outcome));
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
    Recover();
    m_Matcher.TrackWaiting(m_nNumber, Clock::now());
    m_bRecovered = true;
  }
  WriteOutcomes();
  ReturnWaitingJobs(bStopping);
  Beat();
  const bool moreReports = HandleReports();
  m_Matcher.ExpireReferences(Clock::now());
  Beat();
  const bool moreIncoming = HandleIncoming(bStopping);
  Beat();
  *bBusy = moreReports || moreIncoming;
  if (!bStopping && ResumeWaitingJob(bClaiming)) {
    *bBusy = true;
    return;
  }
  // A driver not ready (a modem off the network) leaves the jobs pending.
  if (bClaiming && m_pDriver->IsReadyToSend() && ClaimAndSend()) *bBusy = true;
}

bool CHandset::ClaimAndSend() {
  std::optional<CClaimedJob> job;
  bool owned = false;
  try {
    // On SQLite the claim and the take-over commit together: one wait for
    // the write lock instead of two, and no moment in which the job is
    // claimed but has no owner.
    CDatabaseTransaction group(&m_DB);
    job = m_OutgoingQueue.ClaimJob(static_cast<Handsets>(m_nNumber));
    if (job) owned = m_Ownership.TakeOver(job->nJobId);
    group.Commit();
  } catch (const CClaimFailed& e) {
    // The claim returned a job it claimed but could not read; such a row
    // (NULL or a value of the wrong kind in a column the claim reads) would
    // come back at every claim, first of all for every handset.
    if (HandleUnreadableRow(e.JobId())) return true;
    throw;
  } catch (const _com_error&) {
    // Claimed but not taken over (on PostgreSQL the claim commits by
    // itself): the job goes back to pending now instead of waiting, claimed
    // by nobody, for the orphan sweep. The take-over may have run with its
    // answer lost, so this handset's tag is cleared first.
    if (job && !owned) {
      try {
        const CDatabaseOperation giveBack(&m_DB, true);
        m_Ownership.Release(job->nJobId);
        m_OutgoingQueue.JobReturn(job->nJobId, jsPending, -1);
      } catch (const _com_error&) {
        // the orphan sweep returns it
      }
    }
    throw;
  }
  if (!job) return false;
  const LONG id = job->nJobId;
  m_ReadFailures.erase(id);
  if (!owned) {
    // Returned as an orphan before this handset could take it over: it is
    // pending again, for whoever claims it next.
    LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::ClaimAndSend",
             "Handset " + std::to_string(m_nNumber) + " lost job " + std::to_string(id) + " before taking it over");
    return true;
  }
  Send(id, job->sPhoneNumber, job->eType, job->sData, job->nRetryCount, job->source);
  return true;
}

void CHandset::Send(LONG nJobId, const std::string& sPhoneNumber, JOBTYPE eType, const std::string& sData,
                    LONG nRetryCount, const CMessageEndpoint& Source, const CProgress* pProgress) {
  COutcome outcome;
  outcome.nJobId = nJobId;
  outcome.sPhoneNumber = sPhoneNumber;
  outcome.sData = sData;
  outcome.eType = eType;
  outcome.Source = Source;
  const std::uint8_t reference = pProgress ? pProgress->nReference : m_nConcatReference++;
  const CConvertedJob job = CJobConverter::Convert(sPhoneNumber, eType, sData, reference);
  if (!job.bOk) {
    outcome.eStatus = job.eFailure;
    outcome.nErrorCode = job.eFailure;
    Decide(std::move(outcome));
    return;
  }
  const bool report = m_bRequestReports && m_pDriver->CanReport();
  const bool whole = job.Parts.size() > 1 && m_pDriver->TakesWholeMessages();
  const int parts = whole ? 1 : static_cast<int>(job.Parts.size());
  for (int i = pProgress ? std::min(pProgress->nAccepted, parts - 1) : 0; i < parts; ++i) {
    COutgoingSms message{nJobId, i + 1, parts, *job.Number, job.Parts[static_cast<size_t>(i)], report && i + 1 == parts,
                         {}};
    if (whole) message.WholeMessage = job.Parts;
    m_nSubmitUntil = (Clock::now() + m_pDriver->SubmitLimit()).time_since_epoch().count();
    const CSubmitResult result = m_pDriver->Submit(message);
    m_nSubmitUntil = 0;
    Beat();
    if (result.eOutcome == ESubmitOutcome::Accepted) {
      ++m_Counters.nParts;
      if (i + 1 == parts) outcome.Reference = result.Reference;
      continue;
    }
    const LONG attempts = nRetryCount + 1;
    bool stopping;
    {
      std::lock_guard guard(m_Lock);
      stopping = m_bStop;
    }
    if (result.bTemporary && stopping) {
      // Interrupted by the stop: not an attempt that counts.
      m_Waiting.push_back(CWaitingJob{nJobId, -1, Clock::now(), false, {}});  // -1: the stored count stays
      m_Ownership.SetPhase(nJobId, CJobOwnership::phSending, CJobOwnership::phWaiting);
      return;
    }
    if (result.bTemporary && attempts <= m_Settings.nMaxRetries) {
      const int shift = std::min<LONG>(attempts - 1, 6);
      const auto backoff = std::chrono::milliseconds(static_cast<std::int64_t>(m_Settings.dwRetryBackoff) << shift);
      CWaitingJob waiting{nJobId, attempts, Clock::now() + backoff, false, {}};
      // Parts already accepted are not sent again: the rest follows from here.
      if (i > 0) waiting.Resume = CResume{CProgress{reference, i}, sPhoneNumber, sData, eType, Source};
      m_Waiting.push_back(std::move(waiting));
      ++m_Counters.nRetried;
      m_Ownership.SetPhase(nJobId, CJobOwnership::phSending, CJobOwnership::phWaiting);
      return;
    }
    outcome.eStatus = StatusOf(result.eOutcome);
    outcome.nErrorCode = result.nErrorCode != 0 ? result.nErrorCode : outcome.eStatus;
    Decide(std::move(outcome));
    return;
  }
  outcome.eStatus = outcome.Reference.bValid ? jsSentNotConfirmed : jsSent;
  Decide(std::move(outcome));
}

void CHandset::Decide(COutcome Outcome) {
  m_Outcomes.push_back(std::move(Outcome));
  WriteOutcomes();
}

void CHandset::WriteOutcomes() {
  const auto handset = static_cast<Handsets>(m_nNumber);
  while (!m_Outcomes.empty()) {
    COutcome& o = m_Outcomes.front();
    if (o.nStep == 0) {
      o.nMessageRef = o.Reference.bValid ? m_Matcher.RecordReference(o.nJobId, m_nNumber, o.Reference) : 0;
      o.nStep = 1;
    }
    // The status and its notification commit together, on every database:
    // a crash or a failure between them never leaves a status without its
    // notification. A failure undoes both, and both are written again.
    CDatabaseTransaction group(&m_DB, CDatabaseTransaction::kEveryDatabase);
    const bool grouped = m_DB.InTransaction();
    try {
      if (o.nStep == 1) {
        if (!UpdateIfPresent(o.nJobId, o.eStatus, o.nMessageRef)) {
          group.Commit();
          m_Outcomes.pop_front();  // the row is gone: nothing left to record or tell
          continue;
        }
        o.nStep = 2;
      }
      const bool sent = o.eStatus == jsSent || o.eStatus == jsSentNotConfirmed;
      m_NotificationQueue.InsertJob(o.nJobId, sent ? ntMessageSent : ntSendFailure, o.sPhoneNumber, o.eType, o.sData,
                                    handset, sent ? 0 : o.nErrorCode, TimeStampNow(), o.eStatus, o.Source);
      group.Commit();
      ++(sent ? m_Counters.nSent : m_Counters.nFailed);
    } catch (...) {
      if (grouped) o.nStep = 1;
      throw;
    }
    m_Outcomes.pop_front();
  }
}

void CHandset::ReturnWaitingJobs(bool bAll) {
  const Clock::time_point now = Clock::now();
  for (auto it = m_Waiting.begin(); it != m_Waiting.end();) {
    if (!bAll && (it->Due > now || it->Resume)) {  // the handset goes on with a job begun (ResumeWaitingJob)
      ++it;
      continue;
    }
    if (!it->bReleased) {
      m_Ownership.Release(it->nJobId);
      it->bReleased = true;
    }
    m_OutgoingQueue.JobReturn(it->nJobId, jsPending, it->nRetryCount);
    it = m_Waiting.erase(it);
  }
}

bool CHandset::ResumeWaitingJob(bool bClaiming) {
  const Clock::time_point now = Clock::now();
  const auto it =
      std::find_if(m_Waiting.begin(), m_Waiting.end(), [&](const CWaitingJob& w) { return w.Resume && w.Due <= now; });
  if (it == m_Waiting.end()) return false;
  if (!bClaiming || !m_pDriver->IsReadyToSend()) {
    // Waits on in processing, owned by this handset, until it can be sent.
    it->Due = now + std::chrono::milliseconds(m_Settings.dwPollInterval);
    return false;
  }
  // The retry is counted as JobReturn counts it, but the job stays in
  // processing; a crash from here on finds it as perhaps sent.
  m_OutgoingQueue.JobReturn(it->nJobId, jsProcessing, it->nRetryCount);
  m_Ownership.SetPhase(it->nJobId, CJobOwnership::phWaiting, CJobOwnership::phSending);
  const CWaitingJob w = std::move(*it);
  m_Waiting.erase(it);
  m_nWaitingCount = m_Waiting.size();
  Send(w.nJobId, w.Resume->sPhoneNumber, w.Resume->eType, w.Resume->sData, w.nRetryCount, w.Resume->Source,
       &w.Resume->Progress);
  return true;
}

bool CHandset::HandleReports() {
  const auto handset = static_cast<Handsets>(m_nNumber);
  // The driver lets a report go once its outcome is written, or once it is
  // known to match no job.
  const auto done = [&] {
    if (const auto receipt = m_Reports.front().Report.nReceipt; receipt != 0) m_pDriver->Acknowledge(receipt);
    m_Reports.pop_front();
  };
  for (size_t handled = 0; !m_Reports.empty(); ++handled) {
    if (handled == kIncomingBatch) return true;
    CReportWork& w = m_Reports.front();
    if (w.nJobId == -2) w.nJobId = m_Matcher.FindJob(m_nNumber, w.Report.Reference);
    if (w.nJobId < 0) {
      ++m_Counters.nUnmatched;
      done();
      continue;
    }
    const CNetworkReference& ref = w.Report.Reference;
    const EnumJobStatus status = w.Report.bDelivered ? jsSent : jsDeliveryFailed;
    if (w.nStep == 0) {
      Handsets h = handset;
      try {
        m_OutgoingQueue.GetJobInfo(w.nJobId, w.sPhoneNumber, w.eType, w.sData, h, w.Source);
      } catch (const _com_error& e) {
        if (e.Error() != adErrNoCurrentRecord) throw;
        w.nStep = 4;  // deleted since it was found
      }
      if (w.nStep == 0) w.nStep = 1;
    }
    if (w.nStep == 1) {
      w.nStep = UpdateIfPresent(w.nJobId, status, ref.bText ? w.nJobId : ref.nNumber) ? 2 : 4;
    }
    if (w.nStep == 4) {
      ++m_Counters.nUnmatched;
      done();
      continue;
    }
    if (w.nStep == 2) {
      const LONG error = w.Report.bDelivered ? 0 : (w.Report.nErrorCode != 0 ? w.Report.nErrorCode : jsDeliveryFailed);
      m_NotificationQueue.InsertJob(w.nJobId, w.Report.bDelivered ? ntDeliveryReport : ntDeliveryFailure,
                                    w.sPhoneNumber, w.eType, w.sData, handset, error, TimeStampNow(), status, w.Source);
      w.nStep = 3;
    }
    m_Matcher.Forget(w.nJobId, ref);
    ++(w.Report.bDelivered ? m_Counters.nDelivered : m_Counters.nUndelivered);
    done();
  }
  return false;
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
  // On SQLite a batch commits at once; its receipts go to the driver only
  // after the commit. On PostgreSQL each row commits by itself.
  CDatabaseTransaction group(&m_DB);
  const bool grouped = m_DB.InTransaction();
  size_t written = 0, handled = 0;
  const auto release = [&] {
    const CReceivedMessage& m = m_ToStore.front();
    ++m_Counters.nReceived;
    for (const auto receipt : m.Receipts) m_pDriver->Acknowledge(receipt);
    m_ToStore.pop_front();
  };
  for (; written < m_ToStore.size() && handled < kIncomingBatch; ++handled) {
    const CReceivedMessage& m = m_ToStore[written];
    m_IncomingQueue.StoreMessage(m.sSender, m.eType, m.sData, m_nNumber, m.sTimeStamp, CMessageEndpoint());
    if (grouped)
      ++written;
    else
      release();
  }
  if (grouped) {
    group.Commit();
    for (; written > 0; --written) release();
  }
  return !m_ToStore.empty();
}

bool CHandset::UpdateIfPresent(LONG nJobId, EnumJobStatus eStatus, LONG nMessageRef) {
  try {
    m_OutgoingQueue.JobUpdate(nJobId, eStatus, static_cast<Handsets>(m_nNumber), nMessageRef);
    return true;
  } catch (const _com_error&) {
    // JobUpdate wants exactly one row; one deleted meanwhile would fail it
    // for ever.
    if (m_OutgoingQueue.JobExists(nJobId)) throw;
    LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::UpdateIfPresent",
             "Job " + std::to_string(nJobId) + " was deleted before its outcome could be recorded");
    return false;
  }
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
