// velquor-server with SMPP handsets under failure, as real processes, with
// the benchmarks' SMS centre (bench/smpp_sink) writing every text that
// reaches it: the engine killed in the middle of a backlog, two engines
// sharing one PostgreSQL queue, and an SMS centre that drops the bind while
// a window of submissions waits for its answers. Each job's text is unique
// ("job <Id>"), so the sink's dump tells how often each job went out.
//
// Nothing here assumes one submission at a time: the bounds are what the
// queue says was in an engine's hands (processing) at the failure.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "child_process.h"
#include "server_test_support.h"
#include "skip_support.h"
#include "test_support.h"

using TestSupport::Backend;
using TestSupport::Count;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;

namespace {

// smpp_sink as a child process, with its dump in a file of its own.
class Sink {
 public:
  explicit Sink(const std::vector<std::string>& options) {
    static int counter = 0;
    m_dump = TestSupport::Root() + "/sink-" + std::to_string(counter++) + ".dump";
    std::filesystem::remove(m_dump);
    std::vector<std::string> argv = {SMPP_SINK, "--dump=" + m_dump};
    argv.insert(argv.end(), options.begin(), options.end());
    m_process = std::make_unique<TestSupport::ChildProcess>(argv);
    if (m_process->WaitForOutput("port ", std::chrono::seconds(10))) {
      const std::string out = m_process->Output();
      m_port = std::stoi(out.substr(out.find("port ") + 5));
    }
  }
  int Port() const { return m_port; }
  // Submissions that reached the sink, per text.
  std::map<std::string, int> Received() const {
    std::map<std::string, int> texts;
    std::ifstream in(m_dump);
    for (std::string line; std::getline(in, line);) ++texts[line];
    return texts;
  }
  long Submits() const {
    long n = 0;
    std::ifstream in(m_dump);
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
  // Stops it and gives its summary line.
  std::string Stop() {
    m_process->Signal(SIGTERM);
    m_process->Wait(std::chrono::seconds(5));
    return m_process->Output();
  }

 private:
  std::string m_dump;
  std::unique_ptr<TestSupport::ChildProcess> m_process;
  int m_port = 0;
};

// Queues jobs first..last, each with the text "job <Id>", in statements of
// up to 500 rows.
void QueueJobs(const TestSupport::TestDatabase& db, int first, int last) {
  for (int from = first; from <= last; from += 500) {
    std::string sql =
        "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName) "
        "VALUES ";
    for (int i = from; i <= std::min(last, from + 499); ++i)
      sql += (i > from ? ", (" : "(") + std::to_string(i) + ", 1, '+49151" + std::to_string(i) + "', 'job " +
             std::to_string(i) + "', 0, 0, 1, ' ', ' ')";
    db.Run(sql);
  }
}

// Handset `n` of `root` as an SMPP bind to the sink on `port`, window 10,
// without delivery reports.
void AddSmppHandset(const EngineRoot& root, int n, int port) {
  for (const auto& [k, v] : std::map<std::string, std::string>{{"Driver", "smpp"},
                                                               {"Host", "127.0.0.1"},
                                                               {"Port", std::to_string(port)},
                                                               {"SystemId", "velquor"},
                                                               {"WindowSize", "10"},
                                                               {"DeliveryReports", "0"},
                                                               {"ReconnectDelay", "50"},
                                                               {"ReconnectDelayMax", "200"}})
    root.SetHandset(n, k, v);
}

void ConfigureEngine(const EngineRoot& root, const char* maxRetries = "20") {
  root.Set("ResendInDoubt", "1");
  root.Set("MaxRetries", maxRetries);
  root.Set("RetryBackoff", "50");
  root.Set("ClaimBatch", "100");
}

std::string Job(long id) { return "job " + std::to_string(id); }

// Every job 1..n has exactly one final notification (sent, or failed), and
// none stays pending or in processing.
void ExpectEveryOutcomeWithItsNotification(const TestSupport::TestDatabase& db, int n) {
  EXPECT_EQ(Count(db, "Status IN (0, 1)"), 0);
  EXPECT_EQ(Count(db, "Type IN (2, 3)", "SMSNotifications"), n);
  EXPECT_EQ(db.Value("SELECT COUNT(DISTINCT OriginalId) AS N FROM SMSNotifications WHERE Type IN (2, 3)", "N").ToLong(),
            n);
  // A row still in the table with a final status has its own notification.
  EXPECT_EQ(Count(db,
                  "Status IN (2, 6) AND NOT EXISTS (SELECT 1 FROM SMSNotifications N WHERE N.OriginalId=SMSOutgoing.Id "
                  "AND N.Type IN (2, 3))"),
            0);
}

class EngineSmppReliability : public ::testing::TestWithParam<Backend> {};

// 1,000 jobs through one bind with a window of 10 and an SMS centre that
// answers after 5 ms; the engine is killed (SIGKILL) once about a third has
// reached the SMS centre, and started again. Every job reaches the SMS centre
// at least once; only a job in the dead engine's hands (processing at the
// kill) may reach it twice; every job ends with its notification.
TEST_P(EngineSmppReliability, KilledMidBacklogEveryJobArrivesAndOnlyThoseInHandTwice) {
  SKIP_WITHOUT_BACKEND(GetParam());
  constexpr int kJobs = 1000;
  TestSupport::TestDatabase db(GetParam());
  EngineRoot root(db.Dsn(), TestSupport::FreshDir("smpp-kill"));
  Sink sink({"--delay-ms=5"});
  ASSERT_NE(sink.Port(), 0);
  ConfigureEngine(root);
  root.Set("OrphanGrace", "300");
  AddSmppHandset(root, 1, sink.Port());
  QueueJobs(db, 1, kJobs);
  long inHand = 0;
  {
    ServerProcess first(root);
    first.Start();
    ASSERT_TRUE(WaitUntil([&] { return sink.Submits() >= kJobs / 3; }, 30000)) << first.Errors();
    EXPECT_EQ(first.Kill(), 128 + SIGKILL);
    inHand = Count(db, "Status=1");
  }
  const long atKill = sink.Submits();
  EXPECT_LT(atKill, kJobs) << "the backlog was gone before the kill";
  ServerProcess second(root);
  ASSERT_TRUE(second.StartAndWait()) << second.Errors();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1)") == 0; }, 40000)) << Count(db, "Status IN (0, 1)");
  EXPECT_EQ(second.Stop(), 0);
  sink.Stop();

