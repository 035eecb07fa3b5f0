// velquor-smppd with the SMPP clients users have, end to end through the
// engine's simulator handset: the npm package smpp and Perl's Net::SMPP as
// ESMEs (tests/smppd), and Kannel's bearerbox binding to us as its SMS
// centre, sending through its sendsms and taking our receipts to its
// dlr-url. Every accepted submit is a job of the account, its message_id the
// job's identifier in decimal, and its receipt says so.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "smppd_peer_support.h"

namespace {

using namespace std::chrono_literals;
using SmppdPeers::Json;

std::string SystemId() { return "acme"; }
std::string Password() { return "secret1"; }

class SmppdClientsTest : public ::testing::TestWithParam<TestSupport::Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    stack = std::make_unique<SmppdPeers::Stack>(GetParam());
    SmppdPeers::AddAccount(SystemId(), Password());
    ASSERT_TRUE(stack->StartDaemon()) << stack->DaemonOutput();
  }
  void TearDown() override { stack.reset(); }

  // Runs a client ("node" or "perl") with `count` messages over `binds`.
  // Its `submits` submit_sm are answered first and checked as queued jobs,
  // while the engine is not running; then the engine delivers them and the
  // client waits for the receipts.
  SmppdPeers::ClientRun RoundTrip(const std::string& runtime, const std::string& binds, int count, size_t submits) {
    const std::string program = SmppdPeers::Program(runtime);
    EXPECT_FALSE(program.empty()) << runtime << " is not installed (scripts/setup.sh)";
    TestSupport::ChildProcess client(
        {program, SmppdPeers::ClientScript(runtime), "--port", std::to_string(stack->Port()), "--system-id", SystemId(),
         "--password", Password(), "--binds", binds, "--count", std::to_string(count), "--deadline", "120"});
    auto answered = [&] { return SmppdPeers::ParseClientOutput(client.Output(), -1).Of("submit_resp").size(); };
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return answered() >= submits; }, 60000))
        << client.Output() << stack->DaemonOutput();
    ExpectQueued(SmppdPeers::ParseClientOutput(client.Output(), -1), submits);
    EXPECT_TRUE(stack->StartEngine()) << stack->EngineErrors();
    const int status = client.Wait(150s);
    return SmppdPeers::ParseClientOutput(client.Output(), status);
  }

  // Every submit accepted with a decimal message_id that is a job of the
  // account: the text one a text job, the UCS-2 one a Unicode job, the parts
  // data jobs with their UDH.
  void ExpectQueued(const SmppdPeers::ClientRun& run, size_t submits) {
    const auto answers = run.Of("submit_resp");
    ASSERT_EQ(answers.size(), submits) << run.output;
    std::set<std::string> ids;
    for (const Json& answer : answers) {
      ASSERT_EQ(answer.value("status", -1), 0) << answer.dump();
      const std::string id = answer.value("message_id", "");
      ASSERT_TRUE(SmppdPeers::IsDecimal(id)) << answer.dump();
      EXPECT_TRUE(ids.insert(id).second) << "message_id given twice: " << id;
      ASSERT_EQ(stack->Count("Id=" + id + " AND SourceType=11 AND SourceId='" + SystemId() + "'"), 1)
          << "no job of the account for message_id " << id;
      const std::string type = stack->Db().Value("SELECT Type AS V FROM SMSOutgoing WHERE Id=" + id, "V").ToString();
      const std::string data = stack->Db().Value("SELECT Data AS V FROM SMSOutgoing WHERE Id=" + id, "V").ToString();
      const std::string kind = answer.value("kind", "");
      if (kind == "text") {
        EXPECT_EQ(type, "1") << data;
        EXPECT_EQ(data.rfind("Message ", 0), 0u) << data;
      } else if (kind == "ucs2") {
        EXPECT_EQ(type, "2") << data;
      } else {
        EXPECT_EQ(type, "3") << data;
        // The client's concatenation element (reference = its index + 1),
        // kept as the job's UDH (its elements, without the length octet).
        char udh[32];
        std::snprintf(udh, sizeof udh, ";UDH=0003%02X%02X%02X;", answer.value("index", 0) + 1, answer.value("parts", 0),
                      answer.value("part", 0));
        EXPECT_NE(data.find(udh), std::string::npos) << "a part without its UDH: " << data;
      }
    }
    EXPECT_EQ(stack->Count("SourceType=11"), static_cast<long>(submits));
  }

  // One receipt (DELIVRD) per accepted submit, naming it in
  // receipted_message_id and in its text, from the destination to the
  // source.
  void ExpectReceipts(const SmppdPeers::ClientRun& run) {
    EXPECT_EQ(run.status, 0) << run.output << stack->DaemonOutput();
    std::set<std::string> ids;
    for (const Json& answer : run.Of("submit_resp")) ids.insert(answer.value("message_id", ""));
    std::set<std::string> receipted;
    for (const Json& deliver : run.Of("deliver")) {
      ASSERT_EQ(deliver.value("esm_class", 0), 0x04) << deliver.dump();
      const std::string id = deliver.value("receipted_message_id", "");
      EXPECT_TRUE(ids.count(id)) << "a receipt for no message of ours: " << deliver.dump();
      EXPECT_TRUE(receipted.insert(id).second) << "two receipts for " << id;
      EXPECT_EQ(deliver.value("message_state", 0), 2) << deliver.dump();
      const std::string text = deliver.value("text", "");
      EXPECT_EQ(text.rfind("id:" + id + " sub:001 dlvrd:001 ", 0), 0u) << text;
      EXPECT_NE(text.find(" stat:DELIVRD err:"), std::string::npos) << text;
      EXPECT_TRUE(std::regex_search(text, std::regex("submit date:\\d{10} done date:\\d{10}"))) << text;
      EXPECT_EQ(deliver.value("source", ""), "447700900123") << "the receipt comes from the destination";
      EXPECT_EQ(deliver.value("destination", ""), "12345") << "and goes to the source";
    }
    EXPECT_EQ(receipted, ids) << run.output;
    // Each receipt answered: nothing left in the outbox.
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return stack->Count("", "SmppOutbox") == 0; }, 20000));
  }

  std::unique_ptr<SmppdPeers::Stack> stack;
};

