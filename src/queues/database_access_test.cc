#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>

#include "config/config_velquor_client_only.h"
#include "queue_test_support.h"
#include "queues/database_access.h"
#include "queues/queue_schema.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

void WriteConfig(const std::map<std::string, std::string>& values) {
  bool ro = false;
  const HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", &ro, false);
  for (const char* name :
       {"InstalledType", "InstalledPath", "OutgoingQueueEnabled", "IncomingQueueEnabled", "Username", "Password"})
    RUSetValue(k, name, "", false);
  for (const auto& [name, value] : values) RUSetValue(k, name, value, false);
  RegCloseKey(k);
}

long long MillisecondsOf(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// The HRESULT and text of the _com_error that `f` raises.
std::pair<HRESULT, std::string> FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return {e.Error(), e.DescriptionA()};
  }
  return {S_OK, "nothing raised"};
}

}  // namespace

class DatabaseAccess : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    dispensor.SetDBSettings(db->Dsn(), "", "");
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  CDBConnectionDispensor dispensor;
  CDatabaseQueryExecuter executer{&dispensor};
};

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseAccess, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(DatabaseAccess, AlwaysFailingStatementRunsTenTimesAndReconnectsOnceBeforeTheLast) {
  LONG affected = 0;
  dispensor.GetConnection();
  const long opens = Connection::s_nOpens, executions = Connection::s_nExecutions;
  try {
    executer.ExecuteCommand("SELECT * FROM NoSuchTable", affected, adCmdText, -1, 10);
    FAIL() << "no error";
  } catch (const CDatabase_com_error& e) {
    EXPECT_EQ(e.Error(), DB_E_ERRORSINCOMMAND);
    std::string text = e.DescriptionA();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(text.find("nosuchtable"), std::string::npos) << text;
  } catch (...) {
    FAIL() << "not a database error";
  }
  EXPECT_EQ(Connection::s_nExecutions - executions, 10);
  EXPECT_EQ(Connection::s_nOpens - opens, 1);
}

TEST_P(DatabaseAccess, RowCountCheckFailsOnlyAfterTheLastAttempt) {
  LONG affected = 5;
  const std::string update = "UPDATE SMSOutgoing SET Status=2 WHERE Id=99";
  try {
    executer.ExecuteCommand(update, affected, adCmdText | adExecuteNoRecords, 1, 3);
    FAIL();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.DescriptionA(), "Query '" + update + "' affected 0 rows, expected 1 rows");
  }
  EXPECT_EQ(executer.ExecuteCommand(update, affected, adCmdText | adExecuteNoRecords, -1, 10), nullptr);
  EXPECT_EQ(affected, 0);
  affected = 7;
  const long executions = Connection::s_nExecutions;
  EXPECT_EQ(executer.ExecuteCommand(update, affected, adCmdText, -1, 0), nullptr);
  EXPECT_EQ(affected, 7);
  EXPECT_EQ(Connection::s_nExecutions, executions);
}

TEST_P(DatabaseAccess, ColumnsReadByNameWithNullDistinct) {
  db->Run("INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset) VALUES (1, 0, '', NULL, 7)");
  LONG affected = 0;
  const auto rs = executer.ExecuteCommand("SELECT * FROM SMSIncoming WHERE Id=1", affected, adCmdText, -1, 10);
  ASSERT_FALSE(rs->BOF());
  EXPECT_EQ(rs->GetFieldValue("TYPE").vt, VT_I4);
  EXPECT_EQ(rs->GetFieldValue("type").lVal, 0);
  EXPECT_EQ(rs->GetFieldValue("PhoneNumber").vt, VT_BSTR);
  EXPECT_EQ(ConvertVariantToString(rs->GetFieldValue("PhoneNumber")), "");
  EXPECT_EQ(rs->GetFieldValue("Data").vt, VT_NULL);
  EXPECT_EQ(ConvertVariantToString(rs->GetFieldValue("Data")), "");
  EXPECT_EQ(ConvertVariantToLong(rs->GetFieldValue("Data")), 0);
  EXPECT_EQ(ConvertVariantToString(rs->GetFieldValue("Handset")), "7");
  try {
    rs->GetFieldValue("NoColumn");
    FAIL();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), adErrItemNotFound);
  }
  const auto none = executer.ExecuteCommand("SELECT * FROM SMSIncoming WHERE Id=2", affected, adCmdText, -1, 10);
  EXPECT_TRUE(none->BOF());
  EXPECT_TRUE(none->adoEOF());
  try {
    none->GetFieldValue("Id");
    FAIL();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), adErrNoCurrentRecord);
  }
}

