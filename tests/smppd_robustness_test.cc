// velquor-smppd against clients that misbehave, over raw sockets: lengths
// that cannot frame a PDU, a body cut short and then silence, commands it
// does not know, one account flooding binds and submits, one that never
// reads its socket, and the daemon killed under a real client's load. Other
// accounts keep being served; every message_id answered is a job.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "smpp/command_status.h"
#include "smppd_peer_support.h"

namespace {

using namespace std::chrono_literals;
using SmppdPeers::Json;
using SmppdPeers::RawClient;
namespace Smpp = Norvale::Smpp;

constexpr uint32_t kGenericNack = 0x80000000;
constexpr uint32_t kStatusInvalidLength = 0x02;   // ESME_RINVCMDLEN
constexpr uint32_t kStatusInvalidCommand = 0x03;  // ESME_RINVCMDID
constexpr uint32_t kStatusThrottled = 0x58;       // ESME_RTHROTTLED

class SmppdRobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stack = std::make_unique<SmppdPeers::Stack>(TestSupport::Backend::Sqlite);
    SmppdPeers::AddAccount("calm", "secret1");
  }
  void StartDaemon() { ASSERT_TRUE(stack->StartDaemon()) << stack->DaemonOutput(); }

  // The account "calm" binds and has `count` submits answered ESME_ROK, one
  // at a time, each a job.
  void ExpectCalmServed(int count, const std::string& tag) {
    RawClient calm(stack->Port());
    ASSERT_EQ(calm.Bind("calm", "secret1"), 0) << tag << stack->DaemonOutput();
    for (int i = 0; i < count; ++i) {
      const auto [status, id] = calm.SubmitAndWait("calm " + tag + " " + std::to_string(i));
      ASSERT_EQ(status, 0) << tag << " submit " << i << stack->DaemonOutput();
      ASSERT_TRUE(SmppdPeers::IsDecimal(id)) << id;
      EXPECT_EQ(stack->Count("Id=" + id + " AND SourceId='calm'"), 1) << id;
    }
  }

  std::unique_ptr<SmppdPeers::Stack> stack;
};

TEST_F(SmppdRobustnessTest, LengthsThatCannotFrameAPduAreNackedAndTheConnectionClosed) {
  StartDaemon();
  // 0 and 5: shorter than the header; 2^31: far beyond any PDU.
  for (const uint32_t length : {0u, 5u, 0x80000000u}) {
    RawClient bad(stack->Port());
    ASSERT_TRUE(bad.Connected());
    ASSERT_TRUE(bad.Send(SmppdPeers::Header(length, Smpp::Id(Smpp::ECommandId::BindTransceiver), 0, 7)));
    const auto nack = bad.Read(15s);
    ASSERT_TRUE(nack.has_value()) << "length " << length << ": no answer" << stack->DaemonOutput();
    EXPECT_EQ(nack->nCommandId, kGenericNack) << "length " << length;
    EXPECT_EQ(nack->nCommandStatus, kStatusInvalidLength) << "length " << length;
    EXPECT_TRUE(bad.WaitClosed(15s)) << "length " << length << ": the connection stays open";
  }
  ExpectCalmServed(3, "after bad lengths");
  EXPECT_EQ(stack->Count(""), 3);
}

TEST_F(SmppdRobustnessTest, UnknownCommandsAreNackedAndTheBindGoesOn) {
  StartDaemon();
  RawClient client(stack->Port());
  ASSERT_EQ(client.Bind("calm", "secret1"), 0) << stack->DaemonOutput();
  // data_sm (not served), a command id of nobody, and a response id nobody
  // asked for.
  const std::vector<std::pair<uint32_t, uint32_t>> unknown = {{0x00000103, 41}, {0x12345678, 42}};
  for (const auto& [command, sequence] : unknown) {
    auto octets = SmppdPeers::Header(16, command, 0, sequence);
    if (command == 0x00000103) {
      // a data_sm with a body, as a client would send it
      const std::vector<uint8_t> body = {0, 0, 0, '1', '2', 0, 1, 1, '4', '4', '7', 0, 0, 0, 0};
      octets.insert(octets.end(), body.begin(), body.end());
      octets[3] = static_cast<uint8_t>(octets.size());
    }
    ASSERT_TRUE(client.Send(octets));
    const auto nack = client.ReadUntil(kGenericNack, 15s);
    ASSERT_TRUE(nack.has_value()) << std::hex << command << stack->DaemonOutput();
    EXPECT_EQ(nack->nSequence, sequence);
    EXPECT_EQ(nack->nCommandStatus, kStatusInvalidCommand);
  }
  const auto [status, id] = client.SubmitAndWait("still bound");
  EXPECT_EQ(status, 0) << stack->DaemonOutput();
  EXPECT_TRUE(SmppdPeers::IsDecimal(id)) << id;
  EXPECT_EQ(stack->Count(""), 1);
}

