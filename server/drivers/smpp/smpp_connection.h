// CSmppConnection: the TCP connection to an SMS centre, in the clear or in
// TLS, never blocking, for the SMPP driver's poll() loop.
//
// Connect resolves the host and starts a non-blocking connect; the loop
// polls Fd() for Events() and calls Advance() until State() is Open (the
// TCP connect, then the TLS handshake when a CTlsContext is given). Read and
// Write then move what the socket takes at the moment. Every failure is
// raised as _com_error with a description naming the peer; the connection
// is then unusable and the caller closes it.
//
// With TLS the peer's certificate must chain to the context's CAs and name
// the host (DNS name or IP address in its subjectAltName).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace Norvale {

// The TLS client context of a driver: the CAs it trusts.
class CTlsContext {
 public:
  // sCaFile: a PEM file of the CAs to trust; empty for the system's
  // trusted CAs. Raises _com_error.
  explicit CTlsContext(const std::string& sCaFile);
  ~CTlsContext();
  CTlsContext(const CTlsContext&) = delete;
  CTlsContext& operator=(const CTlsContext&) = delete;
  ssl_ctx_st* Get() const { return m_pContext; }

 private:
  ssl_ctx_st* m_pContext = nullptr;
};

class CSmppConnection {
 public:
  enum class EState { Closed, Connecting, Handshaking, Open };

  CSmppConnection() = default;
  ~CSmppConnection() { Close(); }
  CSmppConnection(const CSmppConnection&) = delete;
  CSmppConnection& operator=(const CSmppConnection&) = delete;

  // One address of the peer.
  struct SocketAddress {
    sockaddr_storage Storage{};
    socklen_t nLength = 0;
  };

  // Starts connecting. The name is resolved here (getaddrinfo, bounded by
  // the resolver's own time-outs); its addresses are tried in turn, the
  // next one when a connect is refused or fails, until one connects. Only
  // when all failed is the failure raised, naming each address's cause.
  void Connect(const std::string& sHost, std::uint16_t nPort, const CTlsContext* pTls);
  // The same with addresses already resolved; sHost names the peer (and the
  // certificate's name with TLS).
  void ConnectTo(std::vector<SocketAddress> Addresses, const std::string& sHost, const CTlsContext* pTls);
  // Moves the connect and the handshake on; call when poll() reports the
  // socket.
  void Advance();
  // Reads what is there; 0 when nothing is at the moment. The peer closing
  // the connection is raised like an error.
  size_t Read(std::span<std::uint8_t> Buffer);
  // Writes what the socket takes; the octets taken.
  size_t Write(std::span<const std::uint8_t> Octets);
  void Close();

  EState State() const { return m_eState; }
  int Fd() const { return m_nFd; }
  // What to poll for; bOutput: there is something to write.
  short Events(bool bOutput) const;
  // TLS: a read can go on only once the socket is writable (poll() then
  // reports POLLOUT, and Read is what to call).
  bool ReadWantsWrite() const { return m_bReadWantsWrite; }
  // "host:port" and " (TLS)" when encrypted.
  const std::string& Peer() const { return m_sPeer; }

 private:
  [[noreturn]] void Fail(const std::string& sWhat, int nErrno) const;
  void StartConnecting(std::vector<SocketAddress> Addresses);
  // Connects to the next address that takes a connect; raises when none is
  // left.
  void ConnectNext();
  void NoteFailure(const SocketAddress& Address, int nErrno);
  void StartTls();
  void Handshake();

  int m_nFd = -1;
  ssl_st* m_pSsl = nullptr;
  const CTlsContext* m_pTls = nullptr;
  std::string m_sHost, m_sPeer;
  EState m_eState = EState::Closed;
  std::vector<SocketAddress> m_Addresses;  // of the connect in progress
  size_t m_nNextAddress = 0;
  std::string m_sFailures;  // each address's failure so far
  // What TLS waits for before the step can go on: the handshake or a read
  // for the socket writable, a write for it readable.
  bool m_bWantWrite = false, m_bReadWantsWrite = false, m_bWriteWantsRead = false;
};

}  // namespace Norvale
