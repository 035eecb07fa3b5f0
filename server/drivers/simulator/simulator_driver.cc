#include "server/drivers/simulator/simulator_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "codec/hex.h"
#include "codec/udh.h"
#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

namespace {

// The concatenation element dropped, so that a reply carries only what the
// sender chose to put in its header.
std::vector<std::uint8_t> WithoutConcatenation(const std::vector<std::uint8_t>& Udh) {
  if (Udh.empty()) return Udh;
  auto elements = Sms::ParseUdh(Udh);
  std::erase_if(elements, [](const Sms::InformationElement& e) {
    return e.nIei == Sms::kIeConcat8 || e.nIei == Sms::kIeConcat16;
  });
  return Sms::BuildUdh(elements);
}

}  // namespace

CSimulatorDriver::CSimulatorDriver(int nHandset, const CSettingValues& Values) : m_nHandset(nHandset) {
  const CSettingsReader r(nHandset, "simulator", Values);
  m_dwLatency = static_cast<std::uint32_t>(r.GetNumber("Latency"));
  m_nFailureRate = static_cast<int>(r.GetNumber("FailureRate"));
  m_bReports = r.GetBool("Reports");
  m_dwReportDelay = static_cast<std::uint32_t>(r.GetNumber("ReportDelay"));
  m_nReportFailureRate = static_cast<int>(r.GetNumber("ReportFailureRate"));
  m_dwReplyDelay = static_cast<std::uint32_t>(r.GetNumber("ReplyDelay"));
  m_nLoseReplyPart = static_cast<int>(r.GetNumber("LoseReplyPart"));
  m_nMaxPerSecond = static_cast<int>(r.GetNumber("MaxPerSecond"));
  m_nSignal = static_cast<int>(r.GetNumber("Signal"));
  m_nWindow = static_cast<int>(r.GetNumber("Window"));
  m_sAutoReply = r.GetText("AutoReply");
  m_bTextReferences = r.GetText("ReferenceKind") == "text";
  m_sInvalidPattern = r.GetText("InvalidNumbers");
  try {
    m_InvalidNumbers = std::regex(m_sInvalidPattern, std::regex::ECMAScript);
  } catch (const std::regex_error& e) {
    r.Fail("InvalidNumbers", "'" + m_sInvalidPattern + "' is not a valid pattern (" + e.what() + ")");
  }
  const std::uint64_t seed = r.Has("Seed") ? static_cast<std::uint64_t>(r.GetNumber("Seed")) : std::random_device()();
  m_Random.seed(seed);
  m_nNextReference = static_cast<std::uint32_t>(m_Random() % 0x7FFF0000u) + 1;
  m_nReplyReference = static_cast<std::uint8_t>(m_Random());
  const std::string log = r.GetText("SubmitLog");
  if (!log.empty()) {
    m_nLogFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_nLogFd < 0) r.Fail("SubmitLog", "cannot open '" + log + "': " + std::strerror(errno));
  }
}

CSimulatorDriver::~CSimulatorDriver() {
  Stop();
  if (m_nLogFd >= 0) close(m_nLogFd);
}

void CSimulatorDriver::Start(IDriverEvents* pEvents) {
  std::lock_guard guard(m_Lock);
  if (m_bStarted) return;
  m_pEvents = pEvents;
  m_bStarted = true;
  m_bStopping = false;
  m_Timer = std::thread([this] { RunTimer(); });
}

void CSimulatorDriver::Stop() {
  {
    std::lock_guard guard(m_Lock);
    if (!m_bStarted) return;
    m_bStopping = true;
  }
  m_Changed.notify_all();
  if (m_Timer.joinable()) m_Timer.join();
  std::vector<SubmitCompletion> unanswered;
  {
    std::lock_guard guard(m_Lock);
    m_bStarted = false;
    for (; !m_Events.empty(); m_Events.pop())
      if (const auto* c = std::get_if<Completion>(&m_Events.top().what)) unanswered.push_back(c->done);
  }
  // The parts still in flight end as a dropped connection would end them.
  for (auto& done : unanswered) done(CSubmitResult::LinkLost("Driver stopped before the answer"));
}

