// The modem scenarios end to end: velquor-server as a real process drives a
// "modem" handset on the modem emulator (tests/modem/emulator.js on a
// pseudo-terminal, which reads every PDU the gateway sends and writes every
// PDU it delivers with node-pdu, not with the gateway's codec). The test
// sends and fetches like an application, through the client library and the
// queue database, and plays the network and the SIM through the emulator.
//
// Settings are short (polls of 200 ms, time-outs of a second or two) so that
// each scenario takes a few seconds; every wait is bounded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modem/modem_emulator.h"
#include "norvale/velquor.h"
#include "platform/database.h"
#include "server_test_support.h"
#include "test_support.h"

using namespace Norvale;
using Json = nlohmann::json;
using TestSupport::CModemEmulator;
using TestSupport::Count;
using TestSupport::WaitUntil;

namespace {

constexpr auto kWait = std::chrono::milliseconds(10000);

// As GetSendStatus reads it: a row deleted after a later send counts as sent.
// One statement, as the engine deletes sent rows at any moment.
long Status(const TestSupport::TestDatabase& db, long id) {
  return db.Value("SELECT COALESCE(MAX(Status), 2) AS S FROM SMSOutgoing WHERE Id=" + std::to_string(id), "S").ToLong();
}

std::string Tail(const std::string& s, size_t n = 6000) { return s.size() <= n ? s : s.substr(s.size() - n); }

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// How many command lines the emulator received that begin with `prefix`.
size_t CountCommands(const Json& commands, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(commands.begin(), commands.end(),
                                           [&](const Json& c) { return c.get<std::string>().rfind(prefix, 0) == 0; }));
}

// The pid of the node process running this emulator (its command line names
// the emulator's directory).
pid_t EmulatorPid(const CModemEmulator& Modem) {
  const std::string tag = Modem.Directory().string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline");
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find("emulator.js") != std::string::npos && cmdline.find(tag) != std::string::npos)
      return static_cast<pid_t>(std::stol(name));
  }
  return -1;
}

class ModemScenario : public ::testing::Test {
 protected:
  ModemScenario() : m_Db(TestSupport::Backend::Sqlite), m_Root(m_Db.Dsn()) { m_Root.Set("RetryBackoff", "200"); }

  void TearDown() override {
    // A clean stop: also what a sanitizer build of the engine reports at exit.
    if (m_pServer && m_pServer->Pid() > 0) {
      EXPECT_EQ(m_pServer->Stop(), 0);
    }
    if (HasFailure()) {
      if (m_pModem) std::cerr << "--- emulator log ---\n" << Tail(m_pModem->Log()) << "\n";
      if (m_pServer) std::cerr << "--- server errors ---\n" << Tail(m_pServer->Errors()) << "\n";
      std::cerr << "--- events ---\n" << Tail(TestSupport::ReadFile(m_Root.EventLog())) << "\n";
    }
    m_pServer.reset();
    m_pModem.reset();
  }

  // The emulator, and handset 1 on it with quick polls and short time-outs.
  CModemEmulator& StartModem(TestSupport::ModemEmulatorOptions Options = {},
                             const std::map<std::string, std::string>& Values = {}) {
    m_pModem = std::make_unique<CModemEmulator>(Options);
    const std::map<std::string, std::string> defaults = {
        {"Driver", "modem"},          {"Device", m_pModem->DevicePath()},
        {"StatusInterval", "200"},    {"CommandTimeout", "1500"},
        {"SendTimeout", "1500"},      {"ReconnectDelay", "100"},
        {"ReconnectMaxDelay", "400"}, {"DeliveryReports", "0"}};
    for (const auto& [name, value] : defaults)
      if (!Values.count(name)) m_Root.SetHandset(1, name, value);
    for (const auto& [name, value] : Values) m_Root.SetHandset(1, name, value);
    return *m_pModem;
  }

  void StartEngine() {
    m_pServer = std::make_unique<TestSupport::ServerProcess>(m_Root);
    ASSERT_TRUE(m_pServer->StartAndWait()) << m_pServer->Errors();
  }

  std::string HandsetState() const { return TestSupport::ReadFile(m_pServer->StateFile()); }

  // Until the handset has initialised the modem (a message arriving before
  // that is read from storage at the end of the initialisation instead).
  bool WaitRegistered() {
    return WaitUntil([&] { return HandsetState().find("registered (home)") != std::string::npos; });
  }

  // The submissions, once there are `n`, cleared for the next wait.
  Json TakeSubmissions(size_t n) {
    const Json all = m_pModem->WaitForSubmissions(n, kWait);
    m_pModem->Submissions(true);
    return all;
  }

