// SmppConnection: one client connection of velquor-smppd on a thread of its
// own: the socket (non-blocking, TLS when it came to the TLS port), an
// eventfd for what other threads post to it (the committer's answers, the
// outbox's deliveries, the stop), and the CSmppServerSession. See
// smpp_server.h for what it does with binds, submits and deliveries.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "delivery_sink.h"
#include "smpp/smpp_server_session.h"

namespace VelquorSmpp {

class SmppServer;

class SmppConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes the socket; the thread starts with Start().
  SmppConnection(SmppServer& server, int fd, std::string sAddress, bool bTls);
  ~SmppConnection();
  SmppConnection(const SmppConnection&) = delete;
  SmppConnection& operator=(const SmppConnection&) = delete;

  void Start();
  // Joins the thread (once it ended, or at the end of Stop).
  void Join();
  bool Ended() const { return m_bEnded.load(); }
  // Unbind the client (or just close when not bound), from any thread.
  void RequestStop();
  // Posts a deliver_sm when the bind has room for it; any thread.
  bool Offer(const OutboxDelivery& delivery);
  // submit_sm handed to the committer and not yet answered.
  std::size_t Unanswered() const { return m_nUnanswered.load(); }
  const std::string& Address() const { return m_sAddress; }

 private:
  // What other threads post; shared with the committer's `done`, which may
  // outlive the connection.
  struct Mailbox {
    Mailbox();
    ~Mailbox();
    void Wake();
    struct SubmitAnswer {
      std::uint32_t nSequence = 0;
      std::uint32_t nStatus = 0;
      std::string sMessageId;
    };
    int nEventFd = -1;
    std::mutex mutex;  // guards what follows
    std::vector<SubmitAnswer> answers;
    std::vector<OutboxDelivery> deliveries;
    int nDeliverRoom = 0;  // deliver_sm the bind can take now
    bool bStop = false;
  };

  void Run();
  void Loop();
  // Octets read: >0, 0 would block, -1 closed or failed.
  long ReadSome(std::uint8_t* buffer, std::size_t size);
  // Octets written: >= 0, -1 failed.
  long WriteSome(const std::uint8_t* data, std::size_t size);
  bool Handshake();
  // Writes what the session has to send as far as the socket takes it;
  // false when the socket failed.
  bool Flush();
  void TakeMail(Clock::time_point now);
  void HandleEvents(Clock::time_point now);
  void OnSubmit(std::uint32_t nSequence, const Norvale::Smpp::ShortMessageBody& body);
  void UpdateRoom();
  void Finish();

  SmppServer& m_Server;
  int m_fd;
  std::string m_sAddress;
  SSL* m_pSsl = nullptr;
  bool m_bHandshakeDone = true;
  bool m_bSslWantsWrite = false;
  std::shared_ptr<Mailbox> m_pMailbox;
  std::unique_ptr<Norvale::Smpp::CSmppServerSession> m_pSession;
  std::optional<Norvale::CApiAccount> m_Account;  // once bound
  bool m_bReceives = false;                       // bound as receiver or transceiver
  bool m_bRegistered = false;                     // counted in the server's binds
  std::set<std::uint64_t> m_Delivering;           // outbox ids sent, unanswered
  std::atomic<std::size_t> m_nUnanswered{0};
  std::atomic<bool> m_bEnded{false};
  std::thread m_Thread;
};

}  // namespace VelquorSmpp
