// velquor-server with an SMPP handset against the test SMS centres (smsc.js
// on the npm package smpp, smsc.pl on Perl's Net::SMPP), all real processes
// on loopback, driven through the client library as an application would:
// SendMsg, GetNotification, GetMsg.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/norvale_encryption.h"
#include "norvale/velquor.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "server_test_support.h"
#include "smpp/command_status.h"
#include "smsc_process.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using SmscTest::CSmscProcess;
using SmscTest::Json;
using TestSupport::Count;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;
using namespace std::chrono_literals;

namespace {

LONG Status(const TestSupport::TestDatabase& db, LONG id) {
  const _variant_t v = db.Value("SELECT Status FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Status");
  return v.vt == VT_NULL ? -1 : v.ToLong();
}

LONG RetryCount(const TestSupport::TestDatabase& db, LONG id) {
  try {
    const _variant_t v = db.Value("SELECT RetryCount FROM SMSOutgoing WHERE Id=" + std::to_string(id), "RetryCount");
    return v.vt == VT_NULL ? 0 : v.ToLong();
  } catch (const _com_error&) {
    return -1;  // the engine holds the file this moment
  }
}

// A loopback port nothing listens on (until a test starts an SMSC there).
std::uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("no loopback port");
  close(fd);
  return ntohs(address.sin_port);
}

// One engine with handset 1 on the SMSC's port, and a client of its queues.
class SmppEngine {
 public:
  SmppEngine(const CSmscProcess& smsc, const std::map<std::string, std::string>& values = {})
      : SmppEngine(smsc.Port(), values) {}
  SmppEngine(std::uint16_t port, const std::map<std::string, std::string>& values = {}) : root(db.Dsn()) {
    std::filesystem::remove_all(TestSupport::Root() + "/run");
    ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
    root.Set("RetryBackoff", "100");
    root.SetHandset(1, "Driver", "smpp");
    root.SetHandset(1, "Host", "127.0.0.1");
    root.SetHandset(1, "Port", std::to_string(port));
    root.SetHandset(1, "SystemId", "velquor");
    root.SetHandset(1, "Password", CNorvaleEncryption().EncryptString("secret"));
    root.SetHandset(1, "ReconnectDelay", "50");
    for (const auto& [k, v] : values) root.SetHandset(1, k, v);
  }
  ~SmppEngine() { server.Stop(); }

  bool Start() { return server.StartAndWait(); }
  std::string Events() const { return TestSupport::ReadFile(root.EventLog()); }
  std::string State() const { return TestSupport::ReadFile(server.StateFile()); }

  // The notifications of job `id` until one of `type` (or 5 s).
  std::shared_ptr<SMSNotification> WaitNotification(std::int32_t id, NotificationTypes type) {
    for (auto it = seen.begin(); it != seen.end(); ++it) {
      if ((*it)->GetMessageId() == id && (*it)->GetType() == type) {
        auto n = *it;
        seen.erase(it);
        return n;
      }
    }
    for (const auto end = std::chrono::steady_clock::now() + 8s; std::chrono::steady_clock::now() < end;) {
      auto n = velquor().GetNotification(500);
      if (n && n->GetMessageId() == id && n->GetType() == type) return n;
      if (n) seen.push_back(n);
    }
    return nullptr;
  }
  Velquor& velquor() {
    if (!client) client = std::make_unique<Velquor>();
    return *client;
  }

  TestSupport::TestDatabase db{TestSupport::Backend::Sqlite};
  EngineRoot root;
  ServerProcess server{root};
  std::unique_ptr<Velquor> client;
  std::vector<std::shared_ptr<SMSNotification>> seen;
};

bool Bound(CSmscProcess& smsc) {
  const Json bind = smsc.WaitFor("bind", 10s);
  return !bind.is_null() && bind.value("ok", false);
}

}  // namespace

// --- bind ---------------------------------------------------------------------

