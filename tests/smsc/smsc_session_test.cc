// The SMPP session over a real TCP socket against SMS centres nobody here
// wrote: the npm package smpp (smsc.js) and Perl's Net::SMPP (smsc.pl),
// each a separate process on a free loopback port. The client is a plain
// poll() loop around CSmppSession, as the driver's will be.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/sms_split.h"
#include "smpp/command_status.h"
#include "smpp/smpp_session.h"
#include "smpp/submit_builder.h"
#include "smsc_process.h"

namespace Norvale::Smpp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

using SmscTest::CSmscProcess;
using SmscTest::NodeSmsc;
using SmscTest::PerlSmsc;

// A client: one TCP connection and one session, driven by poll().
class CSmppClient {
 public:
  explicit CSmppClient(SessionSettings Settings) : m_Session(std::move(Settings)) {}
  ~CSmppClient() { Disconnect(); }

  void Connect(uint16_t nPort) {
    m_nSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(nPort);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(m_nSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0) << strerror(errno);
    int nOne = 1;
    setsockopt(m_nSocket, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
    fcntl(m_nSocket, F_SETFL, O_NONBLOCK);
    m_Session.Open(Clock::now());
  }

  void Disconnect() {
    if (m_nSocket >= 0) close(m_nSocket);
    m_nSocket = -1;
  }

  bool Connected() const { return m_nSocket >= 0; }
  CSmppSession& Session() { return m_Session; }

  // Runs the loop until Done says so for the events gathered so far, or the
  // time is up. Returns whether Done was met.
  bool RunUntil(const std::function<bool(const std::vector<SessionEvent>&)>& Done, Clock::duration Timeout = 5s) {
    auto Deadline = Clock::now() + Timeout;
    for (;;) {
      Collect();
      if (Done(m_Events)) return true;
      auto Now = Clock::now();
      if (Now >= Deadline || m_nSocket < 0) return Done(m_Events);
      Pump(Deadline - Now);
    }
  }

  // One turn of the loop: waits for the socket at most MaxWait (or until
  // the session's next deadline), reads, ticks, writes.
  void Pump(Clock::duration MaxWait) {
    if (m_nSocket >= 0) {
      auto Now = Clock::now();
      auto Wake = std::min(Now + MaxWait, m_Session.NextDeadline());
      auto nWait = std::chrono::duration_cast<std::chrono::milliseconds>(Wake - Now).count();
      pollfd Fd{m_nSocket, static_cast<short>(POLLIN | (m_Session.PendingOutput().empty() ? 0 : POLLOUT)), 0};
      poll(&Fd, 1, static_cast<int>(std::clamp<int64_t>(nWait, 0, 1000)) + 1);
      if (Fd.revents & (POLLIN | POLLHUP | POLLERR)) {
        uint8_t Buffer[16384];
        ssize_t n = recv(m_nSocket, Buffer, sizeof Buffer, 0);
        if (n > 0) {
          m_Session.Receive(std::span(Buffer, static_cast<size_t>(n)), Clock::now());
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          m_Session.ConnectionLost(n == 0 ? "closed by the SMSC" : strerror(errno));
        }
      }
      m_Session.Tick(Clock::now());
    }
    Collect();
  }

  // Events of one kind gathered so far, and taking them out.
  template <typename T>
  std::vector<T> Take() {
    std::vector<T> Out;
    for (auto It = m_Events.begin(); It != m_Events.end();) {
      if (auto* p = std::get_if<T>(&*It)) {
        Out.push_back(*p);
        It = m_Events.erase(It);
      } else {
        ++It;
      }
    }
    return Out;
  }

  template <typename T>
  bool WaitFor(size_t nCount = 1, Clock::duration Timeout = 5s) {
    return RunUntil(
        [&](const std::vector<SessionEvent>& Events) {
          return static_cast<size_t>(std::count_if(Events.begin(), Events.end(), [](const SessionEvent& e) {
                   return std::holds_alternative<T>(e);
                 })) >= nCount;
        },
        Timeout);
  }

  bool Bind(uint16_t nPort) {
    Connect(nPort);
    return WaitFor<BoundEvent>() && Take<BoundEvent>().size() == 1;
  }

  ESubmitAdmission Submit(const ShortMessageBody& Message, uint64_t nTag) {
    auto e = m_Session.Submit(Message, nTag, Clock::now());
    Collect();
    return e;
  }

 private:
  // Events first, then the output they came with: the order the driver keeps.
  void Collect() {
    for (auto& e : m_Session.TakeEvents()) {
      bool bClose = std::holds_alternative<CloseEvent>(e);
      m_Events.push_back(std::move(e));
      if (bClose) {
        Flush();
        Disconnect();
        return;
      }
    }
    Flush();
  }

  void Flush() {
    while (m_nSocket >= 0 && !m_Session.PendingOutput().empty()) {
      auto Out = m_Session.PendingOutput();
      ssize_t n = send(m_nSocket, Out.data(), Out.size(), MSG_NOSIGNAL);
      if (n <= 0) break;  // full or gone: poll() says when
      m_Session.ConsumeOutput(static_cast<size_t>(n));
    }
  }

  CSmppSession m_Session;
  int m_nSocket = -1;
  std::vector<SessionEvent> m_Events;
};

SessionSettings Account(std::string sPassword = "secret") {
  SessionSettings s;
  s.sSystemId = "velquor";
  s.sPassword = std::move(sPassword);
  s.nWindowSize = 10;
  s.ResponseTimeout = 3s;
  s.ThrottlePause = 200ms;
  return s;
}

SubmitSettings Sender() {
  SubmitSettings s;
  s.Source = SourceAddress("Velquor");
  return s;
}

ShortMessageBody Text(const std::string& sText, bool bReceipt = false, uint8_t nReference = 1) {
  auto Parts = Sms::SplitText(sText, nReference);
  return BuildSubmitSm(Sender(), Sms::PhoneNumber::FromText("+447700900123"), Parts.at(0), bReceipt);
}

class SmscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(VELQUOR_SMSC_DIR "/node_modules/smpp/package.json", R_OK) != 0) {
      FAIL() << "the npm package smpp is missing in tests/smsc: run scripts/setup.sh";
    }
  }
};

