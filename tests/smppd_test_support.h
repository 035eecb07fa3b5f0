// velquor-smppd as a process for tests, and a small blocking SMPP client.
//
// SmppDaemon: a fresh queue database (SQLite or PostgreSQL) configured under
// the test's NORVALE_ROOT, handsets 1 and 2 declared (simulator), accounts
// made with AddAccount, the daemon on free loopback ports (plain, and TLS
// with a self-signed certificate when asked), its event log on its standard
// error (Output()).
//
// SmppTestClient: one connection (plain or TLS) to the daemon, built on
// server/smpp's codec: bind, submit with a window, read PDUs with a
// deadline. It answers the daemon's enquire_link by itself while it reads,
// and, unless told otherwise, every deliver_sm with ESME_ROK (the
// deliver_sm are kept in Delivered()).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "child_process.h"
#include "client_test_support.h"
#include "config/config_reg.h"
#include "config/handset_values.h"
#include "queue_test_support.h"
#include "smpp/command_status.h"
#include "smpp/pdu.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"
#include "test_support.h"

namespace TestSupport {

namespace SmppTest {
using Clock = std::chrono::steady_clock;
using Norvale::Smpp::ECommandId;
using Norvale::Smpp::Pdu;
using Norvale::Smpp::ShortMessageBody;

// A value of the product's configuration (or of another key).
inline void SetConfigValue(const std::string& name, const std::string& value,
                           const std::string& key = "SOFTWARE\\Norvale\\Velquor") {
  bool readOnly = false;
  const auto handle = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, key, &readOnly, false);
  Norvale::RUSetValue(handle, name, value, false);
  Norvale::OS::RegCloseKey(handle);
}

// A submit_sm body: text in the default alphabet to `to`.
inline ShortMessageBody TextSubmit(const std::string& to, const std::string& text, uint8_t registeredDelivery = 0) {
  ShortMessageBody body;
  body.sSourceAddr = "12345";
  body.nDestTon = 1;
  body.nDestNpi = 1;
  body.sDestinationAddr = to;
  body.nRegisteredDelivery = registeredDelivery;
  body.ShortMessage.assign(text.begin(), text.end());
  return body;
}
}  // namespace SmppTest

class SmppTestClient {
 public:
  using Clock = SmppTest::Clock;
  using Pdu = Norvale::Smpp::Pdu;

  SmppTestClient() = default;
  ~SmppTestClient() { Close(); }
  SmppTestClient(const SmppTestClient&) = delete;
  SmppTestClient& operator=(const SmppTestClient&) = delete;

