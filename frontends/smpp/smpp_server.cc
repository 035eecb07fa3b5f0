#include "smpp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "accounts/secret_hash.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "smpp/command_status.h"
#include "smpp_connection.h"

namespace VelquorSmpp {
namespace {

constexpr const char* kLogSource = "velquor-smppd";
// Expired failure counts are swept when the map grows past this.
constexpr std::size_t kSweepAbove = 4096;

// An account name as the log may show it: a client's text only where it is
// a valid name.
std::string LoggedName(const std::string& name) {
  if (name.empty()) return "(none)";
  return Norvale::CApiAccountStore::IsValidName(name) ? name : "(not a valid name)";
}

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

const char* KindName(Norvale::Smpp::EServerBindKind eKind) {
  switch (eKind) {
    case Norvale::Smpp::EServerBindKind::Transmitter: return "transmitter";
    case Norvale::Smpp::EServerBindKind::Receiver: return "receiver";
    case Norvale::Smpp::EServerBindKind::Transceiver: break;
  }
  return "transceiver";
}

}  // namespace

SmppServer::SmppServer(const SmppServerOptions& options, Norvale::CApiAccountStore& accounts,
                       SubmitCommitter& committer)
    : m_Options(options), m_Accounts(accounts), m_Committer(committer) {
  try {
    m_nWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_nWake < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    m_nListen = Listen(options.nPort, m_nPort);
    if (options.nTlsPort >= 0) {
      m_pTls = SSL_CTX_new(TLS_server_method());
      if (m_pTls == nullptr) throw std::runtime_error("no TLS context: " + OpenSslError());
      SSL_CTX_set_min_proto_version(m_pTls, TLS1_2_VERSION);
      SSL_CTX_set_mode(m_pTls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
      if (SSL_CTX_use_certificate_chain_file(m_pTls, options.sTlsCertificate.c_str()) != 1)
        throw std::runtime_error("the TLS certificate " + options.sTlsCertificate +
                                 " (SmppServerTlsCertificate) cannot be used: " + OpenSslError());
      if (SSL_CTX_use_PrivateKey_file(m_pTls, options.sTlsKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_check_private_key(m_pTls) != 1)
        throw std::runtime_error("the TLS key " + options.sTlsKey +
                                 " (SmppServerTlsKey) cannot be used: " + OpenSslError());
      m_nTlsListen = Listen(options.nTlsPort, m_nTlsPort);
    }
  } catch (...) {
    if (m_nListen >= 0) close(m_nListen);
    if (m_nTlsListen >= 0) close(m_nTlsListen);
    if (m_nWake >= 0) close(m_nWake);
    if (m_pTls != nullptr) SSL_CTX_free(m_pTls);
    throw;
  }
  m_Acceptor = std::thread([this] { AcceptLoop(); });
}

SmppServer::~SmppServer() {
  Stop();
  if (m_nListen >= 0) close(m_nListen);
  if (m_nTlsListen >= 0) close(m_nTlsListen);
  close(m_nWake);
  if (m_pTls != nullptr) SSL_CTX_free(m_pTls);
}

int SmppServer::Listen(int nPort, int& nChosen) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(nPort));
  if (inet_pton(AF_INET, m_Options.sListen.c_str(), &address.sin_addr) != 1) {
    close(fd);
    throw std::runtime_error("not an IPv4 address to listen on: " + m_Options.sListen);
  }
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const std::string why = std::strerror(errno);
    close(fd);
    throw std::runtime_error("cannot listen on " + m_Options.sListen + ":" + std::to_string(nPort) + ": " + why);
  }
  nChosen = ntohs(address.sin_port);
  return fd;
}

void SmppServer::SetAnswers(DeliveryAnswers* answers) { m_pAnswers = answers; }