  TestSupport::TestDatabase m_Db;
  TestSupport::EngineRoot m_Root;
  std::unique_ptr<CModemEmulator> m_pModem;
  std::unique_ptr<TestSupport::ServerProcess> m_pServer;
};

}  // namespace

TEST_F(ModemScenario, PinNeededTheHandsetEntersTheStoredPinOnceAndSends) {
  TestSupport::ModemEmulatorOptions options;
  options.sPin = "2580";
  CModemEmulator& modem = StartModem(options);
  // Stored encrypted, as the README tells an administrator to.
  const auto set = TestSupport::RunCommand(std::string(VELQUOR_CLI) + " config set --handset 1 Pin 2580 --encrypted");
  ASSERT_EQ(set.status, 0) << set.out;
  EXPECT_EQ(TestSupport::ReadFile(m_Root.KeyDir("/Handsets/1") + "/Pin").find("2580"), std::string::npos);
  ASSERT_NO_FATAL_FAILURE(StartEngine());

  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "after the PIN", 0);
  const Json sent = TakeSubmissions(1);
  EXPECT_EQ(sent[0]["decoded"]["text"], "after the PIN");
  EXPECT_EQ(sent[0]["decoded"]["destination"]["number"], "+4915550001");
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));

  const Json commands = modem.Commands();
  EXPECT_EQ(CountCommands(commands, "AT+CPIN="), 1u);
  EXPECT_EQ(CountCommands(commands, "AT+CPIN=\"2580\""), 1u);
  const Json status = modem.Status();
  EXPECT_EQ(status["pin"], "READY");
  EXPECT_EQ(status["pinTries"], 3);
}

TEST_F(ModemScenario, AWrongPinIsEnteredOnceJobsWaitAndTheCorrectedPinSendsThemAfterARestart) {
  TestSupport::ModemEmulatorOptions options;
  options.sPin = "2580";
  CModemEmulator& modem = StartModem(options);
  const std::string cli = VELQUOR_CLI;
  ASSERT_EQ(TestSupport::RunCommand(cli + " config set --handset 1 Pin 1111 --encrypted").status, 0);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "waits for the SIM", 0);

  // Many status polls later the wrong PIN was still entered only once: the
  // SIM keeps two tries for the administrator.
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CPIN?") >= 6; }));
  EXPECT_EQ(CountCommands(modem.Commands(), "AT+CPIN="), 1u);
  EXPECT_EQ(modem.Status()["pinTries"], 2);
  EXPECT_EQ(Status(m_Db, id), jsPending);
  EXPECT_EQ(Count(m_Db, "COALESCE(RetryCount, 0)=0 AND Id=" + std::to_string(id)), 1);
  EXPECT_TRUE(modem.Submissions().empty());
  EXPECT_TRUE(WaitUntil([&] { return HandsetState().find("SIM PIN rejected") != std::string::npos; }))
      << HandsetState();

  ASSERT_EQ(TestSupport::RunCommand(cli + " config set --handset 1 Pin 2580 --encrypted").status, 0);
  EXPECT_EQ(m_pServer->Stop(), 0);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  const Json sent = TakeSubmissions(1);
  EXPECT_EQ(sent[0]["decoded"]["text"], "waits for the SIM");
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  EXPECT_EQ(CountCommands(modem.Commands(), "AT+CPIN="), 2u);
  EXPECT_EQ(modem.Status()["pinTries"], 3);
}

TEST_F(ModemScenario, AJobsValidityGoesAsTpVpAndItsReportRequestAsTpSrr) {
  StartModem({}, {{"ValidityPeriod", "1440"}});
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered()) << HandsetState();
  TestSupport::QueueSet client(m_Db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  CSendOptions options;
  options.sSender = "Shop";  // a modem cannot set one: ignored
  options.bReportRequest = true;
  const std::int64_t nowMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  options.nValidUntil = nowMs + 3 * 3600 * 1000;
  const long id = client.outgoing.InsertJob("+4915550001", jtTextMessage, "valid for 3 h", hsHandset1, me, options);
  Json sent = TakeSubmissions(1);
  ASSERT_EQ(sent.size(), 1u);
  // Just under three hours left: rounded up to 3 h (octet 35).
  EXPECT_EQ(sent[0]["decoded"]["validitySeconds"], 3 * 3600) << sent[0];
  EXPECT_EQ(sent[0]["decoded"]["srr"], true) << sent[0];  // the job's request, the handset's 0 aside
  // Sent, its report awaited.
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSentNotConfirmed; })) << Status(m_Db, id);

  // Without options: the handset's ValidityPeriod (a day) and no report.
  Velquor velquor;
  velquor.SendMsg("+4915550002", "plain", 0);
  sent = TakeSubmissions(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["decoded"]["validitySeconds"], 24 * 3600) << sent[0];
  EXPECT_EQ(sent[0]["decoded"]["srr"], false) << sent[0];
}

