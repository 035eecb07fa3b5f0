#include "server/drivers/modem/modem_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "codec/hex.h"
#include "codec/sms_deliver.h"
#include "codec/sms_status_report.h"
#include "codec/sms_submit.h"
#include "config/norvale_encryption.h"
#include "driver_events_recorder.h"
#include "platform/error_info.h"
#include "scripted_modem.h"
#include "server/drivers/modem/cms_error.h"

using namespace Norvale;
using namespace std::chrono_literals;

namespace {

using Events = TestSupport::CDriverEventsRecorder;

// Polls a condition of the driver (its state is its own) every 10 ms, for
// at most 10 s.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

CSettingValues Values(const std::string& device, CSettingValues more = {}) {
  CSettingValues v = {{"Device", device},        {"CommandTimeout", "500"}, {"SendTimeout", "500"},
                      {"StatusInterval", "100"}, {"ReconnectDelay", "50"},  {"ReconnectMaxDelay", "200"}};
  for (auto& [k, x] : more) v[k] = x;
  return v;
}

std::string DeliverPdu(const std::string& from, const std::string& text) {
  Sms::SmsDeliver d;
  d.sSmsc = "+491710760000";
  d.Originator = Sms::ParseAddress(from);
  d.ServiceCentreTime = {2026, 12, 9, 1, 30, 0, 4};
  d.UserData = Sms::SplitText(text, 0).front();
  return Sms::EncodeDeliver(d).Hex();
}

std::string ReportPdu(std::uint8_t reference, std::uint8_t status) {
  Sms::SmsStatusReport s;
  s.sSmsc = "+491710760000";
  s.nMessageReference = reference;
  s.Recipient = Sms::ParseAddress("+4915112345678");
  s.nStatus = status;
  return Sms::EncodeStatusReport(s).Hex();
}

COutgoingSms Text(const std::string& number, const std::string& text, bool report = true) {
  return {7, 1, 1, Sms::PhoneNumber::FromText(number), Sms::SplitText(text, 1).front(), report, {}};
}

// A modem on a pty with its driver, started.
struct Rig {
  ModemTest::CPty pty;
  ModemTest::CScriptedModem modem{pty.Master()};
  Events events;
  std::unique_ptr<CModemDriver> driver;
  void Start(CSettingValues more = {}) {
    driver = std::make_unique<CModemDriver>(1, Values(pty.Path(), std::move(more)));
    driver->Start(&events);
  }
  bool Ready() {
    return Eventually([&] { return driver->IsReadyToSend(); });
  }
};

}  // namespace

TEST(CModemDriver, InitialisesEntersThePinOnceAndReportsRegistrationAndSignal) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.bPinNeeded = true;
  }
  rig.Start({{"Pin", CNorvaleEncryption().EncryptString("1234")}, {"SmsCentre", "+491710760000"}});
  ASSERT_TRUE(rig.Ready()) << rig.driver->GetState().sDetail;
  const CDriverState state = rig.driver->GetState();
  EXPECT_TRUE(state.bConnected);
  EXPECT_TRUE(state.bRegistered);
  EXPECT_EQ(state.nSignal, 65);
  EXPECT_NE(state.sDetail.find("SIM ready"), std::string::npos) << state.sDetail;
  auto l = rig.modem.Lock();
  EXPECT_EQ(rig.modem.nPinAttempts, 1);
  const std::vector<std::string> expected = {"AT",
                                             "ATE0",
                                             "AT+CMEE=1",
                                             "AT+CPIN?",
                                             "AT+CPIN=\"1234\"",
                                             "AT+CPIN?",
                                             "AT+CMGF=0",
                                             "AT+CSCA=\"+491710760000\",145"};
  ASSERT_GE(rig.modem.Commands.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(rig.modem.Commands.begin(), rig.modem.Commands.begin() + 8), expected);
  for (const char* c : {"AT+CPMS=\"SM\",\"SM\",\"SM\"", "AT+CNMI=2,1,0,1,0", "AT+CMGL=4"})
    EXPECT_NE(std::find(rig.modem.Commands.begin(), rig.modem.Commands.end(), c), rig.modem.Commands.end()) << c;
}

