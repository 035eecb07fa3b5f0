// velquor-server as a real process: the daemon and its interfaces, the
// queues as its store, handsets, outgoing jobs, delivery reports, incoming
// messages and the clean-up, against SQLite (and PostgreSQL where the
// database matters).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <regex>

#include "engine/engine_marshal.h"
#include "engine_test_support.h"
#include "norvale/velquor.h"
#include "platform/com_ptr.h"
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

_com_ptr_t<SMSServer::ISMSEngine> Engine() {
  InstallEngineActivation();
  _com_ptr_t<SMSServer::ISMSEngine> engine;
  EXPECT_EQ(engine.CreateInstance(SMSServer::ISMSEngine::kCLSID), S_OK);
  return engine;
}

// As GetJobStatus reads it: a row deleted after a later send counts as sent.
LONG Status(const TestSupport::TestDatabase& db, LONG id) {
  if (Count(db, "Id=" + std::to_string(id)) == 0) return jsSent;
  const _variant_t v = db.Value("SELECT Status FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Status");
  return v.vt == VT_NULL ? -1 : v.ToLong();
}

std::string Text(const TestSupport::TestDatabase& db, const std::string& sql, const std::string& column) {
  return ConvertVariantToString(db.Value(sql, column));
}

// A fresh registry and run directory for the test's own root.
void FreshRoot() {
  std::filesystem::remove_all(RegistryRootDirectory());
  std::filesystem::remove_all(TestSupport::Root() + "/run");
  ServiceHost::Register("VelquorServer", VELQUOR_SERVER, "Velquor gateway engine");
}

}  // namespace

TEST(EngineDaemon, RunsAsTheServiceServesBothInterfacesAndStopsCleanly) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("PollInterval", "50");
  root.Set("MaintenanceInterval", "100");
  root.AddSimulator(1);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  EXPECT_EQ(TestSupport::ServiceState(), SERVICE_RUNNING);

  auto engine = Engine();
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->GetStatus(), SMSServer::esRunning);
  engine->Stop();
  EXPECT_EQ(engine->GetStatus(), SMSServer::esStopped);
  const LONG held = engine->SendMessage(_bstr_t("+4915112345"), _bstr_t("held"), jtTextMessage, 0);
  // The engine lives on: three clean-up passes (100 ms apart) mark the job,
  // time for four looks of each handset at the queue.
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "MaxId>=" + std::to_string(held), "SMSOutgoingMarks") >= 3; }));
  EXPECT_EQ(Status(db, held), jsPending);  // a stopped engine claims nothing
  engine->Start();
  EXPECT_EQ(engine->GetStatus(), SMSServer::esRunning);
  EXPECT_TRUE(WaitUntil([&] { return Status(db, held) == jsSent; }));

  // busctl talks to it like to any D-Bus peer.
  const std::string socket = ServiceHost::SocketPath("VelquorServer");
  struct stat st {};
  ASSERT_EQ(stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  const auto introspect = TestSupport::RunCommand("busctl --address=unix:path=" + socket +
                                                  " introspect com.norvale.Engine /com/norvale/SMSServer/SMSEngine");
  if (introspect.status == 127) {
    if (TestSupport::UnderCi()) ADD_FAILURE() << "busctl is not installed";
  } else {
    for (const char* method : {".Start", ".Stop", ".GetStatus", ".SendMessage", ".GetMessage", ".GetSendStatus"})
      EXPECT_NE(introspect.out.find(method), std::string::npos) << method << "\n" << introspect.out;
  }

  engine = nullptr;
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  EXPECT_EQ(TestSupport::ServiceState(), SERVICE_STOPPED);
  EXPECT_FALSE(std::filesystem::exists(server.StateFile()));
  EXPECT_EQ(Count(db, "Status=1"), 0);
  const std::string events = TestSupport::ReadFile(root.EventLog());
  EXPECT_NE(events.find("\"source\":\"VelquorServer\""), std::string::npos) << events;
  EXPECT_NE(events.find("VelquorServer stopped"), std::string::npos) << events;
}