TEST_F(ModemScenario, WithoutRegistrationJobsWaitInPendingAndGoOnceRegistered) {
  TestSupport::ModemEmulatorOptions options;
  options.nRegistration = 2;  // searching
  CModemEmulator& modem = StartModem(options);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  const std::int32_t first = velquor.SendMsg("+4915550001", "first", 0);
  const std::int32_t second = velquor.SendMsg("+4915550002", Repeat("long ", 40), 0);

  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CREG?") >= 5; }));
  EXPECT_EQ(Count(m_Db, "Status=0 AND COALESCE(RetryCount, 0)=0"), 2);
  EXPECT_EQ(Count(m_Db, "", "SMSNotifications"), 0);
  EXPECT_TRUE(modem.Submissions().empty());
  EXPECT_TRUE(WaitUntil([&] { return HandsetState().find("searching for a network") != std::string::npos; }))
      << HandsetState();

  modem.Set({{"creg", 5}});  // roaming is registered too
  TakeSubmissions(3);
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, first) == jsSent && Status(m_Db, second) == jsSent; }));
  EXPECT_TRUE(WaitUntil([&] { return Count(m_Db, "Type=" + std::to_string(ntMessageSent), "SMSNotifications") == 2; }));
  EXPECT_TRUE(WaitUntil([&] { return HandsetState().find("registered (roaming)") != std::string::npos; }));
}

// The network goes between two status polls: the modem answers AT+CMGS with
// +CMS ERROR 331. The job must wait for the network like the jobs above,
// not use up its retries against a modem that cannot send.
TEST_F(ModemScenario, RegistrationLostBetweenPollsMakesTheJobWaitNotFail) {
  m_Root.Set("MaxRetries", "1");
  CModemEmulator& modem = StartModem({}, {{"StatusInterval", "1500"}});
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CSQ") >= 1; }));
  modem.Commands(true);
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CSQ") >= 1; }));  // a poll just ended
  modem.Set({{"creg", 0}});
  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "no network for a while", 0);

  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CMGS=") >= 1; }));
  // The engine goes on: two more status polls (1.5 s apart) after the
  // refusal, well past the retry's back-off of 200 ms.
  modem.Commands(true);
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CSQ") >= 2; }));
  EXPECT_EQ(Status(m_Db, id), jsPending);
  EXPECT_EQ(Count(m_Db, "Type=" + std::to_string(ntSendFailure), "SMSNotifications"), 0);

  modem.Set({{"creg", 1}});
  const Json sent = TakeSubmissions(1);
  EXPECT_EQ(sent[0]["decoded"]["text"], "no network for a while");
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
}

// 153 septets a part: an extension character (escape + character) that
// would take septets 153 and 154 goes whole into the second part.
TEST_F(ModemScenario, GsmTextWithExtensionCharactersAtThePartBoundaryNeverSplitsAnEscape) {
  StartModem();
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  const std::string a151(151, 'a'), a152(152, 'a');
  struct Case {
    std::string sFirst, sSecond;
    int nFirstUdl;  // septets of part 1: 7 for the header, then the text
  };
  const Case cases[] = {
      {a151 + "\xE2\x82\xAC", " fits exactly [x] ^", 7 + 153},  // € as septets 152 and 153
      {a152, "\xE2\x82\xAC and the rest", 7 + 152},
      {a152, "[bracket] and the rest", 7 + 152},
      {a152, "^caret and the rest", 7 + 152},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sSecond);
    const std::int32_t id = velquor.SendMsg("+4915550001", c.sFirst + c.sSecond, 0);
    const Json parts = TakeSubmissions(2);
    ASSERT_EQ(parts.size(), 2u);
    const Json& one = parts[0]["decoded"];
    const Json& two = parts[1]["decoded"];
    EXPECT_EQ(one["alphabet"], "gsm7");
    EXPECT_EQ(one["dcs"], 0);
    EXPECT_EQ(one["text"], c.sFirst);
    EXPECT_EQ(two["text"], c.sSecond);
    EXPECT_EQ(one["udl"], c.nFirstUdl);
    ASSERT_TRUE(one.contains("concat") && two.contains("concat"));
    EXPECT_EQ(one["concat"]["ref"], two["concat"]["ref"]);
    EXPECT_EQ(one["concat"]["total"], 2);
    EXPECT_EQ(one["concat"]["seq"], 1);
    EXPECT_EQ(two["concat"]["seq"], 2);
    EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  }
}