TEST(CModemDriver, AWrongPinIsReportedAndNeverEnteredAgain) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.bPinNeeded = true;
    rig.modem.sPin = "0000";
  }
  rig.Start({{"Pin", CNorvaleEncryption().EncryptString("1234")}});
  ASSERT_TRUE(Eventually([&] { return rig.driver->GetState().sDetail.find("rejected") != std::string::npos; }));
  // Several status polls later (every 100 ms) the PIN has still been tried once.
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CPIN?") >= 5; }));
  EXPECT_EQ(rig.modem.Count("AT+CPIN=\"1234\""), 1u);
  EXPECT_FALSE(rig.driver->IsReadyToSend());
  const CSubmitResult r = rig.driver->Submit(Text("+4915112345678", "hi"));
  EXPECT_TRUE(r.bTemporary);
  EXPECT_NE(r.sErrorText.find("PIN"), std::string::npos) << r.sErrorText;
}

TEST(CModemDriver, SettingsAreCheckedAndNamed) {
  auto fails = [](CSettingValues v, const char* name) {
    try {
      CModemDriver d(2, v);
      return false;
    } catch (const OS::_com_error& e) {
      return std::string(e.DescriptionA()).find(std::string("Handsets\\2\\") + name) != std::string::npos;
    }
  };
  EXPECT_TRUE(fails({}, "Device"));
  EXPECT_TRUE(fails({{"Device", "/dev/ttyUSB0"}, {"Pin", "1234"}}, "Pin"));  // stored in clear text
  EXPECT_TRUE(fails({{"Device", "/dev/ttyUSB0"}, {"FlowControl", "xon"}}, "FlowControl"));
  EXPECT_TRUE(fails({{"Device", "/dev/ttyUSB0"}, {"Speed", "fast"}}, "Speed"));
  EXPECT_TRUE(fails({{"Device", "/dev/ttyUSB0"}, {"SmsCentre", "+49 171"}}, "SmsCentre"));
  EXPECT_TRUE(fails({{"Device", "/dev/ttyUSB0"}, {"InitString", "AT\rATZ"}}, "InitString"));
  EXPECT_NO_THROW(CModemDriver(2, {{"Device", "/dev/ttyUSB0"}, {"Pin", ""}, {"Storage", "ME"}}));
}

TEST(CModemDriver, OffTheNetworkItIsNotReadyUntilRegistered) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.bRegistered = false;
  }
  rig.Start();
  ASSERT_TRUE(Eventually([&] { return rig.driver->GetState().sDetail.find("searching") != std::string::npos; }));
  EXPECT_FALSE(rig.driver->IsReadyToSend());
  EXPECT_FALSE(rig.driver->GetState().bRegistered);
  const CSubmitResult r = rig.driver->Submit(Text("+4915112345678", "hi"));
  EXPECT_EQ(r.eOutcome, ESubmitOutcome::NetworkFailure);
  EXPECT_TRUE(r.bTemporary);
  EXPECT_EQ(rig.modem.Count("AT+CMGS=19"), 0u);
  {
    auto l = rig.modem.Lock();
    rig.modem.bRegistered = true;
  }
  EXPECT_TRUE(rig.Ready());
}