TEST_P(DatabaseAccess, SeveralStatementsInOneTextAreRefused) {
  LONG affected = 0;
  EXPECT_THROW(executer.ExecuteCommand("DELETE FROM SMSOutgoing; DELETE FROM SMSIncoming", affected, adCmdText, -1, 1),
               _com_error);
}

TEST_P(DatabaseAccess, FailedOpenLeavesAClosedConnectionThatOpensLater) {
  CDBConnectionDispensor provider;
  provider.SetDBSettings(
      GetParam() == Backend::Sqlite ? "sqlite:/nonexistent/dir/q.db" : "postgresql://postgres@127.0.0.1:1/none", "",
      "");
  try {
    provider.GetConnection();
    FAIL();
  } catch (const CDatabase_com_error& e) {
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_FALSE(e.DescriptionA().empty());
  }
  provider.SetDBSettings(db->Dsn(), "", "");
  EXPECT_EQ(provider.GetConnection()->State(), adStateOpen);
}

TEST_P(DatabaseAccess, ProviderTakesSettingsFromTheConfigurationAtEachOpen) {
  TestSupport::TestDatabase other(GetParam());
  other.Run("INSERT INTO SMSIncoming (Id) VALUES (77)");
  auto write = [](const std::string& dsn) {
    bool ro = false;
    const HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", &ro, false);
    for (const char* name :
         {"InstalledType", "InstalledPath", "OutgoingQueueEnabled", "IncomingQueueEnabled", "Username", "Password"})
      RUSetValue(k, name, "", false);
    RUSetValue(k, "DSN", dsn, false);
    RegCloseKey(k);
  };
  std::string message;
  CConfigVelquorClientOnly config(&message);
  write(db->Dsn());
  config.ReadConfiguration();
  CDBConnectionDispensor provider(&config);
  CDatabaseQueryExecuter exec(&provider);
  LONG affected = 0;
  auto count = [&](int attempts) {
    return exec.ExecuteCommand("SELECT COUNT(*) AS N FROM SMSIncoming", affected, adCmdText, -1, attempts)
        ->GetFieldValue("N")
        .ToLong();
  };
  EXPECT_EQ(count(10), 0);
  write(other.Dsn());
  config.ReadConfiguration();
  EXPECT_EQ(count(10), 0);  // an open connection is reused as it is
  EXPECT_EQ(count(1), 1);   // a single attempt is the last: it reopens with the new settings
}

TEST(DatabaseAccessOpen, UnknownDataSourcesAndCreationFailuresAreClearErrors) {
  CDBConnectionDispensor provider;
  provider.SetDBSettings("mydatabase", "", "");
  try {
    provider.GetConnection();
    FAIL();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.DescriptionA(),
              "Data source name not recognised: 'mydatabase' (expected sqlite:PATH, a path, a postgresql:// URI or a "
              "libpq keyword string)");
  }
  CDBConnectionDispensor fresh;
  SetCreateConnectionFailureForTesting(E_OUTOFMEMORY);
  try {
    fresh.GetConnection();
    FAIL();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    EXPECT_EQ(e.DescriptionA(), "Could not create ADO connection object");
  }
  SetCreateConnectionFailureForTesting(S_OK);
}

