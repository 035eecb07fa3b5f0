// SmppServer: velquor-smppd's binds. It listens on a TCP port and, when
// configured, a TLS port (libssl); every connection gets a thread of its own
// (binds are few) that owns the socket and a CSmppServerSession.
//
// A bind names an account (system_id = the account's name) and its SMPP
// password, checked against the account's SmppPasswordHash (scrypt, constant
// time); the account is read from the store at every bind. Refusals:
//   unknown account, or one without an SMPP password    ESME_RINVSYSID
//   a wrong password                                    ESME_RINVPASWD
//   the account's SmppMaxBinds reached                  ESME_RBINDFAIL
//   kFailuresAllowed failures from the address within
//   kFailureWindow: every bind until the window ends    ESME_RBINDFAIL,
//                                                       unchecked
// Each failure is logged (source "velquor-smppd") with the account and the
// address, never the password.
//
// A submit_sm takes a token from the account's bucket (RatePerSecond, Burst;
// shared by its binds) and a place in the bind's window (SmppWindow
// unanswered); without either it is answered ESME_RTHROTTLED. Otherwise it
// is mapped (MapSubmit; a refusal answers with its status) and handed to the
// SubmitCommitter, whose answer goes back to the connection's thread, which
// sends submit_sm_resp.
//
// As DeliverySink it offers the outbox's deliver_sm to the account's
// receiver and transceiver binds; their answers go to DeliveryAnswers.
//
// A connection that does not read: once more than kMaxPendingOutput octets
// wait to be written, its input is no longer read (so its requests stop
// making answers), until the client reads again or the session's time-outs
// end it. Other connections are not affected.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/rate_limiter.h"
#include "delivery_sink.h"
#include "smpp/smpp_server_session.h"

namespace VelquorSmpp {

class SubmitCommitter;
class SmppConnection;

struct SmppServerOptions {
  std::string sListen = "127.0.0.1";
  int nPort = 2775;             // 0: a free port
  int nTlsPort = -1;            // below 0: no TLS listener; 0: a free port
  std::string sTlsCertificate;  // PEM files, for the TLS listener
  std::string sTlsKey;
  std::string sSystemId = "velquor";
  std::chrono::seconds enquireLink{30};
  std::chrono::seconds response{10};
  std::chrono::seconds bind{10};
  std::size_t nMaxConnections = 1000;
};

// What the state file shows of an account.
struct AccountState {
  unsigned nTransmitters = 0;
  unsigned nReceivers = 0;
  unsigned nTransceivers = 0;
  std::size_t nWindow = 0;     // submits unanswered now, all binds
  std::size_t nWindowMax = 0;  // SmppWindow x binds
  std::uint64_t nSubmitted = 0;
  std::uint64_t nThrottled = 0;
  std::uint64_t nRefused = 0;
  std::uint64_t nDelivered = 0;
};

class SmppServer : public DeliverySink {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kFailuresAllowed = 10;  // per address and window
  static constexpr std::chrono::seconds kFailureWindow{60};
  static constexpr std::size_t kMaxPendingOutput = 1 << 20;
  // The largest SmppWindow honoured.
  static constexpr unsigned kMaxWindow = 10000;

  // Opens the listeners (raises std::runtime_error when it cannot: address
  // taken, certificate or key unreadable) and starts accepting.
  SmppServer(const SmppServerOptions& options, Norvale::CApiAccountStore& accounts, SubmitCommitter& committer);
  ~SmppServer() override;
  SmppServer(const SmppServer&) = delete;
  SmppServer& operator=(const SmppServer&) = delete;

  // Where the answers to deliver_sm go; set before deliveries are offered.
  void SetAnswers(DeliveryAnswers* answers);
  // The listeners' ports (the chosen ones when asked for 0); TlsPort 0
  // without TLS.
  int Port() const { return m_nPort; }
  int TlsPort() const { return m_nTlsPort; }
  // Unbinds the bound clients once the submits being committed are answered
  // (new ones are answered ESME_RTHROTTLED meanwhile), waits for their
  // unbind_resp, all within about ten seconds, closes every connection and
  // joins the threads. Idempotent.
  void Stop();

  bool HasReceiver(const std::string& sSystemId) const override;
  bool Offer(const OutboxDelivery& delivery) override;

  // The accounts that have bound since the start.
  std::map<std::string, AccountState> State() const;

 private:
  friend class SmppConnection;
  struct Failures {
    unsigned nCount = 0;
    Clock::time_point windowStart;
  };
  struct Bind {
    SmppConnection* pConnection = nullptr;
    Norvale::Smpp::EServerBindKind eKind = Norvale::Smpp::EServerBindKind::Transceiver;
    unsigned nWindow = 0;
  };
  struct Account {
    AccountState state;
    std::list<Bind> binds;
  };

  // Called by connections, on their threads.
  // The bind's outcome: ESME_ROK (then registered, with `account` filled) or
  // the refusal.
  std::uint32_t CheckBind(SmppConnection& connection, Norvale::Smpp::EServerBindKind eKind,
                          const Norvale::Smpp::BindBody& body, const std::string& sAddress,
                          Norvale::CApiAccount& account);
  void Unbound(SmppConnection& connection);
  bool TakeToken(const Norvale::CApiAccount& account);
  void Count(const std::string& sSystemId, std::uint64_t AccountState::*counter);
  DeliveryAnswers* Answers() const { return m_pAnswers.load(); }
  const SmppServerOptions& Options() const { return m_Options; }
  SSL_CTX* TlsContext() const { return m_pTls; }
  void ConnectionEnded();

  void AcceptLoop();
  int Listen(int nPort, int& nChosen);
  // Joins the threads of ended connections.
  void Reap(bool bAll);
  bool AddressLocked(const std::string& sAddress);
  void Failed(const std::string& sName, const std::string& sAddress, const std::string& sWhy);

  SmppServerOptions m_Options;
  Norvale::CApiAccountStore& m_Accounts;
  SubmitCommitter& m_Committer;
  std::atomic<DeliveryAnswers*> m_pAnswers{nullptr};
  SSL_CTX* m_pTls = nullptr;
  int m_nListen = -1;
  int m_nTlsListen = -1;
  int m_nPort = 0;
  int m_nTlsPort = 0;
  int m_nWake = -1;  // eventfd: stop, or a connection ended
  std::atomic<bool> m_bStopping{false};
  std::thread m_Acceptor;
  Norvale::CRateLimiter m_Limiter;

  mutable std::mutex m_Mutex;  // guards what follows
  std::list<std::shared_ptr<SmppConnection>> m_Connections;
  std::map<std::string, Account> m_AccountBinds;
  std::unordered_map<std::string, Failures> m_Failures;  // by remote address
  std::size_t m_nNextOffer = 0;                          // round robin of Offer
};

}  // namespace VelquorSmpp