TEST(CModemDriver, SendsAPduAndReturnsTheMessageReference) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.nNextReference = 255;
  }
  rig.Start({{"ValidityPeriod", "1440"}});
  ASSERT_TRUE(rig.Ready());
  // TP-DA is the parsed number: its digits, and its type from its kind.
  const CSubmitResult first = rig.driver->Submit(Text("+49 (151) 123-456.78", "Hello [world] €"));
  ASSERT_EQ(first.eOutcome, ESubmitOutcome::Accepted) << first.sErrorText;
  EXPECT_EQ(first.Reference.Describe(), "255");
  const CSubmitResult second = rig.driver->Submit(Text("+4915112345678", "again"));
  EXPECT_EQ(second.Reference.Describe(), "0");  // the reference wrapped
  const CSubmitResult quiet = rig.driver->Submit(Text("0151123", "no report", false));
  EXPECT_EQ(quiet.eOutcome, ESubmitOutcome::Accepted);
  EXPECT_FALSE(quiet.Reference.bValid);

  auto l = rig.modem.Lock();
  ASSERT_EQ(rig.modem.Pdus.size(), 3u);
  const Sms::SmsSubmit s = Sms::DecodeSubmit(Sms::FromHex(rig.modem.Pdus[0]));
  EXPECT_EQ(s.Destination, (Sms::PhoneAddress{"+4915112345678", Sms::kToaInternational}));
  EXPECT_TRUE(s.bStatusReportRequest);
  EXPECT_EQ(s.eValidityFormat, Sms::ValidityFormat::Relative);
  EXPECT_EQ(Sms::PartsToUtf8(std::vector{s.UserData}), "Hello [world] €");
  // AT+CMGS counts the TPDU, not the SMSC prefix "00".
  const std::string command = "AT+CMGS=" + std::to_string(rig.modem.Pdus[0].size() / 2 - 1);
  EXPECT_NE(std::find(rig.modem.Commands.begin(), rig.modem.Commands.end(), command), rig.modem.Commands.end());
  const Sms::SmsSubmit national = Sms::DecodeSubmit(Sms::FromHex(rig.modem.Pdus[2]));
  EXPECT_FALSE(national.bStatusReportRequest);
  EXPECT_EQ(national.Destination, (Sms::PhoneAddress{"0151123", Sms::kToaUnknown}));
}

TEST(CModemDriver, AMessagesOwnValidityGoesAsTpVpRoundedUpAndItsSenderIsIgnored) {
  Rig rig;
  rig.Start({{"ValidityPeriod", "1440"}});
  ASSERT_TRUE(rig.Ready());
  struct Case {
    std::optional<std::chrono::seconds> validity;
    std::uint8_t octet;
  };
  // Without one the handset's 1440 minutes (167); 2 h 1 s rounds up to 2 h
  // 5 min (24), 13 h to 13 h (145), 3 days to 169, 5 weeks to 197.
  const Case cases[] = {{std::nullopt, 167}, {2h + 1s, 24}, {13h, 145}, {72h, 169}, {5 * 7 * 24h, 197}, {0s, 0}};
  for (const Case& c : cases) {
    COutgoingSms m = Text("+4915112345678", "valid", false);
    m.Validity = c.validity;
    m.sSender = "Shop";
    ASSERT_EQ(rig.driver->Submit(m).eOutcome, ESubmitOutcome::Accepted);
  }
  auto l = rig.modem.Lock();
  ASSERT_EQ(rig.modem.Pdus.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Sms::SmsSubmit s = Sms::DecodeSubmit(Sms::FromHex(rig.modem.Pdus[i]));
    EXPECT_EQ(s.eValidityFormat, Sms::ValidityFormat::Relative) << i;
    EXPECT_EQ(s.Validity, std::vector<std::uint8_t>{cases[i].octet}) << i;
    EXPECT_FALSE(s.bStatusReportRequest) << i;
  }
}

TEST(CModemDriver, RefusalsAreMappedOntoOutcomes) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.nCmsError = 500;
  }
  rig.Start();
  ASSERT_TRUE(rig.Ready());
  const CSubmitResult unknown = rig.driver->Submit(Text("+4915112345678", "x"));
  EXPECT_EQ(unknown.eOutcome, ESubmitOutcome::DeviceError);
  EXPECT_TRUE(unknown.bTemporary);
  EXPECT_EQ(unknown.nErrorCode, 500);
  {
    auto l = rig.modem.Lock();
    rig.modem.nCmsError = 1;
  }
  const CSubmitResult unassigned = rig.driver->Submit(Text("+4915112345678", "x"));
  EXPECT_EQ(unassigned.eOutcome, ESubmitOutcome::InvalidNumber);
  EXPECT_FALSE(unassigned.bTemporary);
  EXPECT_EQ(unassigned.nErrorCode, 1);
  // Caught before the modem: a name is no destination.
  COutgoingSms named = Text("+4915112345678", "x");
  named.Number = *Sms::PhoneNumber::ParseSender("Velquor").number;
  const CSubmitResult bad = rig.driver->Submit(named);
  EXPECT_EQ(bad.eOutcome, ESubmitOutcome::InvalidNumber);
  EXPECT_TRUE(rig.driver->IsReadyToSend());  // a refusal is no device failure

  EXPECT_EQ(SubmitFailureFromCms(331).eOutcome, ESubmitOutcome::NetworkFailure);
  EXPECT_TRUE(SubmitFailureFromCms(331).bTemporary);
  EXPECT_EQ(SubmitFailureFromCms(42).eOutcome, ESubmitOutcome::NetworkFailure);  // congestion
  EXPECT_TRUE(SubmitFailureFromCms(42).bTemporary);
  EXPECT_EQ(SubmitFailureFromCms(0xC3).eOutcome, ESubmitOutcome::InvalidNumber);
  EXPECT_EQ(SubmitFailureFromCms(96).eOutcome, ESubmitOutcome::InvalidMessage);
  EXPECT_FALSE(SubmitFailureFromCms(96).bTemporary);
  EXPECT_EQ(SubmitFailureFromCms(314).eOutcome, ESubmitOutcome::DeviceError);
  EXPECT_EQ(SubmitFailureFromCme(30).eOutcome, ESubmitOutcome::NetworkFailure);
}

