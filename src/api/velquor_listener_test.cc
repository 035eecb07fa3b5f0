#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "client_test_support.h"
#include "listener/velquor_listener_core.h"
#include "norvale/message_loop.h"
#include "norvale/velquor.h"
#include "norvale/velquor_listener.h"
#include "platform/event_log.h"
#include "queue_test_support.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using namespace std::chrono_literals;

namespace {

struct Writer : TestSupport::QueueSet {
  using QueueSet::QueueSet;
  void Message(const std::string& text, int handset = 1) {
    incoming.StoreMessage("+1", jtTextMessage, text, handset, "t", CMessageEndpoint());
  }
  void Notification(int job) {
    notifications.InsertJob(job, ntMessageSent, "+49", jtDataMessage, "DCS=04;UDH=0500;UD=AB", hsHandset2, 0, "t",
                            jsSent, CMessageEndpoint(stClientLibrary));
  }
  LONG Waiting() { return incoming.GetSize(); }
};

class Listener : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    setup = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    writer = std::make_unique<Writer>(setup->db.Dsn());
    CVelquorListenerCore::SetPollIntervalForTesting(100);
  }
  void TearDown() override { CVelquorListenerCore::SetPollIntervalForTesting(CVelquorListenerCore::kPollInterval); }
  std::unique_ptr<TestSupport::ConfiguredQueues> setup;
  std::unique_ptr<Writer> writer;
};

INSTANTIATE_TEST_SUITE_P(Backends, Listener, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// Counts the readiness questions of a sink that wants nothing.
struct CountingSink : IVelquorListenerEventSink {
  bool MessageEvent_ReadyForEvent() override { return ++messageQuestions, false; }
  void MessageEvent_FireEvent(const VelquorClientCoreInternal::SMSMessage&) override { ADD_FAILURE(); }
  bool Notification_ReadyForEvent() override { return ++notificationQuestions, false; }
  void Notification_FireEvent(VelquorClientCoreInternal::SMSNotification) override { ADD_FAILURE(); }
  int messageQuestions = 0, notificationQuestions = 0;
};

}  // namespace

TEST_P(Listener, EventsFollowTheQueuesInOrder) {
  for (const char* text : {"one", "two", "three"}) writer->Message(text);
  writer->Notification(7);
  std::vector<std::string> events;
  VelquorListener listener;
  EXPECT_FALSE(listener.GetEnabled());
  listener.OnMessageReceived.Add([&](const std::shared_ptr<SMSMessage>& m) { events.push_back(m->GetMessage()); });
  listener.OnNotificationReceived.Add([&](const std::shared_ptr<SMSNotification>& n) {
    events.push_back("notification " + std::to_string(n->GetMessageId()));
    const auto& m = n->GetMessage();
    EXPECT_EQ(m->GetPhoneNumber(), "+49");
    EXPECT_EQ(m->GetMessage(), "AB");
    EXPECT_EQ(m->GetHandset(), 2);
    EXPECT_EQ(m->GetMessageType(), mtDataMessage);
    EXPECT_EQ(m->GetDataCodingScheme(), 4);
    EXPECT_EQ(m->GetUserDataHeader(), "0500");
  });
  listener.SetEnabled(true);
  EXPECT_TRUE(listener.GetEnabled());
  MessageLoop::RunFor(150ms);  // one tick
  EXPECT_EQ(events, (std::vector<std::string>{"one", "two", "three", "notification 7"}));
}

TEST_P(Listener, NotificationHandlerAloneLeavesMessagesForGetMsg) {
  writer->Message("for GetMsg");
  writer->Notification(3);
  int notifications = 0;
  VelquorListener listener;
  listener.OnNotificationReceived.Add([&](const auto&) { ++notifications; });
  listener.SetEnabled(true);
  MessageLoop::RunFor(250ms);
  EXPECT_EQ(notifications, 1);
  EXPECT_EQ(writer->Waiting(), 1);
  Velquor velquor;
  const auto m = velquor.GetMsg(0);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->GetMessage(), "for GetMsg");
}

TEST_P(Listener, HandlerThatDisablesStopsTheLoopAtOnce) {
  for (const char* text : {"one", "two", "three"}) writer->Message(text);
  writer->Notification(1);
  VelquorListener listener;
  int messages = 0, notifications = 0;
  listener.OnMessageReceived.Add([&](const auto&) {
    ++messages;
    listener.SetEnabled(false);
  });
  listener.OnNotificationReceived.Add([&](const auto&) { ++notifications; });
  listener.SetEnabled(true);
  MessageLoop::RunFor(350ms);
  EXPECT_EQ(messages, 1);
  EXPECT_EQ(notifications, 0);
  EXPECT_EQ(writer->Waiting(), 2);
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 0u);
}