TEST(DatabaseDeadline, ASilentServerFailsEachOperationWithinTheConfiguredTime) {
  const TestSupport::SilentServer server;
  const std::string where = "127.0.0.1:" + std::to_string(server.Port());
  WriteConfig({{"DSN", "postgresql://velquor@" + where + "/queue"},
               {"DatabaseConnectTimeout", "300"},
               {"DatabaseOperationTimeout", "1000"}});
  std::string message;
  CConfigVelquorClientOnly config(&message);
  config.ReadConfiguration();
  CDBConnectionDispensor provider(&config);
  COutgoingQueue outgoing(&config, &provider);
  CIncomingQueue incoming(&config, &provider);
  std::pair<HRESULT, std::string> failure;
  // A send: up to ten insert attempts, each with its own connect, in one
  // second all told.
  long long ms = MillisecondsOf(
      [&] { failure = FailureOf([&] { outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint()); }); });
  EXPECT_EQ(failure.first, DB_E_ABORTLIMITREACHED) << failure.second;
  EXPECT_EQ(failure.second.rfind("Cannot connect to PostgreSQL at " + where + ": no answer within ", 0), 0u)
      << failure.second;
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 2500);
  // A listener's fetch: the same bound.
  ms = MillisecondsOf([&] {
    failure = FailureOf([&] {
      Handsets h = hsAll;
      JOBTYPE type;
      std::string phone, data, stamp;
      CMessageEndpoint dest;
      incoming.GetMessage(h, type, phone, data, stamp, dest);
    });
  });
  EXPECT_EQ(failure.first, DB_E_ABORTLIMITREACHED) << failure.second;
  EXPECT_LT(ms, 2500);
}

TEST(DatabaseDeadline, AServerThatFallsSilentMidSessionIsGivenUpAtTheDeadline) {
  if (!TestSupport::PostgresAddress()) GTEST_SKIP() << "NORVALE_TEST_PG is not set";
  TestSupport::TestDatabase db(Backend::Postgres);
  TestSupport::QueueSet queues(db.Dsn());
  queues.dispensor.SetDBTimeouts(5000, 800);
  const LONG id = queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint(stClientLibrary));
  LONG affected = 0;
  const pid_t backend = queues.outgoing.ExecuteCommand("SELECT pg_backend_pid() AS Pid", affected, adCmdText, -1, 10)
                            ->GetFieldValue("Pid")
                            .ToLong();
  // A stopped server process: the connection stays up and nothing answers.
  if (kill(backend, SIGSTOP) != 0) GTEST_SKIP() << "may not stop the server's processes";
  struct Resume {
    pid_t pid;
    ~Resume() { kill(pid, SIGCONT); }
  } resume{backend};
  std::pair<HRESULT, std::string> failure;
  const long long ms = MillisecondsOf([&] { failure = FailureOf([&] { queues.outgoing.GetJobStatus(id); }); });
  EXPECT_EQ(failure.first, DB_E_ABORTLIMITREACHED) << failure.second;
  EXPECT_NE(failure.second.find(": no answer within "), std::string::npos) << failure.second;
  EXPECT_GE(ms, 700);
  EXPECT_LT(ms, 2500);
  kill(backend, SIGCONT);
  // The abandoned connection is replaced by the next operation's last attempt.
  EXPECT_EQ(queues.outgoing.GetJobStatus(id), jsPending);
}

TEST(DatabaseDeadline, ALockedSqliteDatabaseIsWaitedForOnlyUntilTheDeadline) {
  TestSupport::TestDatabase db(Backend::Sqlite);
  TestSupport::QueueSet queues(db.Dsn());
  queues.dispensor.SetDBTimeouts(5000, 500);
  queues.incoming.StoreMessage("+44", jtTextMessage, "waiting", 1, "", CMessageEndpoint());
  Connection locker;
  locker.Open("Data Source=" + db.Dsn(), "", "");
  _variant_t affected;
  locker.Execute("BEGIN IMMEDIATE", &affected, adCmdText);  // holds the write lock
  std::pair<HRESULT, std::string> failure;
  long long ms = MillisecondsOf([&] {
    failure = FailureOf([&] { queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint()); });
  });
  EXPECT_EQ(failure.first, DB_E_ABORTLIMITREACHED) << failure.second;
  EXPECT_NE(failure.second.find("stayed locked by another connection"), std::string::npos) << failure.second;
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 2000);
  Handsets h = hsAll;
  JOBTYPE type;
  std::string phone, data, stamp;
  CMessageEndpoint dest;
  ms = MillisecondsOf(
      [&] { failure = FailureOf([&] { queues.incoming.GetMessage(h, type, phone, data, stamp, dest); }); });
  EXPECT_EQ(failure.first, DB_E_ABORTLIMITREACHED) << failure.second;
  EXPECT_LT(ms, 2000);
  locker.Execute("COMMIT", &affected, adCmdText);
  ASSERT_TRUE(queues.incoming.GetMessage(h = hsAll, type, phone, data, stamp, dest));  // nothing was lost
  EXPECT_EQ(data, "waiting");
}