TEST(CModemDriver, AModemFallingSilentMidSendFailsTheSendTemporarilyAndIsReopened) {
  Rig rig;
  rig.Start();
  ASSERT_TRUE(rig.Ready());
  {
    auto l = rig.modem.Lock();
    rig.modem.bMuteAfterPdu = true;
    rig.modem.bMute = false;
  }
  const auto started = std::chrono::steady_clock::now();
  const CSubmitResult r = rig.driver->Submit(Text("+4915112345678", "lost in the modem"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_NE(r.eOutcome, ESubmitOutcome::Accepted);
  EXPECT_TRUE(r.bTemporary);
  {
    auto l = rig.modem.Lock();
    rig.modem.bMuteAfterPdu = false;
    rig.modem.bMute = true;  // and nothing else answered for a while
  }
  ASSERT_TRUE(Eventually([&] { return !rig.driver->GetState().bConnected; }));
  EXPECT_FALSE(rig.driver->IsReadyToSend());
  {
    auto l = rig.modem.Lock();
    rig.modem.bMute = false;
  }
  ASSERT_TRUE(rig.Ready()) << rig.driver->GetState().sDetail;
  EXPECT_EQ(rig.driver->Submit(Text("+4915112345678", "now it goes")).eOutcome, ESubmitOutcome::Accepted);
}

TEST(CModemDriver, AVanishingDeviceIsOpenedAgainWhenItComesBack) {
  const std::filesystem::path link = std::filesystem::path(getenv("NORVALE_ROOT")) / "ttyModem";
  auto first = std::make_unique<ModemTest::CPty>();
  auto firstModem = std::make_unique<ModemTest::CScriptedModem>(first->Master());
  std::filesystem::remove(link);
  std::filesystem::create_symlink(first->Path(), link);
  Events events;
  CModemDriver driver(1, Values(link.string()));
  driver.Start(&events);
  ASSERT_TRUE(Eventually([&] { return driver.IsReadyToSend(); }));
  // Unplugged: the device and its path go; it comes back under another node.
  firstModem.reset();
  first.reset();
  std::filesystem::remove(link);
  ASSERT_TRUE(Eventually([&] { return !driver.GetState().bConnected; }));
  ModemTest::CPty second;
  ModemTest::CScriptedModem secondModem(second.Master());
  std::filesystem::create_symlink(second.Path(), link);
  ASSERT_TRUE(Eventually([&] { return driver.IsReadyToSend(); })) << driver.GetState().sDetail;
  EXPECT_EQ(driver.Submit(Text("+4915112345678", "back")).eOutcome, ESubmitOutcome::Accepted);
  driver.Stop();
  std::filesystem::remove(link);
}

TEST(CModemDriver, AReceivedMessageIsDeletedOnlyAfterTheEngineAcknowledgesIt) {
  Rig rig;
  rig.Start();
  ASSERT_TRUE(rig.Ready());
  {
    auto l = rig.modem.Lock();
    rig.modem.Store[3] = DeliverPdu("+4917012345", "ping");
  }
  rig.modem.Inject("\r\n+CMTI: \"SM\",3\r\n");
  ASSERT_TRUE(rig.events.WaitFor(1, 0));
  CIncomingSms m;
  {
    std::lock_guard g(rig.events.lock);
    m = rig.events.messages[0];
  }
  EXPECT_EQ(m.sSender, "+4917012345");
  EXPECT_EQ(Sms::PartsToUtf8(std::vector{m.Part}), "ping");
  EXPECT_NE(m.nReceipt, 0u);
  // Status polls come and go; the message stays until acknowledged.
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CSQ") >= 3; }));
  EXPECT_EQ(rig.modem.Count("AT+CMGD=3"), 0u);
  rig.driver->Acknowledge(m.nReceipt);
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.Store.empty(); }));
  EXPECT_EQ(rig.modem.Count("AT+CMGD=3"), 1u);
  EXPECT_EQ(rig.events.messages.size(), 1u);
}