  const auto received = sink.Received();
  int twice = 0;
  for (long id = 1; id <= kJobs; ++id) {
    const auto it = received.find(Job(id));
    const int n = it == received.end() ? 0 : it->second;
    EXPECT_GE(n, 1) << Job(id) << " never reached the SMS centre";
    EXPECT_LE(n, 2) << Job(id);
    twice += n > 1;
  }
  EXPECT_EQ(received.size(), static_cast<size_t>(kJobs)) << "texts that are no job's";
  EXPECT_LE(twice, inHand) << "more jobs sent twice than were in the engine's hands at the kill";
  EXPECT_EQ(Count(db, "Status<>2"), 0) << "a job failed";
  ExpectEveryOutcomeWithItsNotification(db, kJobs);
  std::printf("killed after %ld of %d submissions, %ld jobs in processing at the kill, %d sent twice\n", atKill, kJobs,
              inHand, twice);
}

// The SMS centre drops the connection at every 100th submission, with the
// rest of the window unanswered (answers 20 ms late). Each job whose answer
// was lost is sent again after the rebind: none is lost, none fails, every
// outcome has its notification, and only jobs of a dropped window go twice.
TEST_P(EngineSmppReliability, ABindDroppedWithAFullWindowLosesAndFailsNothing) {
  SKIP_WITHOUT_BACKEND(GetParam());
  constexpr int kJobs = 400, kDropEvery = 100;
  TestSupport::TestDatabase db(GetParam());
  EngineRoot root(db.Dsn(), TestSupport::FreshDir("smpp-drop"));
  Sink sink({"--delay-ms=20", "--drop-every=" + std::to_string(kDropEvery)});
  ASSERT_NE(sink.Port(), 0);
  // No retries: a part the drop caught is not the job's failure, so it goes
  // again without counting one.
  ConfigureEngine(root, "0");
  AddSmppHandset(root, 1, sink.Port());
  QueueJobs(db, 1, kJobs);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1)") == 0; }, 40000)) << Count(db, "Status IN (0, 1)");
  EXPECT_EQ(server.Stop(), 0);
  const std::string summary = sink.Stop();

