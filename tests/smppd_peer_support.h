// Peers of velquor-smppd for the cross-process tests: the daemon and the
// engine on a fresh queue under the test's NORVALE_ROOT, accounts with SMPP
// passwords, the SMPP clients of tests/smppd (the npm package smpp and
// Net::SMPP) run as processes, and a raw SMPP client on a plain socket for
// what no well-behaved client sends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "child_process.h"
#include "queue_test_support.h"
#include "server_test_support.h"
#include "smpp/pdu.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"
#include "test_support.h"

namespace SmppdPeers {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace Smpp = Norvale::Smpp;

// An account that may bind with `password`; `adjust` changes it before it
// is saved.
inline void AddAccount(const std::string& name, const std::string& password,
                       const std::function<void(Norvale::CApiAccount&)>& adjust = {}) {
  Norvale::CApiAccountStore store;
  Norvale::CApiAccount account;
  account.sName = name;
  store.Add(account);
  account = *store.Find(name);
  account.sSmppPasswordHash = Norvale::HashSecret(password);
  if (adjust) adjust(account);
  store.Save(account);
}

// velquor-smppd, velquor-server with a simulator handset (quick reports) and
// the queue they share.
class Stack {
 public:
  explicit Stack(TestSupport::Backend backend) : m_Db(backend), m_Root(m_Db.Dsn()) { m_Root.AddSimulator(1); }
  ~Stack() {
    m_Daemon.reset();
    m_Engine.reset();
  }

  // A value of the product key (SmppServer... among them).
  void Set(const std::string& name, const std::string& value) const { m_Root.Set(name, value); }

  // Starts (or starts again) the daemon on a free port; false with its
  // output in DaemonOutput() when it did not say where it listens.
  bool StartDaemon() {
    m_Daemon = std::make_unique<TestSupport::ChildProcess>(
        std::vector<std::string>{VELQUOR_SMPPD, "--listen", "127.0.0.1", "--port", "0"});
    const std::string marker = "listening on 127.0.0.1:";
    if (!m_Daemon->WaitForOutput(marker, std::chrono::seconds(20))) return false;
    const std::string output = m_Daemon->Output();
    m_nPort = std::stoi(output.substr(output.find(marker) + marker.size()));
    return true;
  }
  TestSupport::ChildProcess& Daemon() { return *m_Daemon; }
  std::string DaemonOutput() const { return m_Daemon ? m_Daemon->Output() : "(not started)"; }
  int Port() const { return m_nPort; }

  bool StartEngine() {
    m_Engine = std::make_unique<TestSupport::ServerProcess>(m_Root);
    return m_Engine->StartAndWait();
  }
  std::string EngineErrors() const { return m_Engine ? m_Engine->Errors() : ""; }

  const TestSupport::TestDatabase& Db() const { return m_Db; }
  long Count(const std::string& where, const std::string& table = "SMSOutgoing") const {
    return TestSupport::Count(m_Db, where, table);
  }

 private:
  TestSupport::TestDatabase m_Db;
  TestSupport::EngineRoot m_Root;
  std::unique_ptr<TestSupport::ChildProcess> m_Daemon;
  std::unique_ptr<TestSupport::ServerProcess> m_Engine;
  int m_nPort = 0;
};

// What a client of tests/smppd printed, line by line, and how it ended.
struct ClientRun {
  int status = -1;
  std::vector<Json> events;
  std::string output;

  std::vector<Json> Of(const std::string& event) const {
    std::vector<Json> found;
    for (const Json& e : events)
      if (e.value("event", "") == event) found.push_back(e);
    return found;
  }
};

inline ClientRun ParseClientOutput(const std::string& output, int status) {
  ClientRun run;
  run.status = status;
  run.output = output;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    Json e = Json::parse(line, nullptr, false);
    if (e.is_object()) run.events.push_back(std::move(e));
  }
  return run;
}