void SmppServer::AcceptLoop() {
  while (!m_bStopping) {
    pollfd fds[3] = {{m_nWake, POLLIN, 0}, {m_nListen, POLLIN, 0}, {m_nTlsListen, POLLIN, 0}};
    const int n = poll(fds, m_nTlsListen >= 0 ? 3 : 2, 1000);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(m_nWake, &count, sizeof count);
    }
    Reap(false);
    if (m_bStopping) break;
    for (int i = 1; i <= 2; ++i) {
      if (!(fds[i].revents & POLLIN) || fds[i].fd < 0) continue;
      // A few at a time, so that neither port starves the other.
      for (int taken = 0; taken < 16; ++taken) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int fd = accept4(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Connections.size() >= m_Options.nMaxConnections) {
          close(fd);
          continue;
        }
        auto connection = std::make_shared<SmppConnection>(*this, fd, text, i == 2);
        m_Connections.push_back(connection);
        connection->Start();
      }
    }
  }
}

void SmppServer::Reap(bool bAll) {
  std::list<std::shared_ptr<SmppConnection>> ended;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (auto it = m_Connections.begin(); it != m_Connections.end();) {
      if (bAll || (*it)->Ended()) {
        ended.push_back(*it);
        it = m_Connections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& connection : ended) connection->Join();
}

void SmppServer::ConnectionEnded() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(m_nWake, &one, sizeof one);
}

void SmppServer::Stop() {
  if (m_bStopping.exchange(true)) return;
  ConnectionEnded();  // wakes the acceptor
  if (m_Acceptor.joinable()) m_Acceptor.join();
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& connection : m_Connections) connection->RequestStop();
  }
  Reap(true);
}

bool SmppServer::AddressLocked(const std::string& sAddress) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  const auto failures = m_Failures.find(sAddress);
  return failures != m_Failures.end() && failures->second.nCount >= kFailuresAllowed &&
         Clock::now() - failures->second.windowStart < kFailureWindow;
}

void SmppServer::Failed(const std::string& sName, const std::string& sAddress, const std::string& sWhy) {
  bool nowLocked = false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const Clock::time_point now = Clock::now();
    if (m_Failures.size() > kSweepAbove)
      std::erase_if(m_Failures, [now](const auto& entry) { return now - entry.second.windowStart >= kFailureWindow; });
    Failures& failures = m_Failures[sAddress];
    if (failures.nCount == 0 || now - failures.windowStart >= kFailureWindow) failures = Failures{0, now};
    nowLocked = ++failures.nCount == kFailuresAllowed;
  }
  std::string text = "SMPP bind refused for the account " + LoggedName(sName) + " from " + sAddress + ": " + sWhy + ".";
  if (nowLocked)
    text += " That is " + std::to_string(kFailuresAllowed) + " failures within " +
            std::to_string(kFailureWindow.count()) + " s: further binds from " + sAddress +
            " are refused unchecked until then.";
  Norvale::CEventLogger::LogEvent(Norvale::OS::EVENTLOG_WARNING_TYPE, text, kLogSource);
}