// A centre whose interpreter or package is missing is reported as such, with
// what it wrote to its standard error, not as a broken event line.
TEST(SmscProcess, ACentreThatDoesNotStartIsReportedWithItsStandardError) {
  auto failure = [](std::vector<std::string> Argv) -> std::string {
    try {
      CSmscProcess Smsc(std::move(Argv));
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "it started";
  };
  const std::string node = failure({"node", "-e", "require('no-such-smpp-package')"});
  EXPECT_EQ(node.rfind("SMS centre did not start (node -e", 0), 0u) << node;
  EXPECT_NE(node.find("Cannot find module 'no-such-smpp-package'"), std::string::npos) << node;
  const std::string missing = failure({"no-such-interpreter", "smsc.pl"});
  EXPECT_NE(missing.find("SMS centre did not start"), std::string::npos) << missing;
  EXPECT_NE(missing.find("cannot run no-such-interpreter: No such file or directory"), std::string::npos) << missing;
}

TEST_F(SmscTest, NodeRefusesAWrongPasswordAndItIsNotRetriedAtOnce) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account("wrong"));
  Client.Connect(Smsc->Port());
  ASSERT_TRUE(Client.WaitFor<CloseEvent>());
  auto Failed = Client.Take<BindFailedEvent>();
  ASSERT_EQ(Failed.size(), 1u);
  EXPECT_EQ(Failed[0].nCommandStatus, ESME_RINVPASWD);
  EXPECT_EQ(Failed[0].eClass, EBindFailure::Rejected);
  EXPECT_EQ(Client.Take<CloseEvent>().at(0).eReason, ECloseReason::BindFailed);
  EXPECT_FALSE(Smsc->WaitFor("bind", 2s).value("ok", true));
}