  const auto received = sink.Received();
  const long drops = sink.Submits() / kDropEvery;
  EXPECT_GE(drops, 3) << summary;
  int twice = 0;
  for (long id = 1; id <= kJobs; ++id) {
    const auto it = received.find(Job(id));
    const int n = it == received.end() ? 0 : it->second;
    EXPECT_GE(n, 1) << Job(id) << " never reached the SMS centre";
    twice += n > 1;
  }
  // A drop leaves at most a window (10) unanswered; each may go again.
  EXPECT_LE(twice, drops * 10) << summary;
  EXPECT_EQ(Count(db, "Status<>2"), 0) << "a job failed";
  EXPECT_EQ(Count(db, "Type=3", "SMSNotifications"), 0) << "a send failure was reported";
  ExpectEveryOutcomeWithItsNotification(db, kJobs);
  std::printf("%ld drops of the bind: %d jobs sent again after the rebind, none lost, none failed\n", drops, twice);
}

INSTANTIATE_TEST_SUITE_P(Backends, EngineSmppReliability, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// Two engines, two binds each, on one PostgreSQL queue of 3,000 jobs: each
// job reaches the SMS centre exactly once, and both engines take part.
class EngineSmppSharedQueue : public ::testing::TestWithParam<Backend> {};

TEST_P(EngineSmppSharedQueue, TwoEnginesWithTwoBindsEachSendEveryJobExactlyOnce) {
  SKIP_WITHOUT_BACKEND(GetParam());
  constexpr int kJobs = 3000;
  TestSupport::TestDatabase db(GetParam());
  EngineRoot a(db.Dsn(), TestSupport::FreshDir("smpp-engine-a")), b(db.Dsn(), TestSupport::FreshDir("smpp-engine-b"));
  Sink sinkA({}), sinkB({});
  ASSERT_NE(sinkA.Port(), 0);
  ASSERT_NE(sinkB.Port(), 0);
  for (const EngineRoot* root : {&a, &b}) {
    ConfigureEngine(*root);
    for (int h : {1, 2}) AddSmppHandset(*root, h, (root == &a ? sinkA : sinkB).Port());
  }
  QueueJobs(db, 1, kJobs);
  ServerProcess engineA(a), engineB(b);
  engineA.Start();
  engineB.Start();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1)") == 0; }, 50000)) << Count(db, "Status IN (0, 1)");
  EXPECT_EQ(engineA.Stop(), 0);
  EXPECT_EQ(engineB.Stop(), 0);
  sinkA.Stop();
  sinkB.Stop();

  std::map<std::string, int> received = sinkA.Received();
  for (const auto& [text, n] : sinkB.Received()) received[text] += n;
  int duplicates = 0;
  for (long id = 1; id <= kJobs; ++id) {
    const auto it = received.find(Job(id));
    const int n = it == received.end() ? 0 : it->second;
    EXPECT_EQ(n, 1) << Job(id);
    duplicates += n > 1 ? n - 1 : 0;
  }
  EXPECT_EQ(received.size(), static_cast<size_t>(kJobs));
  EXPECT_GT(sinkA.Submits(), 0);
  EXPECT_GT(sinkB.Submits(), 0);
  EXPECT_EQ(Count(db, "Status<>2"), 0);
  ExpectEveryOutcomeWithItsNotification(db, kJobs);
  std::printf("two engines x 2 binds, %d jobs: %ld sent by one, %ld by the other, %d duplicates\n", kJobs,
              sinkA.Submits(), sinkB.Submits(), duplicates);
}

INSTANTIATE_TEST_SUITE_P(Backends, EngineSmppSharedQueue, ::testing::Values(Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
