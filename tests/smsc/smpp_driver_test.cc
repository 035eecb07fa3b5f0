// CSmppDriver on its own against smsc.js: the window shared by threads that
// submit at once, a connection dropped with the window full, Stop, the
// transmitter+receiver pair, and settings it refuses.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "codec/sms_split.h"
#include "config/norvale_encryption.h"
#include "platform/com_ptr.h"
#include "server/drivers/smpp/smpp_driver.h"
#include "smsc_process.h"
#include "test_support.h"

using namespace Norvale;
using SmscTest::Json;
using namespace std::chrono_literals;

namespace {

class Events : public IDriverEvents {
 public:
  void OnMessageReceived(CIncomingSms m) override {
    std::lock_guard guard(lock);
    messages.push_back(std::move(m));
    changed.notify_all();
  }
  void OnDeliveryReport(CDeliveryReport r) override {
    std::lock_guard guard(lock);
    reports.push_back(std::move(r));
    changed.notify_all();
  }
  bool WaitMessages(size_t n) {
    std::unique_lock l(lock);
    return changed.wait_for(l, 5s, [&] { return messages.size() >= n; });
  }
  std::mutex lock;
  std::condition_variable changed;
  std::vector<CIncomingSms> messages;
  std::vector<CDeliveryReport> reports;
};

CSettingValues Values(uint16_t port, CSettingValues extra = {}) {
  CSettingValues v{{"Host", "127.0.0.1"},    {"Port", std::to_string(port)},
                   {"SystemId", "velquor"},  {"Password", CNorvaleEncryption().EncryptString("secret")},
                   {"ReconnectDelay", "50"}, {"WindowSize", "4"}};
  for (auto& [k, x] : extra) v[k] = x;
  return v;
}

COutgoingSms Message(const std::string& text) {
  return COutgoingSms{1, 1, 1, Sms::PhoneNumber::FromText("+447700900123"), Sms::SplitText(text, 0).front(), false};
}

bool WaitBound(CSmppDriver& d) {
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(5ms))
    if (d.GetState().bRegistered) return true;
  return false;
}

std::string Description(const std::function<void()>& f) {
  try {
    f();
  } catch (const OS::_com_error& e) {
    return e.DescriptionA();
  }
  return "(nothing raised)";
}

}  // namespace

TEST(SmppDriver, ThreadsShareTheWindowAndADropFailsOnlyWhatWasInFlight) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"QueueTimeout", "8000"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  EXPECT_TRUE(smsc->Command("hold on"));
  constexpr int kThreads = 10;
  std::vector<CSubmitResult> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { results[i] = driver.Submit(Message("job " + std::to_string(i))); });
  // Four (the window) reach the SMSC; the others wait in the driver.
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(smsc->WaitFor("held", 5s).is_null()) << i;
  EXPECT_TRUE(smsc->WaitFor("held", 300ms).is_null());
  std::string detail;
  for (auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(10ms))
    if ((detail = driver.GetState().sDetail).find("4 unanswered, 6 queued") != std::string::npos) break;
  EXPECT_NE(detail.find("4 unanswered, 6 queued"), std::string::npos) << detail;
  // The connection ends with the window full: those four end as the link
  // lost ("may have been taken"), to be tried again; the six queued go after
  // the reconnect.
  EXPECT_TRUE(smsc->Command("drop"));
  EXPECT_TRUE(smsc->Command("hold off"));
  for (auto& t : threads) t.join();
  int accepted = 0, unknown = 0;
  for (const auto& r : results) {
    if (r.eOutcome == ESubmitOutcome::Accepted) {
      ++accepted;
      EXPECT_FALSE(r.Reference.bValid);  // no receipt asked for: nothing to match
    } else {
      ++unknown;
      EXPECT_TRUE(r.bLinkLost);
      EXPECT_TRUE(r.bTemporary);
      EXPECT_NE(r.sErrorText.find("may have taken it"), std::string::npos) << r.sErrorText;
    }
  }
  EXPECT_EQ(unknown, 4);
  EXPECT_EQ(accepted, 6);
  driver.Stop();
}

