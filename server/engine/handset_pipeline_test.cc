// A handset as a pipeline, on a real SQLite or PostgreSQL database: the
// simulator's window kept full, the parts of a long text in parallel with a
// failed part sent again alone under the same reference, a lost connection
// not counted as an attempt, the outcomes of a round committed together, and
// the jobs claimed but not sent returned to pending at stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "fault_injection_database.h"
#include "queue_test_support.h"
#include "queues/message_history.h"
#include "server/drivers/simulator/simulator_driver.h"
#include "server/engine/handset.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using TestSupport::FaultInjectionDatabase;
using TestSupport::InsertInto;

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& condition) {
  const auto cap = Clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (Clock::now() > cap) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A network whose answers the test decides: it holds the parts handed to it
// until `nHold` are in flight at once (at most 10 s), then answers each by
// `Answer` from its own thread, and later parts at once. Stop ends the parts
// still held as a dropped connection would.
class CScriptedNetwork final : public CSMSDriver {
 public:
  struct CSeen {
    COutgoingSms message;
    int nAttempt;  // 1 for the first submission of this part of this job
  };
  using AnswerRule = std::function<CSubmitResult(const CSeen&)>;

  CScriptedNetwork(int nWindow, size_t nHold, AnswerRule answer)
      : m_nWindow(nWindow), m_nHold(nHold), m_Answer(std::move(answer)) {}
  ~CScriptedNetwork() override { Stop(); }

  void Start(IDriverEvents*) override {
    std::lock_guard guard(m_Lock);
    m_bStopping = false;
    m_Responder = std::thread([this] { Respond(); });
  }
  void Stop() override {
    std::vector<SubmitCompletion> held;
    {
      std::lock_guard guard(m_Lock);
      if (!m_Responder.joinable()) return;
      m_bStopping = true;
      for (auto& h : m_Held) held.push_back(std::move(h.second));
      m_Held.clear();
    }
    m_Changed.notify_all();
    m_Responder.join();
    for (auto& done : held) done(CSubmitResult::LinkLost("stopped"));
  }
  CSubmitResult Submit(const COutgoingSms&) override {
    return CSubmitResult::Failed(ESubmitOutcome::SystemFailure, false, 0, "async only");
  }
  void SubmitAsync(const COutgoingSms& message, SubmitCompletion done) override {
    std::lock_guard guard(m_Lock);
    const int attempt = ++m_Attempts[{message.nJobId, message.nPart}];
    m_Seen.push_back(CSeen{message, attempt});
    m_Held.emplace_back(m_Seen.back(), std::move(done));
    m_nMostHeld = std::max(m_nMostHeld, m_Held.size());
    m_Changed.notify_all();
  }
  int Window() const override { return m_nWindow; }
  CDriverState GetState() override { return {true, true, 80, "scripted"}; }
  bool CanReport() const override { return false; }
  std::chrono::milliseconds SubmitLimit() const override { return std::chrono::seconds(15); }

  std::vector<CSeen> Seen() const {
    std::lock_guard guard(m_Lock);
    return m_Seen;
  }
  size_t MostHeld() const {
    std::lock_guard guard(m_Lock);
    return m_nMostHeld;
  }
  size_t Held() const {
    std::lock_guard guard(m_Lock);
    return m_Held.size();
  }
  size_t Answered() const {
    std::lock_guard guard(m_Lock);
    return m_nAnswered;
  }

 private:
  void Respond() {
    std::unique_lock lock(m_Lock);
    bool gathered = m_nHold <= 1;
    const auto cap = Clock::now() + std::chrono::seconds(10);
    while (!m_bStopping) {
      if (!gathered) {
        gathered = m_Changed.wait_until(lock, cap, [&] { return m_bStopping || m_Held.size() >= m_nHold; }) ||
                   Clock::now() >= cap;
        continue;
      }
      if (m_Held.empty() || m_nHold == 0) {
        m_Changed.wait(lock, [&] { return m_bStopping || (!m_Held.empty() && m_nHold != 0); });
        continue;
      }
      auto held = std::move(m_Held);
      m_Held.clear();
      lock.unlock();
      for (auto& [seen, done] : held) done(m_Answer(seen));
      lock.lock();
      m_nAnswered += held.size();
    }
  }

  const int m_nWindow;
  const size_t m_nHold;  // 0: never answers (until Stop)
  const AnswerRule m_Answer;
  mutable std::mutex m_Lock;
  std::condition_variable m_Changed;
  bool m_bStopping = false;
  std::vector<CSeen> m_Seen;
  std::vector<std::pair<CSeen, SubmitCompletion>> m_Held;
  std::map<std::pair<LONG, int>, int> m_Attempts;
  size_t m_nMostHeld = 0, m_nAnswered = 0;
  std::thread m_Responder;
};

CSubmitResult Accept(const CScriptedNetwork::CSeen&) { return CSubmitResult::Accepted({}); }

}  // namespace

