#include "server/drivers/smpp/smpp_driver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "config/norvale_encryption.h"
#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "smpp/smpp_address.h"

namespace Norvale {
using namespace OS;

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string Describe(const _com_error& e) {
  const std::string d = e.DescriptionA();
  return d.empty() ? e.ErrorMessage() : d;
}

ESubmitOutcome OutcomeOf(Smpp::EFailureClass e) {
  switch (e) {
    case Smpp::EFailureClass::InvalidNumber: return ESubmitOutcome::InvalidNumber;
    case Smpp::EFailureClass::NetworkFailure: return ESubmitOutcome::NetworkFailure;
    case Smpp::EFailureClass::SystemFailure: return ESubmitOutcome::SystemFailure;
    case Smpp::EFailureClass::Timeout: return ESubmitOutcome::Timeout;
    case Smpp::EFailureClass::InvalidMessage: return ESubmitOutcome::InvalidMessage;
  }
  return ESubmitOutcome::SystemFailure;
}

std::string Millis(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

// The number a message_id names in the given base, in decimal; the text as
// it is when it names none.
std::string InDecimal(const std::string& sId, int nBase) {
  const size_t first = std::min(sId.find_first_not_of('0'), sId.size());
  const size_t digits = sId.size() - first;
  const bool number = !sId.empty() && digits <= (nBase == 16 ? 16u : 19u) &&
                      std::all_of(sId.begin(), sId.end(), [nBase](unsigned char c) {
                        return nBase == 16 ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
                      });
  if (!number) return sId;
  return digits == 0 ? "0" : std::to_string(std::stoull(sId.substr(first), nullptr, nBase));
}

}  // namespace

CSmppDriver::CSmppDriver(int nHandset, const CSettingValues& Values) : m_nHandset(nHandset) {
  const CSettingsReader r(nHandset, "smpp", Values);
  m_sHost = r.GetText("Host");
  if (m_sHost.empty()) r.Fail("Host", "missing: the SMSC's host name or address");
  m_nPort = static_cast<std::uint16_t>(r.GetNumber("Port"));
  m_Session.sSystemId = r.GetText("SystemId");
  if (m_Session.sSystemId.empty()) r.Fail("SystemId", "missing: the account's system_id");
  if (const std::string stored = r.GetText("Password"); !stored.empty()) {
    m_Session.sPassword = CNorvaleEncryption().DecryptString(stored);
    if (m_Session.sPassword.empty())
      r.Fail("Password", "not an encrypted value; store it with: velquor config set --handset " +
                             std::to_string(nHandset) + " Password <password> --encrypted");
    if (m_Session.sPassword.size() > 8) r.Fail("Password", "longer than the 8 characters SMPP allows");
  }
  m_Session.sSystemType = r.GetText("SystemType");
  m_bPair = r.GetText("BindMode") == "transmitter+receiver";

  const std::string source = r.GetText("SourceAddress");
  if (r.Has("SourceTon") != r.Has("SourceNpi"))
    r.Fail(r.Has("SourceTon") ? "SourceNpi" : "SourceTon", "give both TON and NPI, or neither");
  try {
    m_Submit.bConfiguredTonNpi = r.Has("SourceTon");
    if (r.Has("SourceTon"))
      m_Submit.Source = Smpp::SourceAddress(source, static_cast<std::uint8_t>(r.GetNumber("SourceTon")),
                                            static_cast<std::uint8_t>(r.GetNumber("SourceNpi")));
    else if (!source.empty())
      m_Submit.Source = Smpp::SourceAddress(source);
  } catch (const std::invalid_argument& e) {
    r.Fail("SourceAddress", "'" + source + "' cannot be sent: " + e.what());
  }
  m_Submit.eNationalNumbers =
      r.GetBool("NationalNumbers") ? Smpp::ENationalNumbers::National : Smpp::ENationalNumbers::Unknown;
  m_bAllowSender = r.GetBool("AllowSender");

  m_Session.nWindowSize = static_cast<size_t>(r.GetNumber("WindowSize"));
  m_Session.dMaxSubmitsPerSecond = static_cast<double>(r.GetNumber("MaxPerSecond"));
  m_Session.EnquireLinkInterval = std::chrono::milliseconds(r.GetNumber("EnquireLinkInterval"));
  m_Session.ResponseTimeout = std::chrono::milliseconds(r.GetNumber("ResponseTimeout"));
  m_Session.ThrottlePause = std::chrono::milliseconds(r.GetNumber("ThrottlePause"));
  m_ConnectTimeout = std::chrono::milliseconds(r.GetNumber("ConnectTimeout"));
  m_QueueTimeout = std::chrono::milliseconds(r.GetNumber("QueueTimeout"));
  m_Session.nMaxHeldDeliveries = static_cast<size_t>(r.GetNumber("ReceiveWindow"));
  m_PartAnswerDelay = std::chrono::milliseconds(r.GetNumber("PartAnswerDelay"));
  m_Backoff.Initial = std::chrono::milliseconds(r.GetNumber("ReconnectDelay"));
  m_Backoff.Maximum = std::chrono::milliseconds(r.GetNumber("ReconnectDelayMax"));
  if (m_Backoff.Maximum < m_Backoff.Initial) r.Fail("ReconnectDelayMax", "shorter than ReconnectDelay");
  m_Backoff.AfterRejectedBind = std::chrono::milliseconds(r.GetNumber("RejectedBindDelay"));

  if (r.GetText("LongMessages") == "payload") m_eLongMessages = Smpp::ELongMessages::MessagePayload;
  const std::string idFormat = r.GetText("MessageIdFormat");
  if (idFormat == "text")
    m_eMessageIdFormat = EMessageIdFormat::Text;
  else if (idFormat == "hex-decimal")
    m_eMessageIdFormat = EMessageIdFormat::HexDecimal;
  else if (idFormat == "decimal-hex")
    m_eMessageIdFormat = EMessageIdFormat::DecimalHex;
  if (r.GetText("DefaultAlphabet") == "latin1") m_Submit.bDefaultIsLatin1 = m_Session.bDefaultIsLatin1 = true;
  if (r.GetBool("Tls")) {
    try {
      m_pTls = std::make_unique<CTlsContext>(r.GetText("TlsCaFile"));
    } catch (const _com_error& e) {
      r.Fail("TlsCaFile", Describe(e));
    }
  }
  m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_nWakeFd < 0) RAISE_COM_ERROR(E_FAIL, HandsetKeyPath(nHandset) + ": cannot create the driver's eventfd");
}

