// The benchmark's SMPP sink as a process, spoken to over a real socket with
// the gateway's own PDU codec.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "smpp/command_status.h"
#include "smpp/pdu.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"

namespace Smpp = Norvale::Smpp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// smpp_sink with its standard output on a pipe.
class SinkProcess {
 public:
  explicit SinkProcess(std::vector<std::string> args) {
    args.insert(args.begin(), SMPP_SINK);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, SMPP_SINK, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    m_out = fds[0];
  }
  ~SinkProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
  }
  SinkProcess(const SinkProcess&) = delete;
  SinkProcess& operator=(const SinkProcess&) = delete;

  // The next line of its output, "" after 5 s or at its end.
  std::string Line() {
    for (auto end = Clock::now() + 5s; Clock::now() < end;) {
      if (auto at = m_buffer.find('\n'); at != std::string::npos) {
        std::string line = m_buffer.substr(0, at);
        m_buffer.erase(0, at + 1);
        return line;
      }
      pollfd p{m_out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(m_out, chunk, sizeof chunk);
      if (n <= 0) break;
      m_buffer.append(chunk, static_cast<size_t>(n));
    }
    return "";
  }
  uint16_t Port() {
    const std::string line = Line();
    return line.rfind("port ", 0) == 0 ? static_cast<uint16_t>(std::stoi(line.substr(5))) : 0;
  }
  void Signal(int nSignal) const { kill(m_pid, nSignal); }
  // The exit status, -1 when it has not ended within 5 s.
  int Wait() {
    for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_buffer;
};

class Client {
 public:
  explicit Client(uint16_t nPort) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_bConnected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { close(m_fd); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return m_bConnected; }
  // False when the sink has closed the connection (it may, once it has
  // answered what it was asked to).
  bool Send(const std::vector<Smpp::Pdu>& pdus) {
    std::vector<uint8_t> out;
    for (const Smpp::Pdu& p : pdus) Smpp::EncodePdu(p, out);
    return send(m_fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  }
  // The next PDU, nothing after 5 s or at the end of the stream.
  std::optional<Smpp::Pdu> Receive() {
    for (auto end = Clock::now() + 5s; Clock::now() < end;) {
      if (auto octets = m_framer.Next()) {
        auto decoded = Smpp::DecodePdu(*octets);
        if (auto* pdu = std::get_if<Smpp::Pdu>(&decoded)) return *pdu;
        return std::nullopt;
      }
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buffer[4096];
      const ssize_t n = read(m_fd, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      m_framer.Append(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    }
    return std::nullopt;
  }

 private:
  int m_fd = -1;
  bool m_bConnected = false;
  Smpp::CPduFramer m_framer;
};

Smpp::Pdu Bind(uint32_t nSequence, const std::string& sSystemId, const std::string& sPassword) {
  return {Smpp::Id(Smpp::ECommandId::BindTransceiver), 0, nSequence,
          Smpp::BindBody{sSystemId, sPassword, "", Smpp::kInterfaceVersion, 0, 0, ""}};
}

Smpp::Pdu Submit(uint32_t nSequence, const std::string& sText = "hi") {
  Smpp::ShortMessageBody body;
  body.sSourceAddr = "Velquor";
  body.nDestTon = 1;
  body.sDestinationAddr = "447700900123";
  body.nRegisteredDelivery = Smpp::kRegisteredDeliveryFinal;
  body.ShortMessage.assign(sText.begin(), sText.end());
  return {Smpp::Id(Smpp::ECommandId::SubmitSm), 0, nSequence, body};
}

Smpp::Pdu Bare(Smpp::ECommandId eCommand, uint32_t nSequence) { return {Smpp::Id(eCommand), 0, nSequence, {}}; }

// A window of 10 submits with a 300 ms delay: the answers are scheduled per
// submit, so all arrive one delay after the window went out (one at a time
// would take 3 s), each followed by its receipt; the sink exits after the
// tenth and counts right.
TEST(SmppSink, AnswersAWindowInOneDelayWithReceiptsAndCounts) {
  SinkProcess sink({"--delay-ms=300", "--receipts", "--exit-after=10"});
  const uint16_t port = sink.Port();
  ASSERT_NE(port, 0);
  Client client(port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send({Bind(1, "anyone", "anything"), Bare(Smpp::ECommandId::EnquireLink, 2)}));
  auto bound = client.Receive();
  ASSERT_TRUE(bound);
  EXPECT_EQ(bound->Command(), Smpp::ECommandId::BindTransceiverResp);
  EXPECT_EQ(bound->nCommandStatus, Smpp::ESME_ROK);
  auto linked = client.Receive();
  ASSERT_TRUE(linked);
  EXPECT_EQ(linked->Command(), Smpp::ECommandId::EnquireLinkResp);
  EXPECT_EQ(linked->nSequence, 2u);

  std::vector<Smpp::Pdu> window;
  for (uint32_t s = 10; s < 20; ++s) window.push_back(Submit(s));
  const auto sent = Clock::now();
  ASSERT_TRUE(client.Send(window));
  std::set<uint32_t> answered;
  std::set<std::string> ids, receipted;
  Clock::duration first{}, last{};
  while (answered.size() < 10 || receipted.size() < 10) {
    auto pdu = client.Receive();
    ASSERT_TRUE(pdu) << answered.size() << " answers, " << receipted.size() << " receipts";
    if (pdu->Command() == Smpp::ECommandId::SubmitSmResp) {
      if (answered.empty()) first = Clock::now() - sent;
      last = Clock::now() - sent;
      EXPECT_EQ(pdu->nCommandStatus, Smpp::ESME_ROK);
      answered.insert(pdu->nSequence);
      ids.insert(std::get<Smpp::MessageIdBody>(pdu->Body).sMessageId);
    } else {
      ASSERT_EQ(pdu->Command(), Smpp::ECommandId::DeliverSm);
      const auto& body = std::get<Smpp::ShortMessageBody>(pdu->Body);
      EXPECT_EQ(body.nEsmClass, Smpp::kEsmTypeReceipt);
      EXPECT_EQ(body.sDestinationAddr, "Velquor");
      ASSERT_TRUE(body.sReceiptedMessageId);
      EXPECT_TRUE(ids.count(*body.sReceiptedMessageId)) << "a receipt before its answer";
      receipted.insert(*body.sReceiptedMessageId);
      (void)client.Send({{Smpp::Id(Smpp::ECommandId::DeliverSmResp), 0, pdu->nSequence, Smpp::MessageIdBody{}}});
    }
  }
  EXPECT_EQ(answered.size(), 10u);
  EXPECT_EQ(ids.size(), 10u);
  EXPECT_GE(first, 300ms) << "the delay was not kept";
  // Serialised answers would take 3 s; the margin is for a loaded machine.
  EXPECT_LT(last, 2s) << "the answers were not scheduled in parallel";

  const std::string summary = sink.Line();
  EXPECT_NE(summary.find("\"submits\":10,\"binds\":1,\"enquire_links\":1,\"receipts\":10,"), std::string::npos)
      << summary;
  EXPECT_EQ(sink.Wait(), 0);
}

// Configured credentials are checked, a submit before a bind is refused, an
// unbind is answered and the connection closed, SIGTERM ends it with its
// summary.
TEST(SmppSink, ChecksBindsAnswersUnbindAndStopsOnSigterm) {
  SinkProcess sink({"--system-id=bench", "--password=secret"});
  const uint16_t port = sink.Port();
  ASSERT_NE(port, 0);
  Client client(port);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send({Submit(1), Bind(2, "bench", "wrong"), Bind(3, "other", "secret"), Bind(4, "bench", "secret"),
                           Submit(5), Bare(Smpp::ECommandId::Unbind, 6)}));
  const std::vector<std::pair<Smpp::ECommandId, uint32_t>> expected{
      {Smpp::ECommandId::SubmitSmResp, Smpp::ESME_RINVBNDSTS},
      {Smpp::ECommandId::BindTransceiverResp, Smpp::ESME_RINVPASWD},
      {Smpp::ECommandId::BindTransceiverResp, Smpp::ESME_RINVSYSID},
      {Smpp::ECommandId::BindTransceiverResp, Smpp::ESME_ROK},
      {Smpp::ECommandId::SubmitSmResp, Smpp::ESME_ROK},
      {Smpp::ECommandId::UnbindResp, Smpp::ESME_ROK}};
  for (const auto& [command, status] : expected) {
    auto pdu = client.Receive();
    ASSERT_TRUE(pdu);
    EXPECT_EQ(pdu->Command(), command);
    EXPECT_EQ(pdu->nCommandStatus, status);
  }
  EXPECT_FALSE(client.Receive()) << "the connection stays open after unbind";
  sink.Signal(SIGTERM);
  const std::string summary = sink.Line();
  EXPECT_EQ(summary.rfind("{\"submits\":1,\"binds\":1,", 0), 0u) << summary;
  EXPECT_EQ(sink.Wait(), 0);
}

// --drop-every=3 with answers 200 ms late: the third submit closes the
// connection with three unanswered; after a new bind the count goes on. The
// dump holds every text that arrived, the one after the drop's included, a
// repeated text counted as such.
TEST(SmppSink, DropsTheConnectionWithItsWindowAndDumpsEveryText) {
  const std::string dump = ::testing::TempDir() + "sink-dump-" + std::to_string(getpid());
  std::remove(dump.c_str());
  SinkProcess sink({"--delay-ms=200", "--drop-every=3", "--dump=" + dump});
  const uint16_t port = sink.Port();
  ASSERT_NE(port, 0);
  {
    Client client(port);
    ASSERT_TRUE(client.Send({Bind(1, "a", "b")}));
    ASSERT_TRUE(client.Receive());
    (void)client.Send({Submit(2, "one"), Submit(3, "two"), Submit(4, "three\\\n"), Submit(5, "lost")});
    EXPECT_FALSE(client.Receive()) << "an answer came from a dropped connection";
  }
  Client again(port);
  ASSERT_TRUE(again.Send({Bind(1, "a", "b"), Submit(2, "one"), Submit(3, "four")}));
  std::set<Smpp::ECommandId> answers;
  for (int i = 0; i < 3; ++i)
    if (auto pdu = again.Receive()) answers.insert(pdu->Command());
  EXPECT_EQ(answers,
            (std::set<Smpp::ECommandId>{Smpp::ECommandId::BindTransceiverResp, Smpp::ECommandId::SubmitSmResp}));
  sink.Signal(SIGTERM);
  const std::string summary = sink.Line();
  EXPECT_NE(summary.find("\"drops\":1,\"repeats\":1}"), std::string::npos) << summary;
  EXPECT_EQ(summary.rfind("{\"submits\":5,\"binds\":2,", 0), 0u) << summary;
  EXPECT_EQ(sink.Wait(), 0);
  std::ifstream in(dump);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "one\ntwo\nthree\\x5C\\x0A\none\nfour\n");
  std::remove(dump.c_str());
}

// --times stamps each text with its arrival (seconds since the epoch, taken
// between the send and the answer), --progress reports every second submit
// as it comes, before the summary.
TEST(SmppSink, StampsEachTextAndReportsProgress) {
  const std::string times = ::testing::TempDir() + "sink-times-" + std::to_string(getpid());
  std::remove(times.c_str());
  SinkProcess sink({"--progress=2", "--times=" + times, "--exit-after=5"});
  const uint16_t port = sink.Port();
  ASSERT_NE(port, 0);
  Client client(port);
  ASSERT_TRUE(client.Send({Bind(1, "a", "b")}));
  ASSERT_TRUE(client.Receive());
  auto epoch = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  const double before = epoch();
  ASSERT_TRUE(client.Send({Submit(2, "m 1"), Submit(3, "m 2"), Submit(4, "m\n3")}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.Receive());
  const double after = epoch();
  EXPECT_EQ(sink.Line(), "submits 2") << "no progress before the summary";
  (void)client.Send({Submit(5, "m 4"), Submit(6, "m 5")});
  EXPECT_EQ(sink.Line(), "submits 4");
  EXPECT_EQ(sink.Line().rfind("{\"submits\":5,", 0), 0u);
  EXPECT_EQ(sink.Wait(), 0);
  std::ifstream in(times);
  std::vector<std::string> texts;
  double stamp = 0;
  std::string text;
  for (int i = 0; i < 3 && in >> stamp && std::getline(in, text); ++i) {
    EXPECT_GE(stamp, before - 0.001);
    EXPECT_LE(stamp, after + 0.001);
    texts.push_back(text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{" m 1", " m 2", " m\\x0A3"}));
  std::remove(times.c_str());
}

TEST(SmppSink, RefusesAnUnknownOption) {
  SinkProcess sink({"--delay=5"});
  EXPECT_EQ(sink.Port(), 0);
  EXPECT_EQ(sink.Wait(), 2);
}

}  // namespace
