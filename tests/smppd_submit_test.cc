// velquor-smppd's submits: the group commit in process over SQLite and
// PostgreSQL (identifiers, rows, a failing database, the stop), and the
// daemon killed under a load of submits: every message_id it answered is a
// job in the queue.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "smpp_database.h"
#include "smppd_test_support.h"
#include "submit_committer.h"
#include "submit_mapping.h"

namespace {

using namespace std::chrono_literals;
using TestSupport::Backend;
using Norvale::Smpp::ESME_ROK;
using Norvale::Smpp::ESME_RSYSERR;

struct Answer {
  uint32_t nStatus = 0;
  std::string sId;
};

// The answers of the committer's `done`, by the item's number.
class Answers {
 public:
  VelquorSmpp::SubmitCommitter::Done For(int n) {
    return [this, n](uint32_t status, const std::string& id) {
      {
        const std::lock_guard lock(m_Mutex);
        m_Answers[n] = {status, id};
        ++m_nCalls;
      }
      m_Changed.notify_all();
    };
  }
  bool WaitFor(std::size_t count, std::chrono::seconds limit = 60s) {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, limit, [&] { return m_Answers.size() >= count; });
  }
  std::map<int, Answer> Get() {
    const std::lock_guard lock(m_Mutex);
    return m_Answers;
  }
  std::size_t Calls() {
    const std::lock_guard lock(m_Mutex);
    return m_nCalls;
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::map<int, Answer> m_Answers;
  std::size_t m_nCalls = 0;
};

std::string Number(int n) { return "+49151" + std::to_string(1000000 + n); }

VelquorSmpp::SubmitJob Job(const std::string& account, int n) {
  Norvale::CApiAccount owner;
  owner.sName = account;
  auto mapped = VelquorSmpp::MapSubmit(TestSupport::SmppTest::TextSubmit(Number(n), "message " + std::to_string(n)),
                                       owner, 1700000000000 + n);
  return std::get<VelquorSmpp::SubmitJob>(mapped);
}

// The jobs SourceType 11 with their SmppJobs rows: Id -> "SourceId PhoneNumber
// SystemId DestAddr".
std::map<long, std::string> QueuedJobs(const TestSupport::TestDatabase& db) {
  Norvale::OS::Connection c;
  c.Open("Data Source=" + db.Dsn(), "", "");
  Norvale::OS::_variant_t affected;
  auto rs = c.Execute(
      "SELECT o.Id AS Id, o.SourceId AS SourceId, o.PhoneNumber AS PhoneNumber, j.SystemId AS SystemId, j.DestAddr "
      "AS DestAddr FROM SMSOutgoing o JOIN SmppJobs j ON j.Id = o.Id WHERE o.SourceType = 11",
      &affected, Norvale::OS::adCmdText);
  std::map<long, std::string> jobs;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    jobs[rs->GetFieldValue("Id").ToLong()] =
        rs->GetFieldValue("SourceId").ToString() + " " + rs->GetFieldValue("PhoneNumber").ToString() + " " +
        rs->GetFieldValue("SystemId").ToString() + " " + rs->GetFieldValue("DestAddr").ToString();
  }
  return jobs;
}

class SubmitCommitterTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    queues = std::make_unique<TestSupport::ConfiguredQueues>(GetParam());
    database = std::make_unique<VelquorSmpp::SmppDatabase>();
    // On this thread, which served the previous case's database too.
    database->CreateSchema();
  }
  long Count(const std::string& table) const {
    return queues->db.Value("SELECT COUNT(*) AS N FROM " + table, "N").ToLong();
  }

  std::unique_ptr<TestSupport::ConfiguredQueues> queues;
  std::unique_ptr<VelquorSmpp::SmppDatabase> database;
};

TEST_P(SubmitCommitterTest, FourThreadsOfSubmitsAreQueuedWithTheIdentifiersAnswered) {
  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  Answers answers;
  std::size_t groups = 0;
  std::chrono::steady_clock::duration took{};
  {
    VelquorSmpp::SubmitCommitter committer(*database);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          const int n = t * kEach + i;
          committer.Submit({Job(t % 2 == 0 ? "acme" : "beta", n), answers.For(n)});
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(answers.WaitFor(kThreads * kEach)) << answers.Get().size();
    took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(committer.Waiting(), 0u);
    groups = committer.Groups();
  }
  EXPECT_EQ(answers.Calls(), std::size_t{kThreads * kEach});  // each once
  const std::map<long, std::string> jobs = QueuedJobs(queues->db);
  EXPECT_EQ(jobs.size(), std::size_t{kThreads * kEach});
  EXPECT_EQ(Count("SMSOutgoing"), kThreads * kEach);
  EXPECT_EQ(Count("SmppJobs"), kThreads * kEach);
  std::set<std::string> ids;
  for (const auto& [n, answer] : answers.Get()) {
    ASSERT_EQ(answer.nStatus, ESME_ROK) << n;
    ids.insert(answer.sId);
    const std::string account = (n / kEach) % 2 == 0 ? "acme" : "beta";
    const auto job = jobs.find(std::stol(answer.sId));
    ASSERT_NE(job, jobs.end()) << answer.sId;
    EXPECT_EQ(job->second, account + " " + Number(n) + " " + account + " " + Number(n)) << n;
  }
  EXPECT_EQ(ids.size(), std::size_t{kThreads * kEach});
  const double ms = std::chrono::duration<double, std::milli>(took).count();
  std::cout << "[ committer ] " << kThreads * kEach << " submits in " << groups << " groups (mean "
            << double(kThreads * kEach) / double(std::max<std::size_t>(groups, 1)) << "), " << ms << " ms, "
            << kThreads * kEach * 1000.0 / ms << " submits/s" << std::endl;
}

