// velquor-server under failure, as real processes: killed in the middle of a
// burst, two engines competing for one PostgreSQL database, invalid jobs,
// and the limits of what it serves (the configuration proxy, its socket).
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "config/config_velquor_client_only.h"
#include "engine/engine_marshal.h"
#include "engine_test_support.h"
#include "platform/com_ptr.h"
#include "platform/dbus_rpc.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "server_test_support.h"
#include "skip_support.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Count;
using TestSupport::EngineRoot;
using TestSupport::ServerProcess;
using TestSupport::WaitUntil;

namespace {

void FreshRoot() {
  std::filesystem::remove_all(RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
}

// Runs `body` in a forked child as user nobody in group `gid` (and no
// other); empty for success, else what went wrong.
std::string AsUser(gid_t gid, const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string result;
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) {
      result = "could not change user";
    } else {
      try {
        result = body();
      } catch (const _com_error& e) {
        result = "COM error: " + e.DescriptionA();
      } catch (...) {
        result = "exception in child";
      }
    }
    (void)!write(fds[1], result.data(), result.size());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? out : "child crashed";
}

// Queues `n` text jobs for any handset in one statement, from Id `first` on.
void QueueJobsFrom(const TestSupport::TestDatabase& db, int first, int n) {
  std::string sql =
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName) "
      "VALUES ";
  for (int i = first; i < first + n; ++i)
    sql += (i > first ? ", (" : "(") + std::to_string(i) + ", 1, '+49151" + std::to_string(i) +
           "', 'burst', 0, 0, 1, ' ', ' ')";
  db.Run(sql);
}

void QueueJobs(const TestSupport::TestDatabase& db, int n) { QueueJobsFrom(db, 1, n); }

// Accepted submissions per job, from the simulators' logs.
std::map<long, int> Accepted(const std::vector<std::string>& logs) {
  std::map<long, int> accepted;
  for (const auto& log : logs)
    for (const auto& s : TestSupport::ReadSubmissions(log))
      if (s.outcome == "accepted") ++accepted[s.job];
  return accepted;
}

struct BurstOutcome {
  std::map<long, int> accepted;
  std::set<long> failedInDoubt;
  long stuck = 0;
};

// 500 jobs, two handsets, the engine killed with SIGKILL when about a third
// has gone out, then started again until every job is final.
BurstOutcome KillMidBurst(bool bResendInDoubt) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  const std::string log = TestSupport::Root() + "/submit.log";
  std::filesystem::remove(log);
  root.Set("ResendInDoubt", bResendInDoubt ? "1" : "0");
  root.Set("OrphanGrace", "300");
  root.Set("MaintenanceInterval", "100");
  for (int h : {1, 2}) root.AddSimulator(h, {{"SubmitLog", log}, {"Reports", "0"}, {"Latency", "1"}});
  QueueJobs(db, 500);
  BurstOutcome outcome;
  {
    ServerProcess first(root);
    first.Start();
    EXPECT_TRUE(WaitUntil([&] { return TestSupport::ReadSubmissions(log).size() >= 150; }, 30000));
    EXPECT_EQ(first.Kill(), 128 + SIGKILL);
  }
  EXPECT_LT(TestSupport::ReadSubmissions(log).size(), 500u) << "the burst was over before the kill";
  ServerProcess second(root);
  EXPECT_TRUE(second.StartAndWait()) << second.Errors();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1)") == 0; }, 60000)) << Count(db, "Status IN (0, 1)");
  EXPECT_EQ(second.Stop(), 0);
  outcome.accepted = Accepted({log});
  outcome.stuck = Count(db, "Status IN (0, 1)");
  for (long id = 1; id <= 500; ++id)
    if (Count(db, "Id=" + std::to_string(id) + " AND Status=6") == 1 &&
        Count(db, "Type=3 AND ErrorCode=1000 AND OriginalId=" + std::to_string(id), "SMSNotifications") == 1)
      outcome.failedInDoubt.insert(id);
  EXPECT_EQ(Count(db, "Status NOT IN (2, 6)"), 0);  // sent, or failed as perhaps sent
  return outcome;
}

}  // namespace