TEST_F(SmppdRobustnessTest, ABodyCutShortThenSilenceIsClosedAfterTheTimeOut) {
  stack->Set("SmppServerBindSeconds", "2");
  stack->Set("SmppServerEnquireLinkSeconds", "2");
  stack->Set("SmppServerResponseSeconds", "2");
  StartDaemon();
  // Before a bind: a bind_transceiver announced as 100 octets, 30 sent.
  RawClient unbound(stack->Port());
  auto half = SmppdPeers::Header(100, Smpp::Id(Smpp::ECommandId::BindTransceiver), 0, 1);
  half.resize(30, 'x');
  ASSERT_TRUE(unbound.Send(half));
  // Bound: a submit_sm announced as 200 octets, 40 sent; the client answers
  // none of the daemon's enquire_link after it.
  RawClient bound(stack->Port());
  ASSERT_EQ(bound.Bind("calm", "secret1"), 0);
  auto cut = SmppdPeers::Header(200, Smpp::Id(Smpp::ECommandId::SubmitSm), 0, 9);
  cut.resize(40, 'y');
  ASSERT_TRUE(bound.Send(cut));

  ExpectCalmServed(3, "while two connections hang");
  // Silence: neither says another word. Both are closed within the time-outs
  // (a few seconds), not kept for ever.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(unbound.WaitClosed(30s)) << stack->DaemonOutput();
  EXPECT_TRUE(TestSupport::WaitUntil(
      [&] {
        // the bound one: not answering the daemon's enquire_link either
        char octet = 0;
        const ssize_t n = recv(bound.Fd(), &octet, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      },
      30000))
      << stack->DaemonOutput();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(stack->Count("SourceId='calm'"), 3) << "the cut submit queued something";
}

TEST_F(SmppdRobustnessTest, AFloodOfBindsAndSubmitsIsThrottledWhileAnotherAccountIsServed) {
  SmppdPeers::AddAccount("flood", "secret2", [](Norvale::CApiAccount& account) {
    account.nSmppMaxBinds = 2;
    account.nSmppWindow = 20;
    account.dRatePerSecond = 100;
    account.nBurst = 100;
  });
  StartDaemon();
  // Binds beyond the account's two are refused.
  std::vector<std::unique_ptr<RawClient>> binds;
  int accepted = 0, refused = 0;
  for (int i = 0; i < 10; ++i) {
    binds.push_back(std::make_unique<RawClient>(stack->Port()));
    const long status = binds.back()->Bind("flood", "secret2");
    ASSERT_GE(status, 0) << "bind " << i << " not answered" << stack->DaemonOutput();
    (status == 0 ? accepted : refused)++;
  }
  EXPECT_EQ(accepted, 2);
  EXPECT_EQ(refused, 8);

  // The first bind sends 3000 submits without waiting for answers.
  constexpr int kFlood = 3000;
  std::map<uint32_t, std::pair<long, std::string>> answers;  // sequence -> status, message_id
  std::thread flooder([&] {
    RawClient& flood = *binds.front();
    auto drain = [&](std::chrono::milliseconds limit) {
      while (auto pdu = flood.ReadUntil(Smpp::Id(Smpp::ECommandId::SubmitSmResp), limit)) {
        const auto* id = std::get_if<Smpp::MessageIdBody>(&pdu->Body);
        answers[pdu->nSequence] = {static_cast<long>(pdu->nCommandStatus), id ? id->sMessageId : ""};
        if (answers.size() == static_cast<size_t>(kFlood)) return;
        limit = 1ms;
      }
    };
    for (int i = 0; i < kFlood; ++i) {
      if (!flood.Send(RawClient::Submit(flood.NextSequence(), "flood " + std::to_string(i)))) return;
      if (i % 50 == 49) drain(1ms);
    }
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (answers.size() < static_cast<size_t>(kFlood) && std::chrono::steady_clock::now() < end && !flood.Closed())
      drain(1s);
  });
  ExpectCalmServed(20, "during the flood");
  flooder.join();

  ASSERT_EQ(answers.size(), static_cast<size_t>(kFlood)) << "submits of the flood left unanswered";
  long ok = 0, throttled = 0;
  for (const auto& [sequence, answer] : answers) {
    if (answer.first == 0) {
      ++ok;
      ASSERT_TRUE(SmppdPeers::IsDecimal(answer.second)) << answer.second;
      EXPECT_EQ(stack->Count("Id=" + answer.second + " AND SourceId='flood'"), 1) << answer.second;
    } else {
      EXPECT_EQ(answer.first, kStatusThrottled) << "submit " << sequence;
      ++throttled;
    }
  }
  EXPECT_GT(ok, 0);
  EXPECT_GT(throttled, 0) << "3000 submits at once beyond a window of 20 and 100 a second";
  // Nothing queued silently: the account's jobs are exactly the accepted ones.
  EXPECT_EQ(stack->Count("SourceId='flood'"), ok);
  EXPECT_EQ(stack->Count("SourceId='calm'"), 20);
}

TEST_F(SmppdRobustnessTest, AClientThatNeverReadsDoesNotStopAnotherAccount) {
  SmppdPeers::AddAccount("deaf", "secret3");
  StartDaemon();
  // A small receive buffer: the daemon's answers fill it at once.
  RawClient deaf(stack->Port(), 4096);
  ASSERT_EQ(deaf.Bind("deaf", "secret3"), 0) << stack->DaemonOutput();
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread writer([&] {
    // Submits until its own socket is full for two seconds (the daemon no
    // longer reads it) or 20000 went, never reading an answer.
    std::vector<uint8_t> pending;
    auto stuckSince = std::chrono::steady_clock::now();
    while (!stop && sent < 20000) {
      if (pending.empty()) pending = Smpp::EncodePdu(RawClient::Submit(deaf.NextSequence(), "deaf"));
      const size_t n = deaf.TrySend(pending);
      if (n > 0) {
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
        if (pending.empty()) ++sent;
        stuckSince = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - stuckSince > 2s) {
        break;
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
  });
  // Give the deaf client time to fill both directions.
  TestSupport::WaitUntil([&] { return sent > 2000; }, 10000);
  ExpectCalmServed(20, "while a client does not read");
  stop = true;
  writer.join();
  EXPECT_TRUE(stack->Daemon().Running()) << stack->DaemonOutput();
  // What the deaf client got accepted is bounded by what it sent.
  EXPECT_LE(stack->Count("SourceId='deaf'"), sent.load());
  ExpectCalmServed(2, "after the deaf client");
}

TEST_F(SmppdRobustnessTest, KilledUnderAClientsLoadEveryAnsweredMessageIsAJob) {
  SmppdPeers::AddAccount("acme", "secret1");
  StartDaemon();
  const std::string node = SmppdPeers::Program("node");
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh)";
  constexpr int kWindow = 50;
  TestSupport::ChildProcess client({node, SmppdPeers::ClientScript("node"), "--port", std::to_string(stack->Port()),
                                    "--system-id", "acme", "--password", "secret1", "--kinds", "text", "--count",
                                    "5000", "--window", std::to_string(kWindow), "--registered-delivery", "0",
                                    "--deadline", "120"});
  auto answered = [&] {
    const std::string out = client.Output();
    long n = 0;
    for (size_t at = out.find("submit_resp"); at != std::string::npos; at = out.find("submit_resp", at + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return answered() >= 300; }, 60000))
      << client.Output() << stack->DaemonOutput();
  stack->Daemon().Signal(SIGKILL);
  ASSERT_NE(client.Wait(30s), -1) << "the client did not notice the daemon's end";

  const auto run = SmppdPeers::ParseClientOutput(client.Output(), 1);
  std::set<std::string> ids;
  for (const Json& answer : run.Of("submit_resp")) {
    if (answer.value("status", -1) != 0) continue;
    const std::string id = answer.value("message_id", "");
    ASSERT_TRUE(SmppdPeers::IsDecimal(id)) << answer.dump();
    ids.insert(id);
    EXPECT_EQ(stack->Count("Id=" + id + " AND SourceType=11 AND SourceId='acme'"), 1)
        << "message_id " << id << " answered but not queued";
  }
  ASSERT_GE(ids.size(), 300u);
  // Jobs beyond the answered ones: only submits in flight when it died.
  const long jobs = stack->Count("SourceId='acme'");
  EXPECT_GE(jobs, static_cast<long>(ids.size()));
  EXPECT_LE(jobs, static_cast<long>(ids.size()) + kWindow);
  // Each message (its own text) queued once.
  EXPECT_EQ(stack->Db()
                .Value("SELECT COUNT(*) AS N FROM (SELECT Data FROM SMSOutgoing WHERE SourceId='acme' GROUP BY Data "
                       "HAVING COUNT(*) > 1) AS D",
                       "N")
                .ToLong(),
            0);

  // Started again, it takes the client's next submits with new identifiers.
  StartDaemon();
  const auto again = SmppdPeers::RunClient(
      "node", "--port " + std::to_string(stack->Port()) +
                  " --system-id acme --password secret1 --kinds text --count 10 --registered-delivery 0 --deadline 60");
  ASSERT_EQ(again.status, 0) << again.output << stack->DaemonOutput();
  for (const Json& answer : again.Of("submit_resp")) {
    const std::string id = answer.value("message_id", "");
    EXPECT_EQ(answer.value("status", -1), 0);
    EXPECT_EQ(ids.count(id), 0u) << "message_id " << id << " given again";
  }
  EXPECT_EQ(stack->Count("SourceId='acme'"), jobs + 10);
}

}  // namespace

TEST_F(SmppdRobustnessTest, ReceiptsOfMessagesAnsweredBeforeAKillReachTheClientAfterTheRestart) {
  SmppdPeers::AddAccount("acme", "secret1");
  StartDaemon();
  const std::string node = SmppdPeers::Program("node");
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh)";
  // Six messages asking for receipts, answered; then the daemon dies.
  TestSupport::ChildProcess client({node, SmppdPeers::ClientScript("node"), "--port", std::to_string(stack->Port()),
                                    "--system-id", "acme", "--password", "secret1", "--kinds", "text", "--count", "6",
                                    "--registered-delivery", "1", "--deadline", "120"});
  auto answered = [&] { return SmppdPeers::ParseClientOutput(client.Output(), -1).Of("submit_resp"); };
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return answered().size() == 6; }, 30000))
      << client.Output() << stack->DaemonOutput();
  std::set<std::string> ids;
  for (const Json& answer : answered()) ids.insert(answer.value("message_id", ""));
  stack->Daemon().Signal(SIGKILL);
  ASSERT_NE(client.Wait(30s), -1);

  // The engine delivers them while the daemon is away: their notifications
  // wait in the queue.
  ASSERT_TRUE(stack->StartEngine()) << stack->EngineErrors();
  // (each job's final notification: sent and confirmed, JobStatus 2).
  ASSERT_TRUE(TestSupport::WaitUntil(
      [&] { return stack->Count("SourceType=11 AND JobStatus=2", "SMSNotifications") == 6; }, 60000))
      << "the engine did not deliver the jobs: " << stack->EngineErrors();

  // Started again, the daemon gives the client (bound anew, sending nothing)
  // every receipt.
  StartDaemon();
  const auto after = SmppdPeers::RunClient(
      "node", "--port " + std::to_string(stack->Port()) +
                  " --system-id acme --password secret1 --count 0 --expect-receipts 6 --deadline 60");
  ASSERT_EQ(after.status, 0) << after.output << stack->DaemonOutput();
  std::set<std::string> receipted;
  for (const Json& deliver : after.Of("deliver")) {
    EXPECT_EQ(deliver.value("esm_class", 0), 0x04) << deliver.dump();
    EXPECT_NE(deliver.value("text", "").find("stat:DELIVRD"), std::string::npos) << deliver.dump();
    receipted.insert(deliver.value("receipted_message_id", ""));
  }
  EXPECT_EQ(receipted, ids) << after.output;
}