TEST(EngineDaemon, TellsSystemdWhenReadyAliveAndStopping) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.AddSimulator(1);
  const std::string path = TestSupport::Root() + "/notify.sock";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval timeout{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ServerProcess server(root, {{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "300000"}});
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  std::string all;
  auto receive = [&](const char* what) {
    return WaitUntil([&] {
      char buf[512];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) all += std::string(buf, static_cast<size_t>(n)) + "\n";
      return all.find(what) != std::string::npos;
    });
  };
  EXPECT_TRUE(receive("READY=1")) << all;
  EXPECT_TRUE(receive("STATUS=running, 1 handsets")) << all;
  EXPECT_TRUE(receive("WATCHDOG=1")) << all;
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  EXPECT_TRUE(receive("STOPPING=1")) << all;
  close(fd);
}

// A submission that takes longer than the watchdog's interval, but stays
// within its driver's limit, is the engine at work: the pings go on.
TEST(EngineDaemon, KeepsPingingTheWatchdogThroughALongSubmission) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.AddSimulator(1, {{"Latency", "6000"}});
  root.Set("DatabaseOperationTimeout", "1000");  // a worker's step: 3.1 s at most, less than the submission
  const std::string path = TestSupport::Root() + "/notify.sock";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval timeout{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ServerProcess server(root, {{"NOTIFY_SOCKET", path}, {"WATCHDOG_USEC", "1000000"}});
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  db.Run(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType) VALUES "
      "(1, 1, '+49', 'slow', 0, 0, 1)");
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Status=1") == 1; }));
  // Pings until the job is sent; the longest silence between two of them.
  using Clock = std::chrono::steady_clock;
  Clock::time_point last = Clock::now();
  Clock::duration longest{};
  int pings = 0;
  const Clock::time_point cap = Clock::now() + std::chrono::seconds(30);
  while (Count(db, "Status=1") == 1 && Clock::now() < cap) {
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0 && std::string(buf, static_cast<size_t>(n)).find("WATCHDOG=1") != std::string::npos) {
      longest = std::max(longest, Clock::now() - last);
      last = Clock::now();
      ++pings;
    }
  }
  longest = std::max(longest, Clock::now() - last);
  const auto longestMs = std::chrono::duration_cast<std::chrono::milliseconds>(longest).count();
  std::cout << "[          ] " << pings << " pings during a 6 s submission, longest silence " << longestMs << " ms\n";
  EXPECT_NE(Status(db, 1), jsPending);
  EXPECT_GE(pings, 3);
  EXPECT_LT(longestMs, 3000);  // the tick is half a second; without the ping a 1 s watchdog fires
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  close(fd);
}

// An idle engine's main loop, which keeps the state file, looks at the state
// once a second only while it changes: after ten quiet looks, every five
// seconds. A change after the quiet still reaches the file.
TEST(EngineDaemon, AnIdleEngineLooksAtItsStateRarelyAndStillFollowsAChange) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.AddSimulator(1, {{"Reports", "0"}});
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  // The main thread's voluntary switches: it wakes only for its look (and a
  // signal). Being preempted on a busy machine is not a wake-up.
  const std::string status =
      "/proc/" + std::to_string(server.Pid()) + "/task/" + std::to_string(server.Pid()) + "/status";
  auto switches = [&] {
    std::ifstream in(status);
    long total = 0;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(line.find(':') + 1));
    return total;
  };
  std::this_thread::sleep_for(std::chrono::seconds(12));  // ten quiet looks
  const long before = switches();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const long looks = switches() - before;
  std::cout << "[          ] the idle main loop woke " << looks << " times in 10 s\n";
  EXPECT_LE(looks, 4);  // once a second would be 10
  db.Run(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType) VALUES "
      "(1, 1, '+49', 'after the quiet', 0, 0, 1)");
  EXPECT_TRUE(WaitUntil([&] {
    return TestSupport::ReadFile(server.StateFile()).find("\"sent\": 1") != std::string::npos;
  })) << TestSupport::ReadFile(server.StateFile());
  EXPECT_EQ(server.Stop(), 0);
}