// The reference a submission and its receipt give, with the receipt's id:
// written as the answer's message_id read in `answerBase`, in `receiptBase`.
TEST(SmppDriver, MessageIdFormatsBringAnAnswerAndItsReceiptToOneReference) {
  auto smsc = SmscTest::NodeSmsc();
  struct Case {
    const char* format;
    int answerBase, receiptBase;
    bool same, fallback;
  };
  for (const Case c : {Case{"text", 16, 16, true, false}, Case{"hex-decimal", 16, 10, true, false},
                       Case{"decimal-hex", 10, 16, true, false}, Case{"auto", 16, 10, false, true},
                       Case{"text", 16, 10, false, false}}) {
    SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.answerBase) + "/" + std::to_string(c.receiptBase));
    EXPECT_TRUE(smsc->Command("id-base " + std::to_string(c.answerBase)));
    CSmppDriver driver(1, Values(smsc->Port(), {{"MessageIdFormat", c.format}}));
    Events events;
    driver.Start(&events);
    ASSERT_TRUE(WaitBound(driver));
    COutgoingSms m = Message("report please");
    m.bRequestReport = true;
    const CSubmitResult r = driver.Submit(m);
    ASSERT_EQ(r.eOutcome, ESubmitOutcome::Accepted);
    const Json submit = smsc->WaitFor("submit", 5s);
    ASSERT_FALSE(submit.is_null());
    const std::string answer = submit["message_id"];
    const unsigned long long n = std::stoull(answer, nullptr, c.answerBase);
    std::ostringstream receiptId;
    receiptId << std::uppercase << (c.receiptBase == 16 ? std::hex : std::dec) << n;
    EXPECT_TRUE(smsc->Command("receipt " + receiptId.str() + " DELIVRD 000 text"));
    {
      std::unique_lock l(events.lock);
      ASSERT_TRUE(events.changed.wait_for(l, 5s, [&] { return !events.reports.empty(); }));
    }
    const CNetworkReference& got = events.reports.front().Reference;
    EXPECT_TRUE(r.Reference.bText);
    EXPECT_EQ(got.sText == r.Reference.sText, c.same) << r.Reference.sText << " / " << got.sText;
    EXPECT_EQ(got.bNumericFallback, c.fallback);
    if (std::string(c.format) != "text" && std::string(c.format) != "auto") {
      EXPECT_EQ(got.sText, std::to_string(n));  // both sides in decimal
    }
    driver.Stop();
  }
  EXPECT_NE(Description([] {
              CSmppDriver(1, Values(2775, {{"MessageIdFormat", "hex"}}));
            }).find("MessageIdFormat"),
            std::string::npos);
}

// destination_addr and its TON/NPI come from the parsed number's kind, as
// SMSCs rely on: international 1/1 without '+', national 0/1 as written
// (2/1 without the trunk prefix when NationalNumbers is set), short codes
// 0/1.
TEST(SmppDriver, TheDestinationsTonAndNpiFollowTheKindOfTheNumber) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"NationalNumbers", "1"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  struct Case {
    const char* number;
    const char* sent;
    int ton, npi;
  };
  for (const Case c : {Case{"+49 (151) 1234567", "491511234567", 1, 1}, Case{"0151 123.4567", "1511234567", 2, 1},
                       Case{"0049 151 1234567", "00491511234567", 0, 1}, Case{"12345", "12345", 0, 1}}) {
    COutgoingSms m = Message("to " + std::string(c.number));
    m.Number = Sms::PhoneNumber::FromText(c.number);
    EXPECT_EQ(driver.Submit(m).eOutcome, ESubmitOutcome::Accepted) << c.number;
    const Json submit = smsc->WaitFor("submit", 5s);
    ASSERT_FALSE(submit.is_null()) << c.number;
    EXPECT_EQ(submit.value("destination", ""), c.sent) << c.number;
    EXPECT_EQ(submit.value("dest_ton", -1), c.ton) << c.number;
    EXPECT_EQ(submit.value("dest_npi", -1), c.npi) << c.number;
  }
  driver.Stop();
}

