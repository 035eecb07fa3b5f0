// The queues' bounded attempts and their claim, under database faults
// injected between them and a real SQLite or PostgreSQL database
// (tests/fault_injection_database.h): failures, lost answers, stalls and
// dropped connections, without stopping a server.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "fault_injection_database.h"
#include "queue_test_support.h"
#include "queues/database_access.h"
#include "queues/outgoing_queue.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using TestSupport::FaultInjectionDatabase;
using TestSupport::InsertInto;
using TestSupport::Keyword;
using TestSupport::SelectFrom;
using TestSupport::UpdateOf;

namespace {

HRESULT FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return e.Error();
  }
  return S_OK;
}

}  // namespace

class DatabaseFaults : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    dispensor.SetDBSettings(db->Dsn(), "", "");
    faults = std::make_unique<FaultInjectionDatabase>(db->Dsn());
    job = outgoing.InsertJob("+4915112345", jtTextMessage, "hello", hsAll, CMessageEndpoint(stClientLibrary));
  }
  EnumJobStatus Status() const {
    return static_cast<EnumJobStatus>(
        db->Value("SELECT Status FROM SMSOutgoing WHERE Id=" + std::to_string(job), "Status").ToLong());
  }
  bool Claim() {
    LONG id = 0, retries = 0;
    std::string phone, data;
    JOBTYPE type = jtTextMessage;
    CMessageEndpoint source;
    return outgoing.GetJobA(id, phone, type, data, retries, hsHandset1, source) && id == job;
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  CDBConnectionDispensor dispensor;
  CDatabaseQueryExecuter executer{&dispensor};
  COutgoingQueue outgoing{nullptr, &dispensor};
  std::unique_ptr<FaultInjectionDatabase> faults;
  LONG job = 0;
};

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseFaults, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

// A statement that fails once is repeated on the open connection; one whose
// connection died is repeated until the last attempt, which opens a new one.
// Failing every time, its own error reaches the caller after the attempts.
TEST_P(DatabaseFaults, AttemptsOutlastAFailureAndADroppedConnectionAndEndWithTheLastError) {
  const std::string pause = "UPDATE SMSOutgoing SET RetryCount=3 WHERE Id=" + std::to_string(job);
  LONG affected = 0;
  dispensor.GetConnection();
  long opens = Connection::s_nOpens;
  faults->Fail(UpdateOf("SMSOutgoing"), DB_E_INTEGRITYVIOLATION);
  executer.ExecuteCommand(pause, affected, adCmdText | adExecuteNoRecords, 1, 10);
  EXPECT_EQ(faults->Seen(UpdateOf("SMSOutgoing")), 2);
  EXPECT_EQ(Connection::s_nOpens - opens, 0);

  faults->Drop(UpdateOf("SMSOutgoing"));
  executer.ExecuteCommand(pause, affected, adCmdText | adExecuteNoRecords, 1, 10);
  EXPECT_EQ(faults->Seen(UpdateOf("SMSOutgoing")), 2 + 10);
  EXPECT_EQ(Connection::s_nOpens - opens, 1);

  opens = Connection::s_nOpens;
  faults->Fail(UpdateOf("SMSOutgoing"), DB_E_INTEGRITYVIOLATION, FaultInjectionDatabase::kEvery);
  EXPECT_EQ(FailureOf([&] { executer.ExecuteCommand(pause, affected, adCmdText | adExecuteNoRecords, 1, 4); }),
            DB_E_INTEGRITYVIOLATION);
  EXPECT_EQ(faults->Seen(UpdateOf("SMSOutgoing")), 12 + 4);
  EXPECT_EQ(Connection::s_nOpens - opens, 1);  // before the last attempt only
}

// A statement the server never answers ends at the operation's deadline,
// with no further attempt; its connection is dropped and the next operation
// gets a working one. Released in time, a stalled statement just runs.
TEST_P(DatabaseFaults, AStalledStatementEndsAtTheDeadlineOrRunsWhenReleased) {
  dispensor.SetDBTimeouts(5000, 400);
  dispensor.GetConnection();
  faults->Stall(SelectFrom("SMSOutgoing"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FailureOf([&] { outgoing.GetJobStatus(job); }), DB_E_ABORTLIMITREACHED);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(400));
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_EQ(faults->Seen(SelectFrom("SMSOutgoing")), 1);
  EXPECT_EQ(outgoing.GetJobStatus(job), jsPending);

  dispensor.SetDBTimeouts(5000, 30000);
  faults->Stall(SelectFrom("SMSOutgoing"));
  std::thread releaser([&] {
    if (faults->WaitForStalled(1)) faults->Release();
  });
  EXPECT_EQ(outgoing.GetJobStatus(job), jsPending);
  releaser.join();
  EXPECT_EQ(faults->Injected(), 2);
}

