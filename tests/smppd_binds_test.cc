// velquor-smppd's binds, as a process on loopback over a fresh SQLite or
// PostgreSQL queue, with the SMPP test client of smppd_test_support.h:
// bind kinds and refusals, the per-address failure limit, the per-account
// limits (binds, rate), enquire_link and unbind both ways, TLS, a client
// that never reads, the state file and the end on SIGTERM.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "smppd_test_support.h"

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Norvale::Smpp::ECommandId;
using TestSupport::SmppTestClient;
using TestSupport::SmppTest::TextSubmit;
namespace Smpp = Norvale::Smpp;

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// A number of an account in the state file (-1: absent).
long AccountValue(const Json& state, const std::string& account, const std::string& key) {
  if (!state.is_object() || !state.contains("accounts") || !state["accounts"].contains(account)) return -1;
  return state["accounts"][account].value(key, -1L);
}

// The state file once `ready` holds for it (or the last one read).
Json WaitForState(const std::function<bool(const Json&)>& ready, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  Json state;
  while (std::chrono::steady_clock::now() < end) {
    std::ifstream file(TestSupport::SmppDaemon::StatePath());
    state = Json::parse(file, nullptr, false);
    if (!state.is_discarded() && ready(state)) return state;
    std::this_thread::sleep_for(50ms);
  }
  return state;
}

class SmppdBindsTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    daemon = std::make_unique<TestSupport::SmppDaemon>(GetParam());
    daemon->AddAccount("acme", "secret1", [](Norvale::CApiAccount& a) { a.nSmppMaxBinds = 3; });
  }
  void Start(bool tls = false) { ASSERT_TRUE(daemon->Start(tls)) << daemon->Output(); }

  std::unique_ptr<TestSupport::SmppDaemon> daemon;
};

TEST_P(SmppdBindsTest, BindsEachKindAndShowsThemInTheStateFile) {
  Start();
  auto transmitter = daemon->Client(ECommandId::BindTransmitter, "acme", "secret1");
  EXPECT_EQ(transmitter->ServerSystemId(), "velquor");
  auto receiver = daemon->Client(ECommandId::BindReceiver, "acme", "secret1");
  auto transceiver = daemon->Client(ECommandId::BindTransceiver, "acme", "secret1");
  // A receiver may not submit.
  EXPECT_EQ(receiver->SubmitOne(TextSubmit("+4915112345678", "hi")).nStatus, Smpp::ESME_RINVBNDSTS);
  // A second bind on the same connection.
  EXPECT_EQ(transceiver->Bind(ECommandId::BindTransceiver, "acme", "secret1"), Smpp::ESME_RALYBND);

  const Json state = WaitForState([](const Json& s) { return AccountValue(s, "acme", "binds") == 3; });
  ASSERT_TRUE(state.is_object()) << daemon->Output();
  EXPECT_GT(state.value("pid", 0), 0);
  EXPECT_EQ(state["listen"], Json::array({"127.0.0.1:" + std::to_string(daemon->Port())}));
  ASSERT_EQ(AccountValue(state, "acme", "binds"), 3) << state;
  const Json& acme = state["accounts"]["acme"];
  EXPECT_EQ(acme.value("binds", 0), 3) << state;
  EXPECT_EQ(acme.value("transmitters", 0), 1);
  EXPECT_EQ(acme.value("receivers", 0), 1);
  EXPECT_EQ(acme.value("transceivers", 0), 1);
  EXPECT_EQ(acme.value("window_max", 0), 300);
  EXPECT_EQ(acme.value("window", -1), 0);

  // The client unbinds: unbind_resp, then the daemon closes; the state
  // follows.
  EXPECT_EQ(receiver->Request(ECommandId::Unbind), Smpp::ESME_ROK);
  EXPECT_TRUE(receiver->WaitClosed(10s));
  const Json after = WaitForState([](const Json& s) { return AccountValue(s, "acme", "binds") == 2; });
  EXPECT_EQ(AccountValue(after, "acme", "receivers"), 0) << after;
}