TEST(SmppDriver, AMessagesSenderPriorityValidityAndReportRequestReachTheSmsc) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"SourceAddress", "Velquor"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  struct Case {
    const char* sender;
    int priority;
    std::optional<std::chrono::seconds> validity;
    bool report;
    const char* source;
    int ton, npi;
    const char* validityPeriod;
  };
  for (const Case& c :
       {Case{"", 0, std::nullopt, false, "Velquor", 5, 0, ""},
        Case{"Shop", 1, std::chrono::hours(2), true, "Shop", 5, 0, "000000020000000R"},
        Case{"+4930123", 0, std::chrono::seconds(3 * 86400 + 61), false, "4930123", 1, 1, "000003000101000R"},
        Case{"030123", 1, std::nullopt, true, "030123", 0, 1, ""}}) {
    COutgoingSms m = Message("from " + std::string(c.sender));
    m.sSender = c.sender;
    m.nPriority = c.priority;
    m.Validity = c.validity;
    m.bRequestReport = c.report;
    EXPECT_EQ(driver.Submit(m).eOutcome, ESubmitOutcome::Accepted) << c.sender;
    const Json submit = smsc->WaitFor("submit", 5s);
    ASSERT_FALSE(submit.is_null()) << c.sender;
    EXPECT_EQ(submit.value("source", "?"), c.source) << c.sender;
    EXPECT_EQ(submit.value("source_ton", -1), c.ton) << c.sender;
    EXPECT_EQ(submit.value("source_npi", -1), c.npi) << c.sender;
    EXPECT_EQ(submit.value("priority_flag", -1), c.priority) << c.sender;
    EXPECT_EQ(submit.value("validity_period", "?"), c.validityPeriod) << c.sender;
    EXPECT_EQ(submit.value("registered_delivery", -1), c.report ? 1 : 0) << c.sender;
  }
  // A sender that cannot go as source_addr fails the message for good, not
  // the number.
  COutgoingSms tooLong = Message("x");
  tooLong.sSender = "TwelveChars!";
  const CSubmitResult refused = driver.Submit(tooLong);
  EXPECT_EQ(refused.eOutcome, ESubmitOutcome::InvalidMessage);
  EXPECT_FALSE(refused.bTemporary);
  EXPECT_NE(refused.sErrorText.find("sender"), std::string::npos) << refused.sErrorText;
  driver.Stop();
}

TEST(SmppDriver, WithoutAllowSenderEveryMessageGoesWithTheHandsetsOwnSender) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"SourceAddress", "4930555"}, {"AllowSender", "0"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  for (const char* sender : {"Shop", "+4930123"}) {
    COutgoingSms m = Message("x");
    m.sSender = sender;
    EXPECT_EQ(driver.Submit(m).eOutcome, ESubmitOutcome::Accepted) << sender;
    const Json submit = smsc->WaitFor("submit", 5s);
    ASSERT_FALSE(submit.is_null()) << sender;
    EXPECT_EQ(submit.value("source", "?"), "4930555") << sender;
    EXPECT_EQ(submit.value("source_ton", -1), 0) << sender;
  }
  driver.Stop();
}

TEST(SmppDriver, StopUnbindsAndEndsAWaitingSubmitAsTemporary) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port()));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  EXPECT_TRUE(smsc->Command("hold on"));
  CSubmitResult result;
  std::thread t([&] { result = driver.Submit(Message("caught by the stop")); });
  ASSERT_FALSE(smsc->WaitFor("held", 5s).is_null());
  const auto start = std::chrono::steady_clock::now();
  driver.Stop();
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(result.bTemporary);
  EXPECT_NE(result.eOutcome, ESubmitOutcome::Accepted);
  EXPECT_FALSE(smsc->WaitFor("unbind", 5s).is_null());
  // Stopped: no more submits, at once.
  EXPECT_TRUE(driver.Submit(Message("late")).bTemporary);
}

TEST(SmppDriver, TransmitterAndReceiverBindOnTwoConnections) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"BindMode", "transmitter+receiver"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  std::vector<std::string> commands;
  for (int i = 0; i < 2; ++i) commands.push_back(smsc->WaitFor("bind", 5s).value("command", ""));
  std::sort(commands.begin(), commands.end());
  EXPECT_EQ(commands, (std::vector<std::string>{"bind_receiver", "bind_transmitter"}));
  EXPECT_EQ(driver.Submit(Message("out")).eOutcome, ESubmitOutcome::Accepted);
  EXPECT_TRUE(smsc->Command("mo 447700900111 12345 0 696E"));
  ASSERT_TRUE(events.WaitMessages(1));
  EXPECT_EQ(events.messages[0].sSender, "+447700900111");
  driver.Stop();
}