TEST_P(SubmitCommitterTest, AFailingDatabaseRefusesTheGroupAndQueuesNothingOfIt) {
  queues->db.Run("DROP TABLE SmppJobs");
  Answers answers;
  {
    VelquorSmpp::SubmitCommitter committer(*database);
    for (int n = 0; n < 50; ++n) committer.Submit({Job("acme", n), answers.For(n)});
    ASSERT_TRUE(answers.WaitFor(50));
  }
  for (const auto& [n, answer] : answers.Get()) {
    EXPECT_EQ(answer.nStatus, ESME_RSYSERR) << n;
    EXPECT_EQ(answer.sId, "") << n;
  }
  EXPECT_EQ(Count("SMSOutgoing"), 0);

  // The table back: the next submits go through.
  database->CreateSchema();
  Answers later;
  {
    VelquorSmpp::SubmitCommitter committer(*database);
    for (int n = 0; n < 5; ++n) committer.Submit({Job("acme", n), later.For(n)});
    ASSERT_TRUE(later.WaitFor(5));
  }
  for (const auto& [n, answer] : later.Get()) EXPECT_EQ(answer.nStatus, ESME_ROK) << n;
  EXPECT_EQ(Count("SMSOutgoing"), 5);
}

TEST_P(SubmitCommitterTest, StoppingCommitsWhatWasHandedBefore) {
  Answers answers;
  {
    VelquorSmpp::SubmitCommitter committer(*database);
    for (int n = 0; n < 2500; ++n) committer.Submit({Job("acme", n), answers.For(n)});
  }
  EXPECT_EQ(answers.Get().size(), 2500u);
  for (const auto& [n, answer] : answers.Get()) ASSERT_EQ(answer.nStatus, ESME_ROK) << n;
  EXPECT_EQ(Count("SMSOutgoing"), 2500);
  EXPECT_EQ(Count("SmppJobs"), 2500);
}

INSTANTIATE_TEST_SUITE_P(Backends, SubmitCommitterTest,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres), TestSupport::BackendName);

class SmppdSubmitTest : public ::testing::TestWithParam<Backend> {};

TEST_P(SmppdSubmitTest, KilledUnderLoadEveryAnsweredMessageIdIsAQueuedJob) {
  SKIP_WITHOUT_BACKEND(GetParam());
  TestSupport::SmppDaemon daemon(GetParam());
  daemon.AddAccount("acme", "secret1");
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  auto client = daemon.Client(Norvale::Smpp::ECommandId::BindTransmitter, "acme", "secret1");
  std::vector<Norvale::Smpp::ShortMessageBody> bodies;
  for (int n = 0; n < 20000; ++n)
    bodies.push_back(TestSupport::SmppTest::TextSubmit(Number(n).substr(1), "load " + std::to_string(n)));
  std::vector<TestSupport::SmppTestClient::SubmitAnswer> answers;
  std::thread load([&] { answers = client->Submit(bodies, 100, 60s); });
  // Killed in the middle of the load.
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (daemon.Count("SMSOutgoing") < 2000 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(20ms);
  daemon.Process().Signal(SIGKILL);
  load.join();
  EXPECT_NE(daemon.Process().Wait(20s), 0);

  const std::map<long, std::string> jobs = QueuedJobs(daemon.Db());
  std::size_t answered = 0;
  for (std::size_t n = 0; n < answers.size(); ++n) {
    if (!answers[n].nStatus) continue;
    ASSERT_EQ(*answers[n].nStatus, ESME_ROK) << n;
    ++answered;
    const auto job = jobs.find(std::stol(answers[n].sMessageId));
    ASSERT_NE(job, jobs.end()) << "message_id " << answers[n].sMessageId << " answered but not queued";
    EXPECT_EQ(job->second, "acme " + Number(static_cast<int>(n)) + " acme " + Number(static_cast<int>(n)).substr(1));
  }
  EXPECT_GE(answered, 1u);
  EXPECT_LT(answered, bodies.size()) << "the daemon was killed only after the load";
  std::cout << "[ killed ] " << answered << " submits answered, " << jobs.size() << " queued" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Backends, SmppdSubmitTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

}  // namespace