TEST_P(DatabaseAccess, AFullDatabaseHasItsOwnCode) {
  Connection c;
  c.Open("Data Source=" + db->Dsn(), "", "");
  _variant_t affected;
  std::pair<HRESULT, std::string> failure;
  if (GetParam() == Backend::Sqlite) {
    const LONG pages = c.Execute("PRAGMA page_count", &affected, adCmdText)->GetFieldValue("page_count").ToLong();
    c.Execute("PRAGMA max_page_count=" + std::to_string(pages), &affected, adCmdText);
    failure = FailureOf([&] {
      c.Execute("INSERT INTO SMSIncoming (Id, Data) VALUES (1, '" + std::string(100000, 'x') + "')", &affected,
                adCmdText);
    });
    EXPECT_EQ(failure.second.rfind("SQLite database '", 0), 0u) << failure.second;
    EXPECT_NE(failure.second.find("' is full (no space left on its disk, or its size limit reached): "),
              std::string::npos)
        << failure.second;
  } else {
    // What the server reports when its disk is full.
    failure = FailureOf([&] {
      c.Execute("DO $$BEGIN RAISE EXCEPTION 'could not extend file' USING ERRCODE = 'disk_full'; END$$", &affected,
                adCmdText);
    });
    EXPECT_EQ(failure.second.rfind("The database server's disk is full: ERROR:  could not extend file", 0), 0u)
        << failure.second;
  }
  EXPECT_EQ(failure.first, HRESULT_FROM_WIN32(ERROR_DISK_FULL));
}

TEST(DatabaseAccessOpen, AnExplicitSqlitePrefixDecidesWhateverThePathHolds) {
  const std::string path = TestSupport::Root() + "/a=b.db";
  std::filesystem::remove(path);
  EXPECT_FALSE(IsPostgresDataSource("sqlite:" + path));
  EXPECT_FALSE(IsPostgresDataSource(path));
  EXPECT_FALSE(IsPostgresDataSource("sqlite:postgresql://x"));
  EXPECT_TRUE(IsPostgresDataSource("host=127.0.0.1 dbname=queue"));
  EXPECT_TRUE(IsPostgresDataSource("postgresql://h/db?options=-csearch_path%3Dq"));
  for (const std::string& dsn : {"sqlite:" + path, path}) {
    Connection c;
    c.Open("Data Source=" + dsn, "", "");
    CreateQueueSchema(c, dsn);
    _variant_t affected;
    EXPECT_EQ(c.Execute("SELECT COUNT(*) AS N FROM SMSOutgoing", &affected, adCmdText)->GetFieldValue("N").ToLong(), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(SqlLiterals, QuotesAreDoubledAndNothingElseChanges) {
  EXPECT_EQ(EncodeSQLLiteralString(""), "' '");
  EXPECT_EQ(EncodeSQLLiteralString("it's"), "'it''s'");
  EXPECT_EQ(EncodeSQLLiteral("\\\"%;'"), "\\\"%;''");
  EXPECT_EQ(ConvertVariantToString(_variant_t(LONG{42})), "42");
  EXPECT_EQ(ConvertVariantToLong(_variant_t::Null()), 0);
  EXPECT_EQ(ConvertVariantToString(_variant_t::Null()), "");
  EXPECT_THROW(ConvertVariantToLong(_variant_t("abc")), _com_error);
}