TEST(EngineDaemon, RefusesAMalformedSettingAndASecondInstance) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("PollInterval", "soon");
  ServerProcess bad(root);
  bad.Start();
  EXPECT_EQ(bad.Wait(), 1);
  EXPECT_NE(bad.Errors().find("PollInterval: 'soon' is not a whole number"), std::string::npos) << bad.Errors();
  root.Set("PollInterval", "50");
  root.Set("SQLiteSynchronous", "OFF");  // no sync at all: a power loss could corrupt the file
  ServerProcess unsafe(root);
  unsafe.Start();
  EXPECT_EQ(unsafe.Wait(), 1);
  EXPECT_NE(unsafe.Errors().find("SQLiteSynchronous: 'OFF' is neither NORMAL nor FULL"), std::string::npos)
      << unsafe.Errors();

  root.Set("SQLiteSynchronous", "full");
  root.AddSimulator(1, {{"Latency", "-5"}});  // this handset is left out, the engine runs
  root.AddSimulator(2);
  root.SetHandset(3, "Driver", "carrier-pigeon");
  root.AddSimulator(4, {{"Latncy", "5"}});       // misspelt: refused, never silently ignored
  root.AddSimulator(5, {{"WindowSize", "20"}});  // a value of the smpp driver
  ServerProcess first(root), second(root);
  ASSERT_TRUE(first.StartAndWait()) << first.Errors();
  const std::string state = TestSupport::ReadFile(first.StateFile());
  EXPECT_NE(state.find("Latency: -5 is out of range"), std::string::npos) << state;
  EXPECT_NE(state.find("unknown driver 'carrier-pigeon'"), std::string::npos) << state;
  EXPECT_NE(state.find("\"number\": 2"), std::string::npos) << state;
  EXPECT_NE(state.find("Handsets\\\\4\\\\Latncy: the simulator driver reads no value Latncy (did you mean "
                       "Latency?); it reads Driver, Enabled, DeliveryReports, MaxPerSecond, MaxPerDay, Latency,"),
            std::string::npos)
      << state;
  EXPECT_NE(state.find("Handsets\\\\5\\\\WindowSize: the simulator driver reads no value WindowSize (a value "
                       "of the smpp driver)"),
            std::string::npos)
      << state;
  const std::string events = TestSupport::ReadFile(root.EventLog());
  EXPECT_NE(events.find("Handset 4 is not used: SOFTWARE"), std::string::npos) << events;
  second.Start();
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.Errors().find("already runs"), std::string::npos) << second.Errors();
  EXPECT_EQ(first.Stop(), 0);
}

// Item 2: the engine's interface and the client's queue reach the same rows.
class EngineQueues : public ::testing::TestWithParam<TestSupport::Backend> {};