CSmppDriver::~CSmppDriver() {
  Stop();
  close(m_nWakeFd);
}

std::string CSmppDriver::Where() const {
  return "Handset " + std::to_string(m_nHandset) + " (SMPP " + m_sHost + ":" + std::to_string(m_nPort) +
         (m_pTls ? " TLS" : "") + ")";
}

void CSmppDriver::Log(unsigned short nType, const std::string& sText) const {
  LogEvent(nType, "CSmppDriver", Where() + ": " + sText);
}

void CSmppDriver::Wake() const {
  const std::uint64_t one = 1;
  (void)!write(m_nWakeFd, &one, sizeof one);  // a full counter wakes the loop as well
}

void CSmppDriver::Start(IDriverEvents* pEvents) {
  std::lock_guard guard(m_Lock);
  if (m_bStarted) return;
  m_pEvents = pEvents;
  m_bStarted = true;
  m_bStopping = false;
  m_Acknowledged.clear();
  m_Links.clear();
  m_Held.clear();
  {
    std::lock_guard intake(m_IntakeLock);
    m_bIntakeStopped = false;
  }
  std::random_device random;
  auto add = [&](Smpp::EBindMode eMode, const char* szName) {
    Smpp::SessionSettings s = m_Session;
    s.eBindMode = eMode;
    auto link = std::make_unique<CLink>(std::move(s), m_Backoff, (std::uint64_t{random()} << 32) | random());
    link->sName = szName;
    link->ReconnectAt = Clock::now();
    m_Links.push_back(std::move(link));
  };
  if (m_bPair) {
    add(Smpp::EBindMode::Transmitter, "transmitter");  // first: Transmitter() takes it
    add(Smpp::EBindMode::Receiver, "receiver");
  } else {
    add(Smpp::EBindMode::Transceiver, "transceiver");
  }
  m_State = CDriverState{false, false, -1, "connecting"};
  m_Thread = std::thread([this] { Run(); });
}

void CSmppDriver::Stop() {
  {
    std::lock_guard guard(m_Lock);
    if (!m_bStarted) return;
    m_bStopping = true;
  }
  m_Submitting.notify_all();
  Wake();
  // The I/O thread completes every submission queued before it ends; a
  // SubmitAsync still waiting for its turn completes its own.
  if (m_Thread.joinable()) m_Thread.join();
  std::unique_lock guard(m_Lock);
  m_Submitting.wait(guard, [this] { return m_nSubmitting == 0; });
  m_bStarted = false;
  m_bCanSend = false;
  m_State = CDriverState{false, false, -1, "stopped"};
}