TEST_F(SmscTest, NodeTakesASubmitAndSendsItsReceiptInEachForm) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  ASSERT_EQ(Client.Submit(Text("Hello @ 10€ {ok}", true), 7), ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>());
  auto Accepted = Client.Take<SubmitAcceptedEvent>().at(0);
  EXPECT_EQ(Accepted.nTag, 7u);

  // The SMSC read what we sent with its own GSM 03.38 table.
  Json Submit = Smsc->WaitFor("submit", 2s);
  EXPECT_EQ(Submit.value("message_id", ""), Accepted.sMessageId);
  EXPECT_EQ(Submit.value("text", ""), "Hello @ 10€ {ok}");
  EXPECT_EQ(Submit.value("destination", ""), "447700900123");
  EXPECT_EQ(Submit.value("dest_ton", -1), 1);
  EXPECT_EQ(Submit.value("source", ""), "Velquor");
  EXPECT_EQ(Submit.value("source_ton", -1), 5);
  EXPECT_EQ(Submit.value("data_coding", -1), 0);
  EXPECT_EQ(Submit.value("registered_delivery", -1), 1);

  for (const char* sForm : {"both", "text", "tlv"}) {
    SCOPED_TRACE(sForm);
    EXPECT_TRUE(Smsc->Command("receipt " + Accepted.sMessageId + " UNDELIV 034 " + sForm));
    ASSERT_TRUE(Client.WaitFor<ReceiptReceivedEvent>());
    auto Receipt = Client.Take<ReceiptReceivedEvent>().at(0);
    EXPECT_EQ(Receipt.Receipt.sMessageId, Accepted.sMessageId);
    EXPECT_EQ(Receipt.Receipt.eState, EReceiptState::Failed);
    EXPECT_EQ(Receipt.sRecipient, "447700900123");
    EXPECT_EQ(Receipt.Receipt.nErrorCode, 34u);  // from the text or from network_error_code
    EXPECT_EQ(Smsc->WaitFor("deliver_resp", 2s).value("status", -1), 0);
  }
}

TEST_F(SmscTest, NodeDeliversMobileOriginatedTextUcs2AndConcatenatedParts) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  EXPECT_TRUE(Smsc->Command("mo 447700900123 12345 0 48656C6C6F00"));              // "Hello@"
  EXPECT_TRUE(Smsc->Command("mo 447700900123 12345 8 041F04400438043204350442"));  // "Привет"
  EXPECT_TRUE(Smsc->Command("mo 447700900123 12345 0 050003420301416161 64"));     // part 1/3, UDH
  EXPECT_TRUE(Smsc->Command("mo 447700900123 12345 0 050003420302426262 64"));
  EXPECT_TRUE(Smsc->Command("mo 447700900123 12345 0 050003420303436363 64"));
  EXPECT_TRUE(Smsc->Command("mo-sar 447700900123 12345 8 4660 2 2 00420062"));  // SAR part 2/2
  EXPECT_TRUE(Smsc->Command("mo-payload 447700900123 12345 3 4361666EE9"));     // Latin-1 in message_payload
  ASSERT_TRUE(Client.WaitFor<MessageReceivedEvent>(7));
  auto Got = Client.Take<MessageReceivedEvent>();
  auto TextOf = [](const IncomingMessage& m) { return Sms::PartsToUtf8(std::span(&m.Part, 1)); };
  EXPECT_EQ(TextOf(Got[0].Message), "Hello@");
  EXPECT_EQ(Got[0].Message.Source.sAddress, "447700900123");
  EXPECT_EQ(TextOf(Got[1].Message), "Привет");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Got[2 + i].Message.Concat, (Sms::Concatenation{0x42, 3, static_cast<uint8_t>(i + 1), false}));
  }
  EXPECT_EQ(TextOf(Got[3].Message), "Bbb");
  EXPECT_EQ(Got[5].Message.Concat, (Sms::Concatenation{4660, 2, 2, true}));
  EXPECT_EQ(TextOf(Got[5].Message), "Bb");
  EXPECT_EQ(TextOf(Got[6].Message), "Cafné");
  for (int i = 0; i < 7; ++i) EXPECT_EQ(Smsc->WaitFor("deliver_resp", 2s).value("status", -1), 0);
}

TEST_F(SmscTest, NodeGetsA300CharacterTextAsPartsOrAsOnePayload) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  std::string sText;
  for (int i = 0; i < 30; ++i) sText += "0123456789";
  auto Parts = Sms::SplitText(sText, 0x2A);
  ASSERT_EQ(Parts.size(), 2u);
  for (size_t i = 0; i < Parts.size(); ++i) {
    ASSERT_EQ(Client.Submit(BuildSubmitSm(Sender(), Sms::PhoneNumber::FromText("+15550001"), Parts[i], false), i),
              ESubmitAdmission::Sent);
  }
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>(2));
  Json First = Smsc->WaitFor("submit", 2s), Second = Smsc->WaitFor("submit", 2s);
  EXPECT_EQ(First.value("udh", ""), "00032A0201");  // the library shows the elements without UDHL
  EXPECT_EQ(Second.value("udh", ""), "00032A0202");
  EXPECT_EQ(First.value("text", "") + Second.value("text", ""), sText);

  ASSERT_EQ(
      Client.Submit(BuildSubmitSm(Sender(), Sms::PhoneNumber::FromText("+15550001"), MergeParts(Parts), false), 9),
      ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>(3));
  Json Whole = Smsc->WaitFor("submit", 2s);
  EXPECT_EQ(Whole.value("payload", ""), sText);
  EXPECT_EQ(Whole.value("esm_class", -1), 0);
}