TEST(CModemDriver, MessagesWaitingInStorageAreReadAtStartAndUnreadableOnesKept) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.Store[1] = DeliverPdu("+4917011111", "first");
    rig.modem.Store[2] = "07919471016700F00400";  // cut short
    rig.modem.Store[5] = DeliverPdu("Bank", "second");
    rig.modem.Store[6] = ReportPdu(9, 0x00);
  }
  rig.Start();
  ASSERT_TRUE(rig.events.WaitFor(2, 1));
  ASSERT_TRUE(rig.Ready());
  std::vector<std::uint64_t> receipts;
  {
    std::lock_guard g(rig.events.lock);
    EXPECT_EQ(rig.events.messages[0].sSender, "+4917011111");
    EXPECT_EQ(rig.events.messages[1].sSender, "Bank");  // an alphanumeric sender
    for (const auto& m : rig.events.messages) receipts.push_back(m.nReceipt);
    EXPECT_EQ(rig.events.reports[0].Reference.Describe(), "9");
  }
  // Re-reading the storage (a reconnect) does not hand them over twice.
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CSQ") >= 2; }));
  for (const auto r : receipts) rig.driver->Acknowledge(r);
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.Store.size() == 1; }));
  auto l = rig.modem.Lock();
  EXPECT_EQ(rig.modem.Store.count(2), 1u);  // unreadable: left for a person to look at
  EXPECT_EQ(rig.events.messages.size(), 2u);
}

TEST(CModemDriver, StatusReportsAndGarbageBetweenCommands) {
  Rig rig;
  rig.Start();
  ASSERT_TRUE(rig.Ready());
  const std::string delivered = ReportPdu(200, 0x00), expired = ReportPdu(201, 0x46), pending = ReportPdu(202, 0x21);
  rig.modem.Inject("\r\n\x01\x7fgarbage\r\n+WHATEVER: 3\r\n");
  rig.modem.Inject("\r\n+CDS: " + std::to_string(pending.size() / 2 - 1) + "\r\n" + pending + "\r\n");
  rig.modem.Inject("\r\n+CDS: " + std::to_string(delivered.size() / 2 - 1) + "\r\n" + delivered + "\r\n");
  rig.modem.Inject("\r\n+CDS: " + std::to_string(expired.size() / 2 - 1) + "\r\n" + expired + "\r\n");
  ASSERT_TRUE(rig.events.WaitFor(0, 2));
  std::lock_guard g(rig.events.lock);
  ASSERT_EQ(rig.events.reports.size(), 2u);  // "recipient busy, still trying" is no final word
  EXPECT_EQ(rig.events.reports[0].Reference.Describe(), "200");
  EXPECT_TRUE(rig.events.reports[0].bDelivered);
  EXPECT_EQ(rig.events.reports[1].Reference.Describe(), "201");
  EXPECT_FALSE(rig.events.reports[1].bDelivered);
  EXPECT_EQ(rig.events.reports[1].nErrorCode, 0x46);
  EXPECT_TRUE(rig.driver->IsReadyToSend());
}

TEST(CModemDriver, StopEndsASendInProgressPromptly) {
  Rig rig;
  rig.Start({{"SendTimeout", "60000"}});
  ASSERT_TRUE(rig.Ready());
  {
    auto l = rig.modem.Lock();
    rig.modem.bMuteAfterPdu = true;
  }
  CSubmitResult result;
  std::thread sender([&] { result = rig.driver->Submit(Text("+4915112345678", "x")); });
  ASSERT_TRUE(rig.modem.WaitFor([&] { return !rig.modem.Pdus.empty(); }));
  const auto started = std::chrono::steady_clock::now();
  rig.driver->Stop();
  sender.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(result.bTemporary);
  EXPECT_FALSE(rig.driver->GetState().bConnected);
}

