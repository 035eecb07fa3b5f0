#include "server/drivers/smpp/smpp_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "errors/com_error_raise.h"
#include "server/drivers/smpp/tls_error.h"

namespace Norvale {
using namespace OS;

CTlsContext::CTlsContext(const std::string& sCaFile) {
  m_pContext = SSL_CTX_new(TLS_client_method());
  if (!m_pContext) RaiseTlsError("cannot create a TLS context");
  SSL_CTX_set_min_proto_version(m_pContext, TLS1_2_VERSION);
  SSL_CTX_set_verify(m_pContext, SSL_VERIFY_PEER, nullptr);
  const int ok = sCaFile.empty() ? SSL_CTX_set_default_verify_paths(m_pContext)
                                 : SSL_CTX_load_verify_locations(m_pContext, sCaFile.c_str(), nullptr);
  if (ok != 1) {
    SSL_CTX_free(m_pContext);
    m_pContext = nullptr;
    RaiseTlsError(sCaFile.empty() ? "cannot load the system's trusted CAs"
                                  : "cannot load the CA file '" + sCaFile + "'");
  }
}

CTlsContext::~CTlsContext() { SSL_CTX_free(m_pContext); }

void CSmppConnection::Fail(const std::string& sWhat, int nErrno) const {
  RAISE_COM_ERROR(E_FAIL, m_sPeer + ": " + sWhat + (nErrno ? std::string(": ") + std::strerror(nErrno) : ""));
}

void CSmppConnection::Connect(const std::string& sHost, std::uint16_t nPort, const CTlsContext* pTls) {
  Close();
  m_sHost = sHost;
  m_pTls = pTls;
  m_sPeer = sHost + ":" + std::to_string(nPort) + (pTls ? " (TLS)" : "");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(sHost.c_str(), std::to_string(nPort).c_str(), &hints, &found);
  if (rc != 0) RAISE_COM_ERROR(E_FAIL, m_sPeer + ": cannot resolve the host: " + gai_strerror(rc));
  std::vector<SocketAddress> addresses;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    SocketAddress address;
    if (a->ai_addrlen > sizeof address.Storage) continue;
    std::memcpy(&address.Storage, a->ai_addr, a->ai_addrlen);
    address.nLength = a->ai_addrlen;
    addresses.push_back(address);
  }
  freeaddrinfo(found);
  StartConnecting(std::move(addresses));
}

void CSmppConnection::ConnectTo(std::vector<SocketAddress> Addresses, const std::string& sHost,
                                const CTlsContext* pTls) {
  Close();
  m_sHost = sHost;
  m_pTls = pTls;
  m_sPeer = sHost + (pTls ? " (TLS)" : "");
  StartConnecting(std::move(Addresses));
}

void CSmppConnection::StartConnecting(std::vector<SocketAddress> Addresses) {
  m_Addresses = std::move(Addresses);
  m_nNextAddress = 0;
  m_sFailures.clear();
  ConnectNext();
}