TEST(EngineCrash, KilledMidBurstEverySentOnceOrReportedFailed) {
  const BurstOutcome o = KillMidBurst(false);
  EXPECT_EQ(o.stuck, 0);
  for (long id = 1; id <= 500; ++id) {
    const int n = o.accepted.count(id) ? o.accepted.at(id) : 0;
    if (o.failedInDoubt.count(id))
      EXPECT_LE(n, 1) << id;
    else
      EXPECT_EQ(n, 1) << id;
  }
  EXPECT_LE(o.failedInDoubt.size(), 2u);  // at most one job in the hands of each handset
  std::printf("killed mid-burst, in-doubt jobs failed: %zu of 500 reported failed, the rest sent once\n",
              o.failedInDoubt.size());
}

TEST(EngineCrash, KilledMidBurstSendsAgainOnlyWhatWasInFlight) {
  const BurstOutcome o = KillMidBurst(true);
  EXPECT_EQ(o.stuck, 0);
  EXPECT_TRUE(o.failedInDoubt.empty());
  int twice = 0;
  for (long id = 1; id <= 500; ++id) {
    const int n = o.accepted.count(id) ? o.accepted.at(id) : 0;
    EXPECT_GE(n, 1) << id;
    EXPECT_LE(n, 2) << id;
    twice += n == 2;
  }
  EXPECT_LE(twice, 2);  // at-least-once: only a job in a handset's hands at the kill may go twice
  std::printf("killed mid-burst, in-doubt jobs sent again: %d of 500 sent twice, the rest once\n", twice);
}

TEST(EngineCrash, AJobClaimedButNeverTakenOverGoesBackToPending) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  const std::string log = TestSupport::Root() + "/submit.log";
  root.Set("OrphanGrace", "300");
  root.Set("MaintenanceInterval", "100");
  root.AddSimulator(1, {{"SubmitLog", log}, {"Reports", "0"}});
  QueueJobs(db, 2);
  db.Run("UPDATE SMSOutgoing SET Status=1 WHERE Id=1");                      // claimed by an engine that died at once
  db.Run("UPDATE SMSOutgoing SET Status=1, MessageRef=-999999 WHERE Id=2");  // another engine's job in hand
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  EXPECT_TRUE(WaitUntil([&] { return Accepted({log})[1] == 1; }));
  // A third claim without an owner, left after the first went: once it is
  // sent, the clean-up has seen job 2 for longer than the grace.
  db.Run(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName) "
      "VALUES (3, 1, '+491513', 'burst', 0, 1, 1, ' ', ' ')");
  EXPECT_TRUE(WaitUntil([&] { return Accepted({log})[3] == 1; }));
  EXPECT_EQ(Count(db, "Id=2 AND Status=1"), 1);  // never touched: it has an owner
  EXPECT_EQ(server.Stop(), 0);
}

namespace {

// A job waiting 60 s for its retry when the engine is killed or stopped:
// neither failed nor left waiting for a timer that went with the process.
// The next engine finds it pending and sends it at once, and no send
// failure is ever reported.
void EndDuringABackOff(int signal) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  const std::string log = TestSupport::Root() + "/submit.log";
  std::filesystem::remove(log);
  root.Set("MaxRetries", "5");
  root.Set("RetryBackoff", "60000");
  root.AddSimulator(1, {{"SubmitLog", log}, {"Reports", "0"}, {"FailureRate", "100"}});
  QueueJobs(db, 1);
  {
    ServerProcess first(root);
    ASSERT_TRUE(first.StartAndWait()) << first.Errors();
    // Failed once, and in the handset's hands in the phase "waiting" (an odd
    // tag: -(engine * 32 + handset * 2 + phase) - 1). A job just claimed
    // carries that tag too, before it is submitted: the attempt must be seen.
    ASSERT_TRUE(WaitUntil([&] {
      return TestSupport::ReadSubmissions(log).size() == 1 &&
             Count(db, "Id=1 AND Status=1 AND MessageRef<0 AND (-MessageRef-1)%2=1") == 1;
    })) << TestSupport::ReadSubmissions(log).size();
    if (signal == SIGKILL) {
      EXPECT_EQ(first.Kill(), 128 + SIGKILL);
      EXPECT_EQ(Count(db, "Id=1 AND Status=1"), 1);  // still in the dead engine's hands
    } else {
      EXPECT_EQ(first.Stop(signal), 0);
      EXPECT_EQ(Count(db, "Id=1 AND Status=0 AND RetryCount=1"), 1);  // handed back, its count kept
    }
  }
  EXPECT_EQ(Count(db, "Type=3", "SMSNotifications"), 0);
  // The network is back. Within 15 s, a quarter of the back-off, the next
  // engine sends the job: it was pending, not waiting.
  root.AddSimulator(1, {{"SubmitLog", log}, {"Reports", "0"}, {"FailureRate", "0"}});
  ServerProcess second(root);
  ASSERT_TRUE(second.StartAndWait()) << second.Errors();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Id=1 AND Status=2") == 1; }, 15000)) << Count(db, "Status<>2");
  const auto attempts = TestSupport::ReadSubmissions(log);
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[1].outcome, "accepted");
  EXPECT_EQ(second.Stop(), 0);
  EXPECT_EQ(Count(db, "Type=3", "SMSNotifications"), 0);  // no send failure, at any time
  EXPECT_EQ(Count(db, "Type=2 AND OriginalId=1", "SMSNotifications"), 1);
}

}  // namespace