TEST_P(EngineQueues, SendMessageOverDBusIsAQueuedJobAndGetMessageTakesTheOldestRow) {
  SKIP_WITHOUT_BACKEND(GetParam());
  FreshRoot();
  TestSupport::TestDatabase db(GetParam());
  EngineRoot root(db.Dsn());
  root.AddSimulator(1, {{"AutoReply", "echo"}, {"ReplyDelay", "10"}});
  root.AddSimulator(2, {{"AutoReply", "Thanks"}, {"ReplyDelay", "10"}});
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  auto engine = Engine();
  const LONG tooLong = engine->SendMessage(_bstr_t(std::string(60, '4')), _bstr_t("x"), jtTextMessage, 1);
  EXPECT_EQ(Text(db, "SELECT PhoneNumber FROM SMSOutgoing WHERE Id=" + std::to_string(tooLong), "PhoneNumber"),
            std::string(50, '4'));  // cut like a client's send
  EXPECT_TRUE(WaitUntil([&] { return engine->GetSendStatus(tooLong) == jsErrNumberInvalid; }));
  const LONG id = engine->SendMessage(_bstr_t("+4915112345"), _bstr_t("Hi 'there'"), jtTextMessage, 1);
  EXPECT_EQ(db.Value("SELECT SourceType FROM SMSOutgoing WHERE Id=" + std::to_string(id), "SourceType").ToLong(),
            stClientLibrary);
  EXPECT_TRUE(WaitUntil([&] { return engine->GetSendStatus(id) == jsSent; }));
  EXPECT_EQ(db.Value("SELECT Handset FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Handset").ToLong(), 1);
  // The sender's notifications: sent, then delivered.
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "OriginalId=" + std::to_string(id), "SMSNotifications") == 2; }));
  EXPECT_EQ(Count(db, "Type=2 AND JobStatus=9 AND SourceType=1", "SMSNotifications"), 1);
  EXPECT_EQ(Count(db, "Type=0 AND JobStatus=2 AND SourceType=1", "SMSNotifications"), 1);

  engine->SendMessage(_bstr_t("+4420"), _bstr_t("to two"), jtTextMessage, 2);
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "", "SMSIncoming") == 2; }));
  BSTR phone = nullptr, message = nullptr, stamp = nullptr;
  std::int32_t type = 0, handset = 0;
  engine->GetMessage(2, &phone, &message, &type, &handset, &stamp);
  EXPECT_EQ(_bstr_t(message, false).narrow(), "Thanks");
  EXPECT_EQ(_bstr_t(phone, false).narrow(), "+4420");
  EXPECT_EQ(handset, 2);
  EXPECT_EQ(type, jtTextMessage);
  EXPECT_TRUE(std::regex_match(_bstr_t(stamp, false).narrow(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  engine->GetMessage(0, &phone, &message, &type, &handset, &stamp);
  EXPECT_EQ(_bstr_t(message, false).narrow(), "Hi 'there'");
  EXPECT_EQ(handset, 1);
  _bstr_t(phone, false), _bstr_t(stamp, false);
  engine->GetMessage(0, &phone, &message, &type, &handset, &stamp);
  EXPECT_EQ(_bstr_t(message, false).narrow(), "");  // none left
  _bstr_t(phone, false), _bstr_t(stamp, false);

  try {
    engine->SendMessage(_bstr_t("+1"), _bstr_t("x"), jtTextMessage, 9);
    ADD_FAILURE() << "handset 9 accepted";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_INVALIDARG);
    EXPECT_NE(e.DescriptionA().find("Handset number 9"), std::string::npos);
  }
  engine = nullptr;
  EXPECT_EQ(server.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, EngineQueues,
                         ::testing::Values(TestSupport::Backend::Sqlite, TestSupport::Backend::Postgres),
                         TestSupport::BackendName);

TEST(EngineQueues, TheClientLibraryReachesTheSameRowsThroughTheEngineOrTheQueue) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.AddSimulator(1, {{"Reports", "0"}});
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  root.Set("OutgoingQueueEnabled", "0");  // this client goes through the engine
  const std::int32_t viaEngine = Velquor().SendMsg("+4915112345", "through the engine", 10000);
  root.Set("OutgoingQueueEnabled", "1");  // this one through the queue
  const std::int32_t viaQueue = Velquor().SendMsg("+4915112345", "through the queue", 10000);
  EXPECT_EQ(viaQueue, viaEngine + 1);  // one table, one sequence of identifiers
  EXPECT_EQ(Velquor().GetSendStatus(viaQueue), jsSent);
  root.Set("OutgoingQueueEnabled", "0");
  EXPECT_EQ(Velquor().GetSendStatus(viaEngine), jsSent);
  EXPECT_EQ(server.Stop(), 0);
}

// Items 3 and 4: handsets, conversion, splitting and every outcome.
TEST(EngineOutgoing, ConvertsSplitsAndRecordsEachOutcome) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  const std::string log1 = TestSupport::Root() + "/submit1.log", log2 = TestSupport::Root() + "/submit2.log";
  root.AddSimulator(1, {{"SubmitLog", log1}, {"InvalidNumbers", "^\\+999"}});
  root.AddSimulator(2, {{"SubmitLog", log2}, {"Reports", "0"}});
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary, "tester", "Test");
  auto send = [&](const std::string& phone, JOBTYPE type, const std::string& data, Handsets h) {
    return client.outgoing.InsertJob(phone, type, data, h, me);
  };
  const LONG gsm = send("+4915111", jtTextMessage, std::string(200, 'a'), hsHandset1);  // 2 GSM parts
  const LONG escaped =
      send("+4915111", jtTextMessage, std::string(159, 'e') + "\xE2\x82\xAC", hsHandset1);  // € needs 2 septets
  const LONG ucs2 =
      send("+4915111", jtTextMessage, std::string(35, 'x') + "\xD0\x96", hsHandset1);  // Ж: one UCS-2 part
  const LONG hex = send("+4915111", jtUnicodeMessage, "0048D83DDE00", hsHandset1);     // H + emoji
  const LONG data = send("+4915111", jtDataMessage, "DCS=F5;UDH=050415811581;UD=CAFE", hsHandset1);
  const LONG invalid = send("+999123", jtTextMessage, "no such number", hsHandset1);
  // The number is parsed once, by one rule, before any driver sees it.
  const LONG spaced = send("+49 (151) 1234567", jtTextMessage, "separators", hsHandset1);
  const LONG service = send("*100#", jtTextMessage, "a service code", hsHandset1);
  const LONG two = send("+4915222", jtTextMessage, "for handset two", hsHandset2);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "Status IN (0, 1, 9)") == 0; })) << Count(db, "Status IN (0, 1, 9)");
  EXPECT_EQ(server.Stop(), 0);

  std::map<long, std::vector<TestSupport::Submission>> byJob;
  for (const auto& s : TestSupport::ReadSubmissions(log1)) byJob[s.job].push_back(s);
  EXPECT_EQ(byJob[gsm].size(), 2u);
  EXPECT_EQ(byJob[escaped].size(), 2u);  // 161 septets do not fit one message
  EXPECT_EQ(byJob[ucs2].size(), 1u);
  EXPECT_EQ(byJob[hex].size(), 1u);
  EXPECT_EQ(byJob[data].size(), 1u);
  ASSERT_EQ(byJob[invalid].size(), 1u);
  EXPECT_EQ(byJob[invalid][0].outcome, "invalid-number");
  EXPECT_EQ(byJob.count(two), 0u);
  const auto second = TestSupport::ReadSubmissions(log2);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].job, two);

  ASSERT_EQ(byJob[spaced].size(), 1u);
  EXPECT_EQ(byJob[spaced][0].number, "+491511234567");
  EXPECT_EQ(byJob.count(service), 0u);  // refused before the driver
  for (const LONG id : {gsm, escaped, ucs2, hex, data, spaced}) EXPECT_EQ(Status(db, id), jsSent) << id;  // reported
  EXPECT_EQ(Status(db, two), jsSent);  // no report asked: sent at once
  for (const LONG id : {invalid, service}) {
    EXPECT_EQ(Status(db, id), jsErrNumberInvalid) << id;
    EXPECT_EQ(Count(db,
                    "Type=3 AND OriginalId=" + std::to_string(id) +
                        " AND JobStatus=3 AND ErrorCode<>0 AND SourceId='tester' AND SourceName='Test'",
                    "SMSNotifications"),
              1)
        << id;
  }
  EXPECT_EQ(Count(db, "Type=2 AND SourceId='tester'", "SMSNotifications"), 7);  // message sent
  EXPECT_EQ(Count(db, "Type=0", "SMSNotifications"), 6);                        // delivery reports
}

