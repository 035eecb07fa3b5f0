// velquor-server with a "modem" handset on a real pseudo-terminal, answered
// by the scripted AT peer: jobs wait while the modem is off the network, a
// sent job records the modem's reference and its report, a reference that
// came round again reports on the new job, and a received message is
// stored before the modem is told to delete it.
#include <gtest/gtest.h>

#include "codec/sms_deliver.h"
#include "codec/sms_status_report.h"
#include "scripted_modem.h"
#include "server_test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Count;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;

namespace {

std::string Report(std::uint8_t reference, std::uint8_t status) {
  Sms::SmsStatusReport s;
  s.sSmsc = "+491710760000";
  s.nMessageReference = reference;
  s.Recipient = Sms::ParseAddress("+4915111");
  s.nStatus = status;
  const std::string pdu = Sms::EncodeStatusReport(s).Hex();
  return "\r\n+CDS: " + std::to_string(pdu.size() / 2 - 1) + "\r\n" + pdu + "\r\n";
}

}  // namespace

TEST(EngineModem, JobsWaitOffTheNetworkReportsMatchWrappedReferencesAndReceivedMessagesAreKeptUntilStored) {
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  const std::string rootDir = TestSupport::Root() + "/modem-engine";
  EngineRoot root(db.Dsn(), rootDir);
  ModemTest::CPty pty;
  ModemTest::CScriptedModem modem(pty.Master());
  {
    auto l = modem.Lock();
    modem.bRegistered = false;
    modem.nNextReference = 7;
  }
  root.SetHandset(1, "Driver", "modem");
  root.SetHandset(1, "Device", pty.Path());
  root.SetHandset(1, "StatusInterval", "100");
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  const LONG first = client.outgoing.InsertJob("+4915111", jtTextMessage, "first", hsHandset1, me);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();

  // Off the network: polled, nothing sent, the job still pending.
  ASSERT_TRUE(modem.WaitFor([&] { return modem.CountLocked("AT+CREG?") >= 5; }));
  EXPECT_TRUE(modem.WaitFor([&] { return modem.Pdus.empty(); }, std::chrono::milliseconds(0)));
  EXPECT_EQ(Count(db, "Status=0 AND Id=" + std::to_string(first)), 1);
  ASSERT_TRUE(WaitUntil(
      [&] { return TestSupport::ReadFile(server.StateFile()).find("searching for a network") != std::string::npos; }));

  {
    auto l = modem.Lock();
    modem.bRegistered = true;
  }
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Status=9 AND MessageRef=7 AND Id=" + std::to_string(first)) == 1; }));
  // 256 messages later the modem hands out 7 again; the first job's report
  // never came.
  {
    auto l = modem.Lock();
    modem.nNextReference = 7;
  }
  const LONG second = client.outgoing.InsertJob("+4915111", jtTextMessage, "second", hsHandset1, me);
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Status=9 AND MessageRef=7 AND Id=" + std::to_string(second)) == 1; }));
  modem.Inject(Report(7, 0x00));
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Status=2 AND Id=" + std::to_string(second)) == 1; }));
  EXPECT_EQ(Count(db, "Status=9 AND MessageRef IS NULL AND Id=" + std::to_string(first)), 1);
  EXPECT_EQ(Count(db, "Type=0 AND OriginalId=" + std::to_string(second), "SMSNotifications"), 1);

  Sms::SmsDeliver d;
  d.sSmsc = "+491710760000";
  d.Originator = Sms::ParseAddress("+4917012345");
  d.UserData = Sms::SplitText("hello gateway", 0).front();
  {
    auto l = modem.Lock();
    modem.Store[4] = Sms::EncodeDeliver(d).Hex();
  }
  modem.Inject("\r\n+CMTI: \"SM\",4\r\n");
  ASSERT_TRUE(modem.WaitFor([&] { return modem.Store.empty(); }));
  EXPECT_EQ(Count(db, "PhoneNumber='+4917012345' AND Data='hello gateway' AND Handset=1", "SMSIncoming"), 1);

  // Three parts out of order: one row, and no part deleted before it is
  // stored.
  const std::string text(400, 'x');
  const auto parts = Sms::SplitText(text + "yz", 99);
  ASSERT_EQ(parts.size(), 3u);
  for (const int index : {13, 11, 12}) {
    d.UserData = parts[static_cast<size_t>(index - 11)];
    size_t listings = 0;
    {
      auto l = modem.Lock();
      modem.Store[index] = Sms::EncodeDeliver(d).Hex();
      listings = modem.CountLocked("AT+CMGL=4");
    }
    modem.Inject("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
    if (index == 12) break;
    // Read by its indication, or by the status poll's look at the storage
    // when that came first (the indication then names a slot already read).
    ASSERT_TRUE(modem.WaitFor([&] {
      return modem.CountLocked("AT+CMGR=" + std::to_string(index)) == 1 || modem.CountLocked("AT+CMGL=4") > listings;
    }));
    // The engine has had the part for a while: still nothing deleted.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(modem.Count("AT+CMGD=13") + modem.Count("AT+CMGD=11"), 0u);
  }
  ASSERT_TRUE(modem.WaitFor([&] { return modem.Store.empty(); }));
  EXPECT_EQ(Count(db, "Data='" + text + "yz'", "SMSIncoming"), 1);
  EXPECT_EQ(server.Stop(), 0);
}