TEST_P(SmppdBindsTest, RefusesWrongPasswordsAndUnknownAccountsAndLogsNoPassword) {
  daemon->AddAccount("nopass", "x", [](Norvale::CApiAccount& a) { a.sSmppPasswordHash.clear(); });
  Start();
  SmppTestClient client;
  ASSERT_TRUE(client.Connect(daemon->Port()));
  EXPECT_EQ(client.Bind(ECommandId::BindTransceiver, "acme", "wrong77"), Smpp::ESME_RINVPASWD);
  EXPECT_EQ(client.Bind(ECommandId::BindTransceiver, "nobody", "secret1"), Smpp::ESME_RINVSYSID);
  EXPECT_EQ(client.Bind(ECommandId::BindTransceiver, "nopass", "x"), Smpp::ESME_RINVSYSID);
  EXPECT_EQ(client.Bind(ECommandId::BindTransceiver, "bad name!", "x"), Smpp::ESME_RINVSYSID);
  // Refused binds leave the connection open for another try.
  EXPECT_EQ(client.Bind(ECommandId::BindTransmitter, "acme", "secret1"), Smpp::ESME_ROK);
  const std::string log = daemon->Output();
  EXPECT_NE(log.find("SMPP bind refused for the account acme from 127.0.0.1: a wrong password"), std::string::npos)
      << log;
  EXPECT_NE(log.find("account nobody from 127.0.0.1: no such account"), std::string::npos) << log;
  EXPECT_NE(log.find("account (not a valid name)"), std::string::npos) << log;
  EXPECT_EQ(log.find("wrong77"), std::string::npos) << log;
}

TEST_P(SmppdBindsTest, LimitsTheBindsOfAnAccount) {
  daemon->AddAccount("small", "pw", [](Norvale::CApiAccount& a) { a.nSmppMaxBinds = 2; });
  Start();
  auto first = daemon->Client(ECommandId::BindTransmitter, "small", "pw");
  auto second = daemon->Client(ECommandId::BindReceiver, "small", "pw");
  SmppTestClient third;
  ASSERT_TRUE(third.Connect(daemon->Port()));
  EXPECT_EQ(third.Bind(ECommandId::BindTransceiver, "small", "pw"), Smpp::ESME_RBINDFAIL);
  // Another account is not limited by it.
  auto other = daemon->Client(ECommandId::BindTransceiver, "acme", "secret1");
  // A place freed is taken again.
  first->Close();
  const auto end = std::chrono::steady_clock::now() + 10s;
  std::optional<uint32_t> status;
  while (std::chrono::steady_clock::now() < end &&
         (status = third.Bind(ECommandId::BindTransceiver, "small", "pw")) != Smpp::ESME_ROK)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(status, Smpp::ESME_ROK) << daemon->Output();
}

TEST_P(SmppdBindsTest, AThousandWrongBindsRunScryptTenTimesThenAnotherAddressBinds) {
  Start();
  SmppTestClient client;
  ASSERT_TRUE(client.Connect(daemon->Port()));
  std::map<uint32_t, int> statuses;
  const auto end = std::chrono::steady_clock::now() + 120s;
  int sent = 0;
  for (; sent < 1000 && std::chrono::steady_clock::now() < end; ++sent) {
    const auto status = client.Bind(ECommandId::BindTransceiver, "acme", "guess" + std::to_string(sent % 1000));
    ASSERT_TRUE(status) << sent << daemon->Output().substr(0, 2000);
    ++statuses[*status];
  }
  ASSERT_EQ(sent, 1000);
  EXPECT_EQ(statuses[Smpp::ESME_RINVPASWD], 10);
  EXPECT_EQ(statuses[Smpp::ESME_RBINDFAIL], 990);
  // Only the first ten were checked (and logged); the rest cost no scrypt.
  const std::string log = daemon->Output();
  EXPECT_EQ(Occurrences(log, ": a wrong password."), 10u);
  EXPECT_NE(log.find("further binds from 127.0.0.1 are refused unchecked"), std::string::npos);
  // The right password from the locked address is refused too ...
  EXPECT_EQ(client.Bind(ECommandId::BindTransceiver, "acme", "secret1"), Smpp::ESME_RBINDFAIL);
  // ... and from another address it binds.
  SmppTestClient other;
  ASSERT_TRUE(other.Connect(daemon->Port(), false, "127.0.0.2"));
  EXPECT_EQ(other.Bind(ECommandId::BindTransceiver, "acme", "secret1"), Smpp::ESME_ROK) << daemon->Output();
}