TEST(CModemDriver, AnAcknowledgementJustBeforeStopStillDeletesTheMessage) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.Store[2] = DeliverPdu("+4917012345", "last one");
  }
  rig.Start({{"StatusInterval", "60000"}});
  ASSERT_TRUE(rig.events.WaitFor(1, 0));
  std::uint64_t receipt = 0;
  {
    std::lock_guard g(rig.events.lock);
    receipt = rig.events.messages[0].nReceipt;
  }
  rig.driver->Acknowledge(receipt);
  rig.driver->Stop();  // as the handset does once it has stored what it had
  EXPECT_EQ(rig.modem.Count("AT+CMGD=2"), 1u);
}

TEST(CModemDriver, APinEntryWithoutAnAnswerIsNotRepeatedAfterReopening) {
  Rig rig;
  {
    auto l = rig.modem.Lock();
    rig.modem.bPinNeeded = true;
    rig.modem.bMuteOnPin = true;
  }
  rig.Start({{"Pin", CNorvaleEncryption().EncryptString("4321")}});
  // The time-out closes and reopens the device; the SIM still asks.
  ASSERT_TRUE(Eventually([&] { return rig.driver->GetState().sDetail.find("without an answer") != std::string::npos; }))
      << rig.driver->GetState().sDetail;
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CPIN?") >= 4; }));
  auto l = rig.modem.Lock();
  EXPECT_EQ(rig.modem.nPinAttempts, 1);
  EXPECT_GE(std::count(rig.modem.Commands.begin(), rig.modem.Commands.end(), "ATE0"), 2);  // it was reopened
  EXPECT_EQ(rig.driver->GetState().sDetail.find("4321"), std::string::npos);
}

// The modem refuses the delete: the slot is deleted again at the status
// polls, and an indication for it meanwhile (the modem announcing it again)
// does not hand the message over a second time.
TEST(CModemDriver, ARefusedDeleteIsTriedAgainWithoutHandingTheMessageOverTwice) {
  Rig rig;
  rig.Start();
  ASSERT_TRUE(rig.Ready());
  {
    auto l = rig.modem.Lock();
    rig.modem.Store[3] = DeliverPdu("+4917012345", "once");
    rig.modem.nDeleteRefusals = 3;
  }
  rig.modem.Inject("\r\n+CMTI: \"SM\",3\r\n");
  ASSERT_TRUE(rig.events.WaitFor(1, 0));
  std::uint64_t receipt = 0;
  {
    std::lock_guard g(rig.events.lock);
    receipt = rig.events.messages[0].nReceipt;
  }
  rig.driver->Acknowledge(receipt);
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CMGD=3") >= 1; }));
  rig.modem.Inject("\r\n+CMTI: \"SM\",3\r\n");
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.Store.empty(); }));
  EXPECT_EQ(rig.modem.Count("AT+CMGD=3"), 4u);
  std::lock_guard g(rig.events.lock);
  EXPECT_EQ(rig.events.messages.size(), 1u);
}

// A message the modem stored without +CMTI is found by the status poll,
// which compares the store's count with what the driver knows of.
TEST(CModemDriver, AMessageStoredWithoutAnIndicationIsReadAtTheNextPoll) {
  Rig rig;
  rig.Start();
  ASSERT_TRUE(rig.Ready());
  {
    auto l = rig.modem.Lock();
    rig.modem.Store[4] = DeliverPdu("+4917012345", "unannounced");
    rig.modem.Commands.clear();
  }
  ASSERT_TRUE(rig.events.WaitFor(1, 0));
  // Routing asked for again.
  EXPECT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CNMI=2,1,0,1,0") >= 1; }));
  // Known now: later polls do not read the store again.
  ASSERT_TRUE(rig.modem.WaitFor([&] { return rig.modem.CountLocked("AT+CPMS?") >= 4; }));
  EXPECT_EQ(rig.modem.Count("AT+CMGL=4"), 1u);
  std::lock_guard g(rig.events.lock);
  EXPECT_EQ(rig.events.messages.size(), 1u);
}