TEST_P(Listener, HandlerRemovedDuringATickIsNotCalledForLaterItems) {
  for (const char* text : {"one", "two"}) writer->Message(text);
  VelquorListener listener;
  int first = 0, second = 0;
  EventHandlers<std::shared_ptr<SMSMessage>>::Token secondToken = 0;
  listener.OnMessageReceived.Add([&](const auto&) {
    ++first;
    listener.OnMessageReceived.Remove(secondToken);
  });
  secondToken = listener.OnMessageReceived.Add([&](const auto&) { ++second; });
  listener.SetEnabled(true);
  MessageLoop::RunFor(150ms);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 1);  // called for the first item only: that raise had read the list already
  EXPECT_FALSE(listener.OnMessageReceived.Remove(secondToken));
}

TEST_P(Listener, EnablingTwiceAndDisablingOnceLeavesNoTimer) {
  VelquorListener listener;
  listener.SetEnabled(true);
  listener.SetEnabled(true);
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 1u);
  listener.SetEnabled(false);
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 0u);
  EXPECT_FALSE(listener.GetEnabled());
  EXPECT_EQ(MessageLoop::PumpPending(), 0);
}

TEST_P(Listener, ListenersOnOneThreadAndOnTwoThreadsPollIndependently) {
  for (int i = 0; i < 6; ++i) writer->Message("m" + std::to_string(i), i % 2 + 1);
  VelquorListener one, two;
  int forOne = 0, forTwo = 0;
  one.SetActiveHandset(hsHandset1);
  two.SetActiveHandset(hsHandset2);
  one.OnMessageReceived.Add([&](const auto& m) { forOne += m->GetHandset() == 1; });
  two.OnMessageReceived.Add([&](const auto& m) { forTwo += m->GetHandset() == 2; });
  one.SetEnabled(true);
  two.SetEnabled(true);
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 2u);
  MessageLoop::RunFor(250ms);
  EXPECT_EQ(forOne, 3);
  EXPECT_EQ(forTwo, 3);
  one.SetEnabled(false);
  two.SetEnabled(false);

  for (int i = 0; i < 4; ++i) writer->Message("t" + std::to_string(i), i % 2 + 1);
  std::atomic<int> seen[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      VelquorListener listener;
      listener.SetActiveHandset(static_cast<Handsets>(t + 1));
      listener.OnMessageReceived.Add([&, t](const auto& m) { seen[t] += m->GetHandset() == t + 1; });
      listener.SetEnabled(true);
      MessageLoop::RunFor(300ms);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(seen[0], 2);
  EXPECT_EQ(seen[1], 2);
}

TEST_P(Listener, ThrowingHandlerIsLoggedAndTheNextTickGoesOn) {
  writer->Message("first");
  writer->Message("second");
  VelquorListener listener;
  EventLogCapture capture;  // after construction: only the poll's records
  std::vector<std::string> delivered;
  listener.OnMessageReceived.Add([&](const auto& m) {
    delivered.push_back(m->GetMessage());
    if (delivered.size() == 1) throw std::runtime_error("handler failed");
  });
  listener.SetEnabled(true);
  MessageLoop::RunFor(250ms);
  EXPECT_EQ(delivered, (std::vector<std::string>{"first", "second"}));  // the second came on the next tick
  ASSERT_EQ(capture.Records().size(), 1u);
  EXPECT_EQ(capture.Records()[0].text,
            "Standard Exception raised\nFunction: CVelquorListener::CheckForMessages\nDescription: handler failed");
}

TEST_P(Listener, HandlerThatDestroysItsListenerEndsEverything) {
  for (const char* text : {"one", "two", "three"}) writer->Message(text);
  auto listener = std::make_unique<VelquorListener>();
  int events = 0, laterHandler = 0;
  listener->OnMessageReceived.Add([&](const auto&) {
    ++events;
    listener.reset();  // the listener's own event destroys it
  });
  listener->OnMessageReceived.Add([&](const auto&) { ++laterHandler; });
  listener->SetEnabled(true);
  MessageLoop::RunFor(400ms);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(laterHandler, 0);  // not even the rest of that event's list
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 0u);
  EXPECT_EQ(writer->Waiting(), 2);
}

TEST_P(Listener, DestroyedFromAnotherThreadRaisesNothingAfterwards) {
  for (int i = 0; i < 20; ++i) writer->Message("m" + std::to_string(i));
  auto listener = std::make_unique<VelquorListener>();
  std::atomic<int> events{0};
  std::atomic<bool> inHandler{false}, stop{false};
  listener->OnMessageReceived.Add([&](const auto&) {
    inHandler = true;
    ++events;
    std::this_thread::sleep_for(50ms);
  });
  std::thread poller([&] {
    listener->SetEnabled(true);
    while (!stop) MessageLoop::RunFor(20ms);
  });
  while (!inHandler) std::this_thread::sleep_for(1ms);
  listener.reset();  // while the polling thread is inside an event
  const int after = events;
  std::this_thread::sleep_for(200ms);
  stop = true;
  poller.join();
  EXPECT_EQ(events, after);
  EXPECT_LT(after, 20);
}