class HandsetPipeline : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    queues = std::make_unique<TestSupport::QueueSet>(db->Dsn());
    settings.sDSN = db->Dsn();
    settings.dwPollInterval = 50;
    settings.dwRetryBackoff = 100;
    settings.dwDatabaseOperationTimeout = 2000;
    settings.nEngineId = 9;
  }
  void TearDown() override {
    if (handset) handset->Stop(Clock::now() + std::chrono::seconds(10));
  }
  void Start(std::unique_ptr<CSMSDriver> driver, CSettingValues values = {{"Driver", "simulator"}}) {
    CHandsetSettings h;
    h.nNumber = 1;
    h.sDriver = values["Driver"];
    h.bDeliveryReports = reports;
    h.Values = std::move(values);
    handset = std::make_unique<CHandset>(settings, h, std::move(driver));
    handset->Start();
  }
  CScriptedNetwork* StartScripted(int window, size_t hold, CScriptedNetwork::AnswerRule answer) {
    auto network = std::make_unique<CScriptedNetwork>(window, hold, std::move(answer));
    CScriptedNetwork* p = network.get();
    Start(std::move(network), {{"Driver", "scripted"}});
    return p;
  }
  LONG Insert(const std::string& text = "hi") {
    return queues->outgoing.InsertJob("+4915112345", jtTextMessage, text, hsAll, CMessageEndpoint(stClientLibrary));
  }
  LONG Count(const std::string& where) const { return db->Value("SELECT COUNT(*) AS N FROM " + where, "N").ToLong(); }
  // A job sent leaves its row until the next one is sent (the older sent
  // rows are deleted): all of `n` are done when each has its notification
  // and none is pending or in processing.
  bool Done(LONG n) const {
    return Count("SMSNotifications") == n && Count("SMSOutgoing WHERE Status IN (" + std::to_string(jsPending) + ", " +
                                                   std::to_string(jsProcessing) + ")") == 0;
  }
  LONG Sent() const {
    return Count("SMSOutgoing WHERE Status IN (" + std::to_string(jsSent) + ", " + std::to_string(jsSentNotConfirmed) +
                 ")");
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueSet> queues;
  CEngineSettings settings;  // the handset keeps a reference
  bool reports = false;
  std::unique_ptr<CHandset> handset;
};

// The simulator with a window of 10 and a latency has 10 parts in flight at
// once, never more, and every job ends sent with its notification.
TEST_P(HandsetPipeline, TheSimulatorsWindowIsKeptFull) {
  for (int i = 0; i < 40; ++i) Insert();
  const CSettingValues values = {
      {"Driver", "simulator"}, {"Reports", "0"}, {"Seed", "1"}, {"Latency", "300"}, {"Window", "10"}};
  Start(std::make_unique<CSimulatorDriver>(1, values), values);
  ASSERT_TRUE(WaitFor([&] { return Done(40); }))
      << Count("SMSNotifications") << " notifications, " << handset->GetStatus().nParts << " parts, "
      << handset->GetStatus().sLastError;
  const CHandsetStatus status = handset->GetStatus();
  EXPECT_EQ(status.nMostInFlight, 10);
  EXPECT_EQ(status.nInFlight, 0);
  EXPECT_EQ(status.nParts, 40);
}