TEST_F(SmscTest, NodeThrottlesThenTakesTheRetry) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  EXPECT_TRUE(Smsc->Command("throttle 1"));
  ASSERT_EQ(Client.Submit(Text("first"), 1), ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitFailedEvent>());
  auto Failed = Client.Take<SubmitFailedEvent>().at(0);
  EXPECT_EQ(Failed.nCommandStatus, ESME_RTHROTTLED);
  EXPECT_TRUE(Failed.Class.bThrottle);
  EXPECT_TRUE(Failed.Class.bTemporary);
  EXPECT_EQ(Client.Submit(Text("first"), 1), ESubmitAdmission::Throttled);
  // The session wakes the loop when the pause is over.
  ASSERT_TRUE(Client.RunUntil([&](const auto&) { return Client.Session().CanSubmit(Clock::now()); }, 2s));
  ASSERT_EQ(Client.Submit(Text("first"), 1), ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>());
}

// SMPP cannot tell whether the SMSC took a submit_sm it never answered:
// every one in flight comes back as a time-out to try again (possibly
// sent twice), none is lost or reported as sent.
TEST_F(SmscTest, NodeDropsTheConnectionMidWindow) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  EXPECT_TRUE(Smsc->Command("hold on"));
  for (uint64_t n = 1; n <= 3; ++n) ASSERT_EQ(Client.Submit(Text("m" + std::to_string(n)), n), ESubmitAdmission::Sent);
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(Smsc->WaitFor("held", 2s).is_null());
  EXPECT_TRUE(Smsc->Command("drop"));
  ASSERT_TRUE(Client.WaitFor<CloseEvent>());
  auto Failed = Client.Take<SubmitFailedEvent>();
  ASSERT_EQ(Failed.size(), 3u);
  for (const auto& f : Failed) {
    EXPECT_EQ(f.eReason, ESubmitFailReason::ConnectionClosed);
    EXPECT_EQ(f.Class, UnansweredSubmitClass());
  }
  EXPECT_TRUE(Client.Take<SubmitAcceptedEvent>().empty());
  EXPECT_EQ(Client.Take<CloseEvent>().at(0).eReason, ECloseReason::ConnectionLost);

  EXPECT_TRUE(Smsc->Command("hold off"));
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  ASSERT_EQ(Client.Submit(Text("again"), 4), ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>());
}

TEST_F(SmscTest, NodeSilentToEnquireLinkIsLeftForAReconnect) {
  auto Smsc = NodeSmsc();
  SessionSettings s = Account();
  s.EnquireLinkInterval = 200ms;
  s.ResponseTimeout = 300ms;
  CSmppClient Client(s);
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  Smsc->SetPump([&] { Client.Pump(0ms); });
  Json Enquire = Smsc->WaitFor("enquire_link", 2s);
  ASSERT_FALSE(Enquire.is_null());
  EXPECT_TRUE(Enquire.value("answered", false));
  EXPECT_TRUE(Smsc->Command("silent-enquire on"));
  ASSERT_TRUE(Client.WaitFor<CloseEvent>(1, 3s));
  EXPECT_EQ(Client.Take<CloseEvent>().at(0).eReason, ECloseReason::LinkDead);
  EXPECT_FALSE(Client.Connected());
  EXPECT_TRUE(Smsc->Command("silent-enquire off"));
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
}

TEST_F(SmscTest, NodeSendsMalformedPdusWhichAreAnsweredNotFatal) {
  auto Smsc = NodeSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  Smsc->SetPump([&] { Client.Pump(0ms); });
  // data_sm: unknown here -> generic_nack ESME_RINVCMDID.
  EXPECT_TRUE(Smsc->Command("raw 0000001400000103000000000000A00101020304"));
  Json Nack = Smsc->WaitFor("generic_nack", 3s);
  EXPECT_EQ(Nack.value("status", -1), static_cast<int>(ESME_RINVCMDID));
  EXPECT_EQ(Nack.value("sequence", -1), 0xA001);
  // deliver_sm whose TLV runs past the end -> deliver_sm_resp ESME_RINVOPTPARSTREAM.
  EXPECT_TRUE(
      Smsc->Command("raw 000000260000000500000000"
                    "0000A002"
                    "0000000000000000000000000000000000"
                    "04240010"
                    "41"));
  Json Resp = Smsc->WaitFor("deliver_resp", 3s);
  EXPECT_EQ(Resp.value("status", -1), static_cast<int>(ESME_RINVOPTPARSTREAM));
  EXPECT_EQ(Resp.value("sequence", -1), 0xA002);
  EXPECT_EQ(Client.Take<WarningEvent>().size(), 2u);
  // Still bound and working.
  ASSERT_EQ(Client.Submit(Text("still here"), 1), ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>());
  // A command_length below 16 ends the stream.
  EXPECT_TRUE(Smsc->Command("raw 000000080000001500000000"));
  ASSERT_TRUE(Client.WaitFor<CloseEvent>());
  EXPECT_EQ(Client.Take<CloseEvent>().at(0).eReason, ECloseReason::StreamBroken);
}