void CSmppDriver::Acknowledge(std::uint64_t nReceipt) {
  {
    std::lock_guard guard(m_Lock);
    m_Acknowledged.push_back(nReceipt);
  }
  Wake();
}

void CSmppDriver::StopIntake() {
  {
    std::lock_guard intake(m_IntakeLock);
    m_bIntakeStopped = true;
  }
  Wake();
}

std::chrono::milliseconds CSmppDriver::SubmitLimit() const {
  // As Submit waits: the queue's time, the response's, and a margin.
  return std::chrono::duration_cast<std::chrono::milliseconds>(m_QueueTimeout + m_Session.ResponseTimeout) +
         std::chrono::seconds(5);
}

int CSmppDriver::Window() const { return static_cast<int>(std::clamp<size_t>(m_Session.nWindowSize, 1, 0x7FFFFFFF)); }

CSubmitResult CSmppDriver::Submit(const COutgoingSms& Message) {
  struct CWait {
    std::mutex Lock;
    std::condition_variable Answered;
    bool bDone = false;
    CSubmitResult Result;
  };
  const auto wait = std::make_shared<CWait>();
  SubmitAsync(Message, [wait](CSubmitResult Result) {
    std::lock_guard guard(wait->Lock);
    wait->Result = std::move(Result);
    wait->bDone = true;
    wait->Answered.notify_one();
  });
  // The I/O thread completes every submission by its queue deadline, the
  // session's response time-out or Stop; the limit only guards against a
  // fault.
  const Clock::time_point limit = Clock::now() + SubmitLimit();
  std::unique_lock lock(wait->Lock);
  if (!wait->Answered.wait_until(lock, limit, [&] { return wait->bDone; }))
    return CSubmitResult::Failed(ESubmitOutcome::Timeout, true, 0, "no outcome from the SMPP driver in time");
  return wait->Result;
}

Smpp::MessageControls CSmppDriver::ControlsOf(const COutgoingSms& Message) {
  Smpp::MessageControls Controls;
  Controls.nPriority = std::clamp(Message.nPriority, 0, 1);
  Controls.Validity = Message.Validity;
  if (m_bAllowSender) {
    Controls.sSender = Message.sSender;
  } else if (!Message.sSender.empty() && !m_bSenderIgnoredLogged.exchange(true)) {
    Log(EVENTLOG_WARNING_TYPE, "AllowSender is 0: messages go with the handset's own sender, not their own (\"" +
                                   Message.sSender + "\" of job " + std::to_string(Message.nJobId) +
                                   "); said once until the engine restarts");
  }
  return Controls;
}

void CSmppDriver::SubmitAsync(const COutgoingSms& Message, SubmitCompletion Done) {
  auto pending = std::make_shared<CPendingSubmit>();
  try {
    const Smpp::MessageControls Controls = ControlsOf(Message);
    if (Message.WholeMessage.empty()) {
      pending->Body = Smpp::BuildSubmitSm(m_Submit, Message.Number, Message.Part, Message.bRequestReport, Controls);
    } else {
      pending->Body = Smpp::BuildSubmitSm(m_Submit, Message.Number, Smpp::MergeParts(Message.WholeMessage),
                                          Message.bRequestReport, Controls);
    }
  } catch (const Smpp::InvalidAddress& e) {
    Done(CSubmitResult::Failed(ESubmitOutcome::InvalidNumber, false, 0, e.what()));
    return;
  } catch (const std::invalid_argument& e) {
    Done(CSubmitResult::Failed(ESubmitOutcome::InvalidMessage, false, 0, e.what()));
    return;
  }
  pending->bReceipt = Message.bRequestReport;
  pending->Done = std::move(Done);
  bool inside = false, queued = false;
  {
    std::unique_lock lock(m_Lock);
    if (m_bStarted && !m_bStopping) {
      // Stop waits for this call to end: a completion of it never runs
      // after Stop has returned.
      ++m_nSubmitting;
      inside = true;
      if (Pace(lock)) {
        pending->QueueDeadline = Clock::now() + m_QueueTimeout;
        m_Queue.emplace_back(m_nNextTag++, pending);
        queued = true;
      }
    }
  }
  if (queued)
    Wake();
  else
    pending->Done(CSubmitResult::LinkLost("SMPP driver not running"));
  if (inside) {
    std::lock_guard guard(m_Lock);
    if (--m_nSubmitting == 0) m_Submitting.notify_all();
  }
}

