#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>

#include "config/config_velquor_client_only.h"
#include "expect_com_error.h"
#include "queue_test_support.h"
#include "queues/database_access.h"
#include "queues/queue_schema.h"
#include "skip_support.h"
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
  EXPECT_COM_ERROR(executer.ExecuteCommand(update, affected, adCmdText | adExecuteNoRecords, 1, 3), E_FAIL,
                   "Query '" + update + "' affected 0 rows, expected 1 rows");
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
  EXPECT_COM_ERROR(rs->GetFieldValue("NoColumn"), adErrItemNotFound);
  const auto none = executer.ExecuteCommand("SELECT * FROM SMSIncoming WHERE Id=2", affected, adCmdText, -1, 10);
  EXPECT_TRUE(none->BOF());
  EXPECT_TRUE(none->adoEOF());
  EXPECT_COM_ERROR(none->GetFieldValue("Id"), adErrNoCurrentRecord);
}

TEST_P(DatabaseAccess, BoundValuesArriveAsTheyAreOnBothBackends) {
  LONG affected = 0;
  const std::int64_t big = (std::int64_t{1} << 40) + 7;
  const std::string quoted = "O'Brien said \"hi\" -- \xC3\xA4\xE2\x82\xAC \xF0\x9F\x93\xB1; DROP TABLE SMSIncoming";
  // The text holds every character a literal would have to escape; $2 and
  // '$1' inside the literal stay text, and $1 is used twice.
  executer.ExecuteCommand(
      "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp) VALUES ($1, $4, $2, '$1 ?', $1, $3)",
      {SqlValue(7), quoted, SqlNull, -2147483647 - 1}, affected, adCmdText | adExecuteNoRecords, 1, 1);
  const auto row = executer.ExecuteCommand("SELECT * FROM SMSIncoming WHERE Id=$1 AND PhoneNumber=$2", {7, quoted},
                                           affected, adCmdText, -1, 1);
  ASSERT_FALSE(row->adoEOF());
  EXPECT_EQ(row->GetFieldValue("PhoneNumber").ToString(), quoted);
  EXPECT_EQ(row->GetFieldValue("Data").ToString(), "$1 ?");
  EXPECT_EQ(row->GetFieldValue("Handset").ToLong(), 7);
  EXPECT_EQ(row->GetFieldValue("Type").ToLong(), -2147483647 - 1);
  EXPECT_EQ(row->GetFieldValue("TmStamp").vt, VT_NULL);
  // 64 bits both ways, a double, NULL in a comparison (never true) and as a value.
  executer.ExecuteCommand("INSERT INTO SMSOutgoingMarks (MarkTime, MaxId) VALUES ($1, $2)", {big, SqlNull}, affected,
                          adCmdText | adExecuteNoRecords, 1, 1);
  auto marks = executer.ExecuteCommand("SELECT MarkTime, MaxId FROM SMSOutgoingMarks WHERE MarkTime=$1", {big},
                                       affected, adCmdText, -1, 1);
  ASSERT_FALSE(marks->adoEOF());
  EXPECT_EQ(marks->GetFieldValue("MarkTime").ToLongLong(), big);
  EXPECT_EQ(marks->GetFieldValue("MaxId").vt, VT_NULL);
  marks = executer.ExecuteCommand("SELECT COUNT(*) AS N FROM SMSOutgoingMarks WHERE MaxId=$1", {SqlNull}, affected,
                                  adCmdText, -1, 1);
  EXPECT_EQ(marks->GetFieldValue("N").ToLong(), 0);
  const auto d = executer.ExecuteCommand("SELECT $1 * 2 AS D", {SqlValue(1.25)}, affected, adCmdText, -1, 1);
  EXPECT_DOUBLE_EQ(d->GetFieldValue("D").ToDouble(), 2.5);
  // A placeholder without its value is refused, not read as NULL.
  EXPECT_COM_ERROR(executer.ExecuteCommand("SELECT * FROM SMSIncoming WHERE Id=$2", {7}, affected, adCmdText, -1, 1),
                   DB_E_ERRORSINCOMMAND);
}

