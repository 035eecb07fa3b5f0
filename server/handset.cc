#include "server/handset.h"

#include <algorithm>
#include <random>
#include <set>

#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "errors/handler_ladder.h"
#include "platform/event_log.h"
#include "server/job_converter.h"
#include "server/time_stamp.h"

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
  return std::min(next, m_Assembler.NextExpiry());
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
    m_bRecovered = true;
  }
  WriteOutcomes();
  ReturnWaitingJobs(bStopping);
  Beat();
  HandleReports();
  Beat();
  HandleIncoming(bStopping);
  Beat();
  // A driver not ready (a modem off the network) leaves the jobs pending.
  if (bClaiming && m_pDriver->IsReadyToSend()) *bBusy = ClaimAndSend();
}

bool CHandset::ClaimAndSend() {
  LONG id = -1, retries = 0;
  std::string phone, data;
  JOBTYPE type = jtTextMessage;
  CMessageEndpoint source;
  bool claimed = false, owned = false;
  try {
    // On SQLite the claim and the take-over commit together: one wait for
    // the write lock instead of two, and no moment in which the job is
    // claimed but has no owner.
    CDatabaseTransaction group(&m_DB);
    claimed = m_OutgoingQueue.GetJobA(id, phone, type, data, retries, static_cast<Handsets>(m_nNumber), source);
    if (claimed) owned = m_Ownership.TakeOver(id);
    group.Commit();
  } catch (const _com_error&) {
    // GetJobA returned a job it claimed but could not read; a row with NULL
    // in its required columns would come back at every claim.
    if (id > 0 && !claimed && HandleUnreadableRow(id)) return true;
    throw;
  }
  if (!claimed) return false;
  m_ReadFailures.erase(id);
  if (!owned) {
    // Returned as an orphan before this handset could take it over: it is
    // pending again, for whoever claims it next.
    LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::ClaimAndSend",
             "Handset " + std::to_string(m_nNumber) + " lost job " + std::to_string(id) + " before taking it over");
    return true;
  }
  Send(id, phone, type, data, retries, source);
  return true;
}