std::uint32_t SmppServer::CheckBind(SmppConnection& connection, Norvale::Smpp::EServerBindKind eKind,
                                    const Norvale::Smpp::BindBody& body, const std::string& sAddress,
                                    Norvale::CApiAccount& account) {
  if (AddressLocked(sAddress)) return Norvale::Smpp::ESME_RBINDFAIL;
  std::optional<Norvale::CApiAccount> found;
  if (Norvale::CApiAccountStore::IsValidName(body.sSystemId)) {
    try {
      found = m_Accounts.Find(body.sSystemId);
    } catch (const Norvale::_com_error&) {
      return Norvale::Smpp::ESME_RSYSERR;
    }
  }
  if (!found || found->sSmppPasswordHash.empty()) {
    Failed(body.sSystemId, sAddress, found ? "the account has no SMPP password" : "no such account");
    return Norvale::Smpp::ESME_RINVSYSID;
  }
  // scrypt, outside every lock: other binds go on meanwhile.
  if (!Norvale::VerifySecret(body.sPassword, found->sSmppPasswordHash)) {
    Failed(body.sSystemId, sAddress, "a wrong password");
    return Norvale::Smpp::ESME_RINVPASWD;
  }
  bool bound = false;
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Account& entry = m_AccountBinds[found->sName];
    if (!m_bStopping && entry.binds.size() < found->nSmppMaxBinds) {
      entry.binds.push_back(Bind{&connection, eKind, std::clamp(found->nSmppWindow, 1u, kMaxWindow)});
      bound = true;
    }
  }
  if (bound) {
    account = *found;
    Norvale::CEventLogger::LogEvent(
        Norvale::OS::EVENTLOG_INFORMATION_TYPE,
        "SMPP bind of the account " + found->sName + " as " + KindName(eKind) + " from " + sAddress + ".", kLogSource);
    return Norvale::Smpp::ESME_ROK;
  }
  Norvale::CEventLogger::LogEvent(Norvale::OS::EVENTLOG_WARNING_TYPE,
                                  "SMPP bind refused for the account " + found->sName + " from " + sAddress +
                                      ": it has its " + std::to_string(found->nSmppMaxBinds) +
                                      " binds already (SmppMaxBinds).",
                                  kLogSource);
  return Norvale::Smpp::ESME_RBINDFAIL;
}

void SmppServer::Unbound(SmppConnection& connection) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  for (auto& [name, account] : m_AccountBinds)
    account.binds.remove_if([&connection](const Bind& bind) { return bind.pConnection == &connection; });
}

bool SmppServer::TakeToken(const Norvale::CApiAccount& account) {
  return m_Limiter.Take(account.sName, account.dRatePerSecond, account.nBurst).bAdmitted;
}

void SmppServer::Count(const std::string& sSystemId, std::uint64_t AccountState::*counter) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  ++(m_AccountBinds[sSystemId].state.*counter);
}

bool SmppServer::HasReceiver(const std::string& sSystemId) const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  const auto account = m_AccountBinds.find(sSystemId);
  if (account == m_AccountBinds.end()) return false;
  for (const Bind& bind : account->second.binds)
    if (bind.eKind != Norvale::Smpp::EServerBindKind::Transmitter) return true;
  return false;
}

bool SmppServer::Offer(const OutboxDelivery& delivery) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (m_bStopping) return false;
  const auto account = m_AccountBinds.find(delivery.sSystemId);
  if (account == m_AccountBinds.end()) return false;
  // Round robin over the account's receiving binds, starting at another
  // one each time.
  std::vector<SmppConnection*> receivers;
  for (const Bind& bind : account->second.binds)
    if (bind.eKind != Norvale::Smpp::EServerBindKind::Transmitter) receivers.push_back(bind.pConnection);
  if (receivers.empty()) return false;
  const std::size_t start = m_nNextOffer++ % receivers.size();
  for (std::size_t i = 0; i < receivers.size(); ++i)
    if (receivers[(start + i) % receivers.size()]->Offer(delivery)) return true;
  return false;
}

std::map<std::string, AccountState> SmppServer::State() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  std::map<std::string, AccountState> states;
  for (const auto& [name, account] : m_AccountBinds) {
    AccountState state = account.state;
    state.nTransmitters = state.nReceivers = state.nTransceivers = 0;
    state.nWindow = state.nWindowMax = 0;
    for (const Bind& bind : account.binds) {
      switch (bind.eKind) {
        case Norvale::Smpp::EServerBindKind::Transmitter: ++state.nTransmitters; break;
        case Norvale::Smpp::EServerBindKind::Receiver: ++state.nReceivers; break;
        case Norvale::Smpp::EServerBindKind::Transceiver: ++state.nTransceivers; break;
      }
      state.nWindow += bind.pConnection->Unanswered();
      state.nWindowMax += bind.nWindow;
    }
    states[name] = state;
  }
  return states;
}

}  // namespace VelquorSmpp