  // Connects to 127.0.0.1:port (TLS: handshake included, the certificate
  // is not checked), from `source` when given (another loopback address,
  // 127.0.0.2...); false when it cannot.
  bool Connect(int port, bool tls = false, const std::string& source = "") {
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!source.empty()) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
          bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        Close();
        return false;
      }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      Close();
      return false;
    }
    const int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A bound on every read and write, so that a test never hangs.
    timeval limit{10, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (tls) {
      m_ctx = SSL_CTX_new(TLS_client_method());
      m_ssl = m_ctx ? SSL_new(m_ctx) : nullptr;
      if (m_ssl == nullptr || SSL_set_fd(m_ssl, m_fd) != 1) {
        Close();
        return false;
      }
      SSL_set_verify(m_ssl, SSL_VERIFY_NONE, nullptr);
      setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      if (SSL_connect(m_ssl) != 1) {
        Close();
        return false;
      }
    }
    m_bClosed = false;
    return true;
  }
  void Close() {
    if (m_ssl) SSL_free(m_ssl);
    if (m_ctx) SSL_CTX_free(m_ctx);
    m_ssl = nullptr;
    m_ctx = nullptr;
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    m_Framer.Reset();
    m_Queue.clear();
  }
  int Fd() const { return m_fd; }
  // The peer closed the connection (seen by a read).
  bool Closed() const { return m_bClosed; }

  // Sends one PDU (octets as they are; for broken PDUs).
  bool SendRaw(const std::vector<uint8_t>& octets) {
    size_t sent = 0;
    while (sent < octets.size()) {
      const long n = m_ssl ? SSL_write(m_ssl, octets.data() + sent, static_cast<int>(octets.size() - sent))
                           : send(m_fd, octets.data() + sent, octets.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // Sends a PDU; a request without a sequence number gets the next one.
  // Returns the sequence number (0: not sent).
  uint32_t Send(Pdu pdu) {
    if (pdu.nSequence == 0) pdu.nSequence = m_nNextSequence++;
    return SendRaw(Norvale::Smpp::EncodePdu(pdu)) ? pdu.nSequence : 0;
  }

  // The next PDU from the daemon within `limit`, or nothing (time-out, the
  // connection closed or broken). enquire_link is answered and deliver_sm
  // answered (AnswerDeliveries) and kept in Delivered(); neither is returned
  // unless `all`.
  std::optional<Pdu> Read(std::chrono::milliseconds limit, bool all = false) {
    const Clock::time_point end = Clock::now() + limit;
    while (true) {
      if (!m_Queue.empty()) {
        Pdu pdu = std::move(m_Queue.front());
        m_Queue.pop_front();
        if (!all && Handled(pdu)) continue;
        return pdu;
      }
      if (!Fill(end)) return std::nullopt;
    }
  }
  // Reads until a PDU with `commandId` (and `sequence`, when not 0) comes;
  // others are dropped (enquire_link and deliver_sm handled as in Read).
  std::optional<Pdu> ReadUntil(uint32_t commandId, uint32_t sequence, std::chrono::milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (Clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      std::optional<Pdu> pdu = Read(left);
      if (!pdu) return std::nullopt;
      if (pdu->nCommandId == commandId && (sequence == 0 || pdu->nSequence == sequence)) return pdu;
    }
    return std::nullopt;
  }

  // Binds as `commandId` (BindTransmitter, BindReceiver, BindTransceiver);
  // the bind_resp's command_status, or nothing without an answer.
  std::optional<uint32_t> Bind(Norvale::Smpp::ECommandId kind, const std::string& systemId, const std::string& password,
                               std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    Pdu pdu;
    pdu.nCommandId = Norvale::Smpp::Id(kind);
    Norvale::Smpp::BindBody body;
    body.sSystemId = systemId;
    body.sPassword = password;
    pdu.Body = body;
    const uint32_t sequence = Send(pdu);
    if (sequence == 0) return std::nullopt;
    const auto answer = ReadUntil(Norvale::Smpp::ResponseOf(pdu.nCommandId), sequence, limit);
    if (!answer) return std::nullopt;
    if (const auto* resp = std::get_if<Norvale::Smpp::BindRespBody>(&answer->Body)) m_sServerSystemId = resp->sSystemId;
    return answer->nCommandStatus;
  }
  const std::string& ServerSystemId() const { return m_sServerSystemId; }

  struct SubmitAnswer {
    std::optional<uint32_t> nStatus;  // nothing: no answer within the limit
    std::string sMessageId;
  };
  // Submits every body with at most `window` unanswered at once; the
  // answers in the order of `bodies`.
  std::vector<SubmitAnswer> Submit(const std::vector<SmppTest::ShortMessageBody>& bodies, unsigned window,
                                   std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    std::vector<SubmitAnswer> answers(bodies.size());
    std::map<uint32_t, size_t> pending;  // sequence -> index
    const Clock::time_point end = Clock::now() + limit;
    size_t next = 0;
    while ((next < bodies.size() || !pending.empty()) && Clock::now() < end) {
      while (next < bodies.size() && pending.size() < window) {
        Pdu pdu;
        pdu.nCommandId = Norvale::Smpp::Id(Norvale::Smpp::ECommandId::SubmitSm);
        pdu.Body = bodies[next];
        const uint32_t sequence = Send(pdu);
        if (sequence == 0) return answers;
        pending[sequence] = next++;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      const std::optional<Pdu> pdu = Read(left);
      if (!pdu) break;
      const auto it = pending.find(pdu->nSequence);
      if (it == pending.end() || (pdu->nCommandId != Norvale::Smpp::Id(Norvale::Smpp::ECommandId::SubmitSmResp) &&
                                  pdu->nCommandId != Norvale::Smpp::Id(Norvale::Smpp::ECommandId::GenericNack)))
        continue;
      answers[it->second].nStatus = pdu->nCommandStatus;
      if (const auto* resp = std::get_if<Norvale::Smpp::MessageIdBody>(&pdu->Body))
        answers[it->second].sMessageId = resp->sMessageId;
      pending.erase(it);
    }
    return answers;
  }
  SubmitAnswer SubmitOne(const SmppTest::ShortMessageBody& body,
                         std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return Submit({body}, 1, limit).front();
  }

  // Sends enquire_link (or unbind) and waits for its response: its status.
  std::optional<uint32_t> Request(Norvale::Smpp::ECommandId command,
                                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    Pdu pdu;
    pdu.nCommandId = Norvale::Smpp::Id(command);
    const uint32_t sequence = Send(pdu);
    if (sequence == 0) return std::nullopt;
    const auto answer = ReadUntil(Norvale::Smpp::ResponseOf(pdu.nCommandId), sequence, limit);
    if (!answer) return std::nullopt;
    return answer->nCommandStatus;
  }

  // Waits until the daemon closes the connection (true) or `limit` passes.
  bool WaitClosed(std::chrono::milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (!m_bClosed && Clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      Read(left);
    }
    return m_bClosed;
  }

  // How deliver_sm are answered: a status (ESME_ROK by default), or not at
  // all (nothing).
  void AnswerDeliveries(std::optional<uint32_t> status) { m_nDeliverAnswer = status; }
  const std::vector<Pdu>& Delivered() const { return m_Delivered; }
  // Waits until `count` deliver_sm have come.
  bool WaitDelivered(size_t count, std::chrono::milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (m_Delivered.size() < count && Clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      std::optional<Pdu> pdu = Read(left);
      if (!pdu && m_bClosed) break;
    }
    return m_Delivered.size() >= count;
  }

 private:
  // Answers what the client answers by itself; true when it was one of them.
  bool Handled(const Pdu& pdu) {
    if (pdu.nCommandId == Norvale::Smpp::Id(Norvale::Smpp::ECommandId::EnquireLink)) {
      Pdu resp;
      resp.nCommandId = Norvale::Smpp::Id(Norvale::Smpp::ECommandId::EnquireLinkResp);
      resp.nSequence = pdu.nSequence;
      Send(resp);
      return true;
    }
    if (pdu.nCommandId == Norvale::Smpp::Id(Norvale::Smpp::ECommandId::DeliverSm)) {
      m_Delivered.push_back(pdu);
      if (m_nDeliverAnswer) {
        Pdu resp;
        resp.nCommandId = Norvale::Smpp::Id(Norvale::Smpp::ECommandId::DeliverSmResp);
        resp.nCommandStatus = *m_nDeliverAnswer;
        resp.nSequence = pdu.nSequence;
        resp.Body = Norvale::Smpp::MessageIdBody{};
        Send(resp);
      }
      return true;
    }
    return false;
  }

  // Reads what comes before `end` into the queue; false on time-out, close
  // or a broken stream.
  bool Fill(Clock::time_point end) {
    if (m_fd < 0 || m_bClosed) return false;
    uint8_t buffer[16384];
    while (true) {
      while (auto next = m_Framer.Next()) {
        const auto decoded = Norvale::Smpp::DecodePdu(*next);
        if (const auto* pdu = std::get_if<Pdu>(&decoded)) m_Queue.push_back(*pdu);
      }
      if (!m_Queue.empty()) return true;
      if (m_Framer.Broken()) return false;
      if (!(m_ssl && SSL_pending(m_ssl) > 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
      }
      const long n = m_ssl ? SSL_read(m_ssl, buffer, sizeof buffer) : recv(m_fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (m_ssl && SSL_get_error(m_ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ) continue;
        m_bClosed = true;
        return false;
      }
      m_Framer.Append({buffer, static_cast<size_t>(n)});
    }
  }

  int m_fd = -1;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  bool m_bClosed = false;
  uint32_t m_nNextSequence = 1;
  Norvale::Smpp::CPduFramer m_Framer{1 << 20};
  std::deque<Pdu> m_Queue;
  std::optional<uint32_t> m_nDeliverAnswer = Norvale::Smpp::ESME_ROK;
  std::vector<Pdu> m_Delivered;
  std::string m_sServerSystemId;
};

class SmppDaemon {
 public:
  // The queue database and the handsets; accounts come with AddAccount and
  // the daemon with Start().
  explicit SmppDaemon(Backend backend) : m_Queues(std::make_unique<ConfiguredQueues>(backend)) {
    for (const int handset : {1, 2}) SmppTest::SetConfigValue("Driver", "simulator", Norvale::HandsetKeyPath(handset));
  }
  ~SmppDaemon() {
    if (m_Process && m_Process->Running()) {
      m_Process->Signal(SIGTERM);
      m_Process->Wait(std::chrono::seconds(10));
    }
  }

  // An account that may bind with `password`; `change` may set more of it
  // (rate, window, binds...) before it is stored.
  Norvale::CApiAccount AddAccount(const std::string& name, const std::string& password,
                                  const std::function<void(Norvale::CApiAccount&)>& change = {}) {
    Norvale::CApiAccount account;
    account.sName = name;
    account.sSmppPasswordHash = Norvale::HashSecret(password);
    if (change) change(account);
    Norvale::CApiAccountStore().Add(account);
    Norvale::CApiAccountStore().Save(account);
    return account;
  }

  // Writes a self-signed certificate and key under NORVALE_ROOT (openssl
  // command) and names them in the configuration; false when it cannot.
  bool MakeTlsCertificate() {
    const std::string dir = Root() + "/smppd-tls";
    std::filesystem::create_directories(dir);
    const CommandResult made =
        RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout " + dir +
                   "/key.pem -out " + dir + "/cert.pem 2>&1");
    if (made.status != 0) return false;
    SmppTest::SetConfigValue("SmppServerTlsCertificate", dir + "/cert.pem");
    SmppTest::SetConfigValue("SmppServerTlsKey", dir + "/key.pem");
    return true;
  }

  // Starts (or starts again) the daemon on free ports, with a TLS listener
  // too when `tls` (MakeTlsCertificate first); false with the reason in
  // Output().
  bool Start(bool tls = false, const std::vector<std::string>& more = {}) {
    std::vector<std::string> argv{
        "/usr/bin/env", "NORVALE_EVENTLOG=stderr", VELQUOR_SMPPD, "--listen", "127.0.0.1", "--port", "0"};
    if (tls) argv.insert(argv.end(), {"--tls-port", "0"});
    argv.insert(argv.end(), more.begin(), more.end());
    m_Process = std::make_unique<ChildProcess>(argv);
    const std::string marker = "listening on 127.0.0.1:";
    if (!m_Process->WaitForOutput(marker, std::chrono::seconds(20))) return false;
    const std::string tlsMarker = "listening (TLS) on 127.0.0.1:";
    if (tls && !m_Process->WaitForOutput(tlsMarker, std::chrono::seconds(20))) return false;
    const std::string output = m_Process->Output();
    m_nPort = std::stoi(output.substr(output.find(marker) + marker.size()));
    if (tls) m_nTlsPort = std::stoi(output.substr(output.find(tlsMarker) + tlsMarker.size()));
    return true;
  }
  // SIGTERM and the exit status (-1: still running after `limit`).
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    m_Process->Signal(SIGTERM);
    return m_Process->Wait(limit);
  }

  int Port() const { return m_nPort; }
  int TlsPort() const { return m_nTlsPort; }
  ChildProcess& Process() { return *m_Process; }
  std::string Output() const { return m_Process ? m_Process->Output() : ""; }
  const TestDatabase& Db() const { return m_Queues->db; }
  long Count(const std::string& table, const std::string& where = "") const {
    return Db().Value("SELECT COUNT(*) AS N FROM " + table + (where.empty() ? "" : " WHERE " + where), "N").ToLong();
  }
  static std::string StatePath() { return Root() + "/run/norvale/velquor-smppd.json"; }

  // A client connected (and bound as `kind` when a system_id is given; the
  // bind must succeed).
  std::unique_ptr<SmppTestClient> Client(Norvale::Smpp::ECommandId kind = Norvale::Smpp::ECommandId::BindTransceiver,
                                         const std::string& systemId = "", const std::string& password = "",
                                         bool tls = false) {
    auto client = std::make_unique<SmppTestClient>();
    EXPECT_TRUE(client->Connect(tls ? m_nTlsPort : m_nPort, tls)) << Output();
    if (!systemId.empty()) {
      EXPECT_EQ(client->Bind(kind, systemId, password), Norvale::Smpp::ESME_ROK) << Output();
    }
    return client;
  }

 private:
  std::unique_ptr<ConfiguredQueues> m_Queues;
  std::unique_ptr<ChildProcess> m_Process;
  int m_nPort = 0;
  int m_nTlsPort = 0;
};

}  // namespace TestSupport