// Reports that follow their answers at once find their jobs: the outcomes
// are written before the reports of the same round, and each report's
// outcome is written a batch at a time.
TEST_P(HandsetPipeline, ReportsRightAfterTheAnswersFindTheirJobs) {
  for (int i = 0; i < 20; ++i) Insert();
  reports = true;
  const CSettingValues values = {{"Driver", "simulator"}, {"Reports", "1"}, {"ReportDelay", "0"},     {"Seed", "2"},
                                 {"Latency", "50"},       {"Window", "5"},  {"ReferenceKind", "text"}};
  Start(std::make_unique<CSimulatorDriver>(1, values), values);
  ASSERT_TRUE(WaitFor([&] { return handset->GetStatus().nDelivered + handset->GetStatus().nUnmatched == 20; }))
      << handset->GetStatus().sLastError;
  EXPECT_EQ(handset->GetStatus().nUnmatched, 0);
  EXPECT_EQ(Count("SMSNotifications"), 40);
  EXPECT_EQ(Count("SMSMessageRefs"), 0);
}

// The three parts of a long text are in flight at once; the part that failed
// goes again alone, with the concatenation reference of the first attempt,
// and the job ends sent with one attempt counted.
TEST_P(HandsetPipeline, ALongTextsPartsGoTogetherAndAFailedPartAloneAgain) {
  CScriptedNetwork* network = StartScripted(10, 3, [](const CScriptedNetwork::CSeen& s) {
    if (s.message.nPart == 2 && s.nAttempt == 1)
      return CSubmitResult::Failed(ESubmitOutcome::NetworkFailure, true, 88, "busy");
    return CSubmitResult::Accepted({});
  });
  const LONG job = Insert(std::string(400, 'a'));  // three parts of GSM 7-bit text
  ASSERT_TRUE(WaitFor([&] { return Done(1); })) << handset->GetStatus().sLastError;
  EXPECT_EQ(network->MostHeld(), 3u);
  const auto seen = network->Seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[3].message.nPart, 2);
  for (const auto& s : seen) {
    EXPECT_EQ(s.message.nParts, 3);
    // The concatenation element (00 03 ref parts part) carries one reference.
    ASSERT_EQ(s.message.Part.Udh.size(), 5u);
    EXPECT_EQ(s.message.Part.Udh[2], seen[0].message.Part.Udh[2]);
  }
  EXPECT_EQ(db->Value("SELECT RetryCount FROM SMSOutgoing WHERE Id=" + std::to_string(job), "RetryCount").ToLong(), 1);
  EXPECT_EQ(handset->GetStatus().nRetried, 1);
}

// A part whose connection ended before its answer is sent again without
// counting an attempt: with no retries allowed, the job still ends sent.
TEST_P(HandsetPipeline, ALostConnectionIsNotAnAttempt) {
  settings.nMaxRetries = 0;
  CScriptedNetwork* network = StartScripted(10, 1, [](const CScriptedNetwork::CSeen& s) {
    return s.nAttempt == 1 ? CSubmitResult::LinkLost("connection reset") : CSubmitResult::Accepted({});
  });
  const LONG job = Insert();
  ASSERT_TRUE(WaitFor([&] { return Done(1); })) << handset->GetStatus().sLastError;
  EXPECT_EQ(network->Seen().size(), 2u);
  EXPECT_EQ(Count("SMSOutgoing WHERE Id=" + std::to_string(job) + " AND COALESCE(RetryCount, 0)=0"), 1);
  const CHandsetStatus status = handset->GetStatus();
  EXPECT_EQ(status.nLinkLost, 1);
  EXPECT_EQ(status.nRetried, 0);
  EXPECT_EQ(status.nFailed, 0);
}