bool CSmppDriver::Pace(std::unique_lock<std::mutex>& Lock) {
  if (m_Session.dMaxSubmitsPerSecond <= 0) return true;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / m_Session.dMaxSubmitsPerSecond));
  const Clock::time_point now = Clock::now();
  const Clock::time_point slot = std::max(now, m_NextPaceSlot);
  // Callers far behind (many threads at once) wait in the queue instead,
  // bounded by QueueTimeout as before.
  if (slot - now > m_QueueTimeout) return true;
  m_NextPaceSlot = slot + interval;
  return !m_Submitting.wait_until(Lock, slot, [this] { return m_bStopping; });
}

CDriverState CSmppDriver::GetState() {
  std::lock_guard guard(m_Lock);
  return m_State;
}

bool CSmppDriver::IsReadyToSend() {
  std::lock_guard guard(m_Lock);
  return m_bCanSend;
}

// --- the I/O thread ----------------------------------------------------------

CSmppDriver::CLink* CSmppDriver::Transmitter() { return m_Links.empty() ? nullptr : m_Links.front().get(); }

void CSmppDriver::Run() {
  bool stopBegun = false;
  Clock::time_point stopDeadline = Clock::time_point::max();
  std::vector<pollfd> fds;
  for (;;) {
    Clock::time_point now = Clock::now();
    bool stopping;
    {
      std::lock_guard guard(m_Lock);
      stopping = m_bStopping;
    }
    if (stopping && !stopBegun) {
      stopBegun = true;
      stopDeadline = now + std::min<Clock::duration>(m_Session.ResponseTimeout, std::chrono::seconds(2));
      FailAll("SMPP driver stopped");
      RunCompletions();
      AnswerAcknowledged();  // what the engine stored before it stopped the driver
      for (auto& link : m_Links) {
        link->Session.Stop(now);  // unbind when bound, else closed at once
        HandleEvents(*link, now);
        Flush(*link, now);
        if (link->Session.State() == Smpp::ESessionState::Closed) CloseLink(*link, now, true);
      }
    }
    if (stopping) {
      const bool allClosed = std::all_of(m_Links.begin(), m_Links.end(), [](const auto& l) {
        return l->Connection.State() == CSmppConnection::EState::Closed;
      });
      if (allClosed) break;
      if (now >= stopDeadline) {
        for (auto& link : m_Links) {
          link->Session.ConnectionLost("the driver stopped");
          HandleEvents(*link, now);
          CloseLink(*link, now, true);
        }
        break;
      }
    }

    fds.assign(1, pollfd{m_nWakeFd, POLLIN, 0});
    for (auto& link : m_Links)
      fds.push_back(pollfd{link->Connection.Fd(), link->Connection.Events(!link->Session.PendingOutput().empty()), 0});
    Clock::time_point wake = NextWake(now);
    if (stopping) wake = std::min(wake, stopDeadline);
    const auto wait = wake <= now ? 0 : std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    poll(fds.data(), fds.size(), static_cast<int>(std::min<std::int64_t>(wait, 60000)));
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      (void)!read(m_nWakeFd, &count, sizeof count);
    }
    now = Clock::now();
    for (size_t i = 0; i < m_Links.size(); ++i) Turn(*m_Links[i], fds[i + 1].revents, now, stopping);
    // Submissions before the answers to what was received: the engine hands
    // over a job between batches of received messages, and a batch
    // acknowledged after it must not overtake it on the wire when this
    // thread is late to its turn.
    if (!stopping) FeedSubmits(now);
    AnswerAcknowledged();
    for (auto& link : m_Links) Flush(*link, now);
    ExpireQueue(now);

    CDriverState state;
    state.bConnected = std::all_of(m_Links.begin(), m_Links.end(), [](const auto& l) {
      return l->Connection.State() == CSmppConnection::EState::Open;
    });
    state.bRegistered = std::all_of(m_Links.begin(), m_Links.end(),
                                    [](const auto& l) { return l->Session.State() == Smpp::ESessionState::Bound; });
    CLink* tx = Transmitter();
    const bool canSend = !stopping && tx && tx->Session.State() == Smpp::ESessionState::Bound && !tx->bCloseAfterWrite;
    {
      std::lock_guard guard(m_Lock);
      m_bCanSend = canSend;
      std::string detail;
      for (const auto& l : m_Links) {
        if (!detail.empty()) detail += "; ";
        detail += l->sName + " " + Smpp::SessionStateName(l->Session.State());
        if (l->Connection.State() == CSmppConnection::EState::Closed && !stopping)
          detail += ", next attempt in " +
                    Millis(std::chrono::duration_cast<std::chrono::milliseconds>(std::max(l->ReconnectAt, now) - now));
      }
      if (tx)
        detail += "; " + std::to_string(tx->Session.UnansweredSubmits()) + " unanswered, " +
                  std::to_string(m_Queue.size()) + " queued";
      if (!m_Held.empty()) detail += "; " + std::to_string(m_Held.size()) + " received waiting to be stored";
      if (!state.bRegistered && !m_sLastProblem.empty()) detail += "; last problem: " + m_sLastProblem;
      state.sDetail = std::move(detail);
      m_State = std::move(state);
    }
    RunCompletions();
  }
  FailAll("SMPP driver stopped");
  RunCompletions();
  for (auto& link : m_Links) link->Connection.Close();
}