// Destruction from another thread may come at any moment: before the first
// tick, during a fetch, between a fetch and its event, inside a handler,
// after the last row. Whatever the moment, a row leaves its table only for an
// event that is raised: events + rows still waiting == rows stored.
TEST_P(Listener, DestructionFromAnotherThreadAtAnyMomentLosesNoRow) {
  CVelquorListenerCore::SetPollIntervalForTesting(10);
  constexpr int kMoments = 200;
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> moment(0, 40000);  // microseconds after enabling
  std::atomic<int> events{0};
  int stored = 0, roundsWithEvents = 0;
  LONG waiting = 0;
  // Rows come in batches of one statement: a commit per row would make the
  // rounds slow on a disk that syncs every commit.
  auto refill = [&] {
    std::string sql =
        "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp, DestType, DestId, "
        "DestName) VALUES ";
    for (int i = 0; i < 8; ++i) {
      ++stored;
      sql += std::string(i ? ", " : "") + "(" + std::to_string(stored) + ", 1, '+1', 'r" + std::to_string(stored) +
             "', 1, 't', 0, ' ', ' ')";
    }
    setup->db.Run(sql);
  };
  for (int round = 0; round < kMoments; ++round) {
    if (waiting < 4) refill();
    const int eventsBefore = events;
    auto listener = std::make_unique<VelquorListener>();
    listener->OnMessageReceived.Add([&](const auto&) {
      ++events;
      std::this_thread::sleep_for(1ms);
    });
    std::atomic<bool> enabled{false}, stop{false};
    std::thread poller([&] {
      listener->SetEnabled(true);
      enabled = true;
      while (!stop) MessageLoop::RunFor(5ms);
    });
    while (!enabled) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    listener.reset();
    stop = true;
    poller.join();
    waiting = writer->Waiting();
    ASSERT_EQ(events + waiting, stored) << "destroyed in round " << round;
    roundsWithEvents += events > eventsBefore;
  }
  // The moments fell both before the first event and after some.
  EXPECT_GT(roundsWithEvents, 0);
  EXPECT_LT(roundsWithEvents, kMoments);
}

TEST_P(Listener, FailingDatabaseIsThrottledWhileTheTimerRuns) {
  const std::string dir = std::string(getenv("NORVALE_ROOT")) + "/later";
  std::filesystem::remove_all(dir);
  TestSupport::WriteClientConfig("sqlite:" + dir + "/queue.db", true, true);
  auto core = std::make_shared<CVelquorListenerCore>();
  EventLogCapture capture;  // after construction: only the poll's records
  struct Ready : IVelquorListenerEventSink {
    bool MessageEvent_ReadyForEvent() override { return true; }
    void MessageEvent_FireEvent(const VelquorClientCoreInternal::SMSMessage&) override {}
    bool Notification_ReadyForEvent() override { return false; }
    void Notification_FireEvent(VelquorClientCoreInternal::SMSNotification) override {}
  } sink;
  core->SetListenerEventSink(&sink);
  core->SetEnabled(true);
  for (int tick = 0; tick < 12; ++tick) core->CheckForMessages();
  auto records = capture.Records();
  ASSERT_EQ(records.size(), 11u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(records[i].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(records[10].text,
            "Too many repeated errors - Logging from this function temporarily disabled\nFunction: "
            "CVelquorListener::CheckForMessages");
  EXPECT_NE(core->TimerId(), 0u);            // the timer keeps running
  std::filesystem::create_directories(dir);  // the database comes back
  {
    Connection c;
    c.Open("Data Source=sqlite:" + dir + "/queue.db", "", "");
    CreateQueueSchema(c, "sqlite:" + dir + "/queue.db");
  }
  core->CheckForMessages();
  records = capture.Records();
  ASSERT_EQ(records.size(), 12u);
  EXPECT_EQ(records[11].text,
            "Logging from this function has been re-enabled\nFunction: CVelquorListener::CheckForMessages");
  core->Close();
}

TEST(ListenerTimer, TicksEveryTwoSecondsAndTakesNothingWithoutHandlers) {
  TestSupport::ConfiguredQueues setup(Backend::Sqlite);
  Writer writer(setup.db.Dsn());
  writer.Message("stays");
  auto core = std::make_shared<CVelquorListenerCore>();
  CountingSink sink;
  core->SetListenerEventSink(&sink);
  core->SetEnabled(true);
  MessageLoop::RunFor(1900ms);
  EXPECT_EQ(sink.messageQuestions, 0);
  MessageLoop::RunFor(2300ms);  // ticks at 2 s and 4 s
  EXPECT_EQ(sink.messageQuestions, 2);
  EXPECT_EQ(sink.notificationQuestions, 2);
  EXPECT_EQ(writer.Waiting(), 1);
  core->Close();
  VelquorListener listener;  // the public one: enabled without handlers, takes nothing
  listener.SetEnabled(true);
  MessageLoop::RunFor(2100ms);
  EXPECT_EQ(writer.Waiting(), 1);
}