// The engine keeps its connection between operations; one that died while
// idle is replaced, also when the first statement after is a group's BEGIN.
TEST_P(DatabaseFaults, AKeptConnectionThatDiedIsReplacedAlsoAtABegin) {
  dispensor.SetDBKeepConnection(true);
  dispensor.GetConnection();
  faults->Drop(TestSupport::kAnyStatement);
  EXPECT_GT(outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint(stClientLibrary)), job);

  ASSERT_TRUE(Claim());
  faults->Drop(Keyword("BEGIN"));
  {
    CDatabaseTransaction group(&dispensor, CDatabaseTransaction::kEveryDatabase);
    outgoing.JobReturn(job, jsPending, 5);
    group.Commit();
  }
  EXPECT_EQ(faults->Injected(), 2);
  EXPECT_EQ(db->Value("SELECT RetryCount FROM SMSOutgoing WHERE Id=" + std::to_string(job), "RetryCount").ToLong(), 5);
  EXPECT_EQ(Status(), jsPending);
}

// A claim whose UPDATE fails, or whose group fails to commit, leaves the job
// pending for the next claim; one whose UPDATE fails once claims it once.
TEST_P(DatabaseFaults, AFailedClaimLeavesTheJobPendingAndClaimable) {
  faults->Fail(UpdateOf("SMSOutgoing"), E_FAIL, FaultInjectionDatabase::kEvery);
  EXPECT_EQ(FailureOf([&] { Claim(); }), E_FAIL);
  EXPECT_EQ(Status(), jsPending);

  faults->Clear();
  faults->Fail(Keyword("COMMIT"), E_FAIL);
  {
    CDatabaseTransaction group(&dispensor, CDatabaseTransaction::kEveryDatabase);
    EXPECT_TRUE(Claim());
    EXPECT_EQ(FailureOf([&] { group.Commit(); }), E_FAIL);
  }
  EXPECT_EQ(Status(), jsPending);

  faults->Fail(UpdateOf("SMSOutgoing"), E_FAIL);
  EXPECT_TRUE(Claim());
  EXPECT_EQ(Status(), jsProcessing);
  EXPECT_FALSE(Claim());  // taken once
}

// The wrapper reaches only connections opened while it is installed, to its
// own database; once it is gone, connections are the drivers' own again.
TEST(FaultInjection, WrapsOnlyConnectionsOpenedWhileInstalledToItsDatabase) {
  const TestSupport::TestDatabase db(Backend::Sqlite);
  const auto select = [&](Connection& c) {
    return FailureOf([&] {
      _variant_t affected;
      c.Execute("SELECT COUNT(*) AS N FROM SMSOutgoing", &affected, adCmdText);
    });
  };
  Connection before;
  before.Open("Data Source=" + db.Dsn(), "", "");
  {
    FaultInjectionDatabase faults(db.Dsn());
    faults.Fail(TestSupport::kAnyStatement, DB_E_INTEGRITYVIOLATION, FaultInjectionDatabase::kEvery);
    Connection during;
    during.Open("Data Source=" + db.Dsn(), "", "");
    EXPECT_EQ(select(before), S_OK);
    EXPECT_EQ(select(during), DB_E_INTEGRITYVIOLATION);
    {
      FaultInjectionDatabase elsewhere("sqlite:/nonexistent/other.db");
      Connection other;
      other.Open("Data Source=" + db.Dsn(), "", "");
      EXPECT_EQ(select(other), S_OK);
    }
    Connection again;
    again.Open("Data Source=" + db.Dsn(), "", "");
    EXPECT_EQ(select(again), DB_E_INTEGRITYVIOLATION);  // the inner one restored the outer one
  }
  Connection after;
  after.Open("Data Source=" + db.Dsn(), "", "");
  EXPECT_EQ(select(after), S_OK);
}
