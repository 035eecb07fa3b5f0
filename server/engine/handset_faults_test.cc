// A handset (with the simulator as its network) under database faults
// injected between it and a real SQLite or PostgreSQL database
// (tests/fault_injection_database.h): whatever statement of its claim or of
// its outcome fails, loses its answer, stalls or loses its connection, the
// job is sent once, its status and its notification are written together or
// not at all, and in the end both are there, once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "fault_injection_database.h"
#include "queue_test_support.h"
#include "server/drivers/simulator/simulator_driver.h"
#include "server/engine/handset.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using TestSupport::FaultInjectionDatabase;
using TestSupport::InsertInto;
using TestSupport::Keyword;
using TestSupport::UpdateOf;

namespace {

using Fault = FaultInjectionDatabase::Fault;

// Patterns of the handset's statements by table and what they set, so that
// they hold whatever the rest of the text.
// The claim sets the status and the owner's tag at once; on PostgreSQL its
// choice comes first, in a WITH, and the UPDATE may itself be one of the
// WITH's parts (when the claim also writes the job's history); on SQLite
// it may say NOT INDEXED.
const std::string kClaim =
    R"(^\s*(?:WITH\b[\s\S]*(?:\)|\bAS\s*\()\s*)?UPDATE\s+SMSOutgoing\b(?:\s+AS\s+\w+|\s+NOT\s+INDEXED)?\s+SET\s+Status\s*=[^,;]*,\s*MessageRef\b)";
const std::string kTakeOver = UpdateOf("SMSOutgoing") + R"(\s+SET\s+MessageRef\b)";
const std::string kStatus = UpdateOf("SMSOutgoing") + R"((?:\s+AS\s+\w+)?\s+SET\s+Status\b[^;]*\bHandset\s*=)";
const std::string kNotification = InsertInto("SMSNotifications");

bool WaitFor(const std::function<bool()>& condition) {
  const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > cap) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The last statements, for a failure's message.
std::string Tail(const FaultInjectionDatabase& faults) {
  std::vector<std::string> all;
  for (const auto& sql : faults.Statements())  // not the test's own
    if (sql.find(" AS N FROM") == std::string::npos) all.push_back(sql);
  std::string text;
  for (size_t i = all.size() > 30 ? all.size() - 30 : 0; i < all.size(); ++i) text += all[i].substr(0, 150) + "\n";
  return text;
}

struct FaultCase {
  const char* name;
  Fault fault;
  std::string pattern;
  HRESULT hr;
  int times;
};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Backend, FaultCase>>& info) {
  return std::string(std::get<0>(info.param) == Backend::Sqlite ? "Sqlite_" : "Postgres_") +
         std::get<1>(info.param).name;
}

}  // namespace

// A queue database and a handset working on it.
class HandsetOnDatabase {
 protected:
  void Open(Backend backend) {
    db = std::make_unique<TestSupport::TestDatabase>(backend);
    queues = std::make_unique<TestSupport::QueueSet>(db->Dsn());
    log = std::string(std::getenv("NORVALE_ROOT")) + "/submissions_" + std::to_string(getpid());
    std::filesystem::remove(log);
  }
  ~HandsetOnDatabase() {
    if (handset) handset->Stop(std::chrono::steady_clock::now() + std::chrono::seconds(10));
  }
  void StartHandset() {
    settings.sDSN = db->Dsn();
    settings.dwPollInterval = 50;
    settings.dwDatabaseOperationTimeout = 1000;
    settings.nEngineId = 7;
    CHandsetSettings h;
    h.nNumber = 1;
    h.sDriver = "simulator";
    h.bDeliveryReports = false;
    h.Values = {{"Driver", "simulator"}, {"Reports", "0"}, {"Seed", "1"}, {"SubmitLog", log}};
    handset = std::make_unique<CHandset>(settings, h, std::make_unique<CSimulatorDriver>(1, h.Values));
    handset->Start();
  }
  LONG Count(const std::string& where) const { return db->Value("SELECT COUNT(*) AS N FROM " + where, "N").ToLong(); }
  long Submissions() const {
    std::ifstream in(log);
    long lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
  }
  LONG Insert() {
    return queues->outgoing.InsertJob("+4915112345", jtTextMessage, "hi", hsAll, CMessageEndpoint(stClientLibrary));
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueSet> queues;
  std::string log;
  CEngineSettings settings;  // the handset keeps a reference
  std::unique_ptr<CHandset> handset;
  const std::string kDone =
      " AND Status IN (" + std::to_string(jsSent) + ", " + std::to_string(jsSentNotConfirmed) + ")";
  const std::string kProcessing = "SMSOutgoing WHERE Status=" + std::to_string(jsProcessing);
};

class HandsetFaults : public HandsetOnDatabase, public ::testing::TestWithParam<std::tuple<Backend, FaultCase>> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(std::get<0>(GetParam()));
    Open(std::get<0>(GetParam()));
  }
};