// 67 UTF-16 code units a part: a surrogate pair that would take units 67
// and 68 goes whole into the second part; one that ends at 67 stays.
TEST_F(ModemScenario, Ucs2TextWithAnEmojiNeverSplitsASurrogatePair) {
  StartModem();
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  const std::string zhe = "\xD0\x96", grin = "\xF0\x9F\x98\x80";  // U+0416, U+1F600
  struct Case {
    bool bUnicodeJob;  // a Unicode job (hex) or a text job that needs UCS-2
    std::string sFirst, sSecond;
    size_t nFirstUnits;
  };
  const Case cases[] = {
      {false, Repeat(zhe, 66), grin + " after the pair", 66},
      {true, Repeat(zhe, 66), grin + " after the pair", 66},
      {true, Repeat(zhe, 65) + grin, " pair ends the part", 67},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.nFirstUnits) + (c.bUnicodeJob ? " unicode job" : " text job"));
    const std::string text = c.sFirst + c.sSecond;
    const std::int32_t id =
        c.bUnicodeJob ? velquor.SendMsgUnicodeMessage("+4915550001", text, 0) : velquor.SendMsg("+4915550001", text, 0);
    const Json parts = TakeSubmissions(2);
    ASSERT_EQ(parts.size(), 2u);
    const Json& one = parts[0]["decoded"];
    const Json& two = parts[1]["decoded"];
    EXPECT_EQ(one["alphabet"], "ucs2");
    EXPECT_EQ(one["dcs"], 8);
    EXPECT_EQ(one["text"], c.sFirst);
    EXPECT_EQ(two["text"], c.sSecond);
    // The octets themselves: no high surrogate at the end of part 1.
    const std::string firstHex = one["dataHex"];
    ASSERT_EQ(firstHex.size(), c.nFirstUnits * 4);
    const std::string lastUnit = firstHex.substr(firstHex.size() - 4);
    EXPECT_FALSE(lastUnit >= "D800" && lastUnit <= "DBFF") << lastUnit;
    if (c.nFirstUnits == 66) {
      EXPECT_EQ(two["dataHex"].get<std::string>().substr(0, 8), "D83DDE00");
    }
    EXPECT_EQ(one["concat"]["total"], 2);
    EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  }
}

// A data message for an application port (IEI 05: destination 9204, source
// 0) with DCS 0xF5 (8-bit data, class 1), sent and received.
TEST_F(ModemScenario, DataMessageWithDcsF5AndAPortHeaderKeepsBothBothWays) {
  CModemEmulator& modem = StartModem();
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  const std::string port = "050423F40000";
  std::string shortData, longData;
  for (int i = 0; i < 20; ++i) shortData += "0123456789ABCDEF"[i % 16], shortData += "F";
  for (int i = 0; i < 200; ++i) {
    char octet[3];
    std::snprintf(octet, sizeof octet, "%02X", i);
    longData += octet;
  }

  const std::int32_t single = velquor.SendDataMessage("+4915550001", 0xF5, shortData, port, 0);
  const Json one = TakeSubmissions(1)[0]["decoded"];
  EXPECT_EQ(one["dcs"], 0xF5);
  EXPECT_EQ(one["alphabet"], "8bit");
  EXPECT_EQ(one["dataHex"], shortData);
  EXPECT_FALSE(one.contains("concat"));
  ASSERT_EQ(one["ies"].size(), 1u);
  EXPECT_EQ(one["ies"][0]["iei"], 5);
  EXPECT_EQ(one["ies"][0]["data"], "23F40000");

  // 200 octets need two parts: each carries the port, so the receiving
  // phone can route either part before it has both.
  const std::int32_t split = velquor.SendDataMessage("+4915550001", 0xF5, longData, port, 0);
  const Json parts = TakeSubmissions(2);
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Json& d = parts[i]["decoded"];
    EXPECT_EQ(d["dcs"], 0xF5);
    ASSERT_TRUE(d.contains("concat"));
    EXPECT_EQ(d["concat"]["seq"], i + 1);
    EXPECT_EQ(d["concat"]["total"], 2);
    const auto hasPort = std::any_of(d["ies"].begin(), d["ies"].end(),
                                     [](const Json& ie) { return ie["iei"] == 5 && ie["data"] == "23F40000"; });
    EXPECT_TRUE(hasPort) << d.dump();
    joined += d["dataHex"].get<std::string>();
  }
  EXPECT_EQ(joined, longData);
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, single) == jsSent && Status(m_Db, split) == jsSent; }));

  // The same kind of message arriving.
  modem.Deliver({{"from", "+4917012345"}, {"alphabet", "8bit"}, {"dcs", 0xF5}, {"udh", port}, {"dataHex", "CAFE0102"}});
  const auto received = velquor.GetMsg(5000);
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->GetPhoneNumber(), "+4917012345");
  EXPECT_EQ(received->GetMessageType(), mtDataMessage);
  EXPECT_EQ(received->GetDataCodingScheme(), 0xF5);
  EXPECT_EQ(received->GetUserDataHeader(), port);
  EXPECT_EQ(received->GetUserData(), "CAFE0102");
  EXPECT_TRUE(WaitUntil([&] { return modem.Store().empty(); }));
}