// An SMSC whose data_coding 0 is Latin-1 (DefaultAlphabet latin1): what
// it sends with 0 reads as Latin-1, and text goes to it as Latin-1.
TEST(SmppDriver, DefaultAlphabetLatin1BothWays) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"DefaultAlphabet", "latin1"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  // Latin-1 "Cafe @"; read as GSM, 0x40 would be '\u00a1'.
  EXPECT_TRUE(smsc->Command("mo 447700900111 12345 0 436166652040"));
  ASSERT_TRUE(events.WaitMessages(1));
  EXPECT_EQ(Sms::PartsToUtf8(std::span(&events.messages[0].Part, 1)), "Cafe @");
  // The counterpart reads data_coding 0 by SMPP's rule, as GSM: the '@'
  // that went as Latin-1 0x40 shows as GSM 0x40, '\u00a1' (as GSM it would
  // have gone as 0x00 and come back as '@').
  EXPECT_EQ(driver.Submit(Message("Cafe @")).eOutcome, ESubmitOutcome::Accepted);
  const Json submit = smsc->WaitFor("submit", 5s);
  EXPECT_EQ(submit.value("data_coding", -1), 0);
  EXPECT_EQ(submit.value("text", ""), "Cafe \u00a1") << submit.dump();
  driver.Stop();
}

TEST(SmppDriver, RefusesSettingsItCannotUseNamingTheValue) {
  const auto where = std::string("SOFTWARE\\Norvale\\Velquor\\Handsets\\2\\");
  EXPECT_EQ(Description([] {
              CSmppDriver(2, CSettingValues{{"SystemId", "x"}});
            }),
            where + "Host: missing: the SMSC's host name or address");
  EXPECT_EQ(Description([] {
              CSmppDriver(2, CSettingValues{{"Host", "h"}, {"SystemId", "x"}, {"Password", "plain"}});
            }),
            where +
                "Password: not an encrypted value; store it with: velquor config set --handset 2 Password "
                "<password> --encrypted");
  EXPECT_EQ(Description([] {
              CSmppDriver(2, CSettingValues{{"Host", "h"}, {"SystemId", "x"}, {"BindMode", "rx"}});
            }),
            where + "BindMode: 'rx' is neither transceiver nor transmitter+receiver");
  EXPECT_EQ(Description([] {
              CSmppDriver(2, CSettingValues{{"Host", "h"}, {"SystemId", "x"}, {"DefaultAlphabet", "ascii"}});
            }),
            where + "DefaultAlphabet: 'ascii' is neither gsm nor latin1");
  EXPECT_EQ(Description([] {
              CSmppDriver(2, CSettingValues{{"Host", "h"}, {"SystemId", "x"}, {"SourceTon", "1"}});
            }),
            where + "SourceNpi: give both TON and NPI, or neither");
  EXPECT_NE(Description([] {
              CSmppDriver(2, CSettingValues{{"Host", "h"}, {"SystemId", "x"}, {"Tls", "1"}, {"TlsCaFile", "/nowhere"}});
            }).find("TlsCaFile: cannot load the CA file '/nowhere'"),
            std::string::npos);
  EXPECT_EQ(
      Description([] {
        CSmppDriver(2, CSettingValues{{"Host", "h"}, {"SystemId", "x"}, {"SourceAddress", "Far too long a name"}});
      }).rfind(where + "SourceAddress: 'Far too long a name' cannot be sent", 0),
      0u);
}

namespace {

// What the completions of SubmitAsync brought, by the index of the call, and
// on which thread they ran.
class Completions {
 public:
  // Runs in every completion before it is counted.
  std::function<void()> onEach;

  SubmitCompletion For(size_t index) {
    return [this, index](CSubmitResult result) {
      if (onEach) onEach();
      std::lock_guard guard(lock);
      results.emplace_back(index, std::move(result));
      threads.push_back(std::this_thread::get_id());
      changed.notify_all();
    };
  }
  bool Wait(size_t count) {
    std::unique_lock l(lock);
    return changed.wait_for(l, 20s, [&] { return results.size() >= count; });
  }
  size_t Count() {
    std::lock_guard guard(lock);
    return results.size();
  }
  // How many completions each of the calls 0..count-1 had.
  std::vector<int> PerCall(size_t count) {
    std::lock_guard guard(lock);
    std::vector<int> per(count, 0);
    for (const auto& [index, result] : results)
      if (index < count) ++per[index];
    return per;
  }

  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<size_t, CSubmitResult>> results;
  std::vector<std::thread::id> threads;
};

bool WaitDetail(CSmppDriver& d, const std::string& sPart) {
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(10ms))
    if (d.GetState().sDetail.find(sPart) != std::string::npos) return true;
  return false;
}