CSmppDriver::Clock::time_point CSmppDriver::NextWake(Clock::time_point Now) const {
  (void)Now;
  Clock::time_point next = Clock::time_point::max();
  for (const auto& link : m_Links) {
    switch (link->Connection.State()) {
      case CSmppConnection::EState::Closed: next = std::min(next, link->ReconnectAt); break;
      case CSmppConnection::EState::Connecting:
      case CSmppConnection::EState::Handshaking: next = std::min(next, link->ConnectDeadline); break;
      case CSmppConnection::EState::Open: next = std::min(next, link->Session.NextDeadline()); break;
    }
  }
  std::lock_guard guard(m_Lock);
  if (!m_Queue.empty()) next = std::min(next, m_Queue.front().second->QueueDeadline);
  return next;
}

void CSmppDriver::Turn(CLink& Link, short nRevents, Clock::time_point Now, bool bStopping) {
  CSmppConnection& c = Link.Connection;
  switch (c.State()) {
    case CSmppConnection::EState::Closed:
      if (!bStopping && Now >= Link.ReconnectAt) StartConnect(Link, Now);
      return;
    case CSmppConnection::EState::Connecting:
    case CSmppConnection::EState::Handshaking:
      if (bStopping) {
        CloseLink(Link, Now, true);
        return;
      }
      if (nRevents == 0 && Now < Link.ConnectDeadline) return;
      try {
        c.Advance();
      } catch (const _com_error& e) {
        ConnectionFailed(Link, Describe(e), Now);
        return;
      }
      if (c.State() == CSmppConnection::EState::Open) {
        OpenSession(Link, Now);
      } else if (Now >= Link.ConnectDeadline) {
        ConnectionFailed(Link, c.Peer() + ": no connection within " + Millis(m_ConnectTimeout), Now);
      }
      return;
    case CSmppConnection::EState::Open: break;
  }
  if ((nRevents & (POLLIN | POLLHUP | POLLERR)) || ((nRevents & POLLOUT) && c.ReadWantsWrite())) {
    std::uint8_t buffer[16384];
    try {
      // Until the socket (and TLS, which may hold a decrypted record) has
      // nothing more.
      while (c.State() == CSmppConnection::EState::Open && !Link.bCloseAfterWrite) {
        const size_t n = c.Read(buffer);
        if (n == 0) break;
        Link.Session.Receive(std::span<const std::uint8_t>(buffer, n), Now);
        HandleEvents(Link, Now);
      }
    } catch (const _com_error& e) {
      Link.Session.ConnectionLost(Describe(e));
    }
  }
  Link.Session.Tick(Now);
  HandleEvents(Link, Now);
}

void CSmppDriver::StartConnect(CLink& Link, Clock::time_point Now) {
  try {
    Link.Connection.Connect(m_sHost, m_nPort, m_pTls.get());
    Link.ConnectDeadline = Now + m_ConnectTimeout;
    Link.Connection.Advance();  // a loopback connect may be done at once
  } catch (const _com_error& e) {
    ConnectionFailed(Link, Describe(e), Now);
    return;
  }
  if (Link.Connection.State() == CSmppConnection::EState::Open) OpenSession(Link, Now);
}