// Parts 3, 1, 2 of one message: one row, and no part leaves the modem's
// storage before that row is stored.
TEST_F(ModemScenario, ThreeIncomingPartsOutOfOrderBecomeOneRowAndLeaveStorageOnlyThen) {
  CModemEmulator& modem = StartModem();
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered());
  const std::string texts[] = {"The first part, ", "the second part ", "and the third part [end]."};
  auto deliver = [&](int seq) {
    return modem
        .Deliver({{"from", "+4917012345"},
                  {"text", texts[seq - 1]},
                  {"concat", {{"ref", 0xA7}, {"total", 3}, {"seq", seq}}}})["index"]
        .get<int>();
  };
  const int third = deliver(3), first = deliver(1);
  // Each part is read by its own indication, or by a listing of the store
  // when a status poll counts more messages than the driver knows of.
  ASSERT_TRUE(WaitUntil([&] {
    const Json c = modem.Commands();
    const bool listed = CountCommands(c, "AT+CMGL") > 0;
    return (listed || CountCommands(c, "AT+CMGR=" + std::to_string(third)) > 0) &&
           (listed || CountCommands(c, "AT+CMGR=" + std::to_string(first)) > 0);
  }));
  // Two status polls later (200 ms apart) the engine has had its chance to
  // store or delete what it read.
  const Json read = modem.Commands(true);
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CSQ") >= 2; }));
  EXPECT_EQ(Count(m_Db, "", "SMSIncoming"), 0);
  EXPECT_EQ(modem.Store().size(), 2u);
  EXPECT_EQ(CountCommands(read, "AT+CMGD=") + CountCommands(modem.Commands(), "AT+CMGD="), 0u);

  deliver(2);
  ASSERT_TRUE(WaitUntil([&] { return Count(m_Db, "", "SMSIncoming") == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return modem.Store().empty(); }));
  Velquor velquor;
  const auto message = velquor.GetMsg(2000);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->GetPhoneNumber(), "+4917012345");
  EXPECT_EQ(message->GetMessageType(), mtTextMessage);
  EXPECT_EQ(message->GetMessage(), texts[0] + texts[1] + texts[2]);
  EXPECT_EQ(message->GetHandset(), 1);
  EXPECT_EQ(CountCommands(modem.Commands(), "AT+CMGD="), 3u);
}

// The modem's references count 0 to 255 and start again. A report for 0
// after the wrap belongs to the job that got 0 last, not to the one that got
// it a round earlier and never had its report.
TEST_F(ModemScenario, AReportForAReferenceThatWrappedPast255MatchesTheNewJob) {
  CModemEmulator& modem = StartModem({}, {{"DeliveryReports", "1"}});
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  auto send = [&](const std::string& text, int expectedReference) {
    const std::int32_t id = velquor.SendMsg("+4915550001", text, 0);
    const Json sent = TakeSubmissions(1);
    EXPECT_EQ(sent[0]["mr"], expectedReference);
    EXPECT_TRUE(sent[0]["decoded"]["srr"].get<bool>());
    EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSentNotConfirmed; }));
    return id;
  };
  const std::int32_t old = send("a round ago", 0);
  modem.Set({{"mr", 254}});  // 254 messages later
  const std::int32_t before = send("254", 254);
  const std::int32_t last = send("255", 255);
  const std::int32_t wrapped = send("after the wrap", 0);
  EXPECT_EQ(Count(m_Db, "MessageRef=0 AND Id=" + std::to_string(wrapped)), 1);
  EXPECT_EQ(Count(m_Db, "MessageRef IS NULL AND Id=" + std::to_string(old)), 1);

  modem.Report(0, 0x00);
  ASSERT_TRUE(WaitUntil([&] { return Status(m_Db, wrapped) == jsSent; }));
  modem.Report(254, 0x41);  // incompatible destination: never delivered
  ASSERT_TRUE(WaitUntil([&] { return Status(m_Db, before) == jsDeliveryFailed; }));
  EXPECT_EQ(Status(m_Db, old), jsSentNotConfirmed);
  EXPECT_EQ(Status(m_Db, last), jsSentNotConfirmed);

  std::map<std::int32_t, std::vector<NotificationTypes>> seen;
  std::map<std::int32_t, std::int32_t> errors;
  for (int i = 0; i < 6; ++i) {
    const auto n = velquor.GetNotification(2000);
    if (!n) break;
    seen[n->GetMessageId()].push_back(n->GetType());
    errors[n->GetMessageId()] = n->GetErrorCode();
  }
  EXPECT_EQ(seen[old], std::vector<NotificationTypes>{ntMessageSent});
  EXPECT_EQ(seen[last], std::vector<NotificationTypes>{ntMessageSent});
  EXPECT_EQ(seen[wrapped], (std::vector<NotificationTypes>{ntMessageSent, ntDeliveryReport}));
  EXPECT_EQ(seen[before], (std::vector<NotificationTypes>{ntMessageSent, ntDeliveryFailure}));
  EXPECT_EQ(errors[before], 0x41);
  EXPECT_TRUE(modem.Store().empty());
}