// Holds the SMSC's answers and hands the driver `parts` parts ("<prefix>0",
// ...), each completing into `done`; true once the SMSC holds a full window
// of ten.
template <class Smsc>
::testing::AssertionResult HoldAWindow(Smsc& smsc, CSmppDriver& driver, Completions& done, size_t parts,
                                       const std::string& prefix = "part ") {
  if (!smsc.Command("hold on")) return ::testing::AssertionFailure() << "the SMSC refused 'hold on'";
  for (size_t i = 0; i < parts; ++i) driver.SubmitAsync(Message(prefix + std::to_string(i)), done.For(i));
  for (int i = 0; i < 10; ++i)
    if (smsc.WaitFor("held", 5s).is_null()) return ::testing::AssertionFailure() << "only " << i << " held";
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(SmppDriverAsync, AFullWindowOfTenIsInFlightAtOnceAndEachPartCompletesOnceOnTheReader) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}}));
  EXPECT_EQ(driver.Window(), 10);
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  EXPECT_TRUE(smsc->Command("hold on"));
  Completions done;
  // The completion runs with none of the driver's locks held: it could take
  // them itself (the engine never does; this would deadlock otherwise).
  done.onEach = [&] { (void)driver.GetState(); };
  constexpr size_t kParts = 12;
  for (size_t i = 0; i < kParts; ++i) {
    COutgoingSms m = Message("part " + std::to_string(i));
    m.bRequestReport = i % 2 == 0;
    driver.SubmitAsync(m, done.For(i));
  }
  // Every call returned while the SMSC answered nothing: ten are out at once,
  // the other two wait for room in the window.
  EXPECT_EQ(done.Count(), 0u);
  for (int i = 0; i < 10; ++i) ASSERT_FALSE(smsc->WaitFor("held", 5s).is_null()) << i;
  EXPECT_TRUE(smsc->WaitFor("held", 300ms).is_null());
  EXPECT_TRUE(WaitDetail(driver, "10 unanswered, 2 queued")) << driver.GetState().sDetail;
  EXPECT_EQ(done.Count(), 0u);

  EXPECT_TRUE(smsc->Command("hold off"));
  EXPECT_TRUE(smsc->Command("release"));
  ASSERT_TRUE(done.Wait(kParts));
  std::map<std::string, std::string> idOfText;
  for (size_t i = 0; i < kParts; ++i) {
    const Json submit = smsc->WaitFor("submit", 5s);
    ASSERT_FALSE(submit.is_null()) << i;
    idOfText[submit.value("text", "")] = submit.value("message_id", "");
  }
  for (const int n : done.PerCall(kParts)) EXPECT_EQ(n, 1);
  std::lock_guard guard(done.lock);
  EXPECT_EQ(done.results.size(), kParts);
  for (const auto& [index, result] : done.results) {
    EXPECT_EQ(result.eOutcome, ESubmitOutcome::Accepted) << index << ": " << result.sErrorText;
    // The reference is the one the SMSC gave this very part.
    if (index % 2 == 0) {
      EXPECT_TRUE(result.Reference.bValid) << index;
      EXPECT_EQ(result.Reference.sText, idOfText["part " + std::to_string(index)]) << index;
    } else {
      EXPECT_FALSE(result.Reference.bValid) << index;
    }
  }
  for (const auto& thread : done.threads) EXPECT_NE(thread, std::this_thread::get_id());
  driver.Stop();
}

