// velquor-server with an SMPP handset against the test SMS centres (smsc.js
// on the npm package smpp, smsc.pl on Perl's Net::SMPP), all real processes
// on loopback, driven through the client library as an application would:
// SendMsg, GetNotification, GetMsg.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "config/norvale_encryption.h"
#include "norvale/velquor.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "server_test_support.h"
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

// One engine with handset 1 on the SMSC's port, and a client of its queues.
class SmppEngine {
 public:
  SmppEngine(const CSmscProcess& smsc, const std::map<std::string, std::string>& values = {}) : root(db.Dsn()) {
    std::filesystem::remove_all(TestSupport::Root() + "/run");
    ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
    root.Set("RetryBackoff", "100");
    root.SetHandset(1, "Driver", "smpp");
    root.SetHandset(1, "Host", "127.0.0.1");
    root.SetHandset(1, "Port", std::to_string(smsc.Port()));
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
  // ReconnectDelay is 50 ms, but a wrong password waits RejectedBindDelay.
  EXPECT_TRUE(smsc->WaitFor("bind", 1500ms).is_null());
  EXPECT_TRUE(WaitUntil([&] { return engine.Events().find("ESME_RINVPASWD") != std::string::npos; }))
      << engine.Events();
  EXPECT_TRUE(WaitUntil([&] { return engine.State().find("ESME_RINVPASWD") != std::string::npos; })) << engine.State();

  // A job waits for the bind only QueueTimeout, then is returned for a retry.
  const std::int32_t id = engine.velquor().SendMsg("+447700900123", "waits", 0);
  EXPECT_TRUE(WaitUntil([&] { return RetryCount(engine.db, id) >= 1; }, 5000));
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
  std::filesystem::create_directories(dir);
  const auto made = TestSupport::RunCommand(
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
      "-keyout " +
      dir + "/key.pem -out " + dir + "/cert.pem 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
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