TEST(EngineCrash, KilledDuringABackOffTheJobIsPendingForTheNextEngineAndNeverFails) { EndDuringABackOff(SIGKILL); }

TEST(EngineStop, StoppedDuringABackOffTheJobIsPendingForTheNextEngineAndNeverFails) { EndDuringABackOff(SIGTERM); }

TEST(EngineCompeting, TwoEnginesWithTwoHandsetsEachSendEveryJobExactlyOnce) {
  if (!TestSupport::PostgresAddress()) SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Postgres);
  const std::string root2 = TestSupport::Root() + "/machine2";
  EngineRoot a(db.Dsn()), b(db.Dsn(), root2);
  const std::string logA = TestSupport::Root() + "/a.log", logB = TestSupport::Root() + "/b.log";
  // The same handset numbers on both "machines".
  for (int h : {1, 2}) {
    a.AddSimulator(h, {{"SubmitLog", logA}, {"Reports", "0"}});
    b.AddSimulator(h, {{"SubmitLog", logB}, {"Reports", "0"}});
  }
  QueueJobs(db, 1000);
  ServerProcess engineA(a), engineB(b);
  engineA.Start();
  engineB.Start();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1)") == 0; }, 90000)) << Count(db, "Status IN (0, 1)");
  EXPECT_EQ(engineA.Stop(), 0);
  EXPECT_EQ(engineB.Stop(), 0);
  const auto accepted = Accepted({logA, logB});
  EXPECT_EQ(accepted.size(), 1000u);
  for (const auto& [job, n] : accepted) EXPECT_EQ(n, 1) << job;
  const size_t byA = TestSupport::ReadSubmissions(logA).size(), byB = TestSupport::ReadSubmissions(logB).size();
  EXPECT_GT(byA, 0u);
  EXPECT_GT(byB, 0u);
  std::printf("two engines, 1000 jobs: %zu sent by one, %zu by the other, none twice\n", byA, byB);
}

TEST(EngineInvalidJobs, FailWithTheirStatusAndASendFailureNeverACrash) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.AddSimulator(1, {{"Reports", "0"}});
  const std::string cols = "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType) VALUES ";
  const std::map<int, std::pair<std::string, int>> jobs = {
      {1, {"7, '+4915111', 'what type?'", jsInvalidJobType}},
      {2, {"1, ' ', 'no number'", jsErrNumberInvalid}},
      {3, {"1, '+49 151 not a number', 'x'", jsErrNumberInvalid}},
      {4, {"2, '+4915111', '00Z1'", jsInvalidJobType}},                  // not hexadecimal
      {5, {"2, '+4915111', 'D800'", jsInvalidJobType}},                  // a lone surrogate
      {6, {"3, '+4915111', 'DCS=04;UDH=0;UD=CAFE'", jsInvalidJobType}},  // half an octet of header
      {7, {"3, '+4915111', 'DCS=12C;UD=00'", jsInvalidJobType}},         // a scheme above 255
      {8, {"3, '+4915111', 'DCS=00;UD=FF'", jsInvalidJobType}},          // not a septet
      {9, {"1, '+4915111', NULL", jsInvalidJobType}},                    // unreadable: claimed a few times, then failed
      {10, {"NULL, '+4915111', 'x'", jsInvalidJobType}},
      {11, {"1, NULL, 'x'", jsErrNumberInvalid}},
  };
  for (const auto& [id, job] : jobs) db.Run(cols + "(" + std::to_string(id) + ", " + job.first + ", 0, 0, 1)");
  db.Run(cols + "(12, 1, '+4915111', 'a good one at last', 0, 0, 1)");
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1)") == 0; })) << Count(db, "Status IN (0, 1)");
  EXPECT_EQ(server.Stop(), 0);  // still alive and well; and every notification is written
  for (const auto& [id, job] : jobs) {
    EXPECT_EQ(db.Value("SELECT Status FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Status").ToLong(), job.second)
        << id;
    EXPECT_EQ(Count(db, "Type=3 AND JobStatus=" + std::to_string(job.second) + " AND OriginalId=" + std::to_string(id),
                    "SMSNotifications"),
              1)
        << id;
  }
  EXPECT_EQ(Count(db, "Type=2 AND OriginalId=12", "SMSNotifications"), 1);
}