TEST(EngineOutgoing, RetriesTemporaryFailuresAfterADoublingBackOffWithAGrowingCountThenFails) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  const std::string log = TestSupport::Root() + "/submit.log";
  root.Set("MaxRetries", "2");
  root.Set("RetryBackoff", "400");
  root.AddSimulator(1, {{"SubmitLog", log}, {"FailureRate", "100"}});
  TestSupport::QueueSet client(db.Dsn());
  const LONG id =
      client.outgoing.InsertJob("+4915111", jtTextMessage, "unlucky", hsAll, CMessageEndpoint(stClientLibrary));
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  std::vector<LONG> counts;
  ASSERT_TRUE(WaitUntil([&] {
    const _variant_t r = db.Value("SELECT RetryCount FROM SMSOutgoing WHERE Id=" + std::to_string(id), "RetryCount");
    const LONG c = r.vt == VT_NULL ? 0 : r.ToLong();
    if (counts.empty() || counts.back() != c) counts.push_back(c);
    return Status(db, id) == jsErrNetworkFailure;
  }));
  EXPECT_EQ(counts.back(), 2);
  const auto attempts = TestSupport::ReadSubmissions(log);
  ASSERT_EQ(attempts.size(), 3u);  // the first attempt and two retries
  // The back-off: 400 ms after the first failure, twice that after the second
  // (the log's times are to the microsecond; no upper bound, the machine may be slow).
  EXPECT_GE(attempts[1].time - attempts[0].time, 0.400 - 0.000001);
  EXPECT_GE(attempts[2].time - attempts[1].time, 0.800 - 0.000001);
  EXPECT_TRUE(WaitUntil([&] {  // written just after the status
    return Count(db, "Type=3 AND JobStatus=4 AND OriginalId=" + std::to_string(id), "SMSNotifications") == 1;
  }));
  EXPECT_EQ(server.Stop(), 0);
}

