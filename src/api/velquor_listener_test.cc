#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>
#include <type_traits>

#include "client_test_support.h"
#include "listener/velquor_listener_core.h"
#include "norvale/message_loop.h"
#include "norvale/velquor.h"
#include "norvale/velquor_listener.h"
#include "platform/event_log.h"
#include "platform/messages.h"
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

// Runs the thread's message loop until `done` holds; false when it did not
// within `cap`. A slow machine only makes it take longer.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds cap = 20s) {
  const auto end = std::chrono::steady_clock::now() + cap;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    MessageLoop::RunFor(10ms);
  }
  return true;
}

// A timer of the thread beside the listener's: its ticks show that the loop
// ran that many intervals, so that a listener's timer set before it had its
// chances to do what it must not.
class TickProbe {
 public:
  explicit TickProbe(UINT intervalMs = 100) : m_id(SetTimer(nullptr, 0, intervalMs, Tick)) { s_ticks = 0; }
  ~TickProbe() { KillTimer(nullptr, m_id); }
  TickProbe(const TickProbe&) = delete;
  TickProbe& operator=(const TickProbe&) = delete;
  // Runs the loop until this probe has ticked `n` times more.
  bool RunTicks(int n) {
    const int target = s_ticks + n;
    return RunUntil([&] { return s_ticks >= target; });
  }

 private:
  static void Tick(HWND, UINT, UINT_PTR, DWORD) { ++s_ticks; }
  static inline thread_local int s_ticks = 0;
  UINT_PTR m_id;
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
  EXPECT_TRUE(RunUntil([&] { return events.size() >= 4; }));
  EXPECT_EQ(events, (std::vector<std::string>{"one", "two", "three", "notification 7"}));
}

TEST_P(Listener, NotificationHandlerAloneLeavesMessagesForGetMsg) {
  writer->Message("for GetMsg");
  writer->Notification(3);
  int notifications = 0;
  VelquorListener listener;
  listener.OnNotificationReceived.Add([&](const auto&) { ++notifications; });
  listener.SetEnabled(true);
  TickProbe probe;
  EXPECT_TRUE(RunUntil([&] { return notifications >= 1; }));
  EXPECT_TRUE(probe.RunTicks(3));  // the listener polled again meanwhile
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
  EXPECT_TRUE(RunUntil([&] { return messages >= 1; }));
  TickProbe probe;
  EXPECT_TRUE(probe.RunTicks(3));  // a listener still polling would have raised more
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
  EXPECT_TRUE(RunUntil([&] { return first >= 2; }));
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 1);  // called for the first item only: that raise had read the list already
  EXPECT_FALSE(listener.OnMessageReceived.Remove(secondToken));
}

using MessageHandlers = EventHandlers<std::shared_ptr<SMSMessage>>;
static_assert(std::is_nothrow_move_constructible_v<VelquorListener> &&
              std::is_nothrow_move_assignable_v<VelquorListener>);
static_assert(!std::is_copy_constructible_v<VelquorListener> && !std::is_copy_assignable_v<VelquorListener>);
// A handler list moves only with its listener: a list taken out on its own
// would leave the listener's events without their handlers.
static_assert(!std::is_move_constructible_v<MessageHandlers> && !std::is_move_assignable_v<MessageHandlers>);

namespace {

std::string RefusalOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Norvale::Exception& e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace

// The listener object moves; its polling, its timer and its handlers' state
// stay where they are. Events reach handlers added before and after the move
// through the new object, destroying the moved-from object changes nothing,
// and assigning to a listener disposes of the one it held.
TEST_P(Listener, MovedWhileEnabledKeepsRaisingThroughTheNewObject) {
  std::vector<std::string> events;
  auto first = std::make_unique<VelquorListener>();
  first->SetActiveHandset(hsHandset2);
  first->OnMessageReceived.Add([&](const auto& m) { events.push_back("before " + m->GetMessage()); });
  first->SetEnabled(true);
  VelquorListener second(std::move(*first));
  second.OnMessageReceived.Add([&](const auto& m) { events.push_back("after " + m->GetMessage()); });
  second.OnNotificationReceived.Add(
      [&](const auto& n) { events.push_back("notification " + std::to_string(n->GetMessageId())); });
  first.reset();  // destroying the moved-from object does nothing
  EXPECT_TRUE(second.GetEnabled());
  EXPECT_EQ(second.GetActiveHandset(), hsHandset2);
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 1u);
  writer->Message("one", 2);
  writer->Message("for handset 1", 1);
  writer->Notification(5);
  EXPECT_TRUE(RunUntil([&] { return events.size() >= 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"before one", "after one", "notification 5"}));