// Texts with bound values are prepared once per connection and kept: every
// row of a result comes back, a kept statement gives new values each run,
// the same text with values of other types is its own statement, and a kept
// statement whose table changed under it is prepared again (outside a
// transaction; inside, the transaction fails and the next run recovers).
TEST_P(DatabaseAccess, KeptStatementsGiveEveryRowAndSurviveATableChange) {
  for (int id = 1; id <= 3; ++id)
    db->Run("INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset) VALUES (" + std::to_string(id) + ", 0, '+" +
            std::to_string(id) + "', 'x', 1)");
  // Ten attempts, as the queues make: the first runs on the open connection.
  LONG affected = 0;
  const std::string select = "SELECT * FROM SMSIncoming WHERE Id>$1 ORDER BY Id";
  const auto ids = [&](LONG after) {
    std::vector<LONG> seen;
    const auto rs = executer.ExecuteCommand(select, {after}, affected, adCmdText, -1, 10);
    for (; !rs->adoEOF(); rs->MoveNext()) seen.push_back(rs->GetFieldValue("Id").ToLong());
    EXPECT_COM_ERROR(rs->MoveNext(), adErrNoCurrentRecord);
    EXPECT_EQ(rs->RecordCount(), seen.size());
    return seen;
  };
  EXPECT_EQ(ids(0), (std::vector<LONG>{1, 2, 3}));
  EXPECT_EQ(ids(1), (std::vector<LONG>{2, 3}));
  EXPECT_EQ(ids(3), std::vector<LONG>{});
  const std::string echo = "SELECT $1 AS V";
  EXPECT_EQ(executer.ExecuteCommand(echo, {7}, affected, adCmdText, -1, 10)->GetFieldValue("V").ToLong(), 7);
  EXPECT_EQ(executer.ExecuteCommand(echo, {"seven"}, affected, adCmdText, -1, 10)->GetFieldValue("V").ToString(),
            "seven");
  if (GetParam() == Backend::Postgres) {
    // One prepared statement of the session for the text, however often it ran.
    const auto kept =
        executer.ExecuteCommand("SELECT COUNT(*) AS N FROM pg_prepared_statements WHERE position($1 in statement) > 0",
                                {"Id>$1 ORDER BY Id"}, affected, adCmdText, -1, 10);
    EXPECT_EQ(kept->GetFieldValue("N").ToLong(), 1);
  }

  // On one connection, without the queues' attempts (the last of which
  // opens a new connection and so would hide a stale statement).
  Connection c;
  c.Open("Data Source=" + db->Dsn(), "", "");
  const auto firstId = [&](LONG after) {
    _variant_t count;
    return c.Execute(select, {after}, &count, adCmdText)->GetFieldValue("Id").ToLong();
  };
  EXPECT_EQ(firstId(0), 1);
  db->Run("ALTER TABLE SMSIncoming ADD COLUMN Extra INTEGER");
  _variant_t count;
  c.Execute("BEGIN", &count, adCmdText);
  if (GetParam() == Backend::Postgres) {
    EXPECT_THROW(firstId(0), _com_error);  // the transaction is spoilt; its owner starts it again
  } else {
    EXPECT_EQ(firstId(0), 1);
  }
  c.Execute("ROLLBACK", &count, adCmdText);
  EXPECT_EQ(firstId(1), 2);
  db->Run("ALTER TABLE SMSIncoming ADD COLUMN Later INTEGER");
  EXPECT_EQ(firstId(2), 3);
  EXPECT_EQ(c.Execute(select, {2}, &count, adCmdText)->GetFieldValue("Later").vt, VT_NULL);
  // A text that fails to prepare is not kept and fails alike again.
  for (int i = 0; i < 2; ++i)
    EXPECT_COM_ERROR(executer.ExecuteCommand("SELECT * FROM NoSuchTable WHERE Id=$1", {1}, affected, adCmdText, -1, 10),
                     DB_E_ERRORSINCOMMAND);
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
  EXPECT_COM_ERROR(provider.GetConnection(), E_FAIL);
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
  EXPECT_COM_ERROR(provider.GetConnection(), E_FAIL,
                   "Data source name not recognised: 'mydatabase' (expected sqlite:PATH, a path, a postgresql:// URI "
                   "or a libpq keyword string)");
  CDBConnectionDispensor fresh;
  SetCreateConnectionFailureForTesting(E_OUTOFMEMORY);
  EXPECT_COM_ERROR(fresh.GetConnection(), E_OUTOFMEMORY, "Could not create ADO connection object");
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
  if (!TestSupport::PostgresAddress()) SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
  TestSupport::TestDatabase db(Backend::Postgres);
  TestSupport::QueueSet queues(db.Dsn());
  queues.dispensor.SetDBTimeouts(5000, 800);
  const LONG id = queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint(stClientLibrary));
  LONG affected = 0;
  const pid_t backend = queues.outgoing.ExecuteCommand("SELECT pg_backend_pid() AS Pid", affected, adCmdText, -1, 10)
                            ->GetFieldValue("Pid")
                            .ToLong();
  // A stopped server process: the connection stays up and nothing answers.
  if (kill(backend, SIGSTOP) != 0) SKIP_UNLESS_CI() << "may not stop the server's processes";
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