// The modem takes the PDU and then says nothing more: the submission times
// out, the job comes back (perhaps sent, so it is sent again: at least
// once), the device is reopened and initialised again, and once it answers
// the job goes out.
TEST_F(ModemScenario, AModemThatStopsAnsweringMidSendReturnsTheJobAndRecovers) {
  CModemEmulator& modem = StartModem({}, {{"CommandTimeout", "800"}, {"SendTimeout", "800"}});
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered());
  modem.Misbehave("silent-on-send");
  modem.Commands(true);
  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "through a hung modem", 0);

  // The driver gave up on the device and opens it again (logged once).
  ASSERT_TRUE(WaitUntil([&] {
    return TestSupport::ReadFile(m_Root.EventLog()).find("the device is opened again") != std::string::npos;
  }));
  EXPECT_TRUE(modem.Submissions().empty());
  EXPECT_TRUE(WaitUntil([&] { return Count(m_Db, "Status=0 AND RetryCount=1 AND Id=" + std::to_string(id)) == 1; }));
  EXPECT_EQ(Count(m_Db, "", "SMSNotifications"), 0);

  modem.Misbehave("none");
  const Json sent = TakeSubmissions(1);
  EXPECT_EQ(sent[0]["decoded"]["text"], "through a hung modem");
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  EXPECT_TRUE(WaitUntil([&] { return Count(m_Db, "Type=" + std::to_string(ntMessageSent), "SMSNotifications") == 1; }));
  EXPECT_EQ(Count(m_Db, "Type=" + std::to_string(ntSendFailure), "SMSNotifications"), 0);
  // Initialised again from the start.
  EXPECT_GE(CountCommands(modem.Commands(), "ATE0"), 1u);
  EXPECT_TRUE(WaitUntil([&] { return HandsetState().find("registered (home)") != std::string::npos; }));

  // And it keeps working.
  const std::int32_t next = velquor.SendMsg("+4915550002", "and the next", 0);
  EXPECT_EQ(TakeSubmissions(1)[0]["decoded"]["text"], "and the next");
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, next) == jsSent; }));
}

// A USB modem drops off the bus after taking the PDU and before answering,
// and comes back (re-enumerated, at the same stable path) with its SIM
// locked again. The handset opens it again, enters the PIN the SIM accepted
// before, and sends the job again: the network may have had it, so the
// recipient may get it twice (at least once).
TEST_F(ModemScenario, AModemPulledMidSendAndPluggedBackIsUnlockedAgainAndSendsTheJob) {
  TestSupport::ModemEmulatorOptions options;
  options.sPin = "2580";
  // No status polls after the first: the one command whose answer is late
  // is the send.
  CModemEmulator& modem = StartModem(options, {{"StatusInterval", "60000"}});
  ASSERT_EQ(TestSupport::RunCommand(std::string(VELQUOR_CLI) + " config set --handset 1 Pin 2580 --encrypted").status,
            0);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered());
  modem.Set({{"delayMs", 5000}});  // the network takes the PDU, its answer would come late
  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "across a replug", 0);
  const Json first = modem.WaitForSubmissions(1, kWait);
  modem.Set({{"delayMs", 0}});
  modem.Disconnect();
  modem.Restart();

  const Json again = TakeSubmissions(1);
  EXPECT_EQ(first[0]["decoded"]["text"], "across a replug");
  EXPECT_EQ(again[0]["decoded"]["text"], "across a replug");
  EXPECT_EQ(again[0]["mr"], (first[0]["mr"].get<int>() + 1) % 256);
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  EXPECT_EQ(CountCommands(modem.Commands(), "AT+CPIN=\"2580\""), 1u);
  EXPECT_EQ(modem.Status()["pin"], "READY");
  EXPECT_EQ(Count(m_Db, "Type=" + std::to_string(ntSendFailure), "SMSNotifications"), 0);
}