// Rows no handset can read or claim never hold up the good ones: a wrong
// kind of value fails after MaxReadFailures claims like a NULL, and a row
// without Status or for a handset that cannot exist fails at once.
TEST(EngineInvalidJobs, MistypedAndStrayRowsFailAndNeverStopTheGoodOnes) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  for (int h : {1, 2}) root.AddSimulator(h, {{"Reports", "0"}});
  const std::string cols =
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, RetryCount, SourceType, SourceId) "
      "VALUES ";
  const std::vector<std::string> bad = {
      "1, 'text', '+4915111', 'x', 0, 0, 0",      // a text where a number belongs
      "2, 3000000000, '+4915111', 'x', 0, 0, 0",  // beyond 32 bits
      "3, 1, '+4915111', 'x', 0, 0, 'z'",         // a RetryCount that is no number
      "4, 1, '+4915111', 'x', 0, NULL, 0",        // no Status
      "5, 1, '+4915111', 'x', 12, 0, 0",          // a handset that cannot exist
  };
  for (const auto& row : bad) db.Run(cols + "(" + row + ", 1, 'bad')");
  QueueJobsFrom(db, 6, 50);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Type=2", "SMSNotifications") == 50; }, 30000))
      << Count(db, "Type=2", "SMSNotifications") << " good jobs sent";
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "Type=3", "SMSNotifications") == 5; }, 10000));
  EXPECT_EQ(server.Stop(), 0);
  for (int id = 1; id <= 5; ++id) {
    EXPECT_EQ(Count(db, "Status=8 AND Id=" + std::to_string(id)), 1) << id;
    EXPECT_EQ(
        Count(db, "Type=3 AND JobStatus=8 AND SourceId='bad' AND OriginalId=" + std::to_string(id), "SMSNotifications"),
        1)
        << id;
  }
  const std::string events = TestSupport::ReadFile(root.EventLog());
  EXPECT_NE(events.find("cannot be read"), std::string::npos) << events;
  EXPECT_NE(events.find("has no Status"), std::string::npos) << events;
  EXPECT_NE(events.find("for handset 12"), std::string::npos) << events;
}

// A job's final status and its notification commit together or not at all,
// on both databases: with every notification insert refused (a trigger),
// the status stays unwritten too, and both follow once inserts work again.
class EngineOutcomes : public ::testing::TestWithParam<TestSupport::Backend> {};