TEST_P(SmppdBindsTest, AnswersEnquireLinkAndSendsItsOwn) {
  TestSupport::SmppTest::SetConfigValue("SmppServerEnquireLinkSeconds", "1");
  Start();
  SmppTestClient client;
  ASSERT_TRUE(client.Connect(daemon->Port()));
  EXPECT_EQ(client.Request(ECommandId::EnquireLink), Smpp::ESME_ROK);  // before a bind too
  ASSERT_EQ(client.Bind(ECommandId::BindTransceiver, "acme", "secret1"), Smpp::ESME_ROK);
  EXPECT_EQ(client.Request(ECommandId::EnquireLink), Smpp::ESME_ROK);
  // Quiet for a second: the daemon asks.
  const auto pdu = client.Read(10s, true);
  ASSERT_TRUE(pdu);
  EXPECT_EQ(pdu->nCommandId, Smpp::Id(ECommandId::EnquireLink));
}

TEST_P(SmppdBindsTest, ThrottlesSubmitsBeyondTheAccountsRate) {
  daemon->AddAccount("slow", "pw", [](Norvale::CApiAccount& a) {
    a.dRatePerSecond = 0.1;
    a.nBurst = 5;
  });
  Start();
  auto client = daemon->Client(ECommandId::BindTransmitter, "slow", "pw");
  std::vector<Smpp::ShortMessageBody> bodies(20, TextSubmit("+4915112345678", "hello"));
  const auto answers = client->Submit(bodies, 20);
  int accepted = 0, throttled = 0;
  for (const auto& answer : answers) {
    ASSERT_TRUE(answer.nStatus) << daemon->Output();
    if (*answer.nStatus == Smpp::ESME_ROK) ++accepted;
    if (*answer.nStatus == Smpp::ESME_RTHROTTLED) ++throttled;
  }
  EXPECT_GE(accepted, 5);
  EXPECT_LE(accepted, 6);  // a token may grow meanwhile
  EXPECT_EQ(accepted + throttled, 20);
  EXPECT_EQ(daemon->Count("SMSOutgoing"), accepted);
  const Json state = WaitForState([](const Json& s) { return AccountValue(s, "slow", "throttled_total") > 0; });
  EXPECT_EQ(AccountValue(state, "slow", "throttled_total"), throttled) << state;
  EXPECT_EQ(AccountValue(state, "slow", "submitted_total"), accepted) << state;
}

TEST_P(SmppdBindsTest, ASubmitLandsInTheQueueAsTheAccountsJobBeforeItsAnswer) {
  Start();
  auto client = daemon->Client(ECommandId::BindTransceiver, "acme", "secret1");
  const auto answer = client->SubmitOne(TextSubmit("+4915112345678", "Hello from SMPP", 1));
  ASSERT_EQ(answer.nStatus, Smpp::ESME_ROK) << daemon->Output();
  ASSERT_FALSE(answer.sMessageId.empty());
  const std::string row = "Id=" + answer.sMessageId;
  EXPECT_EQ(daemon->Count("SMSOutgoing", row + " AND SourceType=11 AND SourceId='acme'"), 1);
  EXPECT_EQ(daemon->Db().Value("SELECT PhoneNumber FROM SMSOutgoing WHERE " + row, "PhoneNumber").ToString(),
            "+4915112345678");
  EXPECT_EQ(daemon->Count("SmppJobs", row + " AND SystemId='acme'"), 1);
}

TEST_P(SmppdBindsTest, BindsOverTls) {
  ASSERT_TRUE(daemon->MakeTlsCertificate());
  Start(true);
  auto client = daemon->Client(ECommandId::BindTransceiver, "acme", "secret1", true);
  EXPECT_EQ(client->Request(ECommandId::EnquireLink), Smpp::ESME_ROK);
  const auto answer = client->SubmitOne(TextSubmit("+4915112345678", "over TLS"));
  EXPECT_EQ(answer.nStatus, Smpp::ESME_ROK) << daemon->Output();
  const Json state =
      WaitForState([](const Json& s) { return s.is_object() && s.contains("listen") && s["listen"].size() == 2; });
  EXPECT_EQ(state["listen"][1], "127.0.0.1:" + std::to_string(daemon->TlsPort()) + " tls");
  // Plain SMPP on the TLS port binds nothing.
  SmppTestClient plain;
  ASSERT_TRUE(plain.Connect(daemon->TlsPort()));
  EXPECT_FALSE(plain.Bind(ECommandId::BindTransceiver, "acme", "secret1", 3s));
}