  VelquorListener third;
  third.SetEnabled(true);
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 2u);
  third = std::move(second);  // third's own core stops polling
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 1u);
  events.clear();
  writer->Message("two", 2);
  EXPECT_TRUE(RunUntil([&] { return events.size() >= 2; }));
  TickProbe probe;
  EXPECT_TRUE(probe.RunTicks(3));
  EXPECT_EQ(events, (std::vector<std::string>{"before two", "after two"}));
  EXPECT_EQ(writer->Waiting(), 1);  // handset 1's message stays

  const std::string movedFrom = "This VelquorListener was moved from";
  EXPECT_EQ(RefusalOf([&] { second.GetEnabled(); }), movedFrom);
  EXPECT_EQ(RefusalOf([&] { second.SetEnabled(true); }), movedFrom);
  EXPECT_EQ(RefusalOf([&] { second.GetActiveHandset(); }), movedFrom);
  EXPECT_EQ(RefusalOf([&] { second.SetActiveHandset(hsAll); }), movedFrom);
  EXPECT_EQ(RefusalOf([&] { second.OnMessageReceived.Add([](const auto&) {}); }), movedFrom);
  EXPECT_EQ(RefusalOf([&] { second.OnNotificationReceived.Remove(1); }), movedFrom);
  EXPECT_EQ(RefusalOf([&] { second.OnMessageReceived.Empty(); }), movedFrom);
  second.Dispose();
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 1u);
  second = VelquorListener();  // usable again, not polling
  EXPECT_FALSE(second.GetEnabled());
  EXPECT_TRUE(second.OnMessageReceived.Empty());
  third.Dispose();
  EXPECT_EQ(CVelquorListenerCore::RegisteredTimers(), 0u);
}

// A handler may move its listener elsewhere: the rest of the list is called
// and later items follow the listener.
TEST_P(Listener, HandlerThatMovesItsListenerKeepsTheEventsComing) {
  for (const char* text : {"one", "two"}) writer->Message(text);
  auto listener = std::make_unique<VelquorListener>();
  std::unique_ptr<VelquorListener> moved;
  std::vector<std::string> events;
  listener->OnMessageReceived.Add([&](const auto& m) {
    events.push_back("first " + m->GetMessage());
    if (!moved) {
      moved = std::make_unique<VelquorListener>(std::move(*listener));
      listener.reset();
    }
  });
  listener->OnMessageReceived.Add([&](const auto& m) { events.push_back("second " + m->GetMessage()); });
  listener->SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return events.size() >= 4; }));
  EXPECT_EQ(events, (std::vector<std::string>{"first one", "second one", "first two", "second two"}));
  ASSERT_NE(moved, nullptr);
  EXPECT_TRUE(moved->GetEnabled());
}

TEST(ListenerHandlers, TokensNameOneHandlerOnceAndAreNotReused) {
  VelquorListener listener;  // polls nothing: never enabled
  EXPECT_TRUE(listener.OnMessageReceived.Empty());
  const auto a = listener.OnMessageReceived.Add([](const auto&) {});
  const auto b = listener.OnMessageReceived.Add([](const auto&) {});
  EXPECT_NE(a, b);
  EXPECT_FALSE(listener.OnNotificationReceived.Remove(a));  // another list's token
  EXPECT_TRUE(listener.OnNotificationReceived.Empty());
  EXPECT_TRUE(listener.OnMessageReceived.Remove(a));
  EXPECT_FALSE(listener.OnMessageReceived.Remove(a));
  EXPECT_FALSE(listener.OnMessageReceived.Empty());
  EXPECT_TRUE(listener.OnMessageReceived.Remove(b));
  EXPECT_TRUE(listener.OnMessageReceived.Empty());
  const auto c = listener.OnMessageReceived.Add([](const auto&) {});
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
  EXPECT_FALSE(listener.OnMessageReceived.Remove(b));
  listener.Dispose();
  EXPECT_TRUE(listener.OnMessageReceived.Remove(c));  // the lists outlive Dispose
}