TEST_P(EngineOutcomes, AStatusIsNeverCommittedWithoutItsNotification) {
  SKIP_WITHOUT_BACKEND(GetParam());
  FreshRoot();
  TestSupport::TestDatabase db(GetParam());
  EngineRoot root(db.Dsn());
  root.AddSimulator(1, {{"Reports", "0"}});
  const bool postgres = GetParam() == TestSupport::Backend::Postgres;
  if (postgres) {
    db.Run(
        "CREATE FUNCTION refuse_notification() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION "
        "'notifications refused'; END $$ LANGUAGE plpgsql");
    db.Run(
        "CREATE TRIGGER refuse BEFORE INSERT ON SMSNotifications FOR EACH ROW EXECUTE FUNCTION "
        "refuse_notification()");
  } else {
    db.Run(
        "CREATE TRIGGER refuse BEFORE INSERT ON SMSNotifications BEGIN SELECT RAISE(ABORT, "
        "'notifications refused'); END");
  }
  TestSupport::QueueSet client(db.Dsn());
  std::vector<LONG> ids;
  for (int i = 0; i < 3; ++i)
    ids.push_back(client.outgoing.InsertJob("+4915111" + std::to_string(i), jtTextMessage, "atomic", hsAll,
                                            CMessageEndpoint(stClientLibrary)));
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  // The outcome was decided and its write failed, more than once.
  ASSERT_TRUE(WaitUntil([&] {
    const std::string events = TestSupport::ReadFile(root.EventLog());
    const size_t first = events.find("notifications refused");
    return first != std::string::npos && events.find("notifications refused", first + 1) != std::string::npos;
  })) << TestSupport::ReadFile(root.EventLog());
  EXPECT_EQ(Count(db, "Status=" + std::to_string(jsSent)), 0);
  // Claimed in one batch and sent; their outcomes are still to write.
  EXPECT_EQ(Count(db, "Status=" + std::to_string(jsProcessing)), 3);
  EXPECT_EQ(Count(db, "", "SMSNotifications"), 0);

  db.Run("DROP TRIGGER refuse" + std::string(postgres ? " ON SMSNotifications" : ""));
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Type=2", "SMSNotifications") == 3; }))
      << TestSupport::ReadFile(root.EventLog());
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(Count(db, "Status NOT IN (" + std::to_string(jsSent) + ")"), 0);
  for (const LONG id : ids)
    EXPECT_EQ(Count(db, "Type=2 AND OriginalId=" + std::to_string(id), "SMSNotifications"), 1) << id;
}