TEST_P(SmppdClientsTest, NpmClientSubmitsTextUcs2AndPartsAndGetsTheirReceipts) {
  // Three messages (text, UCS-2, two parts with a UDH), and one more text:
  // five submit_sm on a transceiver.
  ExpectReceipts(RoundTrip("node", "trx", 4, 5));
}

INSTANTIATE_TEST_SUITE_P(Backends, SmppdClientsTest,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

// The other client and the refusals on SQLite only: the npm client's cases
// cover PostgreSQL.
class SmppdSqliteClientsTest : public SmppdClientsTest {};

TEST_P(SmppdSqliteClientsTest, NetSmppClientOnATransmitterAndAReceiver) {
  // Text, UCS-2 and two parts: four submit_sm on the transmitter, the
  // receipts on the receiver.
  const auto run = RoundTrip("perl", "tx-rx", 3, 4);
  EXPECT_EQ(run.Of("bound").size(), 2u) << run.output;
  ExpectReceipts(run);
}

TEST_P(SmppdSqliteClientsTest, AWrongPasswordIsRefusedAndQueuesNothing) {
  for (const std::string runtime : {"node", "perl"}) {
    const auto run = SmppdPeers::RunClient(runtime, "--port " + std::to_string(stack->Port()) + " --system-id " +
                                                        SystemId() + " --password wrong1 --deadline 20");
    EXPECT_NE(run.status, 0) << runtime << ": " << run.output;
    const auto binds = run.Of("bound");
    ASSERT_EQ(binds.size(), 1u) << runtime << ": " << run.output;
    EXPECT_EQ(binds[0].value("status", 0), 0x0E) << "ESME_RINVPASWD";
    EXPECT_TRUE(run.Of("submit_resp").empty());
  }
  EXPECT_EQ(stack->Count(""), 0);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, SmppdSqliteClientsTest, ::testing::Values(TestSupport::Backend::Sqlite),
                         TestSupport::BackendName);

// An HTTP receiver for Kannel's dlr-url: a Python process on a free
// loopback port that logs the path of every GET, one per line.
class DlrReceiver {
 public:
  DlrReceiver() {
    m_sLog = TestSupport::Root() + "/dlr-requests.log";
    std::filesystem::remove(m_sLog);
    const std::string script =
        "import http.server, sys\n"
        "log = open(sys.argv[1], 'a', buffering=1)\n"
        "class H(http.server.BaseHTTPRequestHandler):\n"
        "    def do_GET(self):\n"
        "        log.write(self.path + '\\n')\n"
        "        self.send_response(200)\n"
        "        self.send_header('Content-Length', '2')\n"
        "        self.end_headers()\n"
        "        self.wfile.write(b'ok')\n"
        "    def log_message(self, *a):\n"
        "        pass\n"
        "s = http.server.HTTPServer(('127.0.0.1', 0), H)\n"
        "print('port', s.server_address[1], flush=True)\n"
        "s.serve_forever()\n";
    const std::string file = TestSupport::Root() + "/dlr_receiver.py";
    std::ofstream(file) << script;
    m_Process = std::make_unique<TestSupport::ChildProcess>(std::vector<std::string>{"/usr/bin/python3", file, m_sLog});
    if (m_Process->WaitForOutput("port ", 20s)) {
      const std::string out = m_Process->Output();
      m_nPort = std::stoi(out.substr(out.find("port ") + 5));
    }
  }
  int Port() const { return m_nPort; }
  std::string Requests() const { return TestSupport::ReadFile(m_sLog); }

 private:
  std::string m_sLog;
  std::unique_ptr<TestSupport::ChildProcess> m_Process;
  int m_nPort = 0;
};

// A port nobody listens on now (bound, read and closed).
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// %XX for everything but letters and digits.
std::string Escaped(const std::string& value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : value) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kDigits[static_cast<unsigned char>(c) >> 4];
      escaped += kDigits[static_cast<unsigned char>(c) & 0xF];
    }
  }
  return escaped;
}