bool CSimulatorDriver::SleepUntil(Clock::time_point until) {
  std::unique_lock lock(m_Lock);
  return !m_Changed.wait_until(lock, until, [this] { return m_bStopping; });
}

bool CSimulatorDriver::Schedule(Clock::time_point due, EventKind what) {
  {
    std::lock_guard guard(m_Lock);
    if (m_bStopping || !m_bStarted) return false;
    m_Events.push(Event{due, m_nEventOrder++, std::move(what)});
  }
  m_Changed.notify_all();
  return true;
}

void CSimulatorDriver::RunTimer() {
  std::unique_lock lock(m_Lock);
  while (!m_bStopping) {
    if (m_Events.empty()) {
      m_Changed.wait(lock);
      continue;
    }
    const Clock::time_point due = m_Events.top().due;
    if (Clock::now() < due) {
      m_Changed.wait_until(lock, due);
      continue;
    }
    Event event = m_Events.top();
    m_Events.pop();
    IDriverEvents* events = m_pEvents;
    lock.unlock();  // the engine only queues the event, but never call out under the lock
    if (auto* report = std::get_if<CDeliveryReport>(&event.what))
      events->OnDeliveryReport(std::move(*report));
    else if (auto* completion = std::get_if<Completion>(&event.what))
      completion->done(std::move(completion->result));
    else
      events->OnMessageReceived(std::get<CIncomingSms>(std::move(event.what)));
    lock.lock();
  }
}

void CSimulatorDriver::Log(const COutgoingSms& Message, const char* szOutcome, const std::string& sReference) {
  if (m_nLogFd < 0) return;
  // The time last: seconds since the epoch, to the microsecond.
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  char time[32];
  std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(us / 1000000),
                static_cast<long long>(us % 1000000));
  const std::string line = std::to_string(Message.nJobId) + " " + std::to_string(Message.nPart) + " " +
                           std::to_string(Message.nParts) + " " + szOutcome + " " + sReference + " " +
                           Message.Number.Text() + " " + time + "\n";
  (void)!write(m_nLogFd, line.data(), line.size());  // one write: lines of several handsets never mix
}

std::chrono::milliseconds CSimulatorDriver::SubmitLimit() const {
  // The latency, a throttle's slot (one worker submits: at most one slot
  // waits ahead of it) and a margin; with a window, a part handed over
  // waits for its slot and then for its latency.
  const std::int64_t slot = m_nMaxPerSecond > 0 ? 1000 / m_nMaxPerSecond + 1 : 0;
  return std::chrono::milliseconds(m_dwLatency + slot + 1000);
}

bool CSimulatorDriver::WaitForSlot() {
  if (m_nMaxPerSecond <= 0) return true;
  const Clock::time_point start = Clock::now();
  const auto slot = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / m_nMaxPerSecond));
  if (m_NextSlot < start) m_NextSlot = start;
  const Clock::time_point mine = m_NextSlot;
  m_NextSlot += slot;
  return SleepUntil(mine);
}

CSubmitResult CSimulatorDriver::Submit(const COutgoingSms& Message) {
  if (!WaitForSlot()) return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 0, "Driver stopped");
  if (m_dwLatency > 0 && !SleepUntil(Clock::now() + std::chrono::milliseconds(m_dwLatency)))
    return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 0, "Driver stopped");
  return Answer(Message, Clock::now());
}

void CSimulatorDriver::SubmitAsync(const COutgoingSms& Message, SubmitCompletion Done) {
  if (m_nWindow <= 1) {
    Done(Submit(Message));
    return;
  }
  if (!WaitForSlot()) {
    Done(CSubmitResult::LinkLost("Driver stopped"));
    return;
  }
  // Decided now, in the order handed over (one seed, one sequence), and
  // answered once the latency has passed.
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(m_dwLatency);
  CSubmitResult result = Answer(Message, due);
  if (!Schedule(due, Completion{Done, std::move(result)})) Done(CSubmitResult::LinkLost("Driver stopped"));
}