// The outcomes decided while a write was failing are written together in
// one transaction: while the sixth notification's insert of that round
// hangs (on PostgreSQL the round's one insert of all its notifications), no
// status of the ten is seen; its failure undoes them all, and they are all
// written again, once.
TEST_P(HandsetPipeline, TheOutcomesOfARoundCommitTogether) {
  for (int i = 0; i < 10; ++i) Insert();
  const std::string notification = InsertInto("SMSNotifications");
  FaultInjectionDatabase faults(db->Dsn());
  // The first write hangs (with however many answers had come) until every
  // answer is in.
  faults.Stall(notification, 1, 0, E_FAIL);
  CScriptedNetwork* network = StartScripted(10, 10, Accept);
  ASSERT_TRUE(faults.WaitForStalled(1));
  ASSERT_TRUE(WaitFor([&] { return network->Answered() == 10; }));
  const bool postgres = GetParam() == Backend::Postgres;
  faults.Stall(notification, 1, postgres ? 0 : 5, E_FAIL);
  faults.Release();
  ASSERT_TRUE(faults.WaitForStalled(1));
  EXPECT_EQ(Sent(), 0);
  EXPECT_EQ(Count("SMSNotifications"), 0);
  EXPECT_EQ(Count("SMSOutgoing WHERE Status=" + std::to_string(jsProcessing)), 10);
  faults.Release();
  ASSERT_TRUE(WaitFor([&] { return Done(10); })) << handset->GetStatus().sLastError;
  // SQLite: 1 and 6 in the failed rounds, 10 in the last; PostgreSQL: one
  // statement a round.
  EXPECT_EQ(faults.Seen(notification), postgres ? 3 : 17);
  EXPECT_EQ(Count("(SELECT OriginalId FROM SMSNotifications GROUP BY OriginalId HAVING COUNT(*) > 1) twice"), 0);
}

// A stop returns the jobs claimed but not handed over, and those in flight
// when the driver stops, to pending as they were: untagged, no attempt
// counted.
TEST_P(HandsetPipeline, AStopReturnsTheClaimedJobsNotSent) {
  for (int i = 0; i < 20; ++i) Insert();
  CScriptedNetwork* network = StartScripted(2, 0, Accept);  // never answers
  ASSERT_TRUE(WaitFor(
      [&] { return network->Held() == 2 && Count("SMSOutgoing WHERE Status=" + std::to_string(jsProcessing)) == 20; }));
  handset->Stop(Clock::now() + std::chrono::milliseconds(500));
  handset.reset();
  EXPECT_EQ(Count("SMSOutgoing WHERE Status=" + std::to_string(jsPending) +
                  " AND MessageRef IS NULL AND COALESCE(RetryCount, 0)=0"),
            20);
  EXPECT_EQ(Count("SMSNotifications"), 0);
}