// KeepDatabaseConnection decides whether a send opens a connection; with it
// on, a connection that has gone is replaced after the failed attempt.
TEST_P(DatabaseAccess, KeepDatabaseConnectionRunsSendsOnTheOpenConnection) {
  std::string message;
  CConfigVelquorClientOnly config(&message);
  CDBConnectionDispensor provider(&config);
  COutgoingQueue outgoing(&config, &provider);
  // The connections a send opens, with the value as given (null: absent).
  auto opensPerSend = [&](const char* keep) {
    std::map<std::string, std::string> values = {{"DSN", db->Dsn()}};
    if (keep) values["KeepDatabaseConnection"] = keep;
    WriteConfig(values);
    if (!keep) {
      bool ro = false;
      const HKEY k = RUOpenKeyWithBestPermisions(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", &ro, false);
      RegDeleteValueA(k, "KeepDatabaseConnection");
      RegCloseKey(k);
    }
    config.ReadConfiguration();
    outgoing.GetSize();  // the connection a client has open
    const long before = Connection::s_nOpens;
    for (int i = 0; i < 3; ++i) outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint(stClientLibrary));
    return Connection::s_nOpens - before;
  };
  EXPECT_EQ(opensPerSend(nullptr), 3);
  EXPECT_EQ(opensPerSend("1"), 0);
  EXPECT_EQ(opensPerSend("0"), 3);
  EXPECT_EQ(opensPerSend("yes"), 3);  // a switch is on only when it is 1
  EXPECT_EQ(opensPerSend("1"), 0);
  if (GetParam() != Backend::Postgres) return;
  LONG affected = 0;
  const LONG pid = outgoing.ExecuteCommand("SELECT pg_backend_pid() AS Pid", affected, adCmdText, -1, 10)
                       ->GetFieldValue("Pid")
                       .ToLong();
  TestSupport::TestDatabase::Admin("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
  const long before = Connection::s_nOpens;
  EXPECT_EQ(outgoing.InsertJob("+49", jtTextMessage, "after", hsAll, CMessageEndpoint(stClientLibrary)), 16);
  EXPECT_EQ(Connection::s_nOpens - before, 1);  // the failed attempt's successor
}

// A group commits its statements together or, left uncommitted, none of
// them; a failure inside it is not repeated on another connection, where it
// would run outside the group. On PostgreSQL a group changes nothing: each
// statement commits alone, as without one.
TEST_P(DatabaseAccess, GroupedStatementsCommitTogetherOrNotAtAll) {
  const bool sqlite = GetParam() == Backend::Sqlite;
  COutgoingQueue outgoing(nullptr, &dispensor);
  CNotificationQueue notifications(nullptr, &dispensor);
  const CMessageEndpoint source(stClientLibrary);
  const LONG id = outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, source);
  {
    CDatabaseTransaction group(&dispensor);
    EXPECT_EQ(dispensor.InTransaction(), sqlite);
    outgoing.JobUpdate(id, jsSent, hsHandset1, 0);
    notifications.InsertJob(id, ntMessageSent, "+49", jtTextMessage, "x", hsHandset1, 0, "now", jsSent, source);
  }  // not committed
  EXPECT_FALSE(dispensor.InTransaction());
  EXPECT_EQ(outgoing.GetJobStatus(id), sqlite ? jsPending : jsSent);
  EXPECT_EQ(notifications.GetTotalNbrOfEntries(), sqlite ? 0 : 1);
  notifications.PurgeQueue();

  {
    CDatabaseTransaction group(&dispensor);
    outgoing.JobUpdate(id, jsSentNotConfirmed, hsHandset1, 7);
    notifications.InsertJob(id, ntMessageSent, "+49", jtTextMessage, "x", hsHandset1, 0, "now", jsSent, source);
    group.Commit();
  }
  EXPECT_EQ(outgoing.GetJobStatus(id), jsSentNotConfirmed);
  EXPECT_EQ(notifications.GetTotalNbrOfEntries(), 1);

  // A statement failing inside a group: one attempt, on the group's own
  // connection, and what came before it is undone with the group.
  if (!sqlite) return;
  const long opens = Connection::s_nOpens, executions = Connection::s_nExecutions;
  {
    CDatabaseTransaction group(&dispensor);
    outgoing.JobUpdate(id, jsSent, hsHandset1, 0);
    EXPECT_EQ(FailureOf([&] { outgoing.JobUpdate(id + 100, jsSent, hsHandset1, 0); }).first, E_FAIL);
  }
  EXPECT_EQ(Connection::s_nOpens - opens, 0);
  EXPECT_EQ(Connection::s_nExecutions - executions, 5);  // BEGIN, UPDATE, DELETE, the failed UPDATE, ROLLBACK
  EXPECT_EQ(outgoing.GetJobStatus(id), jsSentNotConfirmed);
}