// An SMSC that sends the receipt right after the answer puts both in one
// read: the engine must hear of the reference before the report about it,
// or the report matches no job and is lost.
TEST(SmppDriverAsync, EachPartsCompletionComesBeforeTheReceiptAboutIt) {
  auto smsc = SmscTest::NodeSmsc();
  ASSERT_TRUE(smsc->Command("auto-receipt DELIVRD"));
  // What the driver's thread reaches lives longer than the driver.
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> order;      // "done <ref>" and "report <ref>" as they came
  std::vector<std::uint64_t> unacked;  // acknowledged from this thread, as the engine does from its own
  class Recorder : public Events {
   public:
    Recorder(std::mutex& l, std::condition_variable& c, std::vector<std::string>& o, std::vector<std::uint64_t>& u)
        : l_(l), c_(c), o_(o), u_(u) {}
    void OnDeliveryReport(CDeliveryReport r) override {
      std::lock_guard guard(l_);
      o_.push_back("report " + r.Reference.sText);
      if (r.nReceipt != 0) u_.push_back(r.nReceipt);
      c_.notify_all();
    }

   private:
    std::mutex& l_;
    std::condition_variable& c_;
    std::vector<std::string>& o_;
    std::vector<std::uint64_t>& u_;
  } events(lock, changed, order, unacked);
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}, {"MessageIdFormat", "text"}}));
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  constexpr size_t kParts = 200;
  for (size_t i = 0; i < kParts; ++i) {
    COutgoingSms m = Message("part " + std::to_string(i));
    m.bRequestReport = true;
    driver.SubmitAsync(m, [&](CSubmitResult result) {
      std::lock_guard guard(lock);
      order.push_back("done " + result.Reference.sText);
      changed.notify_all();
    });
  }
  // The receipts are acknowledged as they come, which makes room for the
  // SMSC's next ones.
  for (const auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
    std::vector<std::uint64_t> receipts;
    {
      std::unique_lock l(lock);
      changed.wait_for(l, 20ms, [&] { return !unacked.empty() || order.size() >= 2 * kParts; });
      receipts.swap(unacked);
      if (receipts.empty() && order.size() >= 2 * kParts) break;
    }
    for (const auto receipt : receipts) driver.Acknowledge(receipt);
  }
  driver.Stop();
  ASSERT_EQ(order.size(), 2 * kParts);
  std::set<std::string> completed;
  int early = 0;
  for (const auto& entry : order) {
    if (entry.starts_with("done "))
      completed.insert(entry.substr(5));
    else if (!completed.contains(entry.substr(7)))
      ++early;
  }
  EXPECT_EQ(completed.size(), kParts);
  EXPECT_EQ(early, 0) << "reports ahead of their part's completion";
}

TEST(SmppDriverAsync, TheBindDroppedWithAFullWindowCompletesEveryPartAsLinkLost) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  Completions done;
  ASSERT_TRUE(HoldAWindow(*smsc, driver, done, 10));
  EXPECT_TRUE(smsc->Command("drop"));
  ASSERT_TRUE(done.Wait(10));
  for (const int n : done.PerCall(10)) EXPECT_EQ(n, 1);
  {
    std::lock_guard guard(done.lock);
    for (const auto& [index, result] : done.results) {
      EXPECT_TRUE(result.bLinkLost) << index << ": " << result.sErrorText;
      EXPECT_TRUE(result.bTemporary) << index;
      EXPECT_NE(result.sErrorText.find("may have taken it"), std::string::npos) << result.sErrorText;
    }
  }
  // The driver binds again and sends.
  EXPECT_TRUE(smsc->Command("hold off"));
  ASSERT_FALSE(smsc->WaitFor("bind", 5s).is_null());
  ASSERT_TRUE(WaitBound(driver));
  driver.SubmitAsync(Message("after the drop"), done.For(10));
  ASSERT_TRUE(done.Wait(11));
  {
    std::lock_guard guard(done.lock);
    EXPECT_EQ(done.results.back().second.eOutcome, ESubmitOutcome::Accepted) << done.results.back().second.sErrorText;
  }
  driver.Stop();
  EXPECT_EQ(done.Count(), 11u);
}