void CSmppDriver::OpenSession(CLink& Link, Clock::time_point Now) {
  Log(EVENTLOG_INFORMATION_TYPE, "connected (" + Link.sName + "), binding as " + m_Session.sSystemId);
  ++Link.nEpoch;  // answers held for the session before are never given
  Link.Session.Open(Now);
  {
    std::lock_guard intake(m_IntakeLock);
    if (m_bIntakeStopped) Link.Session.RefuseDeliveries();
  }
  HandleEvents(Link, Now);
}

std::uint64_t CSmppDriver::Hold(CLink& Link, std::uint32_t nSequence, bool bHeld) {
  if (!bHeld) return 0;
  const std::uint64_t receipt = m_nNextReceipt++;
  m_Held.emplace(receipt, CHeldAnswer{&Link, Link.nEpoch, nSequence});
  return receipt;
}

void CSmppDriver::AnswerAcknowledged() {
  std::vector<std::uint64_t> receipts;
  {
    std::lock_guard guard(m_Lock);
    receipts.swap(m_Acknowledged);
  }
  {
    std::lock_guard intake(m_IntakeLock);
    if (m_bIntakeStopped)
      for (auto& link : m_Links) link->Session.RefuseDeliveries();
  }
  for (const auto receipt : receipts) {
    const auto it = m_Held.find(receipt);
    if (it == m_Held.end()) continue;
    const CHeldAnswer held = it->second;
    m_Held.erase(it);
    // A session closed since: the SMSC delivers the message again.
    if (held.pLink->nEpoch == held.nEpoch) held.pLink->Session.AnswerDelivery(held.nSequence, Smpp::ESME_ROK);
  }
}

std::string CSmppDriver::CWarningThrottle::Admit(const std::string& sText, Clock::time_point Now) {
  constexpr int kPerMinute = 10;
  const auto digit = sText.find_first_of("0123456789");
  CKind& kind = m_Kinds[sText.substr(0, std::min<size_t>(digit, 60))];
  if (kind.nLogged == 0 || Now - kind.Start >= std::chrono::minutes(1)) {
    const long heldBack = kind.nHeldBack;
    kind = CKind{Now, 1, 0};
    return heldBack == 0 ? sText : sText + " (and " + std::to_string(heldBack) + " more like it before, not logged)";
  }
  if (++kind.nLogged < kPerMinute) return sText;
  if (kind.nLogged == kPerMinute) return sText + " (more like it within a minute are not logged)";
  ++kind.nHeldBack;
  return {};
}

void CSmppDriver::Warn(const std::string& sText, Clock::time_point Now) {
  if (const std::string text = m_Warnings.Admit(sText, Now); !text.empty()) Log(EVENTLOG_WARNING_TYPE, text);
}

void CSmppDriver::ConnectionFailed(CLink& Link, const std::string& sWhy, Clock::time_point Now) {
  Log(EVENTLOG_WARNING_TYPE, Link.sName + " connection failed: " + sWhy);
  {
    std::lock_guard guard(m_Lock);
    m_sLastProblem = sWhy;
  }
  Link.Session.ConnectionLost(sWhy);
  HandleEvents(Link, Now);
  CloseLink(Link, Now, false);
}

void CSmppDriver::CloseLink(CLink& Link, Clock::time_point Now, bool bStopping) {
  Link.Connection.Close();
  std::erase_if(m_Held, [&](const auto& held) { return held.second.pLink == &Link; });
  Link.bCloseAfterWrite = false;
  if (bStopping) return;
  const auto delay = Link.Backoff.NextDelay(Link.bBindRejected);
  Link.bBindRejected = false;
  Link.ReconnectAt = Now + delay;
  Log(EVENTLOG_INFORMATION_TYPE, Link.sName + ": next connection attempt in " + Millis(delay));
}

void CSmppDriver::Flush(CLink& Link, Clock::time_point Now) {
  if (Link.Connection.State() == CSmppConnection::EState::Open) {
    try {
      for (auto out = Link.Session.PendingOutput(); !out.empty(); out = Link.Session.PendingOutput()) {
        const size_t n = Link.Connection.Write(out);
        if (n == 0) break;  // the socket is full: poll() says when it takes more
        Link.Session.ConsumeOutput(n);
      }
    } catch (const _com_error& e) {
      Link.Session.ConnectionLost(Describe(e));
      HandleEvents(Link, Now);
    }
  }
  if (Link.bCloseAfterWrite) {
    bool stopping;
    {
      std::lock_guard guard(m_Lock);
      stopping = m_bStopping;
    }
    CloseLink(Link, Now, stopping);
  }
}