// The gateway dies after a received message is stored and before the modem
// deleted it. Nothing is lost, but at the next start the message is read from
// the modem's storage again and stored a second time: received messages are
// stored at least once, and in this window twice (README, "Connecting a
// modem"). A message deleted before the crash does not come again.
TEST_F(ModemScenario, AGatewayKilledBetweenStoringAndDeletingStoresTheMessageAgainAtRestart) {
  CModemEmulator& modem = StartModem();
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  modem.Deliver({{"from", "+4917011111"}, {"text", "before the crash"}});
  ASSERT_TRUE(
      WaitUntil([&] { return Count(m_Db, "Data='before the crash'", "SMSIncoming") == 1 && modem.Store().empty(); }));

  // The database is held, so the engine cannot store the next message before
  // the modem is frozen; then the AT+CMGD that follows the row never reaches it.
  OS::Connection holder;
  holder.Open("Data Source=" + m_Db.Dsn(), "", "");
  OS::_variant_t affected;
  holder.Execute("BEGIN EXCLUSIVE", &affected, OS::adCmdText | OS::adExecuteNoRecords);
  modem.Commands(true);  // the next message takes the slot the first one had
  const int index = modem.Deliver({{"from", "+4917022222"}, {"text", "in the window"}})["index"].get<int>();
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CMGR=" + std::to_string(index)) == 1; }));
  const pid_t emulator = EmulatorPid(modem);
  ASSERT_GT(emulator, 0);
  ASSERT_EQ(kill(emulator, SIGSTOP), 0);
  holder.Execute("COMMIT", &affected, OS::adCmdText | OS::adExecuteNoRecords);
  holder.Close();
  const bool stored = WaitUntil([&] { return Count(m_Db, "Data='in the window'", "SMSIncoming") == 1; });
  EXPECT_EQ(m_pServer->Kill(), 128 + SIGKILL);
  // The frozen modem goes with the bytes the gateway wrote to it; a new one
  // comes up on the same SIM store, as the modem would still hold them.
  kill(emulator, SIGKILL);
  modem.Restart();
  ASSERT_TRUE(stored);
  ASSERT_EQ(modem.Store().size(), 1u);

  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitUntil([&] { return modem.Store().empty(); }));
  EXPECT_EQ(Count(m_Db, "Data='in the window' AND PhoneNumber='+4917022222'", "SMSIncoming"), 2);
  EXPECT_EQ(Count(m_Db, "Data='before the crash'", "SMSIncoming"), 1);
  EXPECT_EQ(m_pServer->Stop(), 0);

  // An application sees it twice.
  Velquor velquor;
  std::vector<std::string> fetched;
  for (int i = 0; i < 5; ++i) {
    const auto m = velquor.GetMsg(0);
    if (!m) break;
    fetched.push_back(m->GetPhoneNumber() + " " + m->GetMessage());
  }
  std::sort(fetched.begin(), fetched.end());
  EXPECT_EQ(fetched, (std::vector<std::string>{"+4917011111 before the crash", "+4917022222 in the window",
                                               "+4917022222 in the window"}));
}

// The modem refuses to delete a stored message (+CMS ERROR 322): the store
// of one slot stays full and the next message cannot come in. The delete
// is tried again at the status polls; reading the store again after the
// modem came back deletes the message without storing it a second time,
// and then the next one comes in.
TEST_F(ModemScenario, ARefusedDeleteIsTriedAgainAndTheMessageIsStoredOnlyOnce) {
  TestSupport::ModemEmulatorOptions options;
  options.nStoreSize = 1;
  CModemEmulator& modem = StartModem(options);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered());
  modem.Fail("CMGD", 322, 100000);
  modem.Deliver({{"from", "+4917011111"}, {"text", "held by the modem"}});
  ASSERT_TRUE(WaitUntil([&] { return Count(m_Db, "Data='held by the modem'", "SMSIncoming") == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return CountCommands(modem.Commands(), "AT+CMGD=") >= 3; }));
  EXPECT_EQ(modem.Store().size(), 1u);
  EXPECT_THROW(modem.Deliver({{"from", "+4917022222"}, {"text", "waits at the network"}}), std::runtime_error);

  modem.Disconnect();
  modem.Restart();  // the same store; deletes work again
  ASSERT_TRUE(WaitUntil([&] { return modem.Store().empty(); }));
  modem.Deliver({{"from", "+4917022222"}, {"text", "waits at the network"}});
  ASSERT_TRUE(WaitUntil([&] { return Count(m_Db, "Data='waits at the network'", "SMSIncoming") == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return modem.Store().empty(); }));
  EXPECT_EQ(Count(m_Db, "Data='held by the modem'", "SMSIncoming"), 1);
}