// The path of a program in the usual directories, "" when it is not there.
inline std::string Program(const std::string& name) {
  for (const std::string dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin", "/sbin", "/bin"})
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

// The client of tests/smppd for a runtime ("node" or "perl").
inline std::string ClientScript(const std::string& runtime) {
  return std::string(VELQUOR_SMPPD_CLIENTS_DIR) + (runtime == "node" ? "/client.js" : "/client.pl");
}

// The command line of a client with `args`.
inline std::string ClientCommand(const std::string& runtime, const std::string& args) {
  return runtime + " " + ClientScript(runtime) + " " + args;
}

// Runs a client to its end (it has a deadline of its own).
inline ClientRun RunClient(const std::string& runtime, const std::string& args) {
  const TestSupport::CommandResult result = TestSupport::RunCommand(ClientCommand(runtime, args));
  return ParseClientOutput(result.out, result.status);
}

inline bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 20 && text.find_first_not_of("0123456789") == std::string::npos;
}

// A raw SMPP client on a plain socket: it sends what it is told, octets or
// PDUs, and reads PDUs with a bound.
class RawClient {
 public:
  // `receiveBuffer` > 0: SO_RCVBUF before connecting (a small window for a
  // client that does not read).
  explicit RawClient(int port, int receiveBuffer = 0) {
    m_nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_bConnected = connect(m_nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int one = 1;
    setsockopt(m_nFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RawClient() {
    if (m_nFd >= 0) close(m_nFd);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return m_bConnected; }
  int Fd() const { return m_nFd; }

  // Writes all of `octets` (blocking); false when the connection is gone.
  bool Send(std::span<const uint8_t> octets) {
    size_t done = 0;
    while (done < octets.size()) {
      const ssize_t n = send(m_nFd, octets.data() + done, octets.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Writes without blocking; the octets written (0 when the socket is full).
  size_t TrySend(std::span<const uint8_t> octets) {
    const ssize_t n = send(m_nFd, octets.data(), octets.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  bool Send(const Smpp::Pdu& pdu) { return Send(Smpp::EncodePdu(pdu)); }

  // The next PDU within `limit`; nothing at the time-out or when the
  // connection closed (Closed() tells which).
  std::optional<Smpp::Pdu> Read(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
      if (auto octets = m_Framer.Next()) {
        auto decoded = Smpp::DecodePdu(*octets);
        if (auto* pdu = std::get_if<Smpp::Pdu>(&decoded)) return *pdu;
        continue;  // not decodable: skipped
      }
      if (m_bClosed) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd fd{m_nFd, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buffer[65536];
      const ssize_t n = recv(m_nFd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        m_bClosed = true;
        continue;
      }
      m_Framer.Append(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    }
  }
  // Reads until a PDU of `commandId` (others are dropped, deliver_sm
  // answered) or the time-out.
  std::optional<Smpp::Pdu> ReadUntil(uint32_t commandId, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      auto pdu = Read(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
      if (!pdu) return std::nullopt;
      if (pdu->nCommandId == commandId) return pdu;
      AnswerRequest(*pdu);
    }
    return std::nullopt;
  }
  // Waits until the daemon closes the connection; false at the time-out.
  bool WaitClosed(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!m_bClosed && Clock::now() < end) {
      auto pdu = Read(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
      if (pdu) AnswerRequest(*pdu);
    }
    return m_bClosed;
  }
  bool Closed() const { return m_bClosed; }

  // Binds; the bind response's command_status (-1: none came).
  long Bind(const std::string& systemId, const std::string& password,
            Smpp::ECommandId command = Smpp::ECommandId::BindTransceiver) {
    Smpp::BindBody body;
    body.sSystemId = systemId;
    body.sPassword = password;
    const uint32_t sequence = ++m_nSequence;
    if (!Send(Smpp::Pdu{Smpp::Id(command), 0, sequence, body})) return -1;
    auto answer = ReadUntil(Smpp::ResponseOf(Smpp::Id(command)), std::chrono::seconds(20));
    return answer ? static_cast<long>(answer->nCommandStatus) : -1;
  }

  // A submit_sm of `text` to `to`; its sequence number.
  static Smpp::Pdu Submit(uint32_t sequence, const std::string& text, const std::string& to = "447700900123",
                          uint8_t registeredDelivery = 0) {
    Smpp::ShortMessageBody body;
    body.sSourceAddr = "12345";
    body.nDestTon = 1;
    body.nDestNpi = 1;
    body.sDestinationAddr = to;
    body.nRegisteredDelivery = registeredDelivery;
    body.ShortMessage.assign(text.begin(), text.end());
    return Smpp::Pdu{Smpp::Id(Smpp::ECommandId::SubmitSm), 0, sequence, std::move(body)};
  }
  uint32_t NextSequence() { return ++m_nSequence; }

  // Submits one message and waits for its answer: {status, message_id},
  // status -1 when none came.
  std::pair<long, std::string> SubmitAndWait(const std::string& text,
                                             std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const uint32_t sequence = NextSequence();
    if (!Send(Submit(sequence, text))) return {-1, ""};
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      auto pdu = ReadUntil(Smpp::Id(Smpp::ECommandId::SubmitSmResp),
                           std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
      if (!pdu) break;
      if (pdu->nSequence != sequence) continue;
      const auto* id = std::get_if<Smpp::MessageIdBody>(&pdu->Body);
      return {static_cast<long>(pdu->nCommandStatus), id ? id->sMessageId : ""};
    }
    return {-1, ""};
  }

 private:
  // Answers what the daemon asks (deliver_sm, enquire_link, unbind).
  void AnswerRequest(const Smpp::Pdu& pdu) {
    if (Smpp::IsResponse(pdu.nCommandId)) return;
    Smpp::PduBody body;
    if (pdu.Command() == Smpp::ECommandId::DeliverSm) body = Smpp::MessageIdBody{};
    if (pdu.Command() == Smpp::ECommandId::DeliverSm || pdu.Command() == Smpp::ECommandId::EnquireLink ||
        pdu.Command() == Smpp::ECommandId::Unbind)
      Send(Smpp::Pdu{Smpp::ResponseOf(pdu.nCommandId), 0, pdu.nSequence, body});
  }

  int m_nFd = -1;
  bool m_bConnected = false;
  bool m_bClosed = false;
  uint32_t m_nSequence = 0;
  Smpp::CPduFramer m_Framer;
};

// The 16 octets of a PDU header.
inline std::vector<uint8_t> Header(uint32_t length, uint32_t commandId, uint32_t status, uint32_t sequence) {
  std::vector<uint8_t> octets;
  for (const uint32_t v : {length, commandId, status, sequence})
    for (int shift = 24; shift >= 0; shift -= 8) octets.push_back(static_cast<uint8_t>(v >> shift));
  return octets;
}

}  // namespace SmppdPeers