void CSmppDriver::HandleEvents(CLink& Link, Clock::time_point Now) {
  for (auto& event : Link.Session.TakeEvents()) {
    std::visit(
        Overloaded{
            [&](Smpp::BoundEvent& e) {
              Link.Backoff.Reset();
              Log(EVENTLOG_INFORMATION_TYPE,
                  "bound as " + std::string(Smpp::BindModeName(e.eMode)) + " (SMSC '" + e.sSmscSystemId + "')");
              std::lock_guard guard(m_Lock);
              m_sLastProblem.clear();
            },
            [&](Smpp::BindFailedEvent& e) {
              Link.bBindRejected = e.eClass == Smpp::EBindFailure::Rejected;
              Log(Link.bBindRejected ? EVENTLOG_ERROR_TYPE : EVENTLOG_WARNING_TYPE,
                  e.sDetail + (Link.bBindRejected ? " (check SystemId and Password; not retried soon)" : ""));
              std::lock_guard guard(m_Lock);
              m_sLastProblem = e.sDetail;
            },
            [&](Smpp::SubmitAcceptedEvent& e) {
              const auto it = m_InFlight.find(e.nTag);
              // Without a receipt to come, the message_id would wait in
              // SMSMessageRefs for nothing.
              const bool keep = it != m_InFlight.end() && it->second->bReceipt && !e.sMessageId.empty();
              const CNetworkReference ref = keep ? SubmittedReference(e.sMessageId) : CNetworkReference{};
              Complete(e.nTag, CSubmitResult::Accepted(ref));
            },
            [&](Smpp::SubmitFailedEvent& e) {
              if (e.Class.bThrottle)
                Warn("the SMSC asks to slow down (" + Smpp::DescribeStatus(e.nCommandStatus) + "): submits held back",
                     Now);
              // Whether the SMSC took it is unknown; the engine tries again.
              if (e.eReason == Smpp::ESubmitFailReason::ConnectionClosed ||
                  e.eReason == Smpp::ESubmitFailReason::ResponseTimeout)
                Warn(e.sDetail, Now);
              if (e.eReason == Smpp::ESubmitFailReason::ConnectionClosed) {
                Complete(e.nTag, CSubmitResult::LinkLost(e.sDetail));
                return;
              }
              Complete(e.nTag, CSubmitResult::Failed(OutcomeOf(e.Class.eClass), e.Class.bTemporary,
                                                     static_cast<LONG>(e.nCommandStatus), e.sDetail));
            },
            [&](Smpp::MessageReceivedEvent& e) {
              const Smpp::SmppAddress& from = e.Message.Source;
              std::string sender = from.sAddress;
              if (from.nTon == Smpp::kTonInternational && !sender.empty() && sender[0] != '+') sender = "+" + sender;
              const Smpp::SmppAddress& to = e.Message.Destination;
              std::string recipient = to.sAddress;
              if (to.nTon == Smpp::kTonInternational && !recipient.empty() && recipient[0] != '+')
                recipient = "+" + recipient;
              std::lock_guard intake(m_IntakeLock);
              if (m_bIntakeStopped) {
                Link.Session.AnswerDelivery(e.nSequence, Smpp::ESME_RX_T_APPN);
                return;
              }
              m_pEvents->OnMessageReceived(CIncomingSms{std::move(sender), std::move(e.Message.Part),
                                                        Hold(Link, e.nSequence, e.bHeld), std::move(recipient)});
            },
            [&](Smpp::ReceiptReceivedEvent& e) {
              const Smpp::ReceiptInfo& r = e.Receipt;
              if (r.eState == Smpp::EReceiptState::Pending) {  // the final receipt follows
                Link.Session.AnswerDelivery(e.nSequence, Smpp::ESME_ROK);
                return;
              }
              // The answer to the submission may have come in the same read:
              // the engine learns the reference before the report about it,
              // or the report would match no job.
              RunCompletions();
              std::lock_guard intake(m_IntakeLock);
              if (m_bIntakeStopped) {
                Link.Session.AnswerDelivery(e.nSequence, Smpp::ESME_RX_T_APPN);
                return;
              }
              m_pEvents->OnDeliveryReport(
                  CDeliveryReport{ReceiptReference(r.sMessageId), r.eState == Smpp::EReceiptState::Delivered,
                                  static_cast<LONG>(r.nErrorCode), Hold(Link, e.nSequence, e.bHeld)});
            },
            [&](Smpp::WarningEvent& e) { Warn(e.sText, Now); },
            [&](Smpp::CloseEvent& e) {
              Log(e.eReason == Smpp::ECloseReason::Stopped ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                  Link.sName + " session closed (" + Smpp::CloseReasonName(e.eReason) + "): " + e.sDetail);
              Link.bCloseAfterWrite = true;
            },
        },
        event);
  }
}