TEST(SmppdKannelTest, KannelSendsThroughUsAndItsDlrUrlHearsTheReceipt) {
  const std::string bearerbox = SmppdPeers::Program("bearerbox");
  const std::string smsbox = SmppdPeers::Program("smsbox");
  if (bearerbox.empty() || smsbox.empty())
    GTEST_SKIP() << "Kannel (bearerbox, smsbox) is not installed: apt-get install kannel";

  SmppdPeers::Stack stack(TestSupport::Backend::Sqlite);
  SmppdPeers::AddAccount("kannel", Password());
  ASSERT_TRUE(stack.StartDaemon()) << stack.DaemonOutput();
  DlrReceiver receiver;
  ASSERT_GT(receiver.Port(), 0);

  const std::string dir = TestSupport::FreshDir("kannel");
  const int admin = FreePort(), boxes = FreePort(), sendsms = FreePort();
  std::ofstream(dir + "/kannel.conf")
      << "group = core\nadmin-port = " << admin
      << "\nadmin-interface = 127.0.0.1\nadmin-password = admin\nadmin-allow-ip = 127.0.0.1\n"
      << "smsbox-port = " << boxes << "\nsmsbox-interface = 127.0.0.1\nbox-allow-ip = 127.0.0.1\n"
      << "log-file = \"" << dir << "/bearerbox.log\"\nlog-level = 1\ndlr-storage = internal\n\n"
      << "group = smsc\nsmsc = smpp\nsmsc-id = velquor\nhost = 127.0.0.1\nport = " << stack.Port()
      << "\ntransceiver-mode = true\nsmsc-username = kannel\nsmsc-password = " << Password()
      << "\nsystem-type = \"\"\nreconnect-delay = 1\nenquire-link-interval = 30\n\n"
      << "group = smsbox\nbearerbox-host = 127.0.0.1\nbearerbox-port = " << boxes << "\nsendsms-port = " << sendsms
      << "\nsendsms-interface = 127.0.0.1\nlog-file = \"" << dir << "/smsbox.log\"\nlog-level = 1\n\n"
      << "group = sendsms-user\nusername = tester\npassword = pw\nuser-allow-ip = 127.0.0.1\n\n"
      << "group = sms-service\nkeyword = default\ntext = \"not served\"\n";

  TestSupport::ChildProcess bearer({bearerbox, "-v", "1", dir + "/kannel.conf"});
  auto listening = [](int port) {
    SmppdPeers::RawClient probe(port);
    return probe.Connected();
  };
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return listening(boxes); }, 20000)) << bearer.Output();
  TestSupport::ChildProcess box({smsbox, "-v", "1", dir + "/kannel.conf"});
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return listening(sendsms); }, 20000)) << box.Output();
  const std::string bearerLog = dir + "/bearerbox.log";

  const std::string dlrUrl = "http://127.0.0.1:" + std::to_string(receiver.Port()) + "/dlr?status=%d&smscid=%F";
  const auto sent = TestSupport::RunCommand(
      "curl -s -m 20 'http://127.0.0.1:" + std::to_string(sendsms) +
      "/cgi-bin/sendsms?username=tester&password=pw&from=12345&to=447700900123&text=Hello+from+Kannel&dlr-mask=31"
      "&dlr-url=" +
      Escaped(dlrUrl) + "'");
  // Accepted, or queued until Kannel's bind to us is up.
  ASSERT_TRUE(sent.out.find("Accepted for delivery") != std::string::npos ||
              sent.out.find("Queued for later delivery") != std::string::npos)
      << sent.out;

  // The message is our job, queued for the account by the SMPP server (the
  // engine not yet running)...
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return stack.Count("SourceType=11") == 1; }, 30000))
      << TestSupport::ReadFile(bearerLog) << stack.DaemonOutput();
  EXPECT_EQ(stack.Count("SourceId='kannel' AND PhoneNumber='447700900123' AND Data='Hello from Kannel'"), 1);
  const std::string job = stack.Db().Value("SELECT Id AS V FROM SMSOutgoing WHERE SourceType=11", "V").ToString();
  // The engine delivers it.
  ASSERT_TRUE(stack.StartEngine()) << stack.EngineErrors();

  // ... and Kannel hears our receipt: the dlr-url with status 1 (delivered)
  // and our message_id, the job's identifier.
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return receiver.Requests().find("status=1&") != std::string::npos; }, 60000))
      << "dlr-url calls: " << receiver.Requests() << "\n"
      << TestSupport::ReadFile(bearerLog) << stack.DaemonOutput();
  const std::string requests = receiver.Requests();
  EXPECT_NE(requests.find("/dlr?status=1&smscid=" + job), std::string::npos) << requests;
  // Before it, status 8: the submit accepted by the SMSC, that is us.
  EXPECT_NE(requests.find("/dlr?status=8&smscid=" + job), std::string::npos) << requests;
  // The receipt was answered, so nothing is left to deliver.
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return stack.Count("", "SmppOutbox") == 0; }, 20000));
}

}  // namespace
