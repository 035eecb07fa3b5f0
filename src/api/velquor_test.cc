#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <type_traits>

#include "client_test_support.h"
#include "core/velquor_client_core.h"
#include "expect_com_error.h"
#include "norvale/velquor.h"
#include "platform/event_log.h"
#include "platform/tick_count.h"
#include "queue_test_support.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "queues/outgoing_queue.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

// The engine's side of the queue tables, for a test playing the engine.
using EngineSide = TestSupport::QueueSet;

class VelquorQueuePath : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    setup = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    db = &setup->db;
    engine = std::make_unique<EngineSide>(db->Dsn());
  }
  void TearDown() override { VirtualTime::Disable(); }
  std::string Column(LONG id, const char* column) {
    return db->Value("SELECT " + std::string(column) + " FROM SMSOutgoing WHERE Id=" + std::to_string(id), column)
        .ToString();
  }
  std::unique_ptr<TestSupport::ConfiguredQueues> setup;
  TestSupport::TestDatabase* db = nullptr;
  std::unique_ptr<EngineSide> engine;
};

INSTANTIATE_TEST_SUITE_P(Backends, VelquorQueuePath, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(VelquorQueuePath, SendsOfEveryKindLandAsRows) {
  Velquor velquor;
  const std::string number60(60, '7');
  const std::int32_t text = velquor.SendMsg(number60, "Hello 'world'", 0);
  EXPECT_EQ(Column(text, "PhoneNumber"), std::string(50, '7'));
  EXPECT_EQ(Column(text, "Data"), "Hello 'world'");
  EXPECT_EQ(Column(text, "Type"), "1");
  EXPECT_EQ(Column(text, "Status"), "0");
  EXPECT_EQ(Column(text, "SourceType"), "1");
  EXPECT_EQ(Column(text, "SourceId"), " ");
  const std::int32_t unicode = velquor.SendMsgUnicodeMessage("+1", "Hi \xF0\x9F\x98\x80", 0);
  EXPECT_EQ(Column(unicode, "Data"), "004800690020D83DDE00");
  EXPECT_EQ(Column(unicode, "Type"), "2");
  const std::int32_t hex = velquor.SendMsgUnicodeMessageHex("+1", "not hex", 0);
  EXPECT_EQ(Column(hex, "Data"), "not hex");
  EXPECT_EQ(velquor.SendMsgUnicodeMessage("+1", "", 0), hex + 1);
  EXPECT_EQ(Column(hex + 1, "Data"), " ");
  velquor.SetActiveHandset(hsHandset3);
  EXPECT_EQ(velquor.GetActiveHandset(), hsHandset3);
  const std::int32_t data = velquor.SendDataMessage("+1", 4, "48656C6C6F", "050003A70201", 0);
  EXPECT_EQ(Column(data, "Data"), "DCS=04;UDH=050003A70201;UD=48656C6C6F");
  EXPECT_EQ(Column(data, "Type"), "3");
  EXPECT_EQ(Column(data, "Handset"), "3");
  const std::int32_t plainData = velquor.SendDataMessage("+1", 0, "AABB", "", 0);
  EXPECT_EQ(Column(plainData, "Data"), "AABB");
  EXPECT_EQ(velquor.GetSendStatus(data), jsPending);
  EXPECT_EQ(velquor.GetSendStatus(99999), jsSent);  // a vanished row counts as sent
  engine->outgoing.JobUpdate(data, static_cast<EnumJobStatus>(42), hsHandset3, 0);
  EXPECT_EQ(velquor.GetSendStatus(data), 42);  // passed on unchanged
  EXPECT_EQ(Velquor().GetActiveHandset(), hsAll);
}

TEST_P(VelquorQueuePath, StatusWaitEndsWhenTheRowTurnsFinal) {
  Velquor velquor;
  std::atomic<bool> done{false};
  std::thread player([&] {
    LONG id, retries;
    std::string phone, data;
    JOBTYPE type;
    CMessageEndpoint source;
    while (!done) {
      if (engine->outgoing.GetJobA(id, phone, type, data, retries, hsAll, source)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        engine->outgoing.JobUpdate(id, jsErrNumberInvalid, hsHandset1, 0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t id = velquor.SendMsg("+1", "wait for me", -1);
  const auto took = std::chrono::steady_clock::now() - start;
  done = true;
  player.join();
  EXPECT_EQ(velquor.GetSendStatus(id), jsErrNumberInvalid);
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST_P(VelquorQueuePath, StatusWaitReturnsTheIdentifierWhenTheTimePasses) {
  Velquor velquor;
  VirtualTime::Enable(0xFFFFFFFFu - 1500u);  // the counter wraps during the wait
  const DWORD start = GetTickCount();
  const std::int32_t id = velquor.SendMsg("+1", "nobody sends me", 3000);
  const DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 3000u);
  EXPECT_LT(waited, 5000u);
  EXPECT_EQ(velquor.GetSendStatus(id), jsPending);
  const DWORD before = GetTickCount();
  velquor.SendMsg("+1", "once", 1);
  EXPECT_EQ(GetTickCount() - before, 1000u);  // one sleep, no error
}

TEST_P(VelquorQueuePath, MessagesAndNotificationsComeOldestFirstWithinTheFilters) {
  Velquor velquor;
  EXPECT_EQ(velquor.GetMsg(0), nullptr);
  EXPECT_EQ(velquor.GetNotification(0), nullptr);
  engine->incoming.StoreMessage("+11", jtTextMessage, "Volume LOUD=3", 1, "t1", CMessageEndpoint());
  engine->incoming.StoreMessage("+22", jtDataMessage, "DCS=F5;UDH=0500;UD=0102", 2, "t2", CMessageEndpoint());
  engine->incoming.StoreMessage("+33", jtUnicodeMessage, "00480069", 2, "t3", CMessageEndpoint());
  velquor.SetActiveHandset(hsHandset2);
  auto m = velquor.GetMsg(0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetPhoneNumber(), "+22");
  EXPECT_EQ(m->GetMessage(), "0102");
  EXPECT_EQ(m->GetUserDataHeader(), "0500");
  EXPECT_EQ(m->GetDataCodingScheme(), 245);
  EXPECT_EQ(m->GetMessageType(), mtDataMessage);
  m = velquor.GetMsg(0);
  EXPECT_EQ(m->GetMessage(), "Hi");
  EXPECT_EQ(velquor.GetMsg(0), nullptr);  // handset 1's message is not for handset 2
  velquor.SetActiveHandset(hsAll);
  m = velquor.GetMsg(0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetMessage(), "Volume LOUD=3");
  EXPECT_EQ(m->GetHandset(), 1);

  const std::int32_t sent = velquor.SendDataMessage("+44", 4, "AB", "01", 0);
  engine->notifications.InsertJob(sent, ntDeliveryReport, "+44", jtDataMessage, "DCS=04;UDH=01;UD=AB", hsHandset1, 0,
                                  "now", jsSent, CMessageEndpoint(static_cast<SourceTypes>(2)));
  engine->notifications.InsertJob(sent, ntDeliveryFailure, "+44", jtDataMessage, "DCS=04;UDH=01;UD=AB", hsHandset1, 9,
                                  "now", jsDeliveryFailed, CMessageEndpoint(stClientLibrary));
  const auto n = velquor.GetNotification(0);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->GetType(), ntDeliveryFailure);  // another source type's row is not ours
  EXPECT_EQ(n->GetMessageId(), sent);
  EXPECT_EQ(n->GetErrorCode(), 9);
  EXPECT_EQ(n->GetMessage()->GetPhoneNumber(), "+44");
  EXPECT_EQ(n->GetMessage()->GetMessage(), "AB");
  EXPECT_EQ(n->GetMessage()->GetUserDataHeader(), "01");
  EXPECT_EQ(n->GetMessage()->GetDataCodingScheme(), 4);
  EXPECT_EQ(n->GetMessage()->GetHandset(), 1);
  EXPECT_EQ(velquor.GetNotification(0), nullptr);
}

TEST_P(VelquorQueuePath, FetchWaitsEndAfterTheirTimeInVirtualTime) {
  Velquor velquor;
  VirtualTime::Enable(1000);
  EXPECT_EQ(velquor.GetMsg(2500), nullptr);
  EXPECT_GE(GetTickCount() - 1000, 2500u);
  EXPECT_LT(GetTickCount() - 1000, 4000u);
  const DWORD before = GetTickCount();
  EXPECT_EQ(velquor.GetNotification(0), nullptr);
  EXPECT_EQ(GetTickCount(), before);  // one attempt, no sleep
}

// Once the row is stored the caller must get its identifier: a failed send
// would be retried and the SMS sent twice. Here the table goes away while the
// send waits for the row's outcome.
TEST_P(VelquorQueuePath, StatusQueryFailingAfterTheInsertEndsTheWaitAndKeepsTheIdentifier) {
  Velquor velquor;
  EventLogCapture capture;  // after construction: only the send's records
  std::thread saboteur([&] {
    for (int i = 0; i < 2500 && db->Value("SELECT COUNT(*) AS N FROM SMSOutgoing", "N").ToLong() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    db->Run("ALTER TABLE SMSOutgoing RENAME TO SMSOutgoingGone");
  });
  std::int32_t id = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(id = velquor.SendMsg("+1", "accepted", 20000));
  const auto took = std::chrono::steady_clock::now() - start;
  saboteur.join();
  EXPECT_LT(took, std::chrono::seconds(5));  // ended by the failure, not by the time-out
  EXPECT_EQ(db->Value("SELECT Data FROM SMSOutgoingGone WHERE Id=" + std::to_string(id), "Data").ToString(),
            "accepted");
  const auto records = capture.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_NE(records[0].text.find("Function: CVelquorClientCore::SendSMS"), std::string::npos) << records[0].text;
  EXPECT_EQ(records[1].type, EVENTLOG_WARNING_TYPE);
  EXPECT_NE(records[1].text.find("Message " + std::to_string(id) + " was accepted"), std::string::npos)
      << records[1].text;
  EXPECT_THROW(velquor.GetSendStatus(id), _com_error);  // asking later reports the failure itself
}

namespace {

std::pair<HRESULT, std::string> ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const _com_error& e) {
    return {e.Error(), e.DescriptionA()};
  }
  return {S_OK, ""};
}

}  // namespace

// A phone number is cut after 50 characters, not bytes. Text that is not
// UTF-8, or holds a NUL, is refused with the argument's name before any SQL
// runs, with the same words on both backends.
TEST_P(VelquorQueuePath, NumbersAreCutAtCharactersAndBrokenTextIsRefusedByName) {
  Velquor velquor;
  const std::string euro = "\xE2\x82\xAC";
  const std::string digits49(49, '1');
  EXPECT_EQ(Column(velquor.SendMsg(digits49 + euro + "22", "x", 0), "PhoneNumber"), digits49 + euro);
  std::string euros;
  for (int i = 0; i < 51; ++i) euros += euro;
  EXPECT_EQ(Column(velquor.SendMsg(euros, "x", 0), "PhoneNumber"), euros.substr(0, 50 * euro.size()));
  const LONG stored = engine->outgoing.GetSize();

  const auto invalid = [](const std::string& what) {
    return std::make_pair(E_INVALIDARG, what + " is not valid UTF-8");
  };
  const auto withNul = [](const std::string& what) {
    return std::make_pair(E_INVALIDARG, what + " contains a NUL character");
  };
  const std::string nul("1\0002", 3);
  for (const std::string& bad : {std::string("12\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                                 std::string("\xF4\x90\x80\x80"), std::string("\xFF")}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ErrorOf([&] { velquor.SendMsg(bad, "x", 0); }), invalid("The phone number"));
    EXPECT_EQ(ErrorOf([&] { velquor.SendMsg("+1", bad, 0); }), invalid("The message text"));
    EXPECT_EQ(ErrorOf([&] { velquor.SendMsgUnicodeMessage("+1", bad, 0); }), invalid("The message text"));
    EXPECT_EQ(ErrorOf([&] { velquor.SendMsgUnicodeMessageHex(bad, "0041", 0); }), invalid("The phone number"));
    EXPECT_EQ(ErrorOf([&] { velquor.SendDataMessage("+1", 4, bad, "", 0); }), invalid("The user data"));
    EXPECT_EQ(ErrorOf([&] { velquor.SendDataMessage("+1", 4, "AB", bad, 0); }), invalid("The user data header"));
  }
  EXPECT_EQ(ErrorOf([&] { velquor.SendMsg(nul, "x", 0); }), withNul("The phone number"));
  EXPECT_EQ(ErrorOf([&] { velquor.SendMsg("+1", nul, 0); }), withNul("The message text"));
  EXPECT_EQ(ErrorOf([&] { velquor.SendMsgUnicodeMessageHex("+1", nul, 0); }), withNul("The message text"));
  EXPECT_EQ(ErrorOf([&] { velquor.SendDataMessage("+1", 0, nul, "", 0); }), withNul("The user data"));
  CVelquorClientCore core;  // the source fields exist only below the facade
  LONG id = 0;
  EXPECT_EQ(ErrorOf([&] { core.SendMessage("+1", "x", 0, "\xC3", "", id); }), invalid("The source identifier"));
  EXPECT_EQ(ErrorOf([&] { core.SendMessage("+1", "x", 0, "", nul, id); }), withNul("The source name"));
  EXPECT_EQ(engine->outgoing.GetSize(), stored);  // nothing reached the table
}

TEST_P(VelquorQueuePath, SendsWithOptionsStoreThemAndTheSendsWithoutLeaveThemNull) {
  Velquor velquor;
  const auto sendAt = std::chrono::system_clock::now() + std::chrono::hours(2);
  const std::int64_t sendAtMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(sendAt.time_since_epoch()).count();
  SendOptions options;
  options.From = "ACME Shop";
  options.Priority = 1;
  options.SendAt = sendAt;
  options.Validity = std::chrono::hours(4);
  options.DeliveryReport = false;
  options.ClientRef = "order-4711";
  const std::int32_t text = velquor.SendMsg("+491511", "Hello", options, 0);
  EXPECT_EQ(Column(text, "Data"), "Hello");
  EXPECT_EQ(Column(text, "Sender"), "ACME Shop");
  EXPECT_EQ(Column(text, "Priority"), "1");
  EXPECT_EQ(Column(text, "NotBefore"), std::to_string(sendAtMs));
  // The validity counts from the time to send.
  EXPECT_EQ(Column(text, "ValidUntil"), std::to_string(sendAtMs + 4 * 3600 * 1000));
  EXPECT_EQ(Column(text, "ReportRequest"), "0");
  EXPECT_EQ(Column(text, "ClientRef"), "order-4711");

  SendOptions numberOnly;
  numberOnly.From = "+4915112345678";
  const std::int32_t unicode = velquor.SendMsgUnicodeMessage("+1", "Hi", numberOnly, 0);
  EXPECT_EQ(Column(unicode, "Data"), "00480069");
  EXPECT_EQ(Column(unicode, "Sender"), "+4915112345678");
  EXPECT_EQ(db->Value("SELECT Priority FROM SMSOutgoing WHERE Id=" + std::to_string(unicode), "Priority").vt, VT_NULL);
  SendOptions report;
  report.DeliveryReport = true;
  EXPECT_EQ(Column(velquor.SendMsgUnicodeMessageHex("+1", "0041", report, 0), "ReportRequest"), "1");
  const std::int32_t data = velquor.SendDataMessage("+1", 4, "AABB", "", report, 0);
  EXPECT_EQ(Column(data, "Data"), "DCS=04;UDH=;UD=AABB");
  EXPECT_EQ(Column(data, "ReportRequest"), "1");
  // Default options and the calls without them write none of the columns.
  for (const std::int32_t plain : {velquor.SendMsg("+1", "x", SendOptions(), 0), velquor.SendMsg("+1", "x", 0)})
    for (const char* column : {"Sender", "Priority", "NotBefore", "ValidUntil", "ReportRequest", "ClientRef"})
      EXPECT_EQ(
          db->Value("SELECT " + std::string(column) + " FROM SMSOutgoing WHERE Id=" + std::to_string(plain), column).vt,
          VT_NULL)
          << column;
}

TEST_P(VelquorQueuePath, BadOptionsAreRefusedNamingTheFieldAndNothingIsStored) {
  Velquor velquor;
  const LONG stored = engine->outgoing.GetSize();
  const auto refused = [&](const SendOptions& options) {
    std::string text;
    try {
      velquor.SendMsg("+1", "x", options, 0);
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), E_INVALIDARG);
      text = e.DescriptionA();
    }
    return text.substr(0, text.find_first_of(": "));
  };
  SendOptions options;
  options.From = "TwelveLetter";
  EXPECT_EQ(refused(options), "From");
  options.From = "Shop{1}";
  EXPECT_EQ(refused(options), "From");
  options = {};
  options.Priority = 5;
  EXPECT_EQ(refused(options), "Priority");
  options = {};
  options.SendAt = std::chrono::system_clock::now() - std::chrono::hours(1);
  EXPECT_EQ(refused(options), "SendAt");
  options = {};
  options.Validity = std::chrono::seconds(0);
  EXPECT_EQ(refused(options), "Validity");
  options.Validity = std::chrono::seconds(SendOptionLimits::kMaxValiditySeconds + 1);
  EXPECT_EQ(refused(options), "Validity");
  options = {};
  options.ClientRef = std::string(65, 'r');
  EXPECT_EQ(refused(options), "ClientRef");
  options.ClientRef = "\xC3";
  EXPECT_EQ(refused(options), "ClientRef");
  SendOptions bad;
  bad.Priority = 2;
  EXPECT_THROW(velquor.SendDataMessage("+1", 0, "AA", "", bad, 0), _com_error);
  EXPECT_THROW(velquor.SendMsgUnicodeMessage("+1", "x", bad, 0), _com_error);
  EXPECT_EQ(engine->outgoing.GetSize(), stored);
}

TEST(VelquorFacade, UnreadableConfigurationLeavesAnObjectThatGoesToTheEngine) {
  std::filesystem::remove_all(RegistryRootDirectory());
  std::filesystem::remove_all(std::string(getenv("NORVALE_ROOT")) + "/run");
  EventLogCapture capture;
  Velquor velquor;  // nothing configured: logged, not thrown
  EXPECT_FALSE(capture.Records().empty());
  EXPECT_COM_ERROR(velquor.SendMsg("+1", "x", 0), E_FAIL,
                   "Cannot send non-queued message (Velquor Engine not running)");
  EXPECT_COM_ERROR(velquor.GetSendStatus(1), E_FAIL,
                   "Cannot get status non-queued message (Velquor Engine not running)");
  EXPECT_EQ(velquor.GetNotification(0), nullptr);  // notifications live only in the queue
}

static_assert(std::is_nothrow_move_constructible_v<Velquor> && std::is_nothrow_move_assignable_v<Velquor>);
static_assert(!std::is_copy_constructible_v<Velquor> && !std::is_copy_assignable_v<Velquor>);

// Moving hands over the core with its configuration and active handset; the
// moved-from object refuses every call with a clear error until something
// is assigned to it.
TEST(VelquorFacade, MovingHandsOverTheCoreAndTheMovedFromObjectRefusesCalls) {
  TestSupport::ConfiguredQueues setup(Backend::Sqlite);
  Velquor first;
  first.SetActiveHandset(hsHandset3);
  Velquor second(std::move(first));
  EXPECT_EQ(second.GetActiveHandset(), hsHandset3);
  const std::int32_t id = second.SendMsg("+1", "moved", 0);
  EXPECT_EQ(setup.db.Value("SELECT Handset FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Handset").ToLong(), 3);

  const auto refused = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const Norvale::Exception& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  const std::string movedFrom = "This Velquor object was moved from";
  EXPECT_EQ(refused([&] { first.SendMsg("+1", "x", 0); }), movedFrom);
  EXPECT_EQ(refused([&] { first.SendMsgUnicodeMessage("+1", "\xC3", 0); }), movedFrom);  // before the text check
  EXPECT_EQ(refused([&] { first.SendMsgUnicodeMessageHex("+1", "0041", 0); }), movedFrom);
  EXPECT_EQ(refused([&] { first.SendDataMessage("+1", 4, "AB", "", 0); }), movedFrom);
  EXPECT_EQ(refused([&] { first.GetSendStatus(id); }), movedFrom);
  EXPECT_EQ(refused([&] { first.GetMsg(0); }), movedFrom);
  EXPECT_EQ(refused([&] { first.GetNotification(0); }), movedFrom);
  EXPECT_EQ(refused([&] { first.GetActiveHandset(); }), movedFrom);
  EXPECT_EQ(refused([&] { first.SetActiveHandset(hsAll); }), movedFrom);
  EXPECT_EQ(setup.db.Value("SELECT COUNT(*) AS N FROM SMSOutgoing", "N").ToLong(), 1);

  first = std::move(second);  // the moved-from object takes a core again
  EXPECT_EQ(first.GetActiveHandset(), hsHandset3);
  EXPECT_EQ(first.GetSendStatus(id), jsPending);
  EXPECT_EQ(refused([&] { second.GetActiveHandset(); }), movedFrom);
  second = Velquor();
  EXPECT_EQ(second.GetActiveHandset(), hsAll);
}