CSubmitResult CSimulatorDriver::Answer(const COutgoingSms& Message, Clock::time_point accepted) {
  {
    std::lock_guard guard(m_Lock);
    if (!m_bStarted || m_bStopping)
      return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 0, "Driver not connected");
  }
  // Every draw is made whatever the settings, so one seed gives one sequence.
  const bool fail = static_cast<int>(m_Random() % 100) < m_nFailureRate;
  const bool undelivered = static_cast<int>(m_Random() % 100) < m_nReportFailureRate;
  if (!m_sInvalidPattern.empty() && std::regex_search(Message.Number.Text(), m_InvalidNumbers)) {
    Log(Message, "invalid-number", "-");
    m_EchoParts.erase(Message.nJobId);
    return CSubmitResult::Failed(ESubmitOutcome::InvalidNumber, false, 1,
                                 "Unknown subscriber " + Message.Number.Text());
  }
  if (fail) {
    Log(Message, "network-failure", "-");
    m_EchoParts.erase(Message.nJobId);
    return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 2, "Simulated network failure");
  }
  const std::uint32_t number = m_nNextReference;
  m_nNextReference = m_nNextReference >= 0x7FFFFFFEu ? 1 : m_nNextReference + 1;
  const CNetworkReference ref =
      m_bTextReferences ? CNetworkReference::Text("sim" + std::to_string(m_nHandset) + "-" + std::to_string(number))
                        : CNetworkReference::Number(static_cast<LONG>(number));
  Log(Message, "accepted", ref.Describe());
  if (m_bReports && Message.bRequestReport)
    Schedule(accepted + std::chrono::milliseconds(m_dwReportDelay),
             CDeliveryReport{ref, !undelivered, undelivered ? 3 : 0});
  if (!m_sAutoReply.empty()) ScheduleReply(Message, accepted + std::chrono::milliseconds(m_dwReplyDelay));
  return CSubmitResult::Accepted(m_bReports && Message.bRequestReport ? ref : CNetworkReference{});
}

void CSimulatorDriver::ScheduleReply(const COutgoingSms& Message, Clock::time_point due) {
  auto& seen = m_EchoParts[Message.nJobId];
  seen.push_back(Message.Part);
  if (Message.nPart < Message.nParts) return;  // the reply answers the whole message
  std::vector<Sms::UserDataPart> parts = std::move(seen);
  m_EchoParts.erase(Message.nJobId);
  std::vector<Sms::UserDataPart> reply;
  const std::uint8_t ref = m_nReplyReference++;
  try {
    if (m_sAutoReply != "echo") {
      reply = Sms::SplitText(m_sAutoReply, ref);
    } else if (parts.front().eCoding == Sms::Coding::Ucs2) {
      std::vector<std::uint8_t> octets;
      for (const auto& p : parts) octets.insert(octets.end(), p.Payload.begin(), p.Payload.end());
      reply = Sms::SplitUcs2Hex(Sms::ToHex(octets), ref);
    } else if (parts.front().eCoding == Sms::Coding::Gsm7) {
      reply = Sms::SplitText(Sms::PartsToUtf8(parts), ref);
    } else {
      std::vector<std::uint8_t> octets;
      for (const auto& p : parts) octets.insert(octets.end(), p.Payload.begin(), p.Payload.end());
      reply = Sms::SplitData(parts.front().nDcs, WithoutConcatenation(parts.front().Udh), octets, ref);
    }
  } catch (const std::exception&) {
    return;  // nothing sensible to answer with
  }
  int n = 0;
  for (auto& part : reply) {
    ++n;
    if (reply.size() > 1 && n == m_nLoseReplyPart) continue;
    Schedule(due, CIncomingSms{Message.Number.Text(), std::move(part)});
  }
}

CDriverState CSimulatorDriver::GetState() {
  std::lock_guard guard(m_Lock);
  CDriverState state;
  state.bConnected = state.bRegistered = m_bStarted && !m_bStopping;
  state.nSignal = state.bConnected ? m_nSignal : -1;
  state.sDetail = std::string(kTestNetwork) + ", " + std::to_string(m_Events.size()) + " events pending";
  return state;
}

}  // namespace Norvale