void CHandset::Send(LONG nJobId, const std::string& sPhoneNumber, JOBTYPE eType, const std::string& sData,
                    LONG nRetryCount, const CMessageEndpoint& Source) {
  COutcome outcome;
  outcome.nJobId = nJobId;
  outcome.sPhoneNumber = sPhoneNumber;
  outcome.sData = sData;
  outcome.eType = eType;
  outcome.Source = Source;
  const CConvertedJob job = CJobConverter::Convert(sPhoneNumber, eType, sData, m_nConcatReference++);
  if (!job.bOk) {
    outcome.eStatus = job.eFailure;
    outcome.nErrorCode = job.eFailure;
    Decide(std::move(outcome));
    return;
  }
  const bool report = m_bRequestReports && m_pDriver->CanReport();
  const bool whole = job.Parts.size() > 1 && m_pDriver->TakesWholeMessages();
  const int parts = whole ? 1 : static_cast<int>(job.Parts.size());
  for (int i = 0; i < parts; ++i) {
    COutgoingSms message{
        nJobId, i + 1, parts, job.sPhoneNumber, job.Parts[static_cast<size_t>(i)], report && i + 1 == parts, {}};
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
      m_Waiting.push_back(CWaitingJob{nJobId, -1, Clock::now()});  // -1: the stored count stays
      m_Ownership.SetPhase(nJobId, CJobOwnership::phSending, CJobOwnership::phWaiting);
      return;
    }
    if (result.bTemporary && attempts <= m_Settings.nMaxRetries) {
      const int shift = std::min<LONG>(attempts - 1, 6);
      const auto backoff = std::chrono::milliseconds(static_cast<std::int64_t>(m_Settings.dwRetryBackoff) << shift);
      m_Waiting.push_back(CWaitingJob{nJobId, attempts, Clock::now() + backoff});
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
    // On SQLite the status and its notification commit together (one wait
    // for the write lock, and never a status without its notification); a
    // failure undoes both, and both are written again.
    CDatabaseTransaction group(&m_DB);
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
    if (!bAll && it->Due > now) {
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

void CHandset::HandleReports() {
  const auto handset = static_cast<Handsets>(m_nNumber);
  while (!m_Reports.empty()) {
    CReportWork& w = m_Reports.front();
    if (w.nJobId == -2) w.nJobId = m_Matcher.FindJob(m_nNumber, w.Report.Reference);
    if (w.nJobId < 0) {
      ++m_Counters.nUnmatched;
      m_Reports.pop_front();
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
      m_Reports.pop_front();
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
    m_Reports.pop_front();
  }
}

void CHandset::HandleIncoming(bool bStopping) {
  auto given = bStopping ? m_Assembler.Flush() : m_Assembler.Expire(Clock::now());
  for (auto& m : given) {
    m.sTimeStamp = TimeStampNow();
    m_ToStore.push_back(std::move(m));
  }
  StoreReceived();
}

void CHandset::StoreReceived() {
  while (!m_ToStore.empty()) {
    const CReceivedMessage& m = m_ToStore.front();
    m_IncomingQueue.StoreMessage(m.sSender, m.eType, m.sData, m_nNumber, m.sTimeStamp, CMessageEndpoint());
    ++m_Counters.nReceived;
    for (const auto receipt : m.Receipts) m_pDriver->Acknowledge(receipt);
    m_ToStore.pop_front();
  }
}

bool CHandset::UpdateIfPresent(LONG nJobId, EnumJobStatus eStatus, LONG nMessageRef) {
  try {
    m_OutgoingQueue.JobUpdate(nJobId, eStatus, static_cast<Handsets>(m_nNumber), nMessageRef);
    return true;
  } catch (const _com_error&) {
    // JobUpdate wants exactly one row; one deleted meanwhile would fail it
    // for ever.
    LONG affected = 0;
    const auto rs = m_Sql.ExecuteCommand("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Id=" + std::to_string(nJobId),
                                         affected, adCmdText, -1, CJobQueue::kAttempts);
    if (rs->GetFieldValue("N").ToLong() != 0) throw;
    LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::UpdateIfPresent",
             "Job " + std::to_string(nJobId) + " was deleted before its outcome could be recorded");
    return false;
  }
}

bool CHandset::HandleUnreadableRow(LONG nJobId) {
  LONG affected = 0;
  const auto rs = m_Sql.ExecuteCommand(
      "SELECT Type, PhoneNumber, Data, SourceType, SourceId, SourceName FROM SMSOutgoing WHERE Id=" +
          std::to_string(nJobId),
      affected, adCmdText, -1, CJobQueue::kAttempts);
  if (rs->adoEOF()) return false;
  const _variant_t type = rs->GetFieldValue("Type"), phone = rs->GetFieldValue("PhoneNumber"),
                   data = rs->GetFieldValue("Data");
  if (type.vt != VT_NULL && phone.vt != VT_NULL && data.vt != VT_NULL) return false;  // not the row: the database
  if (++m_ReadFailures[nJobId] < m_Settings.nMaxReadFailures) return true;
  m_ReadFailures.erase(nJobId);
  const EnumJobStatus status = phone.vt == VT_NULL ? jsErrNumberInvalid : jsInvalidJobType;
  const auto handset = static_cast<Handsets>(m_nNumber);
  const CMessageEndpoint source(static_cast<SourceTypes>(ConvertVariantToLong(rs->GetFieldValue("SourceType"))),
                                ConvertVariantToString(rs->GetFieldValue("SourceId")),
                                ConvertVariantToString(rs->GetFieldValue("SourceName")));
  rs->Close();
  m_OutgoingQueue.JobUpdate(nJobId, status, handset, 0);
  m_NotificationQueue.InsertJob(nJobId, ntSendFailure, ConvertVariantToString(phone),
                                static_cast<JOBTYPE>(ConvertVariantToLong(type)), ConvertVariantToString(data), handset,
                                status, TimeStampNow(), status, source);
  ++m_Counters.nFailed;
  LogEvent(EVENTLOG_WARNING_TYPE, "CHandset::HandleUnreadableRow",
           "Job " + std::to_string(nJobId) + " has no " +
               (type.vt == VT_NULL    ? "Type"
                : phone.vt == VT_NULL ? "PhoneNumber"
                                      : "Data") +
               " and failed");
  return true;
}

}  // namespace Norvale