// A provider's synchronous level reaches every SQLite connection it opens;
// a level SQLite does not know is refused when set.
TEST_P(DatabaseAccess, SqliteSynchronousLevelIsSetAtEachOpen) {
  EXPECT_EQ(FailureOf([&] { dispensor.SetSQLiteSynchronous("FAST"); }).first, E_INVALIDARG);
  dispensor.SetSQLiteSynchronous("normal");
  if (GetParam() != Backend::Sqlite) {
    LONG affected = 0;
    EXPECT_NO_THROW(executer.ExecuteCommand("SELECT 1 AS One", affected, adCmdText, -1, 1));
    return;
  }
  for (int open = 0; open < 2; ++open) {
    dispensor.ResetConnection();
    _variant_t n;
    EXPECT_EQ(
        dispensor.GetConnection()->Execute("PRAGMA synchronous", &n, adCmdText)->GetFieldValue("synchronous").ToLong(),
        1);  // NORMAL
  }
  CDBConnectionDispensor plain;
  plain.SetDBSettings(db->Dsn(), "", "");
  _variant_t n;
  EXPECT_EQ(plain.GetConnection()->Execute("PRAGMA synchronous", &n, adCmdText)->GetFieldValue("synchronous").ToLong(),
            2);  // FULL, SQLite's own
}

// Each session's settings come in the start-up packet (pg_settings says
// "client" for those, "session" for a SET), after the name's own options.
TEST(DatabaseAccessOpen, PostgresSessionSettingsArriveWithTheConnection) {
  if (!TestSupport::PostgresAddress()) SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
  TestSupport::TestDatabase db(Backend::Postgres);  // its name sets search_path
  Connection c;
  c.PutCommandTimeout(12345);
  c.Open("Data Source=" + db.Dsn(), "", "");
  auto setting = [&](const std::string& name) {
    _variant_t affected;
    const auto rs = c.Execute("SELECT setting || '/' || source AS S FROM pg_settings WHERE name='" + name + "'",
                              &affected, adCmdText);
    return rs->GetFieldValue("S").ToString();
  };
  EXPECT_EQ(setting("standard_conforming_strings"), "on/client");
  EXPECT_EQ(setting("client_min_messages"), "warning/client");
  EXPECT_EQ(setting("statement_timeout"), "12345/client");
  EXPECT_EQ(setting("search_path").rfind("t_", 0), 0u) << setting("search_path");
}

// The first open of a SQLite file in a process puts it in WAL mode and keeps
// an idle connection to it: closing a working connection leaves -wal and
// -shm in place, in this process and in a child that sends and exits.
TEST(SqliteIdleConnection, ClosingAConnectionIsNeverTheLastClose) {
  const std::string path = TestSupport::Root() + "/idle.db";
  sqlite3* raw = nullptr;  // a file in the rollback-journal mode, as another program may leave it
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "PRAGMA journal_mode=DELETE; CREATE TABLE t (x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  Connection c;
  c.Open("Data Source=sqlite:" + path, "", "");
  _variant_t affected;
  EXPECT_EQ(c.Execute("PRAGMA journal_mode", &affected, adCmdText)->GetFieldValue("journal_mode").ToString(), "wal");
  CreateQueueSchema(c, "sqlite:" + path);
  c.Close();
  for (int i = 1; i <= 2; ++i) {
    TestSupport::QueueSet queues("sqlite:" + path);
    EXPECT_EQ(queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint()), i);
  }  // its connection closed
  EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
  EXPECT_TRUE(std::filesystem::exists(path + "-shm"));
  const std::string child = TestSupport::RunInChild([&] {
    TestSupport::QueueSet queues("sqlite:" + path);
    return queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint()) == 3 ? "" : "not Id 3";
  });
  EXPECT_EQ(child, "");
  EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
  TestSupport::QueueSet queues("sqlite:" + path);
  EXPECT_EQ(queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint()), 4);
}

// A connection opens an existing WAL without creating it; a database replaced
// under the process (files removed, as before a fresh `velquor db init`) gets
// its WAL created anew and is written as before.
TEST(SqliteIdleConnection, ADatabaseReplacedUnderTheProcessIsWrittenAgain) {
  const std::string path = TestSupport::Root() + "/replaced.db";
  for (int round = 1; round <= 2; ++round) {
    {
      Connection c;
      c.Open("Data Source=sqlite:" + path, "", "");
      CreateQueueSchema(c, "sqlite:" + path);
    }
    for (int i = 1; i <= 3; ++i) {
      TestSupport::QueueSet queues("sqlite:" + path);
      EXPECT_EQ(queues.outgoing.InsertJob("+49", jtTextMessage, "x", hsAll, CMessageEndpoint()), i) << round;
    }
    EXPECT_TRUE(std::filesystem::exists(path + "-wal")) << round;
    TestSupport::QueueSet queues("sqlite:" + path);
    EXPECT_EQ(queues.outgoing.GetSize(), 3) << round;
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  }
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