TEST(SmppDriverAsync, StopCompletesEveryPartInFlightOrQueuedBeforeItReturnsAndNoneAfter) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  Completions done;
  ASSERT_TRUE(HoldAWindow(*smsc, driver, done, 13));
  EXPECT_TRUE(WaitDetail(driver, "10 unanswered, 3 queued")) << driver.GetState().sDetail;
  driver.Stop();
  EXPECT_EQ(done.Count(), 13u);  // all of them, before Stop returned
  for (const int n : done.PerCall(13)) EXPECT_EQ(n, 1);
  {
    std::lock_guard guard(done.lock);
    for (const auto& [index, result] : done.results) {
      EXPECT_TRUE(result.bLinkLost) << index << ": " << result.sErrorText;
      EXPECT_TRUE(result.bTemporary) << index;
    }
  }
  // Stopped: a further part completes within its own call.
  driver.SubmitAsync(Message("late"), done.For(13));
  EXPECT_EQ(done.Count(), 14u);
  EXPECT_TRUE(smsc->Command("release"));  // answers to a closed connection go nowhere
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(done.Count(), 14u);
}

TEST(SmppDriverAsync, AThrottledFullWindowPausesOnceAndTheNextPartGoesAfterThePause) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}, {"ThrottlePause", "300"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  Completions done;
  ASSERT_TRUE(HoldAWindow(*smsc, driver, done, 10));
  // The SMSC throttles all ten: each fails temporarily with its own status.
  EXPECT_TRUE(smsc->Command("throttle 10"));
  EXPECT_TRUE(smsc->Command("hold off"));
  // The pause begins once the first throttling answer is read: after this.
  const auto released = std::chrono::steady_clock::now();
  EXPECT_TRUE(smsc->Command("release"));
  ASSERT_TRUE(done.Wait(10));
  {
    std::lock_guard guard(done.lock);
    for (const auto& [index, result] : done.results) {
      EXPECT_EQ(result.nErrorCode, 0x58) << index << ": " << result.sErrorText;
      EXPECT_TRUE(result.bTemporary) << index;
      EXPECT_FALSE(result.bLinkLost) << index;
    }
  }
  // Ten answers to one window are one throttling: the next part waits for one
  // ThrottlePause, not one doubled nine times (which would outlast its
  // QueueTimeout), and no less.
  driver.SubmitAsync(Message("after the pause"), done.For(10));
  ASSERT_TRUE(done.Wait(11));
  EXPECT_GE(std::chrono::steady_clock::now() - released, 300ms);
  std::lock_guard guard(done.lock);
  EXPECT_EQ(done.results.back().second.eOutcome, ESubmitOutcome::Accepted) << done.results.back().second.sErrorText;
}

TEST(SmppDriverAsync, MaxPerSecondPacesTheCallsOfAFullWindow) {
  auto smsc = SmscTest::NodeSmsc();
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}, {"MaxPerSecond", "20"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver));
  Completions done;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < 10; ++i) driver.SubmitAsync(Message("part " + std::to_string(i)), done.For(i));
  // Ten at 20 a second: the calls themselves took nine intervals of 50 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  ASSERT_TRUE(done.Wait(10));
  std::lock_guard guard(done.lock);
  for (const auto& [index, result] : done.results)
    EXPECT_EQ(result.eOutcome, ESubmitOutcome::Accepted) << index << ": " << result.sErrorText;
}

TEST(SmppDriverAsync, AFullWindowOverTls) {
  const std::string dir = TestSupport::Root() + "/tls-window";
  ASSERT_EQ(SmscTest::MakeTlsCertificate(dir), "");
  auto smsc = SmscTest::NodeSmsc({"--tls-key", dir + "/key.pem", "--tls-cert", dir + "/cert.pem"});
  CSmppDriver driver(1, Values(smsc->Port(), {{"WindowSize", "10"}, {"Tls", "1"}, {"TlsCaFile", dir + "/cert.pem"}}));
  Events events;
  driver.Start(&events);
  ASSERT_TRUE(WaitBound(driver)) << driver.GetState().sDetail;
  Completions done;
  ASSERT_TRUE(HoldAWindow(*smsc, driver, done, 10, "sealed "));
  EXPECT_TRUE(smsc->Command("hold off"));
  EXPECT_TRUE(smsc->Command("release"));  // ten answers at once, read through TLS
  ASSERT_TRUE(done.Wait(10));
  for (const int n : done.PerCall(10)) EXPECT_EQ(n, 1);
  std::lock_guard guard(done.lock);
  for (const auto& [index, result] : done.results)
    EXPECT_EQ(result.eOutcome, ESubmitOutcome::Accepted) << index << ": " << result.sErrorText;
}