// Item 5.
TEST(EngineReports, MatchNumberAndTextReferencesAndExpire) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("ReportExpiry", "1000");
  root.AddSimulator(1, {{"ReferenceKind", "text"}});
  root.AddSimulator(2, {{"ReportFailureRate", "100"}});
  root.AddSimulator(3, {{"ReportDelay", "3600000"}});  // a report that never comes
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary);
  const LONG text = client.outgoing.InsertJob("+4915111", jtTextMessage, "one", hsHandset1, me);
  const LONG failed = client.outgoing.InsertJob("+4915111", jtTextMessage, "two", hsHandset2, me);
  const LONG silent = client.outgoing.InsertJob("+4915111", jtTextMessage, "three", hsHandset3, me);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  EXPECT_TRUE(WaitUntil([&] {
    return Count(db, "Type=0 AND JobStatus=2 AND OriginalId=" + std::to_string(text), "SMSNotifications") == 1 &&
           Count(db, "Type=1 AND JobStatus=10 AND OriginalId=" + std::to_string(failed), "SMSNotifications") == 1;
  }));
  EXPECT_EQ(Status(db, text), jsSent);
  EXPECT_EQ(Status(db, failed), jsDeliveryFailed);
  // The text reference's mapping goes with its report.
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "", "SMSMessageRefs") == 0; }));
  EXPECT_TRUE(WaitUntil([&] {
    return Count(db, "Type=2 AND JobStatus=9 AND OriginalId=" + std::to_string(silent), "SMSNotifications") == 1;
  }));
  // Past the expiry the reference no longer waits; the status stays 9.
  EXPECT_TRUE(WaitUntil([&] {
    return db.Value("SELECT MessageRef FROM SMSOutgoing WHERE Id=" + std::to_string(silent), "MessageRef").vt ==
           VT_NULL;
  }));
  EXPECT_EQ(Status(db, silent), jsSentNotConfirmed);
  EXPECT_EQ(server.Stop(), 0);
}