INSTANTIATE_TEST_SUITE_P(Backends, EngineOutcomes,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

TEST(EngineLimits, TheProxyAnswersOnlyTheProductsKeysAndTheSocketOnlyItsGroup) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.AddSimulator(1);
  // Something beside the product's key that must stay unreadable through it.
  std::filesystem::create_directories(RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Secret");
  std::ofstream(RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Secret/Key") << "hidden";
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();

  InstallEngineActivation();
  _com_ptr_t<VELQUORCORESERVICESLib::IVelquorCore> core;
  ASSERT_EQ(core.CreateInstance(VELQUORCORESERVICESLib::IVelquorCore::kCLSID), S_OK);
  auto read = [&](const std::string& path, const std::string& name, HRESULT* hr) {
    _bstr_t value;
    std::int32_t exists = 0;
    *hr = core->raw_GetConfigurationParameter(_bstr_t(path), _bstr_t(name), &exists, value.GetAddress());
    return exists ? value.narrow() : std::string("<none>");
  };
  HRESULT hr = S_OK;
  EXPECT_EQ(read("", "DSN", &hr), db.Dsn());
  EXPECT_EQ(read("\\Handsets\\1", "Driver", &hr), "simulator");
  EXPECT_EQ(read("\\Handsets\\7", "Driver", &hr), "<none>");
  EXPECT_EQ(hr, S_OK);
  for (const char* path :
       {"\\..\\Secret", "\\Handsets\\..\\..\\Secret", "..\\Secret", "Secret", "\\\\Handsets", "\\Handsets\\.\\1"}) {
    EXPECT_EQ(read(path, "Key", &hr), "<none>") << path;
    EXPECT_EQ(hr, E_ACCESSDENIED) << path;
  }

  // The socket: owner and group only. A client of the group reads the
  // configuration it may not read itself through the engine; others cannot
  // connect.
  const std::string socket = ServiceHost::SocketPath("VelquorServer");
  ASSERT_EQ(chown(socket.c_str(), static_cast<uid_t>(-1), 65534), 0);
  if (const group* g = getgrgid(65534)) root.Set("ClientGroup", g->gr_name);  // the client reads the password too
  chmod(TestSupport::Root().c_str(), 0755);
  chmod((RegistryRootDirectory() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor").c_str(), 0700);
  if (geteuid() != 0) SKIP_UNLESS_CI() << "changing users needs root";
  EXPECT_EQ(AsUser(65534,
                   [&] {
                     std::string message;
                     CConfigVelquorClientOnly config(&message);
                     config.SetProxyMode(true);
                     config.ReadConfigurationWithFailOverToDirectAccess();
                     if (!config.GetProxyMode()) return std::string("fell back to direct access");
                     return config.GetDSN() == db.Dsn() ? std::string() : "DSN read as " + config.GetDSN();
                   }),
            "");
  EXPECT_EQ(AsUser(65533,
                   [&] {
                     std::shared_ptr<DBusClient> client;
                     return FAILED(DBusClient::Connect(socket, &client)) ? std::string() : "a stranger connected";
                   }),
            "");
  EXPECT_EQ(server.Stop(), 0);
}

// Secrets through the proxy: a driver's to nobody, the database password to
// root, the engine's user and members of ClientGroup only; each answer and
// refusal logged with the caller's uid, never with the secret.
TEST(EngineLimits, TheProxyServesTheDatabasePasswordToItsClientsAndDriverSecretsToNobody) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("Password", "db-secret-1");
  root.AddSimulator(1);
  root.SetHandset(1, "Password", "smsc-secret-2");
  root.SetHandset(1, "Pin", "pin-secret-3");
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  const std::string socket = ServiceHost::SocketPath("VelquorServer");
  ASSERT_EQ(chown(socket.c_str(), static_cast<uid_t>(-1), 65534), 0);
  chmod(TestSupport::Root().c_str(), 0755);

  // What a caller gets: the value, "<none>", or "refused".
  auto read = [&](const std::string& path, const std::string& name) {
    InstallEngineActivation();
    _com_ptr_t<VELQUORCORESERVICESLib::IVelquorCore> core;
    if (core.CreateInstance(VELQUORCORESERVICESLib::IVelquorCore::kCLSID) != S_OK) return std::string("no core");
    _bstr_t value;
    std::int32_t exists = 0;
    const HRESULT hr = core->raw_GetConfigurationParameter(_bstr_t(path), _bstr_t(name), &exists, value.GetAddress());
    if (hr == E_ACCESSDENIED) return std::string("refused");
    if (FAILED(hr)) return "failed " + std::to_string(hr);
    return exists ? value.narrow() : std::string("<none>");
  };
  EXPECT_EQ(read("", "Password"), "db-secret-1");  // root
  EXPECT_EQ(read("\\Handsets\\1", "Password"), "refused");
  EXPECT_EQ(read("\\Handsets\\1", "pin"), "refused");
  EXPECT_EQ(read("\\Handsets\\1", "Driver"), "simulator");
  if (geteuid() != 0) GTEST_SKIP() << "changing users needs root";

  // A user of the socket's group that ClientGroup does not name.
  auto asNobody = [&](const std::string& path, const std::string& name) {
    return AsUser(65534, [&] { return "=" + read(path, name); });
  };
  EXPECT_EQ(asNobody("", "DSN"), "=" + db.Dsn());
  EXPECT_EQ(asNobody("", "Password"), "=refused");
  EXPECT_EQ(asNobody("\\Handsets\\1", "Password"), "=refused");
  const group* nogroup = getgrgid(65534);
  ASSERT_NE(nogroup, nullptr);
  root.Set("ClientGroup", nogroup->gr_name);
  EXPECT_EQ(asNobody("", "Password"), "=db-secret-1");
  EXPECT_EQ(asNobody("\\Handsets\\1", "Password"), "=refused");
  EXPECT_EQ(asNobody("\\Handsets\\1", "Pin"), "=refused");
  root.Set("ClientGroup", "root");  // a group that neither has nobody as member nor as primary group
  EXPECT_EQ(asNobody("", "Password"), "=refused");
  EXPECT_EQ(server.Stop(), 0);

  const std::string events = TestSupport::ReadFile(root.EventLog());
  EXPECT_NE(events.find("Gave the database password (Password) to uid 0,"), std::string::npos) << events;
  EXPECT_NE(events.find("Gave the database password (Password) to uid 65534,"), std::string::npos) << events;
  EXPECT_NE(events.find("Refused the database password (Password) to uid 65534,"), std::string::npos) << events;
  EXPECT_NE(events.find("Refused the driver secret Handsets\\\\1\\\\Pin to uid 65534,"), std::string::npos) << events;
  for (const char* secret : {"db-secret-1", "smsc-secret-2", "pin-secret-3"})
    EXPECT_EQ(events.find(secret), std::string::npos) << secret;
}