TEST_P(SmppdBindsTest, AClientThatNeverReadsDoesNotStopAnotherAccount) {
  daemon->AddAccount("other", "pw");
  Start();
  // "acme" binds and then sends requests without ever reading an answer.
  SmppTestClient flooder;
  ASSERT_TRUE(flooder.Connect(daemon->Port()));
  ASSERT_EQ(flooder.Bind(ECommandId::BindTransceiver, "acme", "secret1"), Smpp::ESME_ROK);
  const int size = 4096;
  setsockopt(flooder.Fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  std::atomic<bool> done{false};
  std::atomic<long> flooded{0};
  std::thread flood([&] {
    Smpp::Pdu enquire;
    enquire.nCommandId = Smpp::Id(ECommandId::EnquireLink);
    std::vector<uint8_t> burst;
    for (uint32_t i = 1; i <= 1000; ++i) {
      enquire.nSequence = i;
      Smpp::EncodePdu(enquire, burst);
    }
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!done && std::chrono::steady_clock::now() < end) {
      const ssize_t n = send(flooder.Fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0)
        flooded += n;
      else
        std::this_thread::sleep_for(5ms);
    }
  });
  // Until the daemon stops reading the flooder (its answers not taken): no
  // progress for two seconds.
  const auto end = std::chrono::steady_clock::now() + 25s;
  long last = -1;
  int still = 0;
  while (still < 4 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(500ms);
    still = flooded == last ? still + 1 : 0;
    last = flooded;
  }
  // The daemon stopped reading: it buffers its answers up to a bound (and
  // the sockets theirs), not without end.
  EXPECT_EQ(still, 4) << flooded.load() << " octets taken";
  EXPECT_GT(flooded.load(), 1L << 20);
  EXPECT_LT(flooded.load(), 64L << 20);

  auto client = daemon->Client(ECommandId::BindTransmitter, "other", "pw");
  std::vector<Smpp::ShortMessageBody> bodies(100, TextSubmit("+4915112345678", "still served"));
  const auto answers = client->Submit(bodies, 10);
  int accepted = 0;
  for (const auto& answer : answers) accepted += answer.nStatus == Smpp::ESME_ROK;
  EXPECT_EQ(accepted, 100) << daemon->Output();
  done = true;
  flood.join();
  EXPECT_TRUE(daemon->Process().Running());
}

TEST_P(SmppdBindsTest, SigtermUnbindsTheClientsAndEndsWithoutTheStateFile) {
  Start();
  auto client = daemon->Client(ECommandId::BindTransceiver, "acme", "secret1");
  ASSERT_TRUE(WaitForState([](const Json& s) { return AccountValue(s, "acme", "binds") == 1; }).is_object());
  ASSERT_TRUE(std::filesystem::exists(TestSupport::SmppDaemon::StatePath()));
  daemon->Process().Signal(SIGTERM);
  // The daemon's unbind; answered, the connection ends.
  const auto unbind = client->Read(10s);
  ASSERT_TRUE(unbind) << daemon->Output();
  EXPECT_EQ(unbind->nCommandId, Smpp::Id(ECommandId::Unbind));
  Smpp::Pdu resp;
  resp.nCommandId = Smpp::Id(ECommandId::UnbindResp);
  resp.nSequence = unbind->nSequence;
  client->Send(resp);
  EXPECT_TRUE(client->WaitClosed(10s));
  EXPECT_EQ(daemon->Process().Wait(20s), 0) << daemon->Output();
  EXPECT_FALSE(std::filesystem::exists(TestSupport::SmppDaemon::StatePath()));
}

// A client that ignores the unbind does not hold the end up for long.
TEST_P(SmppdBindsTest, SigtermEndsAlsoWhenAClientDoesNotAnswerTheUnbind) {
  Start();
  SmppTestClient silent;
  ASSERT_TRUE(silent.Connect(daemon->Port()));
  ASSERT_EQ(silent.Bind(ECommandId::BindTransceiver, "acme", "secret1"), Smpp::ESME_ROK);
  SmppTestClient unbound;  // connected, never bound
  ASSERT_TRUE(unbound.Connect(daemon->Port()));
  EXPECT_EQ(daemon->Stop(30s), 0) << daemon->Output();
}

TEST(SmppdProgram, PrintsItsVersionAndHelpWithoutReadingTheConfiguration) {
  // No configuration at all under this root: --version and --help still work.
  for (const std::string option : {"--version", "--help"}) {
    const TestSupport::CommandResult result =
        TestSupport::RunCommand("NORVALE_ROOT=/nonexistent/smppd " + std::string(VELQUOR_SMPPD) + " " + option);
    EXPECT_EQ(result.status, 0) << option << result.out;
    if (option == "--version") {
      EXPECT_EQ(result.out.rfind("velquor-smppd ", 0), 0u) << result.out;
    } else {
      EXPECT_NE(result.out.find("--tls-port"), std::string::npos) << result.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, SmppdBindsTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