void CSmppConnection::ConnectNext() {
  // A name may stand for several addresses (IPv6 and IPv4, several hosts):
  // each is tried in the resolver's order until one answers.
  while (m_nNextAddress < m_Addresses.size()) {
    const SocketAddress& address = m_Addresses[m_nNextAddress++];
    const auto* sa = reinterpret_cast<const sockaddr*>(&address.Storage);
    m_nFd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_nFd < 0) {
      NoteFailure(address, errno);
      continue;
    }
    const int one = 1;
    setsockopt(m_nFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // PDUs are small and answered one by one
    setsockopt(m_nFd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    if (connect(m_nFd, sa, address.nLength) == 0 || errno == EINPROGRESS) {
      m_eState = EState::Connecting;
      return;
    }
    const int e = errno;
    ::close(m_nFd);
    m_nFd = -1;
    NoteFailure(address, e);
  }
  m_eState = EState::Closed;
  RAISE_COM_ERROR(E_FAIL, m_sPeer + ": cannot connect: " +
                              (m_sFailures.empty() ? std::string("the name has no address") : m_sFailures));
}

void CSmppConnection::NoteFailure(const SocketAddress& Address, int nErrno) {
  char text[INET6_ADDRSTRLEN] = "?";
  const auto* sa = reinterpret_cast<const sockaddr*>(&Address.Storage);
  if (sa->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  else if (sa->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  if (!m_sFailures.empty()) m_sFailures += "; ";
  m_sFailures += std::string(text) + ": " + std::strerror(nErrno);
}

void CSmppConnection::Advance() {
  if (m_eState == EState::Connecting) {
    pollfd fd{m_nFd, POLLOUT, 0};
    if (poll(&fd, 1, 0) <= 0) return;  // not yet
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(m_nFd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
      NoteFailure(m_Addresses[m_nNextAddress - 1], error);
      ::close(m_nFd);
      m_nFd = -1;
      ConnectNext();  // the next address, or the failure of all
      return;
    }
    if (!m_pTls) {
      m_eState = EState::Open;
      return;
    }
    StartTls();
  }
  if (m_eState == EState::Handshaking) Handshake();
}

void CSmppConnection::StartTls() {
  ERR_clear_error();
  m_pSsl = SSL_new(m_pTls->Get());
  if (!m_pSsl || SSL_set_fd(m_pSsl, m_nFd) != 1) RaiseTlsError(m_sPeer + ": cannot set up TLS");
  // The certificate must name the host: an IP address in its
  // subjectAltName when the host is one, else the DNS name (also sent as
  // SNI).
  in6_addr ip{};
  const bool numeric = inet_pton(AF_INET, m_sHost.c_str(), &ip) == 1 || inet_pton(AF_INET6, m_sHost.c_str(), &ip) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(m_pSsl);
  if (numeric ? X509_VERIFY_PARAM_set1_ip_asc(param, m_sHost.c_str()) != 1
              : (SSL_set1_host(m_pSsl, m_sHost.c_str()) != 1 || SSL_set_tlsext_host_name(m_pSsl, m_sHost.c_str()) != 1))
    RaiseTlsError(m_sPeer + ": cannot set the name to verify");
  m_eState = EState::Handshaking;
}

void CSmppConnection::Handshake() {
  ERR_clear_error();
  const int rc = SSL_connect(m_pSsl);
  if (rc == 1) {
    m_eState = EState::Open;
    m_bWantWrite = false;
    return;
  }
  const int why = SSL_get_error(m_pSsl, rc);
  if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
    m_bWantWrite = why == SSL_ERROR_WANT_WRITE;
    return;
  }
  RaiseTlsError(m_sPeer + ": TLS handshake failed", SSL_get_verify_result(m_pSsl));
}

size_t CSmppConnection::Read(std::span<std::uint8_t> Buffer) {
  if (m_eState != EState::Open) return 0;
  if (!m_pSsl) {
    const ssize_t n = recv(m_nFd, Buffer.data(), Buffer.size(), 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) RAISE_COM_ERROR(E_FAIL, m_sPeer + ": the SMSC closed the connection");
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    Fail("receive failed", errno);
  }
  ERR_clear_error();
  size_t got = 0;
  const int rc = SSL_read_ex(m_pSsl, Buffer.data(), Buffer.size(), &got);
  m_bReadWantsWrite = false;
  if (rc == 1) {
    m_bWriteWantsRead = false;  // what a write waited for has come
    return got;
  }
  const int why = SSL_get_error(m_pSsl, rc);
  if (why == SSL_ERROR_WANT_READ) {
    m_bWriteWantsRead = false;
    return 0;
  }
  if (why == SSL_ERROR_WANT_WRITE) {
    m_bReadWantsWrite = true;
    return 0;
  }
  if (why == SSL_ERROR_ZERO_RETURN) RAISE_COM_ERROR(E_FAIL, m_sPeer + ": the SMSC closed the connection");
  if (why == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
    RAISE_COM_ERROR(E_FAIL,
                    m_sPeer + ": the connection broke" + (errno ? std::string(": ") + std::strerror(errno) : ""));
  RaiseTlsError(m_sPeer + ": TLS receive failed");
}

size_t CSmppConnection::Write(std::span<const std::uint8_t> Octets) {
  if (m_eState != EState::Open || Octets.empty()) return 0;
  if (!m_pSsl) {
    const ssize_t n = send(m_nFd, Octets.data(), Octets.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    Fail("send failed", errno);
  }
  ERR_clear_error();
  size_t put = 0;
  const int rc = SSL_write_ex(m_pSsl, Octets.data(), Octets.size(), &put);
  m_bWriteWantsRead = false;
  if (rc == 1) return put;
  const int why = SSL_get_error(m_pSsl, rc);
  if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
    m_bWriteWantsRead = why == SSL_ERROR_WANT_READ;
    return 0;
  }
  if (why == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
    RAISE_COM_ERROR(E_FAIL,
                    m_sPeer + ": the connection broke" + (errno ? std::string(": ") + std::strerror(errno) : ""));
  RaiseTlsError(m_sPeer + ": TLS send failed");
}

short CSmppConnection::Events(bool bOutput) const {
  switch (m_eState) {
    case EState::Closed: return 0;
    case EState::Connecting: return POLLOUT;
    case EState::Handshaking: return m_bWantWrite ? POLLOUT : POLLIN;
    case EState::Open:
      return static_cast<short>(POLLIN | ((bOutput && !m_bWriteWantsRead) || m_bReadWantsWrite ? POLLOUT : 0));
  }
  return 0;
}

void CSmppConnection::Close() {
  if (m_pSsl) {
    // A close_notify when the socket takes it; the peer learns of the end
    // from the TCP close otherwise.
    if (m_eState == EState::Open) SSL_shutdown(m_pSsl);
    SSL_free(m_pSsl);
    m_pSsl = nullptr;
    ERR_clear_error();
  }
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = -1;
  m_eState = EState::Closed;
  m_bWantWrite = m_bReadWantsWrite = m_bWriteWantsRead = false;
}

}  // namespace Norvale