// MaxPerSecond holds back a driver that has no pacing of its own: 30 parts
// at 20 a second take at least 1.4 s after the bucket's first two, however
// wide the window, and no second sees more than the rate and the bucket.
TEST_P(HandsetPipeline, MaxPerSecondPacesAnyDriver) {
  for (int i = 0; i < 30; ++i) Insert();
  std::mutex lock;
  std::vector<Clock::time_point> times;
  auto network = std::make_unique<CScriptedNetwork>(10, 1, [&](const CScriptedNetwork::CSeen&) {
    std::lock_guard guard(lock);
    times.push_back(Clock::now());
    return CSubmitResult::Accepted({});
  });
  Start(std::move(network), {{"Driver", "scripted"}, {"MaxPerSecond", "20"}});
  ASSERT_TRUE(WaitFor([&] { return Done(30); })) << handset->GetStatus().sLastError;
  std::lock_guard guard(lock);
  ASSERT_EQ(times.size(), 30u);
  std::sort(times.begin(), times.end());
  EXPECT_GE(times.back() - times.front(), std::chrono::milliseconds(1300));
  for (size_t i = 0; i < times.size(); ++i) {
    size_t within = 0;
    for (size_t k = i; k < times.size() && times[k] - times[i] < std::chrono::seconds(1); ++k) ++within;
    EXPECT_LE(within, 22u) << "from submission " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, HandsetPipeline, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// A message's options reach the driver (sender, priority, what is left of
// its validity, its own report request); a job past its validity fails with
// jsErrTimeout and a notification carrying its ClientRef, never sent; a job
// scheduled for later does not leave before its time and leaves within a
// second after it, though the poll interval is far longer.
TEST_P(HandsetPipeline, OptionsReachTheDriverExpiredJobsFailAndScheduledOnesLeaveOnTime) {
  settings.dwPollInterval = 20000;
  const std::int64_t now = HistoryNow();
  CSendOptions options;
  options.sSender = "Shop";
  options.nPriority = 1;
  options.nValidUntil = now + 60000;
  options.sClientRef = "order-1";
  const CMessageEndpoint source(stClientLibrary);
  const LONG sent = queues->outgoing.InsertJob("+4915112345", jtTextMessage, "hi", hsAll, source, options);
  CSendOptions expired;
  expired.nValidUntil = now - 1000;
  expired.sClientRef = "order-2";
  const LONG late = queues->outgoing.InsertJob("+4915112346", jtTextMessage, "late", hsAll, source, expired);
  CSendOptions scheduled;
  scheduled.nNotBefore = now + 6000;
  const LONG waits = queues->outgoing.InsertJob("+4915112347", jtTextMessage, "later", hsAll, source, scheduled);
  CScriptedNetwork* network = StartScripted(10, 1, Accept);
  ASSERT_TRUE(WaitFor([&] { return Count("SMSNotifications") >= 2; }))
      << handset->GetStatus().sLastError << " notifications " << Count("SMSNotifications") << " seen "
      << network->Seen().size() << " pending " << Count("SMSOutgoing WHERE Status=0");
  const auto seen = network->Seen();
  ASSERT_GE(seen.size(), 1U);
  const COutgoingSms& m = seen[0].message;
  EXPECT_EQ(m.nJobId, sent);
  EXPECT_EQ(m.sSender, "Shop");
  EXPECT_EQ(m.nPriority, 1);
  ASSERT_TRUE(m.Validity);
  EXPECT_GT(m.Validity->count(), 50);
  EXPECT_LE(m.Validity->count(), 60);
  EXPECT_EQ(db->Value("SELECT ClientRef FROM SMSNotifications WHERE OriginalId=" + std::to_string(sent), "ClientRef")
                .ToString(),
            "order-1");
  EXPECT_EQ(db->Value("SELECT Status FROM SMSOutgoing WHERE Id=" + std::to_string(late), "Status").ToLong(),
            jsErrTimeout);
  EXPECT_EQ(db->Value("SELECT ErrorCode FROM SMSNotifications WHERE OriginalId=" + std::to_string(late), "ErrorCode")
                .ToLong(),
            jsErrTimeout);
  EXPECT_EQ(db->Value("SELECT ClientRef FROM SMSNotifications WHERE OriginalId=" + std::to_string(late), "ClientRef")
                .ToString(),
            "order-2");
  // The scheduled job: not before its time (seen gone at no look before
  // it), then within a second.
  bool early = false;
  std::int64_t left = 0;
  ASSERT_TRUE(WaitFor([&] {
    left = HistoryNow();
    const bool gone = network->Seen().size() == 2;
    early = early || (gone && left < *scheduled.nNotBefore);
    return gone;
  }));
  EXPECT_EQ(network->Seen()[1].message.nJobId, waits);
  EXPECT_FALSE(early);
  EXPECT_LE(left, *scheduled.nNotBefore + 1000);
  EXPECT_FALSE(network->Seen()[1].message.Validity);
}