// Handlers come and go on another thread while the listener raises events:
// every item reaches the handler that stays, and the lists stay whole.
TEST_P(Listener, HandlersAddedAndRemovedOnAnotherThreadDuringPolls) {
  constexpr int kItems = 30;
  for (int i = 0; i < kItems; ++i) writer->Message("m" + std::to_string(i));
  VelquorListener listener;
  std::atomic<int> kept{0}, transient{0};
  listener.OnMessageReceived.Add([&](const auto&) {
    ++kept;
    std::this_thread::sleep_for(1ms);
  });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    for (int round = 0; round < 30000 && !stop; ++round) {
      const auto token = listener.OnMessageReceived.Add([&](const auto&) { ++transient; });
      std::this_thread::sleep_for(100us);
      EXPECT_TRUE(listener.OnMessageReceived.Remove(token));
    }
  });
  listener.SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return kept >= kItems; }));
  stop = true;
  churn.join();
  EXPECT_EQ(kept, kItems);
  EXPECT_LE(transient, kItems);
  EXPECT_EQ(writer->Waiting(), 0);
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
  EXPECT_TRUE(RunUntil([&] { return forOne >= 3 && forTwo >= 3; }));
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
      EXPECT_TRUE(RunUntil([&] { return seen[t] >= 2; }));
      TickProbe probe;
      EXPECT_TRUE(probe.RunTicks(2));  // nothing of the other handset comes later
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
  EXPECT_TRUE(RunUntil([&] { return delivered.size() >= 2; }));
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
  EXPECT_TRUE(RunUntil([&] { return events >= 1; }));
  TickProbe probe;
  EXPECT_TRUE(probe.RunTicks(3));  // a listener still polling would have raised more
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
  std::atomic<int> rounds{0};
  listener->OnMessageReceived.Add([&](const auto&) {
    inHandler = true;
    ++events;
    std::this_thread::sleep_for(50ms);
  });
  std::thread poller([&] {
    listener->SetEnabled(true);
    while (!stop) {
      MessageLoop::RunFor(20ms);
      ++rounds;
    }
  });
  while (!inHandler) std::this_thread::sleep_for(1ms);
  listener.reset();  // while the polling thread is inside an event
  const int after = events;
  // The polling thread's loop runs on for 15 rounds of at least 20 ms: three
  // of the listener's intervals in which a surviving timer would have ticked.
  const int roundsAtReset = rounds;
  for (int waited = 0; rounds < roundsAtReset + 15 && waited < 20000; waited += 5) std::this_thread::sleep_for(5ms);
  EXPECT_GE(rounds, roundsAtReset + 15);
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
  const auto start = std::chrono::steady_clock::now();
  core->SetEnabled(true);
  // Ticks at 2 s and 4 s, never earlier (a slow machine may make them later).
  ASSERT_TRUE(RunUntil([&] { return sink.messageQuestions >= 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_TRUE(RunUntil([&] { return sink.messageQuestions >= 2; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_EQ(sink.messageQuestions, 2);
  EXPECT_EQ(sink.notificationQuestions, 2);
  EXPECT_EQ(writer.Waiting(), 1);
  core->Close();
  VelquorListener listener;  // the public one: enabled without handlers, takes nothing
  listener.SetEnabled(true);
  TickProbe probe(2000);  // set after the listener's: the listener has polled by its first tick
  EXPECT_TRUE(probe.RunTicks(1));
  EXPECT_EQ(writer.Waiting(), 1);
}