class SmppBothCentres : public ::testing::TestWithParam<std::string> {
 protected:
  std::unique_ptr<CSmscProcess> Smsc(std::vector<std::string> extra = {}) {
    if (GetParam() == "node") return SmscTest::NodeSmsc(std::move(extra));
    std::vector<std::string> argv{"perl", "smsc.pl", "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<CSmscProcess>(std::move(argv));
  }
};

TEST_P(SmppBothCentres, ARefusedBindIsLoggedShownAndNotRetriedInATightLoop) {
  auto smsc = Smsc({"--password", "other"});
  SmppEngine engine(*smsc, {{"QueueTimeout", "500"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  const Json bind = smsc->WaitFor("bind", 10s);
  ASSERT_FALSE(bind.is_null());
  EXPECT_FALSE(bind.value("ok", true));
  // Not bound, the handset claims nothing: the job waits in pending, well
  // past QueueTimeout and the retry back-off, without spending a retry.
  const std::int32_t id = engine.velquor().SendMsg("+447700900123", "waits", 0);
  // ReconnectDelay is 50 ms, but a wrong password waits RejectedBindDelay.
  EXPECT_TRUE(smsc->WaitFor("bind", 1500ms).is_null());
  EXPECT_TRUE(WaitUntil([&] { return engine.Events().find("ESME_RINVPASWD") != std::string::npos; }))
      << engine.Events();
  EXPECT_TRUE(WaitUntil([&] { return engine.State().find("ESME_RINVPASWD") != std::string::npos; })) << engine.State();
  EXPECT_EQ(Status(engine.db, id), jsPending);
  EXPECT_EQ(RetryCount(engine.db, id), 0);
}

// An SMSC that cannot be reached costs the jobs nothing: they wait in
// pending with their retries untouched and go once it can be reached.
TEST(SmppEngine, JobsWaitInPendingWhileTheSmscIsUnreachableAndGoWhenItAppears) {
  const std::uint16_t port = FreePort();
  SmppEngine engine(port, {{"QueueTimeout", "300"}, {"ReconnectDelayMax", "200"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(engine.velquor().SendMsg("+44770090012" + std::to_string(i), "later", 0));
  // Eight refused connections take more than a second: several queue
  // time-outs and retry back-offs.
  const auto refused = [&] {
    const std::string events = engine.Events();
    size_t n = 0;
    for (size_t at = 0; (at = events.find("connection failed", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return refused() >= 8; }, 20000)) << engine.Events();
  for (const auto id : ids) {
    EXPECT_EQ(Status(engine.db, id), jsPending) << id;
    EXPECT_EQ(RetryCount(engine.db, id), 0) << id;
  }
  CSmscProcess smsc({"node", "smsc.js", "--port", std::to_string(port)});
  ASSERT_TRUE(Bound(smsc));
  for (const auto id : ids) EXPECT_TRUE(engine.WaitNotification(id, ntMessageSent)) << id << engine.Events();
  for (const auto id : ids) EXPECT_EQ(RetryCount(engine.db, id), 0) << id;
}

// --- submit and receipt --------------------------------------------------------

TEST_P(SmppBothCentres, SendMsgReachesTheSmscAndItsReceiptComesBackAsADeliveryReport) {
  auto smsc = Smsc();
  if (GetParam() == "node") smsc->Command("auto-receipt DELIVRD");
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));

  const std::int32_t id = engine.velquor().SendMsg("+447700900123", "Hello SMPP", 0);
  const Json submit = smsc->WaitFor("submit", 10s);
  ASSERT_FALSE(submit.is_null()) << engine.Events();
  EXPECT_EQ(submit.value("destination", ""), "447700900123");
  EXPECT_EQ(submit.value("dest_ton", -1), 1);
  EXPECT_EQ(submit.value("data_coding", -1), 0);
  EXPECT_EQ(submit.value("registered_delivery", -1), 1);

  auto sent = engine.WaitNotification(id, ntMessageSent);
  ASSERT_TRUE(sent) << engine.Events();
  auto report = engine.WaitNotification(id, ntDeliveryReport);
  ASSERT_TRUE(report) << engine.Events();
  EXPECT_EQ(report->GetErrorCode(), 0);
  EXPECT_EQ(Status(engine.db, id), jsSent);
  EXPECT_EQ(Count(engine.db, "", "SMSMessageRefs"), 0);  // the text reference is used up
}

INSTANTIATE_TEST_SUITE_P(Smsc, SmppBothCentres, ::testing::Values("node", "perl"),
                         [](const auto& info) { return info.param; });

TEST(SmppEngine, AnUndeliveredReceiptFailsTheJobWithTheNetworkError) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  const std::int32_t id = engine.velquor().SendMsg("07700900123", "to nobody", 0);
  const Json submit = smsc->WaitFor("submit", 10s);
  ASSERT_FALSE(submit.is_null());
  EXPECT_EQ(submit.value("dest_ton", -1), 0);  // national numbers as written, unknown TON
  ASSERT_TRUE(engine.WaitNotification(id, ntMessageSent));
  // Only the TLVs: the error comes as network_error_code, GSM 261 (two octets, 0x0105).
  EXPECT_TRUE(smsc->Command("receipt " + submit.value("message_id", "") + " UNDELIV 261 tlv"));
  auto failure = engine.WaitNotification(id, ntDeliveryFailure);
  ASSERT_TRUE(failure) << engine.Events();
  EXPECT_EQ(failure->GetErrorCode(), 261);
  EXPECT_EQ(Status(engine.db, id), jsDeliveryFailed);
}

TEST(SmppEngine, AJobsSenderPriorityValidityAndReportRequestReachTheSmsc) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc, {{"SourceAddress", "Velquor"}, {"DeliveryReports", "0"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  TestSupport::QueueSet client(engine.db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  CSendOptions options;
  options.sSender = "Shop";
  options.nPriority = 1;
  options.bReportRequest = true;
  const std::int64_t nowMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  options.nValidUntil = nowMs + 2 * 3600 * 1000;
  client.outgoing.InsertJob("+447700900123", jtTextMessage, "with options", hsHandset1, me, options);
  Json submit = smsc->WaitFor("submit", 10s);
  ASSERT_FALSE(submit.is_null()) << engine.Events();
  EXPECT_EQ(submit.value("source", "?"), "Shop");
  EXPECT_EQ(submit.value("source_ton", -1), 5);
  EXPECT_EQ(submit.value("source_npi", -1), 0);
  EXPECT_EQ(submit.value("priority_flag", -1), 1);
  EXPECT_EQ(submit.value("registered_delivery", -1), 1);  // the job's request, the handset's 0 aside
  // Two hours less the moments the job waited: 1:59:xx or 2:00:00.
  const std::string validity = submit.value("validity_period", "");
  EXPECT_TRUE(validity == "000000020000000R" || validity.starts_with("0000000159")) << validity;
  EXPECT_TRUE(validity.ends_with("000R")) << validity;

  // A job without options goes as before: the handset's sender, the SMSC's
  // validity, normal priority, no receipt (DeliveryReports 0).
  client.outgoing.InsertJob("+447700900123", jtTextMessage, "plain", hsHandset1, me);
  submit = smsc->WaitFor("submit", 10s);
  ASSERT_FALSE(submit.is_null()) << engine.Events();
  EXPECT_EQ(submit.value("source", "?"), "Velquor");
  EXPECT_EQ(submit.value("priority_flag", -1), 0);
  EXPECT_EQ(submit.value("validity_period", "?"), "");
  EXPECT_EQ(submit.value("registered_delivery", -1), 0);
}

// --- received messages -----------------------------------------------------------

TEST(SmppEngine, TextUcs2AndConcatenatedMessagesArriveThroughGetMsg) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  auto next = [&] {
    auto m = engine.velquor().GetMsg(8000);
    return m ? m->GetPhoneNumber() + "|" + m->GetMessage() : std::string("(none)");
  };
  EXPECT_TRUE(smsc->Command("mo 447700900111 12345 0 48656C6C6F"));  // "Hello" in GSM 7-bit, one septet per octet
  EXPECT_EQ(next(), "+447700900111|Hello");
  EXPECT_EQ(smsc->WaitFor("deliver_resp", 5s).value("status", -1), 0);
  EXPECT_TRUE(smsc->Command("mo 447700900112 12345 8 041F04400438043204350442"));  // "Привет" in UCS-2
  EXPECT_EQ(next(), "+447700900112|\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  // Three parts with a concatenation element, out of order.
  EXPECT_TRUE(smsc->Command("mo 447700900113 12345 0 0500034203026F6E65 64"));
  EXPECT_TRUE(smsc->Command("mo 447700900113 12345 0 050003420301416C6C20696E20 64"));
  EXPECT_TRUE(smsc->Command("mo 447700900113 12345 0 0500034203032E 64"));
  EXPECT_EQ(next(), "+447700900113|All in one.");
  // Two parts with the SAR TLVs instead.
  EXPECT_TRUE(smsc->Command("mo-sar 447700900114 12345 0 513 2 2 6F7574"));
  EXPECT_TRUE(smsc->Command("mo-sar 447700900114 12345 0 513 2 1 53415220"));
  EXPECT_EQ(next(), "+447700900114|SAR out");
}

// --- long texts ---------------------------------------------------------------------

class SmppLongText : public ::testing::TestWithParam<std::string> {};

TEST_P(SmppLongText, ThreeHundredCharactersLeaveAsPartsOrAsOnePayload) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc, {{"LongMessages", GetParam()}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  std::string text;
  for (int i = 0; text.size() < 300; ++i) text += static_cast<char>('a' + i % 26);
  const std::int32_t id = engine.velquor().SendMsg("+447700900123", text, 0);
  ASSERT_TRUE(engine.WaitNotification(id, ntMessageSent)) << engine.Events();
  std::string received;
  if (GetParam() == "parts") {
    for (int part = 1; part <= 2; ++part) {
      const Json s = smsc->WaitFor("submit", 5s);
      ASSERT_FALSE(s.is_null());
      EXPECT_EQ(s.value("esm_class", 0) & 0x40, 0x40);
      EXPECT_EQ(s.value("registered_delivery", -1), part == 2 ? 1 : 0);  // the last part's receipt ends the job
      ASSERT_TRUE(s["udh"].is_string());
      // An 8-bit concatenation element: IEI 00, length 3, reference, 2 parts, this one.
      EXPECT_EQ(s["udh"].get<std::string>().substr(0, 4), "0003") << s.dump();
      EXPECT_EQ(s["udh"].get<std::string>().substr(6, 4), "020" + std::to_string(part)) << s.dump();
      received += s["text"].get<std::string>();
    }
    EXPECT_TRUE(smsc->WaitFor("submit", 300ms).is_null());
  } else {
    const Json s = smsc->WaitFor("submit", 5s);
    ASSERT_FALSE(s.is_null());
    EXPECT_EQ(s.value("esm_class", -1), 0);
    EXPECT_TRUE(s["text"].is_null() || s["text"].get<std::string>().empty()) << s.dump();
    ASSERT_TRUE(s["payload"].is_string()) << s.dump();
    received = s["payload"].get<std::string>();
    EXPECT_TRUE(smsc->WaitFor("submit", 300ms).is_null());
  }
  EXPECT_EQ(received, text);
}

INSTANTIATE_TEST_SUITE_P(Smpp, SmppLongText, ::testing::Values("parts", "payload"),
                         [](const auto& info) { return info.param; });

// --- throttling, drops, dead links ---------------------------------------------------

TEST(SmppEngine, AThrottledSubmitIsTriedAgainAndThenSent) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc, {{"ThrottlePause", "200"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  EXPECT_TRUE(smsc->Command("throttle 1"));
  const std::int32_t id = engine.velquor().SendMsg("+447700900123", "slowly", 0);
  EXPECT_FALSE(smsc->WaitFor("throttled", 5s).is_null());
  EXPECT_FALSE(smsc->WaitFor("submit", 5s).is_null());
  ASSERT_TRUE(engine.WaitNotification(id, ntMessageSent)) << engine.Events();
  EXPECT_EQ(RetryCount(engine.db, id), 1);
  EXPECT_NE(engine.Events().find("ESME_RTHROTTLED"), std::string::npos);
}

// A long text whose second part is refused for a while: the retry sends
// only the parts not accepted (part 3 usually went with part 2 in one
// window), with the first attempt's concatenation reference, so the
// recipient gets every part once and can join them.
TEST(SmppEngine, ARetrySendsOnlyThePartsNotAcceptedUnderTheSameReference) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc, {{"ThrottlePause", "100"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  EXPECT_TRUE(smsc->Command("throttle 1 1"));
  std::string text;
  for (int i = 0; text.size() < 400; ++i) text += static_cast<char>('a' + i % 26);  // three parts
  const std::int32_t id = engine.velquor().SendMsg("+447700900123", text, 0);
  ASSERT_TRUE(engine.WaitNotification(id, ntMessageSent)) << engine.Events();
  const Json refused = smsc->WaitFor("throttled", 5s);
  ASSERT_FALSE(refused.is_null());
  ASSERT_TRUE(refused["udh"].is_string()) << refused.dump();
  const std::string reference = refused["udh"].get<std::string>().substr(4, 2);
  EXPECT_EQ(refused["udh"].get<std::string>().substr(6, 4), "0302");
  // The parts go within one window, so part 3 may have been taken before
  // part 2's retry: each part arrives once, whatever the order.
  std::map<std::string, std::string> parts;  // part number -> text
  int submits = 0;
  for (Json s; !(s = smsc->WaitFor("submit", 500ms)).is_null(); ++submits) {
    ASSERT_TRUE(s["udh"].is_string()) << s.dump();
    const std::string udh = s["udh"].get<std::string>();
    EXPECT_EQ(udh.substr(4, 2), reference) << s.dump();
    parts[udh.substr(8, 2)] = s["text"].get<std::string>();
  }
  EXPECT_EQ(submits, 3);
  std::string received;
  for (const auto& [number, part] : parts) received += part;
  EXPECT_EQ(parts.size(), 3u);
  EXPECT_EQ(received, text);
  EXPECT_EQ(RetryCount(engine.db, id), 1);
}

// SMPP cannot tell whether the SMSC took a submit_sm it did not answer
// before the connection ended: such a job is tried again, so it is never
// lost, and may reach the SMSC twice.
TEST(SmppEngine, TheSmscDroppingTheConnectionMidWindowLosesNoJob) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  EXPECT_TRUE(smsc->Command("hold on"));
  const std::int32_t first = engine.velquor().SendMsg("+447700900123", "first", 0);
  const std::int32_t second = engine.velquor().SendMsg("+447700900124", "second", 0);
  ASSERT_FALSE(smsc->WaitFor("held", 5s).is_null());
  EXPECT_TRUE(smsc->Command("drop"));
  EXPECT_TRUE(smsc->Command("hold off"));
  EXPECT_TRUE(Bound(*smsc));  // reconnected after the back-off
  for (const auto id : {first, second}) {
    EXPECT_TRUE(engine.WaitNotification(id, ntMessageSent)) << id << engine.Events();
  }
  EXPECT_NE(engine.Events().find("the SMSC may have taken it"), std::string::npos) << engine.Events();
}

TEST(SmppEngine, AnUnansweredEnquireLinkEndsTheSessionAndTheDriverBindsAgain) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc, {{"EnquireLinkInterval", "200"}, {"ResponseTimeout", "300"}});
  EXPECT_TRUE(smsc->Command("silent-enquire on"));
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  const Json enquire = smsc->WaitFor("enquire_link", 5s);
  ASSERT_FALSE(enquire.is_null());
  EXPECT_FALSE(enquire.value("answered", true));
  EXPECT_FALSE(smsc->WaitFor("close", 5s).is_null());
  EXPECT_TRUE(smsc->Command("silent-enquire off"));
  EXPECT_TRUE(Bound(*smsc));
  EXPECT_TRUE(WaitUntil([&] { return engine.Events().find("enquire_link_resp") != std::string::npos; }))
      << engine.Events();
}

TEST(SmppEngine, MalformedPdusAreLoggedAnsweredAndSurvived) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  // An unknown command_id: generic_nack ESME_RINVCMDID.
  EXPECT_TRUE(smsc->Command("raw 000000100000011100000000000000F1"));
  Json nack = smsc->WaitFor("generic_nack", 5s);
  ASSERT_FALSE(nack.is_null());
  EXPECT_EQ(nack.value("status", -1), 3);
  EXPECT_EQ(nack.value("sequence", -1), 0xF1);
  // A deliver_sm whose TLV runs past the end: answered with an error.
  EXPECT_TRUE(
      smsc->Command("raw 0000002F0000000500000000000000F2"
                    "000101313233000000343536000000000000000000000002686904240010"
                    "4142"));
  const Json resp = smsc->WaitFor("deliver_resp", 5s);
  ASSERT_FALSE(resp.is_null());
  EXPECT_EQ(resp.value("sequence", -1), 0xF2);
  EXPECT_NE(resp.value("status", 0), 0);
  // A command_length too short to split the stream by: generic_nack, the
  // session ends and the driver binds again.
  EXPECT_TRUE(smsc->Command("raw 000000080000000400000000000000F3"));
  EXPECT_FALSE(smsc->WaitFor("close", 5s).is_null());
  EXPECT_TRUE(Bound(*smsc));
  EXPECT_FALSE(engine.server.Exited());
  const std::int32_t id = engine.velquor().SendMsg("+447700900123", "still here", 0);
  EXPECT_TRUE(engine.WaitNotification(id, ntMessageSent)) << engine.Events();
  const std::string events = engine.Events();
  EXPECT_NE(events.find("unusable PDU"), std::string::npos) << events;
}

// --- TLS ------------------------------------------------------------------------------

TEST(SmppEngine, TlsWithTheSmscsCertificateTrustedAndRefusedOtherwise) {
  const std::string dir = TestSupport::Root() + "/tls";
  ASSERT_EQ(SmscTest::MakeTlsCertificate(dir), "");
  auto smsc = SmscTest::NodeSmsc({"--tls-key", dir + "/key.pem", "--tls-cert", dir + "/cert.pem"});
  EXPECT_TRUE(smsc->Command("auto-receipt DELIVRD"));
  {
    SmppEngine engine(*smsc, {{"Tls", "1"}, {"TlsCaFile", dir + "/cert.pem"}});
    ASSERT_TRUE(engine.Start()) << engine.server.Errors();
    ASSERT_TRUE(Bound(*smsc)) << engine.Events();
    const std::int32_t id = engine.velquor().SendMsg("+447700900123", "sealed", 0);
    ASSERT_TRUE(engine.WaitNotification(id, ntMessageSent)) << engine.Events();
    EXPECT_TRUE(engine.WaitNotification(id, ntDeliveryReport)) << engine.Events();
  }
  // Trusting only the system's CAs, the self-signed certificate is refused.
  SmppEngine engine(*smsc, {{"Tls", "1"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  EXPECT_TRUE(WaitUntil([&] { return engine.Events().find("certificate not trusted") != std::string::npos; }, 10000))
      << engine.Events();
  EXPECT_TRUE(smsc->WaitFor("bind", 500ms).is_null());
}

// --- received messages: answered once stored -------------------------------------

namespace {

// What the SMSC saw of its deliver_sm: the text of each and the status of
// its answer, by sequence number.
struct Deliveries {
  std::map<int, std::string> text;
  std::map<int, int> status;
  // Every "submit" the SMSC reported, by how many answers with status 0 had
  // come before it.
  std::vector<size_t> acknowledgedBeforeSubmit;

  std::vector<std::string> others;  // the names of the other events

  // Reads the SMSC's events, in their order, for `wait`.
  void Collect(CSmscProcess& smsc, std::chrono::milliseconds wait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    do {
      for (Json e; !(e = smsc.WaitFor("", 10ms)).is_null();) {
        const std::string name = e.value("event", "");
        if (name == "deliver")
          text[e.value("sequence", 0)] = e.value("text", "");
        else if (name == "deliver_resp")
          status[e.value("sequence", 0)] = e.value("status", -1);
        else if (name == "submit")
          acknowledgedBeforeSubmit.push_back(Acknowledged());
        else
          others.push_back(name);
      }
    } while (std::chrono::steady_clock::now() < end);
  }
  bool Saw(const std::string& name) const { return std::find(others.begin(), others.end(), name) != others.end(); }
  size_t Acknowledged() const { return Answered(0); }
  size_t Answered(int s) const {
    return static_cast<size_t>(
        std::count_if(status.begin(), status.end(), [&](const auto& a) { return a.second == s; }));
  }
  // The texts the SMSC saw answered with ESME_ROK that have no row.
  std::vector<std::string> AcknowledgedNotStored(const TestSupport::TestDatabase& db) const {
    std::vector<std::string> lost;
    for (const auto& [sequence, s] : status)
      if (s == 0 && Count(db, "Data='" + text.at(sequence) + "'", "SMSIncoming") == 0)
        lost.push_back(text.at(sequence));
    return lost;
  }
};

// Holds the write lock of a SQLite database until Release.
class WriteLock {
 public:
  explicit WriteLock(const TestSupport::TestDatabase& db) {
    m_Connection.Open("Data Source=" + db.Dsn(), "", "");
    _variant_t affected;
    m_Connection.Execute("BEGIN IMMEDIATE", &affected, adCmdText | adExecuteNoRecords);
  }
  ~WriteLock() { Release(); }
  void Run(const std::string& sql) {
    _variant_t affected;
    m_Connection.Execute(sql, &affected, adCmdText | adExecuteNoRecords);
  }
  void Release() {
    if (m_bReleased) return;
    m_bReleased = true;
    Run("COMMIT");
    m_Connection.Close();
  }

 private:
  Connection m_Connection;
  bool m_bReleased = false;
};

}  // namespace

// The SMSC never hears ESME_ROK for a message the engine has not committed:
// with the database held, nothing is answered; killed at any moment after,
// every message the SMSC saw accepted is in SMSIncoming.
TEST(SmppEngine, AReceivedMessageIsAnsweredOnlyOnceStoredAndAKillLosesNoneAnswered) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  Deliveries seen;
  {
    WriteLock lock(engine.db);
    for (int i = 1; i <= 5; ++i)
      ASSERT_TRUE(smsc->Command("mo 447700900111 12345 0 " + std::string("6C") + "3" + std::to_string(i)));
    seen.Collect(*smsc, 1500ms);
    EXPECT_EQ(seen.text.size(), 5u);
    EXPECT_EQ(seen.Acknowledged(), 0u) << "answered while the database was held";
    EXPECT_TRUE(engine.State().find("received waiting to be stored") != std::string::npos) << engine.State();
  }
  seen.Collect(*smsc, 100ms);
  ASSERT_TRUE(WaitUntil([&] {
    seen.Collect(*smsc, 20ms);
    return seen.Acknowledged() == 5;
  })) << seen.Acknowledged();
  // A burst, and the engine killed while it is being stored.
  ASSERT_TRUE(smsc->Command("flood 447700900112 12345 80"));
  WaitUntil([&] {
    seen.Collect(*smsc, 5ms);
    return seen.Acknowledged() >= 20;
  });
  EXPECT_EQ(engine.server.Kill(), 128 + SIGKILL);
  seen.Collect(*smsc, 300ms);
  EXPECT_EQ(seen.text.size(), 85u);
  EXPECT_GE(seen.Acknowledged(), 5u);
  EXPECT_EQ(seen.AcknowledgedNotStored(engine.db), std::vector<std::string>{});
  EXPECT_GE(static_cast<size_t>(Count(engine.db, "", "SMSIncoming")), seen.Acknowledged());
}

// On SIGTERM the intake stops first: a message that arrives while the engine
// stops is refused with a temporary error (the SMSC keeps it), and what was
// handed over before is stored and answered before the unbind.
TEST(SmppEngine, AMessageArrivingDuringTheStopIsStoredOrRefusedNeverAnsweredAndDropped) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  Deliveries seen;
  {
    WriteLock lock(engine.db);
    ASSERT_TRUE(smsc->Command("flood 447700900111 12345 3"));
    seen.Collect(*smsc, 500ms);
    ASSERT_EQ(seen.text.size(), 3u);
    kill(engine.server.Pid(), SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return engine.Events().find("VelquorServer stopping") != std::string::npos; }));
    // Until one arrives after the intake stopped.
    for (int i = 0; i < 20 && seen.Answered(Smpp::ESME_RX_T_APPN) == 0; ++i) {
      ASSERT_TRUE(smsc->Command("mo 447700900112 12345 0 6C6174" + std::to_string(30 + i % 10)));
      seen.Collect(*smsc, 100ms);
    }
    EXPECT_GE(seen.Answered(Smpp::ESME_RX_T_APPN), 1u);
    EXPECT_EQ(seen.Acknowledged(), 0u);
  }
  EXPECT_EQ(engine.server.Wait(), 0) << engine.Events();
  seen.Collect(*smsc, 300ms);
  EXPECT_GE(seen.Acknowledged(), 3u) << "the messages handed over before the stop were stored and answered";
  EXPECT_EQ(seen.AcknowledgedNotStored(engine.db), std::vector<std::string>{});
  EXPECT_EQ(static_cast<size_t>(Count(engine.db, "", "SMSIncoming")), seen.Acknowledged());
  EXPECT_TRUE(seen.Saw("unbind_resp") || seen.Saw("unbind")) << "the session ends with an unbind";
}

// Sending shares the worker with a backlog of received messages: the first
// job goes out after a batch of them is stored, not after all of them.
TEST(SmppEngine, AFloodOfReceivedMessagesDoesNotStarveSendingOnTheSameBind) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  Deliveries seen;
  {
    // The jobs and the received messages wait for the same moment.
    WriteLock lock(engine.db);
    for (int i = 1; i <= 3; ++i)
      lock.Run(
          "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, "
          "SourceName) VALUES (" +
          std::to_string(i) + ", 1, '+4477009001" + std::to_string(i) + "', 'out', 1, 0, 1, ' ', ' ')");
    ASSERT_TRUE(smsc->Command("flood 447700900111 12345 60"));
    seen.Collect(*smsc, 1000ms);
    ASSERT_EQ(seen.text.size(), 60u);
  }
  ASSERT_TRUE(WaitUntil([&] {
    seen.Collect(*smsc, 20ms);
    return seen.Acknowledged() == 60 && seen.acknowledgedBeforeSubmit.size() == 3;
  })) << seen.Acknowledged();
  EXPECT_LT(seen.acknowledgedBeforeSubmit.front(), 60u) << "the first job waited for every received message";
  EXPECT_EQ(Count(engine.db, "", "SMSIncoming"), 60);
}

// Repeated warnings are throttled: a flood of messages with the same fault
// leaves a few lines, not one per message; beyond the receive window the
// SMSC is told to slow down (ESME_RTHROTTLED) and keeps the rest.
TEST(SmppEngine, AFloodOfFaultyMessagesLeavesAFewWarningsAndIsHeldToTheReceiveWindow) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc, {{"ReceiveWindow", "50"}});
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  Deliveries seen;
  {
    WriteLock lock(engine.db);
    // UDHI set, and a header length past the user data.
    ASSERT_TRUE(smsc->Command("flood 447700900111 12345 200 FF41 64"));
    seen.Collect(*smsc, 1000ms);
  }
  ASSERT_TRUE(WaitUntil([&] {
    seen.Collect(*smsc, 20ms);
    return seen.status.size() == 200;
  })) << seen.status.size();
  EXPECT_EQ(seen.Acknowledged(), 50u);
  EXPECT_EQ(seen.Answered(Smpp::ESME_RTHROTTLED), 150u);
  EXPECT_TRUE(WaitUntil([&] { return Count(engine.db, "", "SMSIncoming") == 50; }));
  const std::string events = engine.Events();
  auto lines = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = events.find(what); at != std::string::npos; at = events.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_GE(lines("UDHI set but"), 1u);
  EXPECT_LE(lines("UDHI set but"), 10u) << events.size();
  EXPECT_LE(lines("ESME_RTHROTTLED"), 10u);
  EXPECT_NE(events.find("more like it within a minute are not logged"), std::string::npos);
}

// The deliver_sm kinds that carry no message are answered and not stored.
TEST(SmppEngine, AcknowledgementsAndAbortsFromTheSmscAreNotStoredAsMessages) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  Deliveries seen;
  for (const char* esm : {"8", "16", "24"})
    ASSERT_TRUE(smsc->Command(std::string("mo 447700900111 12345 0 61636B ") + esm));
  ASSERT_TRUE(smsc->Command("mo 447700900112 12345 0 48656C6C6F"));  // a message after them
  ASSERT_TRUE(WaitUntil([&] {
    seen.Collect(*smsc, 20ms);
    return seen.Acknowledged() == 4;
  }));
  EXPECT_TRUE(WaitUntil([&] { return Count(engine.db, "Data='Hello'", "SMSIncoming") == 1; }));
  EXPECT_EQ(Count(engine.db, "", "SMSIncoming"), 1);
  const std::string events = engine.Events();
  for (const char* kind : {"an SME delivery acknowledgement", "a user acknowledgement", "a conversation abort"})
    EXPECT_NE(events.find(kind), std::string::npos) << kind;
}

// The number a received message was sent to is kept in DestName, with
// DestType and DestId as every reader knows them (0 and blank).
TEST(SmppEngine, AReceivedMessageKeepsTheNumberItWasSentToInDestName) {
  auto smsc = SmscTest::NodeSmsc();
  SmppEngine engine(*smsc);
  ASSERT_TRUE(engine.Start()) << engine.server.Errors();
  ASSERT_TRUE(Bound(*smsc));
  ASSERT_TRUE(smsc->Command("mo 447700900112 4915112345 0 48656C6C6F"));
  ASSERT_TRUE(WaitUntil([&] { return Count(engine.db, "Data='Hello'", "SMSIncoming") == 1; }));
  EXPECT_EQ(engine.db.Value("SELECT DestName FROM SMSIncoming WHERE Data='Hello'", "DestName").ToString(),
            "4915112345");
  EXPECT_EQ(Count(engine.db, "Data='Hello' AND DestType=0 AND TRIM(DestId)=''", "SMSIncoming"), 1);
  EXPECT_EQ(engine.db.Value("SELECT PhoneNumber FROM SMSIncoming WHERE Data='Hello'", "PhoneNumber").ToString(),
            "+447700900112");
}