CNetworkReference CSmppDriver::SubmittedReference(const std::string& sId) const {
  switch (m_eMessageIdFormat) {
    case EMessageIdFormat::HexDecimal: return CNetworkReference::Text(InDecimal(sId, 16));
    case EMessageIdFormat::DecimalHex: return CNetworkReference::Text(InDecimal(sId, 10));
    default: return CNetworkReference::Text(sId);
  }
}

CNetworkReference CSmppDriver::ReceiptReference(const std::string& sId) const {
  switch (m_eMessageIdFormat) {
    case EMessageIdFormat::HexDecimal: return CNetworkReference::Text(InDecimal(sId, 10));
    case EMessageIdFormat::DecimalHex: return CNetworkReference::Text(InDecimal(sId, 16));
    case EMessageIdFormat::Text: return CNetworkReference::Text(sId);
    case EMessageIdFormat::Auto: break;
  }
  return CNetworkReference::Text(sId, true);
}

void CSmppDriver::FeedSubmits(Clock::time_point Now) {
  CLink* tx = Transmitter();
  if (!tx || tx->Session.State() != Smpp::ESessionState::Bound || tx->bCloseAfterWrite) return;
  for (;;) {
    std::pair<std::uint64_t, std::shared_ptr<CPendingSubmit>> next;
    {
      std::lock_guard guard(m_Lock);
      if (m_Queue.empty()) return;
      next = m_Queue.front();  // only this thread takes from the queue
    }
    std::string error;
    const auto admission = tx->Session.Submit(next.second->Body, next.first, Now, &error);
    if (admission != Smpp::ESubmitAdmission::Sent && admission != Smpp::ESubmitAdmission::Invalid) return;
    {
      std::lock_guard guard(m_Lock);
      m_Queue.pop_front();
    }
    m_InFlight.emplace(next.first, next.second);
    if (admission == Smpp::ESubmitAdmission::Invalid)
      Complete(next.first, CSubmitResult::Failed(ESubmitOutcome::InvalidMessage, false, 0, error));
  }
}

void CSmppDriver::Complete(std::uint64_t nTag, CSubmitResult Result) {
  const auto it = m_InFlight.find(nTag);
  if (it == m_InFlight.end()) return;
  m_Completed.emplace_back(std::move(it->second->Done), std::move(Result));
  m_InFlight.erase(it);
}

void CSmppDriver::RunCompletions() {
  // A completion may take the engine's lock; none of the driver's is held.
  std::vector<std::pair<SubmitCompletion, CSubmitResult>> completed;
  completed.swap(m_Completed);
  for (auto& [done, result] : completed) {
    try {
      done(std::move(result));
    } catch (const std::exception& e) {
      Log(EVENTLOG_ERROR_TYPE, std::string("a submission's completion failed: ") + e.what());
    }
  }
}

void CSmppDriver::ExpireQueue(Clock::time_point Now) {
  std::lock_guard guard(m_Lock);
  while (!m_Queue.empty() && m_Queue.front().second->QueueDeadline <= Now) {
    m_Completed.emplace_back(std::move(m_Queue.front().second->Done),
                             CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 0,
                                                   "not sent within " + Millis(m_QueueTimeout) + " (" +
                                                       m_State.sDetail + "); nothing reached the SMSC"));
    m_Queue.pop_front();
  }
}

void CSmppDriver::FailAll(const std::string& sWhy) {
  std::lock_guard guard(m_Lock);
  for (auto& [tag, p] : m_Queue)
    m_Completed.emplace_back(std::move(p->Done), CSubmitResult::LinkLost(sWhy + " before the submission was sent"));
  m_Queue.clear();
  for (auto& [tag, p] : m_InFlight)
    m_Completed.emplace_back(std::move(p->Done),
                             CSubmitResult::LinkLost(sWhy + " before the answer came; the SMSC may have taken it"));
  m_InFlight.clear();
}

}  // namespace Norvale