class HandsetOutcome : public HandsetOnDatabase, public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    Open(GetParam());
  }
};

// The job is sent once and ends sent with exactly one notification, none
// left in processing, whichever statement the fault hit.
TEST_P(HandsetFaults, TheJobIsSentOnceAndItsOutcomeWrittenOnceAndWhole) {
  const FaultCase& c = std::get<1>(GetParam());
  const LONG job = Insert();
  FaultInjectionDatabase faults(db->Dsn());
  faults.Add(c.fault, c.pattern, c.hr, c.times);
  StartHandset();
  const std::string id = std::to_string(job);
  ASSERT_TRUE(WaitFor([&] {
    return Count("SMSOutgoing WHERE Id=" + id + kDone) == 1 && Count("SMSNotifications WHERE OriginalId=" + id) >= 1;
  })) << "status "
      << queues->outgoing.GetJobStatus(job) << ", " << faults.Injected() << " faults injected\n"
      << Tail(faults) << handset->GetStatus().sLastError;
  EXPECT_GE(faults.Injected(), 1);
  handset->Stop(std::chrono::steady_clock::now() + std::chrono::seconds(10));
  EXPECT_EQ(Count("SMSNotifications WHERE OriginalId=" + id), 1);
  EXPECT_EQ(Count(kProcessing), 0);
  EXPECT_EQ(Submissions(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HandsetFaults,
    ::testing::Combine(
        ::testing::Values(Backend::Sqlite, Backend::Postgres),
        ::testing::Values(FaultCase{"ClaimFailsEveryAttempt", Fault::Fail, kClaim, E_FAIL, 10},
                          FaultCase{"ClaimLosesItsConnection", Fault::Drop, kClaim, E_FAIL, 1},
                          FaultCase{"TakeOverFailsEveryAttempt", Fault::Fail, kTakeOver, E_FAIL, 10},
                          FaultCase{"FirstCommitFails", Fault::Fail, Keyword("COMMIT"), E_FAIL, 1},
                          FaultCase{"StatusUpdateFails", Fault::Fail, kStatus, E_FAIL, 1},
                          FaultCase{"StatusUpdateLosesItsAnswer", Fault::FailAfterRunning, kStatus, E_FAIL, 1},
                          FaultCase{"NotificationFails", Fault::Fail, kNotification, DB_E_INTEGRITYVIOLATION, 1},
                          FaultCase{"NotificationLosesItsConnection", Fault::Drop, kNotification, E_FAIL, 1},
                          FaultCase{"NotificationStallsPastTheDeadline", Fault::Stall, kNotification, S_OK, 1})),
    CaseName);

// While the notification's insert hangs, the status written before it in
// the same group is seen by no one; the insert failing undoes it, and the
// handset writes both again.
TEST_P(HandsetOutcome, AStatusIsNeverSeenWithoutItsNotification) {
  const LONG job = Insert();
  FaultInjectionDatabase faults(db->Dsn());
  faults.Stall(kNotification, 1, 0, E_FAIL);
  StartHandset();
  ASSERT_TRUE(faults.WaitForStalled(1));
  const std::string id = std::to_string(job);
  EXPECT_EQ(Count(kProcessing + " AND Id=" + id), 1);
  EXPECT_EQ(Count("SMSNotifications"), 0);
  faults.Release();
  ASSERT_TRUE(WaitFor([&] { return Count("SMSNotifications WHERE OriginalId=" + id) == 1; }));
  EXPECT_EQ(Count("SMSOutgoing WHERE Id=" + id + kDone), 1);
  EXPECT_EQ(faults.Seen(kNotification), 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, HandsetOutcome, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);