// Item 6.
TEST(EngineIncoming, ReassemblesTypesAndStoresLostPartsAsTheyAre) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("ReassemblyTimeout", "300");
  root.AddSimulator(1, {{"AutoReply", "echo"}, {"ReplyDelay", "0"}});
  root.AddSimulator(2, {{"AutoReply", "echo"}, {"ReplyDelay", "0"}, {"LoseReplyPart", "2"}});
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary);
  const std::string longText = std::string(300, 'L') + "!";
  const std::string cyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Привет
  client.outgoing.InsertJob("+4911", jtTextMessage, longText, hsHandset1, me);
  client.outgoing.InsertJob("+4922", jtTextMessage, cyrillic, hsHandset1, me);
  client.outgoing.InsertJob("+4933", jtTextMessage, std::string(400, 'P'), hsHandset2, me);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  // 1 whole long text + 1 Unicode + 2 of the 3 parts of the third, after the time-out.
  ASSERT_TRUE(WaitUntil([&] { return Count(db, "", "SMSIncoming") == 4; })) << Count(db, "", "SMSIncoming");
  EXPECT_EQ(Text(db, "SELECT Data FROM SMSIncoming WHERE PhoneNumber='+4911'", "Data"), longText);
  EXPECT_EQ(db.Value("SELECT Type FROM SMSIncoming WHERE PhoneNumber='+4911'", "Type").ToLong(), jtTextMessage);
  EXPECT_EQ(Text(db, "SELECT Data FROM SMSIncoming WHERE PhoneNumber='+4922'", "Data"), "041F04400438043204350442");
  EXPECT_EQ(db.Value("SELECT Type FROM SMSIncoming WHERE PhoneNumber='+4922'", "Type").ToLong(), jtUnicodeMessage);
  EXPECT_EQ(Count(db, "PhoneNumber='+4933' AND Type=3 AND Data LIKE 'DCS=00;UDH=0003%'", "SMSIncoming"), 2);
  EXPECT_EQ(Count(db, "Handset=1", "SMSIncoming"), 2);
  EXPECT_EQ(server.Stop(), 0);
}

// Item 7 through the process; CQueueMaintenance's own tests go further.
TEST(EngineCleanup, DeletesOldFinishedRowsButIdentifiersNeverFallBack) {
  FreshRoot();
  TestSupport::TestDatabase db(TestSupport::Backend::Sqlite);
  EngineRoot root(db.Dsn());
  root.Set("CleanupAge", "400");
  root.Set("MaintenanceInterval", "100");
  root.AddSimulator(1, {{"InvalidNumbers", "^\\+9"}, {"Reports", "0"}});
  TestSupport::QueueSet client(db.Dsn());
  const CMessageEndpoint me(stClientLibrary);
  client.outgoing.InsertJob("+4915111", jtTextMessage, "sent", hsAll, me);
  const LONG last = client.outgoing.InsertJob("+9", jtTextMessage, "fails", hsAll, me);
  ServerProcess server(root);
  ASSERT_TRUE(server.StartAndWait()) << server.Errors();
  ASSERT_TRUE(WaitUntil([&] { return Status(db, last) == jsErrNumberInvalid; }));
  EXPECT_TRUE(WaitUntil([&] { return Count(db, "") == 1 && Count(db, "", "SMSNotifications") == 1; }));
  EXPECT_EQ(Status(db, last), jsErrNumberInvalid);  // the largest Id stays, failed as it was
  EXPECT_EQ(client.outgoing.InsertJob("+4915111", jtTextMessage, "next", hsAll, me), last + 1);
  EXPECT_EQ(server.Stop(), 0);
}