TEST_F(SmscTest, NodeTransmitterAndReceiverPairCarrySubmitAndReceipt) {
  auto Smsc = NodeSmsc();
  SessionSettings Tx = Account(), Rx = Account();
  Tx.eBindMode = EBindMode::Transmitter;
  Rx.eBindMode = EBindMode::Receiver;
  CSmppClient Transmitter(Tx), Receiver(Rx);
  ASSERT_TRUE(Transmitter.Bind(Smsc->Port()));
  ASSERT_TRUE(Receiver.Bind(Smsc->Port()));
  EXPECT_TRUE(Smsc->Command("auto-receipt DELIVRD"));
  ASSERT_EQ(Transmitter.Submit(Text("pair", true), 1), ESubmitAdmission::Sent);
  ASSERT_TRUE(Transmitter.WaitFor<SubmitAcceptedEvent>());
  std::string sId = Transmitter.Take<SubmitAcceptedEvent>().at(0).sMessageId;
  ASSERT_TRUE(Receiver.WaitFor<ReceiptReceivedEvent>());
  auto Receipt = Receiver.Take<ReceiptReceivedEvent>().at(0);
  EXPECT_EQ(Receipt.Receipt.sMessageId, sId);
  EXPECT_EQ(Receipt.Receipt.eState, EReceiptState::Delivered);

  Transmitter.Session().Stop(Clock::now());
  ASSERT_TRUE(Transmitter.WaitFor<CloseEvent>());
  EXPECT_EQ(Transmitter.Take<CloseEvent>().at(0).eReason, ECloseReason::Stopped);
  EXPECT_FALSE(Smsc->WaitFor("unbind", 2s).is_null());
}

TEST_F(SmscTest, PerlRefusesAWrongPassword) {
  auto Smsc = PerlSmsc();
  CSmppClient Client(Account("wrong"));
  Client.Connect(Smsc->Port());
  ASSERT_TRUE(Client.WaitFor<BindFailedEvent>());
  auto Failed = Client.Take<BindFailedEvent>().at(0);
  EXPECT_EQ(Failed.nCommandStatus, ESME_RINVPASWD);
  EXPECT_EQ(Failed.eClass, EBindFailure::Rejected);
}

TEST_F(SmscTest, PerlTakesASubmitAndSendsATextReceipt) {
  auto Smsc = PerlSmsc();
  CSmppClient Client(Account());
  ASSERT_TRUE(Client.Bind(Smsc->Port()));
  ASSERT_EQ(Client.Submit(Text("Hello Perl", true), 3), ESubmitAdmission::Sent);
  ASSERT_TRUE(Client.WaitFor<SubmitAcceptedEvent>());
  std::string sId = Client.Take<SubmitAcceptedEvent>().at(0).sMessageId;
  Json Submit = Smsc->WaitFor("submit", 2s);
  EXPECT_EQ(Submit.value("message_id", ""), sId);
  EXPECT_EQ(Submit.value("short_message", ""), "48656c6c6f205065726c");  // unpacked septets
  ASSERT_TRUE(Client.WaitFor<ReceiptReceivedEvent>());
  auto Receipt = Client.Take<ReceiptReceivedEvent>().at(0);
  EXPECT_EQ(Receipt.Receipt.sMessageId, sId);
  EXPECT_EQ(Receipt.Receipt.eState, EReceiptState::Delivered);
  EXPECT_EQ(Smsc->WaitFor("deliver_resp", 2s).value("status", -1), 0);

  Client.Session().Stop(Clock::now());
  ASSERT_TRUE(Client.WaitFor<CloseEvent>());
  EXPECT_EQ(Client.Take<CloseEvent>().at(0).eReason, ECloseReason::Stopped);
}

}  // namespace
}  // namespace Norvale::Smpp