// A modem in message service 1 (AT+CSMS=1) wants AT+CNMA for every report
// it shows with +CDS; without it, it turns routing off after its time-out
// and stores what comes later without a word.
TEST_F(ModemScenario, InServiceOneDirectReportsAreAcknowledgedAndRoutingStaysOn) {
  TestSupport::ModemEmulatorOptions options;
  options.nCsmsService = 1;
  CModemEmulator& modem = StartModem(options, {{"DeliveryReports", "1"}, {"StatusInterval", "60000"}});
  modem.Set({{"ackTimeoutMs", 1000}});
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "report please", 0);
  const Json sent = TakeSubmissions(1);
  ASSERT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSentNotConfirmed; }));
  modem.Report(sent[0]["mr"].get<int>(), 0x00);
  ASSERT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  // Past the modem's time-out for the acknowledgement.
  ASSERT_TRUE(WaitUntil([&] { return !modem.Status()["awaitingAck"].get<bool>(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(modem.Status()["cnmi"], Json({2, 1, 0, 1, 0}));
  EXPECT_EQ(CountCommands(modem.Commands(), "AT+CNMA"), 1u);

  modem.Deliver({{"from", "+4917011111"}, {"text", "after the report"}});
  EXPECT_TRUE(WaitUntil([&] { return Count(m_Db, "Data='after the report'", "SMSIncoming") == 1; }));
}

// The modem routes nothing more (here: routing turned off behind the
// gateway's back), so messages are stored without +CMTI. The status poll
// sees more messages in the store than it knows of, reads them and sets
// AT+CNMI again.
TEST_F(ModemScenario, MessagesStoredWithoutAnIndicationAreFoundAtAStatusPoll) {
  CModemEmulator& modem = StartModem();
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered());
  modem.Set({{"csms", 1}, {"ackTimeoutMs", 1}});
  modem.Report(9, 0x00);  // +CDS, which the gateway (told service 0) leaves unacknowledged
  ASSERT_TRUE(WaitUntil([&] { return modem.Status()["cnmi"] == Json({2, 0, 0, 0, 0}); }));
  modem.Deliver({{"from", "+4917011111"}, {"text", "without a word"}});
  EXPECT_TRUE(WaitUntil([&] { return Count(m_Db, "Data='without a word'", "SMSIncoming") == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return modem.Store().empty(); }));
  EXPECT_EQ(modem.Status()["cnmi"], Json({2, 1, 0, 1, 0}));
}

// A storm of +CMTI for a slot that holds nothing: each would be a failed
// read and a warning. Indications are coalesced, the store is read as a
// whole, the warnings are throttled, and the jobs go out meanwhile.
TEST_F(ModemScenario, ACmtiStormDoesNotStarveSendingNorFloodTheLog) {
  CModemEmulator& modem = StartModem({}, {{"StatusInterval", "500"}});
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered());
  modem.Storm(200000, 7);
  Velquor velquor;
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 20; ++i) ids.push_back(velquor.SendMsg("+4915550001", "job " + std::to_string(i), 0));
  modem.Deliver({{"from", "+4917011111"}, {"text", "in the storm"}});
  auto sent = [&] {
    return std::count_if(ids.begin(), ids.end(), [&](std::int32_t id) { return Status(m_Db, id) == jsSent; });
  };
  EXPECT_TRUE(WaitUntil([&] { return sent() == 20; }, 60000)) << sent() << " of 20 sent";
  EXPECT_TRUE(WaitUntil([&] { return Count(m_Db, "Data='in the storm'", "SMSIncoming") == 1; }, 60000));
  EXPECT_LT(CountCommands(modem.Commands(), "AT+CMGR=7"), 200u);
  std::istringstream events(TestSupport::ReadFile(m_Root.EventLog()));
  size_t failures = 0;
  for (std::string record; std::getline(events, record);)
    failures += record.find("could not be read") != std::string::npos;
  EXPECT_LE(failures, 10u);
}

// A SIM still busy after the PIN answers AT+CMGF=0 with +CMS ERROR 314: the
// modem is set up once the SIM is ready, and nobody is told that the modem
// lacks PDU mode.
TEST_F(ModemScenario, ABusySimIsWaitedForNotTakenForAModemWithoutPduMode) {
  CModemEmulator& modem = StartModem();
  modem.Fail("CMGF", 314, 4);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  ASSERT_TRUE(WaitRegistered()) << HandsetState();
  Velquor velquor;
  const std::int32_t id = velquor.SendMsg("+4915550001", "once the SIM is ready", 0);
  TakeSubmissions(1);
  EXPECT_TRUE(WaitUntil([&] { return Status(m_Db, id) == jsSent; }));
  const std::string events = TestSupport::ReadFile(m_Root.EventLog());
  EXPECT_EQ(events.find("no PDU mode"), std::string::npos);
  EXPECT_NE(events.find("SIM busy"), std::string::npos);
  EXPECT_EQ(CountCommands(modem.Commands(), "AT+CMGF=0"), 5u);
}
