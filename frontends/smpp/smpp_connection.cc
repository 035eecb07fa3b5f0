#include "smpp_connection.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <variant>

#include "config/routes.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "smpp/command_status.h"
#include "smpp_server.h"
#include "submit_committer.h"
#include "submit_mapping.h"

namespace VelquorSmpp {
namespace {

using Norvale::Smpp::CSmppServerSession;
using Norvale::Smpp::EServerBindKind;

// How long a closing session may take to write its last octets, and a
// stopping server to hear the client's unbind_resp.
constexpr std::chrono::seconds kCloseFlushTime{2};
constexpr std::chrono::seconds kStopTime{5};
// Octets read at most per turn of the loop, so that posted answers and
// time-outs are not starved by a fast sender.
constexpr std::size_t kReadPerTurn = 256 * 1024;

std::int64_t UnixMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SmppConnection::Mailbox::Mailbox() : nEventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SmppConnection::Mailbox::~Mailbox() {
  if (nEventFd >= 0) close(nEventFd);
}

void SmppConnection::Mailbox::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(nEventFd, &one, sizeof one);
}

SmppConnection::SmppConnection(SmppServer& server, int fd, std::string sAddress, bool bTls)
    : m_Server(server), m_fd(fd), m_sAddress(std::move(sAddress)), m_pMailbox(std::make_shared<Mailbox>()) {
  if (bTls) {
    m_pSsl = SSL_new(server.TlsContext());
    if (m_pSsl != nullptr) SSL_set_fd(m_pSsl, m_fd);
    m_bHandshakeDone = false;
  }
}

SmppConnection::~SmppConnection() {
  Join();
  if (m_pSsl != nullptr) SSL_free(m_pSsl);
  if (m_fd >= 0) close(m_fd);
}

void SmppConnection::Start() {
  m_Thread = std::thread([this] { Run(); });
}

void SmppConnection::Join() {
  if (m_Thread.joinable()) m_Thread.join();
}

void SmppConnection::RequestStop() {
  std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
  m_pMailbox->bStop = true;
  m_pMailbox->Wake();
}

bool SmppConnection::Offer(const OutboxDelivery& delivery) {
  std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
  if (m_pMailbox->bStop || m_pMailbox->nDeliverRoom <= 0) return false;
  --m_pMailbox->nDeliverRoom;
  m_pMailbox->deliveries.push_back(delivery);
  m_pMailbox->Wake();
  return true;
}

void SmppConnection::Run() {
  if (m_pMailbox->nEventFd >= 0 && (m_pSsl != nullptr || m_bHandshakeDone)) Loop();
  Finish();
}

void SmppConnection::Finish() {
  // Nothing is offered to this bind any more, and whatever it had is not
  // delivered: offered again later, to this or another bind.
  if (m_bRegistered) m_Server.Unbound(*this);
  m_bRegistered = false;
  std::vector<OutboxDelivery> left;
  {
    std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
    m_pMailbox->bStop = true;
    m_pMailbox->nDeliverRoom = 0;
    left.swap(m_pMailbox->deliveries);
  }
  if (DeliveryAnswers* answers = m_Server.Answers()) {
    for (const OutboxDelivery& delivery : left) answers->Answered(delivery.nOutboxId, false);
    for (const std::uint64_t token : m_Delivering) answers->Answered(static_cast<std::int64_t>(token), false);
  }
  m_Delivering.clear();
  if (m_pSsl != nullptr && m_bHandshakeDone) SSL_shutdown(m_pSsl);
  shutdown(m_fd, SHUT_RDWR);
  m_bEnded = true;
  m_Server.ConnectionEnded();
}

long SmppConnection::ReadSome(std::uint8_t* buffer, std::size_t size) {
  if (m_pSsl == nullptr) {
    const ssize_t n = recv(m_fd, buffer, size, 0);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;
  }
  const int n = SSL_read(m_pSsl, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
  if (n > 0) return n;
  switch (SSL_get_error(m_pSsl, n)) {
    case SSL_ERROR_WANT_READ: return 0;
    case SSL_ERROR_WANT_WRITE: m_bSslWantsWrite = true; return 0;
    default: ERR_clear_error(); return -1;
  }
}

long SmppConnection::WriteSome(const std::uint8_t* data, std::size_t size) {
  if (m_pSsl == nullptr) {
    const ssize_t n = send(m_fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
  }
  const int n = SSL_write(m_pSsl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
  m_bSslWantsWrite = false;
  if (n > 0) return n;
  switch (SSL_get_error(m_pSsl, n)) {
    case SSL_ERROR_WANT_WRITE: m_bSslWantsWrite = true; return 0;
    case SSL_ERROR_WANT_READ: return 0;
    default: ERR_clear_error(); return -1;
  }
}

bool SmppConnection::Handshake() {
  const int done = SSL_accept(m_pSsl);
  m_bSslWantsWrite = false;
  if (done == 1) {
    m_bHandshakeDone = true;
    return true;
  }
  switch (SSL_get_error(m_pSsl, done)) {
    case SSL_ERROR_WANT_READ: return true;
    case SSL_ERROR_WANT_WRITE: m_bSslWantsWrite = true; return true;
    default: ERR_clear_error(); return false;
  }
}

bool SmppConnection::Flush() {
  if (!m_bHandshakeDone) return true;
  while (!m_pSession->PendingOutput().empty()) {
    const auto pending = m_pSession->PendingOutput();
    const long n = WriteSome(pending.data(), pending.size());
    if (n < 0) return false;
    if (n == 0) return true;
    m_pSession->ConsumeOutput(static_cast<std::size_t>(n));
  }
  return true;
}

void SmppConnection::Loop() {
  const SmppServerOptions& options = m_Server.Options();
  Norvale::Smpp::ServerSessionOptions sessionOptions;
  sessionOptions.bindTimeout = options.bind;
  sessionOptions.enquireLinkInterval = options.enquireLink;
  sessionOptions.responseTimeout = options.response;
  // The account's window is kept here (it is known after the bind); the
  // session's is only the bound of all.
  sessionOptions.submitWindow = SmppServer::kMaxWindow;
  m_pSession = std::make_unique<CSmppServerSession>(sessionOptions, Clock::now());

  std::optional<Clock::time_point> stopBy;   // stopping: the end of waiting for unbind_resp
  std::optional<Clock::time_point> closeBy;  // closed: the end of writing what is left
  bool unbindSent = false;
  std::vector<std::uint8_t> buffer(64 * 1024);
  while (true) {
    Clock::time_point now = Clock::now();
    TakeMail(now);
    if (!stopBy) {
      std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
      if (m_pMailbox->bStop) {
        stopBy = now + kStopTime + std::min<Clock::duration>(kStopTime, options.response);
        m_bStopping = true;
        if (m_pSession->State() == CSmppServerSession::EState::Open) closeBy = now + kCloseFlushTime;
      }
    }
    // Stopping: the submits being committed are answered first (so the
    // client learns the message_id of every message queued), then unbind.
    if (stopBy && !unbindSent && m_pSession->State() == CSmppServerSession::EState::Bound &&
        (m_nUnanswered.load() == 0 || now >= *stopBy - kStopTime)) {
      m_pSession->Unbind(now);
      unbindSent = true;
    }
    HandleEvents(now);
    m_pSession->Tick(now);
    HandleEvents(now);
    if (!Flush()) return;
    if (m_pSession->State() == CSmppServerSession::EState::Closed && !closeBy) closeBy = now + kCloseFlushTime;
    if (closeBy && (m_pSession->PendingOutput().empty() || now >= *closeBy)) return;
    if (stopBy && now >= *stopBy) return;
    UpdateRoom();

    // Input is read while the client takes what we write, and not while
    // closing.
    const bool read = !closeBy && m_pSession->PendingOutput().size() <= SmppServer::kMaxPendingOutput;
    const bool write = m_bSslWantsWrite || (m_bHandshakeDone && !m_pSession->PendingOutput().empty());
    Clock::time_point deadline = m_pSession->NextDeadline();
    if (stopBy) deadline = std::min(deadline, *stopBy);
    if (closeBy) deadline = std::min(deadline, *closeBy);
    long long wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    wait = std::clamp<long long>(wait, 1, 1000);
    if (m_pSsl != nullptr && read && SSL_pending(m_pSsl) > 0) wait = 0;
    pollfd fds[2] = {{m_fd, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0},
                     {m_pMailbox->nEventFd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(wait)) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(m_pMailbox->nEventFd, &count, sizeof count);
    }
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    if (!m_bHandshakeDone) {
      if ((fds[0].revents & (POLLIN | POLLOUT | POLLHUP)) && !Handshake()) return;
      continue;
    }
    if (!read) continue;
    if ((fds[0].revents & (POLLIN | POLLHUP)) || (m_pSsl != nullptr && SSL_pending(m_pSsl) > 0)) {
      now = Clock::now();
      std::size_t total = 0;
      while (total < kReadPerTurn) {
        const long n = ReadSome(buffer.data(), buffer.size());
        if (n < 0) {
          // The client went; what it sent before still counts.
          HandleEvents(now);
          return;
        }
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
        m_pSession->Receive({buffer.data(), static_cast<std::size_t>(n)}, now);
        if (m_pSession->PendingOutput().size() > SmppServer::kMaxPendingOutput) break;
      }
    }
  }
}

void SmppConnection::TakeMail(Clock::time_point now) {
  std::vector<Mailbox::SubmitAnswer> answers;
  std::vector<OutboxDelivery> deliveries;
  {
    std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
    answers.swap(m_pMailbox->answers);
    deliveries.swap(m_pMailbox->deliveries);
  }
  const bool open = m_pSession->State() != CSmppServerSession::EState::Closed;
  for (const Mailbox::SubmitAnswer& answer : answers) {
    --m_nUnanswered;
    if (m_Account)
      m_Server.Count(m_Account->sName,
                     answer.nStatus == Norvale::Smpp::ESME_ROK ? &AccountState::nSubmitted : &AccountState::nRefused);
    if (open) m_pSession->AnswerSubmit(answer.nSequence, answer.nStatus, answer.sMessageId);
  }
  DeliveryAnswers* outbox = m_Server.Answers();
  for (const OutboxDelivery& delivery : deliveries) {
    bool sent = false;
    if (m_bReceives && m_pSession->CanDeliver()) {
      try {
        m_pSession->Deliver(static_cast<std::uint64_t>(delivery.nOutboxId), delivery.body, now);
        m_Delivering.insert(static_cast<std::uint64_t>(delivery.nOutboxId));
        sent = true;
      } catch (const std::exception& e) {
        // A body the codec cannot write: not delivered, and said so.
        Norvale::CEventLogger::LogEvent(Norvale::OS::EVENTLOG_WARNING_TYPE,
                                        "The outbox entry " + std::to_string(delivery.nOutboxId) + " of the account " +
                                            delivery.sSystemId + " cannot be sent as deliver_sm: " + e.what() + ".",
                                        "velquor-smppd");
      }
    }
    if (!sent && outbox != nullptr) outbox->Answered(delivery.nOutboxId, false);
  }
}

void SmppConnection::UpdateRoom() {
  const bool can = m_bReceives && m_pSession->State() == CSmppServerSession::EState::Bound;
  int room = 0;
  if (can) room = static_cast<int>(m_pSession->DeliverWindow()) - static_cast<int>(m_pSession->DeliveriesInFlight());
  std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
  m_pMailbox->nDeliverRoom =
      m_pMailbox->bStop ? 0 : std::max(0, room - static_cast<int>(m_pMailbox->deliveries.size()));
}

void SmppConnection::HandleEvents(Clock::time_point now) {
  for (Norvale::Smpp::ServerSessionEvent& event : m_pSession->TakeEvents()) {
    if (auto* bind = std::get_if<Norvale::Smpp::BindRequestedEvent>(&event)) {
      bool stopping = false;
      {
        std::lock_guard<std::mutex> lock(m_pMailbox->mutex);
        stopping = m_pMailbox->bStop;
      }
      Norvale::CApiAccount account;
      const std::uint32_t status = stopping ? Norvale::Smpp::ESME_RBINDFAIL
                                            : m_Server.CheckBind(*this, bind->eKind, bind->body, m_sAddress, account);
      if (status != Norvale::Smpp::ESME_ROK) {
        m_pSession->RefuseBind(bind->nSequence, status);
        continue;
      }
      m_bRegistered = true;
      m_Account = account;
      m_bReceives = bind->eKind != EServerBindKind::Transmitter;
      m_pSession->AcceptBind(bind->nSequence, m_Server.Options().sSystemId);
      // The account's window holds both ways: as many deliver_sm out at
      // once as it may have submit_sm.
      m_pSession->SetDeliverWindow(std::clamp(account.nSmppWindow, 1u, SmppServer::kMaxWindow));
      UpdateRoom();
      if (m_bReceives)
        if (DeliveryAnswers* answers = m_Server.Answers()) answers->ReceiverBound(account.sName);
    } else if (auto* submit = std::get_if<Norvale::Smpp::SubmitRequestedEvent>(&event)) {
      OnSubmit(submit->nSequence, submit->body);
    } else if (auto* answered = std::get_if<Norvale::Smpp::DeliverAnsweredEvent>(&event)) {
      m_Delivering.erase(answered->nToken);
      const bool delivered = answered->nStatus && *answered->nStatus == Norvale::Smpp::ESME_ROK;
      if (delivered && m_Account) m_Server.Count(m_Account->sName, &AccountState::nDelivered);
      if (DeliveryAnswers* answers = m_Server.Answers())
        answers->Answered(static_cast<std::int64_t>(answered->nToken), delivered);
    }
  }
  (void)now;
}

void SmppConnection::OnSubmit(std::uint32_t nSequence, const Norvale::Smpp::ShortMessageBody& body) {
  if (!m_Account) {  // the session lets no submit through before a bind
    m_pSession->AnswerSubmit(nSequence, Norvale::Smpp::ESME_RINVBNDSTS, "");
    return;
  }
  // While stopping nothing new is queued: the client submits it again
  // later, here or elsewhere.
  const unsigned window = std::clamp(m_Account->nSmppWindow, 1u, SmppServer::kMaxWindow);
  if (m_bStopping || m_nUnanswered.load() >= window || !m_Server.TakeToken(*m_Account)) {
    m_Server.Count(m_Account->sName, &AccountState::nThrottled);
    m_pSession->AnswerSubmit(nSequence, Norvale::Smpp::ESME_RTHROTTLED, "");
    return;
  }
  std::variant<SubmitJob, std::uint32_t> mapped = MapSubmit(body, *m_Account, UnixMilliseconds());
  // A destination on the blocklist is refused as an invalid one.
  if (const SubmitJob* job = std::get_if<SubmitJob>(&mapped);
      job && !Norvale::BlockedDestinationProblem(job->row.sPhoneNumber).empty())
    mapped = std::uint32_t{Norvale::Smpp::ESME_RINVDSTADR};
  if (const std::uint32_t* refused = std::get_if<std::uint32_t>(&mapped)) {
    m_Server.Count(m_Account->sName, &AccountState::nRefused);
    m_pSession->AnswerSubmit(nSequence, *refused, "");
    return;
  }
  ++m_nUnanswered;
  SubmitCommitter::Item item;
  item.job = std::move(std::get<SubmitJob>(mapped));
  item.done = [mailbox = m_pMailbox, nSequence](std::uint32_t nStatus, const std::string& sMessageId) {
    std::lock_guard<std::mutex> lock(mailbox->mutex);
    mailbox->answers.push_back({nSequence, nStatus, sMessageId});
    mailbox->Wake();
  };
  m_Server.m_Committer.Submit(std::move(item));
}

}  // namespace VelquorSmpp
