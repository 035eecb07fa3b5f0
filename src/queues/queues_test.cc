#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "expect_com_error.h"
#include "queue_test_support.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "queues/outgoing_queue.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

using Queues = TestSupport::QueueSet;

const std::vector<std::string> kAwkward = {"it's",
                                           "back\\slash",
                                           "100%",
                                           "a;b",
                                           "Gr\xC3\xBC\xC3\x9F"
                                           "e \xF0\x9F\x98\x80",
                                           "'); DELETE FROM SMSOutgoing; --",
                                           "\"quoted\""};

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

class QueueTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    q = std::make_unique<Queues>(db->Dsn());
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<Queues> q;
};

INSTANTIATE_TEST_SUITE_P(Backends, QueueTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(QueueTest, IdentifiersFollowTheLargest) {
  EXPECT_EQ(q->outgoing.GenerateJobId(), 1);
  db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (3, 0)");
  db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (41, 0)");
  EXPECT_EQ(q->outgoing.GenerateJobId(), 42);
  EXPECT_EQ(q->outgoing.InsertJob("123", jtTextMessage, "Hello", hsAll, CMessageEndpoint(stClientLibrary)), 42);
  EXPECT_EQ(q->outgoing.GetTotalNbrOfEntries(), 3);
}

TEST_P(QueueTest, InsertedJobHoldsWhatWasGiven) {
  const LONG id = q->outgoing.InsertJob("", jtDataMessage, "", hsHandset2, CMessageEndpoint(stClientLibrary, "", "n"));
  EXPECT_EQ(db->Value("SELECT PhoneNumber FROM SMSOutgoing WHERE Id=" + std::to_string(id), "PhoneNumber").ToString(),
            " ");
  EXPECT_EQ(db->Value("SELECT Data FROM SMSOutgoing WHERE Id=" + std::to_string(id), "Data").ToString(), " ");
  std::string phone, data;
  JOBTYPE type;
  Handsets handset;
  CMessageEndpoint source;
  q->outgoing.GetJobInfo(id, phone, type, data, handset, source);
  EXPECT_EQ(type, jtDataMessage);
  EXPECT_EQ(handset, hsHandset2);
  EXPECT_EQ(source.m_eType, stClientLibrary);
  EXPECT_EQ(source.m_sId, " ");
  EXPECT_EQ(source.m_sName, "n");
  EXPECT_EQ(q->outgoing.GetJobStatus(id), jsPending);
  EXPECT_EQ(q->outgoing.GetJobStatus(999), jsSent);  // a missing job counts as sent
  EXPECT_COM_ERROR(q->outgoing.GetJobInfo(999, phone, type, data, handset, source), adErrNoCurrentRecord);
}

TEST_P(QueueTest, EveryTextColumnStoresAwkwardTextIntact) {
  for (const auto& text : kAwkward) {
    const LONG id =
        q->outgoing.InsertJob(text, jtTextMessage, text, hsAll, CMessageEndpoint(stClientLibrary, text, text));
    std::string phone, data;
    JOBTYPE type;
    Handsets handset;
    CMessageEndpoint source;
    q->outgoing.GetJobInfo(id, phone, type, data, handset, source);
    EXPECT_EQ(phone, text);
    EXPECT_EQ(data, text);
    EXPECT_EQ(source.m_sId, text);
    EXPECT_EQ(source.m_sName, text);

    q->incoming.StoreMessage(text, jtTextMessage, text, 1, text, CMessageEndpoint(stClientLibrary, text, text));
    Handsets h = hsAll;
    std::string stamp;
    CMessageEndpoint dest;
    ASSERT_TRUE(q->incoming.GetMessage(h, type, phone, data, stamp, dest)) << text;
    EXPECT_EQ(phone, text);
    EXPECT_EQ(data, text);
    EXPECT_EQ(stamp, text);  // the time stamp is escaped too
    EXPECT_EQ(dest.m_sName, text);

    q->notifications.InsertJob(id, ntMessageSent, text, jtTextMessage, text, hsAll, 0, text, jsSent,
                               CMessageEndpoint(stClientLibrary, text, text));
    LONG job, error;
    h = hsAll;
    NotificationTypes nt;
    EnumJobStatus status;
    ASSERT_TRUE(
        q->notifications.GetNotification(job, nt, phone, type, data, h, error, stamp, status, stClientLibrary, source));
    EXPECT_EQ(phone, text);
    EXPECT_EQ(data, text);
    EXPECT_EQ(stamp, text);
    EXPECT_EQ(source.m_sId, text);
  }
  EXPECT_EQ(q->outgoing.GetTotalNbrOfEntries(), static_cast<LONG>(kAwkward.size()));  // nothing deleted
}

TEST_P(QueueTest, ConsumerClaimsUpdatesAndReturnsJobs) {
  LONG id;
  std::string phone, data;
  JOBTYPE type;
  LONG retries;
  CMessageEndpoint source(static_cast<SourceTypes>(9), "keep", "me");
  EXPECT_FALSE(q->outgoing.GetJobA(id, phone, type, data, retries, hsHandset3, source));
  EXPECT_EQ(id, -1);
  EXPECT_EQ(source.m_sId, "keep");  // untouched
  const CMessageEndpoint me(stClientLibrary, "id", "name");
  const LONG forTwo = q->outgoing.InsertJob("2", jtTextMessage, "two", hsHandset2, me);
  const LONG forThree = q->outgoing.InsertJob("3", jtTextMessage, "three", hsHandset3, me);
  const LONG forAny = q->outgoing.InsertJob("0", jtUnicodeMessage, "0041", hsAll, me);
  ASSERT_TRUE(q->outgoing.GetJobA(id, phone, type, data, retries, hsHandset3, source));
  EXPECT_EQ(id, forThree);
  EXPECT_EQ(data, "three");
  EXPECT_EQ(retries, 0);
  EXPECT_EQ(source.m_sName, "name");
  EXPECT_EQ(q->outgoing.GetJobStatus(forThree), jsProcessing);
  ASSERT_TRUE(q->outgoing.GetJobA(id, phone, type, data, retries, hsHandset3, source));
  EXPECT_EQ(id, forAny);
  EXPECT_EQ(type, jtUnicodeMessage);
  EXPECT_FALSE(q->outgoing.GetJobA(id, phone, type, data, retries, hsHandset3, source));  // handset 2's stays
  EXPECT_FALSE(q->outgoing.GetJobA(id, phone, type, data, retries, hsAll, source));
  EXPECT_EQ(q->outgoing.GetSize(), 1);

  q->outgoing.JobReturn(forAny, jsPending, 2);
  EXPECT_EQ(q->outgoing.GetJobStatus(forAny), jsPending);
  EXPECT_EQ(db->Value("SELECT RetryCount FROM SMSOutgoing WHERE Id=" + std::to_string(forAny), "RetryCount").ToLong(),
            2);
  q->outgoing.JobUpdate(forThree, jsSentNotConfirmed, hsHandset3, 77);
  q->outgoing.JobReturn(forThree, jsPending, -1);  // no longer processing: unchanged, no error
  EXPECT_EQ(q->outgoing.GetJobStatus(forThree), jsSentNotConfirmed);
  const LONG second77 = q->outgoing.InsertJob("x", jtTextMessage, "x", hsHandset3, me);
  q->outgoing.JobUpdate(second77, jsSentNotConfirmed, hsHandset3, 77);
  EXPECT_EQ(q->outgoing.FindJobAwaitingConfirmation(hsHandset3, 77), forThree);
  EXPECT_EQ(q->outgoing.FindJobAwaitingConfirmation(hsHandset2, 77), -1);
  EXPECT_COM_ERROR(q->outgoing.JobUpdate(999, jsSent, hsAll, 0), E_FAIL,
                   "Query 'UPDATE SMSOutgoing SET Status=2, Handset=0, MessageRef=0 WHERE Id=999' affected 0 rows, "
                   "expected 1 rows");
  (void)forTwo;
}

TEST_P(QueueTest, RecordingASendRemovesOlderSentJobsOnly) {
  const CMessageEndpoint me(stClientLibrary);
  std::vector<LONG> ids;
  for (int i = 1; i <= 12; ++i) ids.push_back(q->outgoing.InsertJob("n", jtTextMessage, "d", hsAll, me));
  for (LONG id : {ids[2], ids[6], ids[11]}) q->outgoing.JobUpdate(id, jsSent, hsAll, 0);  // 3, 7 and 12 sent
  q->outgoing.JobUpdate(ids[4], jsErrTimeout, hsAll, 0);
  q->outgoing.JobUpdate(ids[9], jsSent, hsHandset1, 5);  // job 10: deletes 3 and 7
  EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Status=2", "N").ToLong(), 2);  // 10 and 12 stay
  EXPECT_EQ(q->outgoing.GetJobStatus(ids[9]), jsSent);
  EXPECT_EQ(q->outgoing.GetJobStatus(ids[4]), jsErrTimeout);
  EXPECT_EQ(q->outgoing.GetSize(), 7);  // 12 less 3 and 7 deleted, 10 and 12 sent, 5 failed
  q->outgoing.PurgeQueue();
  EXPECT_EQ(q->outgoing.GetTotalNbrOfEntries(), 0);
}

TEST_P(QueueTest, IncomingMessagesComeOldestFirstWithinTheHandsetFilter) {
  Handsets h = hsHandset2;
  JOBTYPE type;
  std::string phone = "x", data = "y", stamp;
  CMessageEndpoint dest;
  EXPECT_FALSE(q->incoming.GetMessage(h, type, phone, data, stamp, dest));
  EXPECT_EQ(phone, "");
  EXPECT_EQ(data, "");
  EXPECT_EQ(h, hsAll);
  q->incoming.StoreMessage("111", jtTextMessage, "first", 1, "t1", CMessageEndpoint());
  q->incoming.StoreMessage("222", jtTextMessage, "second", 2, "", CMessageEndpoint());
  q->incoming.StoreMessage("", jtTextMessage, "", 2, "t3", CMessageEndpoint());
  EXPECT_EQ(q->incoming.GetSize(), 3);
  h = hsHandset2;
  ASSERT_TRUE(q->incoming.GetMessage(h, type, phone, data, stamp, dest));
  EXPECT_EQ(data, "second");
  EXPECT_EQ(stamp, "");
  h = hsAll;
  ASSERT_TRUE(q->incoming.GetMessage(h, type, phone, data, stamp, dest));
  EXPECT_EQ(data, "first");
  EXPECT_EQ(h, hsHandset1);
  ASSERT_TRUE(q->incoming.GetMessage(h = hsAll, type, phone, data, stamp, dest));
  EXPECT_EQ(phone, " ");  // empty texts are stored as one blank
  EXPECT_EQ(data, " ");
  q->incoming.StoreMessage("1", jtTextMessage, "x", 1, "", CMessageEndpoint());
  q->incoming.PurgeQueue();
  EXPECT_EQ(q->incoming.GetSize(), 0);
}

TEST_P(QueueTest, NotificationsAreFilteredBySourceTypeAndHandset) {
  LONG job = 5, error = 5;
  NotificationTypes type = ntSendFailure;
  std::string phone = "p", data = "d", stamp;
  JOBTYPE jt;
  Handsets h = hsHandset3;
  EnumJobStatus status;
  CMessageEndpoint source;
  EXPECT_FALSE(
      q->notifications.GetNotification(job, type, phone, jt, data, h, error, stamp, status, stClientLibrary, source));
  EXPECT_EQ(job, -1);
  EXPECT_EQ(type, ntDeliveryReport);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(h, hsAll);
  q->notifications.InsertJob(1, ntDeliveryReport, "n", jtTextMessage, "d", hsAll, 0, "", jsSent,
                             CMessageEndpoint(static_cast<SourceTypes>(2)));
  q->notifications.InsertJob(2, ntDeliveryFailure, "n", jtTextMessage, "", hsAll, 42, "", jsDeliveryFailed,
                             CMessageEndpoint(stClientLibrary));
  q->notifications.InsertJob(3, ntMessageSent, "n", jtTextMessage, "d", hsHandset3, 0, "now", jsSent,
                             CMessageEndpoint(stClientLibrary));
  h = hsHandset3;
  ASSERT_TRUE(
      q->notifications.GetNotification(job, type, phone, jt, data, h, error, stamp, status, stClientLibrary, source));
  EXPECT_EQ(job, 3);  // a row of handset 0 is no candidate for handset 3
  EXPECT_EQ(stamp, "now");
  h = hsAll;
  ASSERT_TRUE(
      q->notifications.GetNotification(job, type, phone, jt, data, h, error, stamp, status, stClientLibrary, source));
  EXPECT_EQ(job, 2);  // the older row of source type 2 is skipped
  EXPECT_EQ(type, ntDeliveryFailure);
  EXPECT_EQ(error, 42);
  EXPECT_EQ(data, " ");
  EXPECT_EQ(stamp, " ");
  EXPECT_EQ(status, jsDeliveryFailed);
  EXPECT_FALSE(
      q->notifications.GetNotification(job, type, phone, jt, data, h, error, stamp, status, stClientLibrary, source));
  // A NULL where a direct conversion reads fails every time and stays.
  db->Run(
      "INSERT INTO SMSNotifications (Id, OriginalId, Type, MsgType, ErrorCode, SourceType, Handset) VALUES (50, 9, 0, "
      "NULL, 0, 1, 0)");
  for (int i = 0; i < 2; ++i)
    EXPECT_THROW(q->notifications.GetNotification(job, type, phone, jt, data, h = hsAll, error, stamp, status,
                                                  stClientLibrary, source),
                 _com_error);
  q->notifications.PurgeQueue();
  EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSNotifications", "N").ToLong(), 0);
}

TEST_P(QueueTest, AnUnreadableRowStaysAndTheErrorNamesItsTableIdAndColumn) {
  LONG job, error, retries;
  NotificationTypes nt;
  std::string phone, data, stamp;
  JOBTYPE type;
  Handsets h;
  EnumJobStatus status;
  CMessageEndpoint source;
  db->Run(
      "INSERT INTO SMSNotifications (Id, OriginalId, Type, MsgType, ErrorCode, SourceType, Handset) VALUES (17, 9, 0, "
      "NULL, 0, 1, 0)");
  for (int i = 0; i < 2; ++i) {
    const auto failure = FailureOf([&] {
      q->notifications.GetNotification(job, nt, phone, type, data, h = hsAll, error, stamp, status, stClientLibrary,
                                       source);
    });
    EXPECT_EQ(failure.first, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(failure.second, "SMSNotifications row 17: column MsgType is NULL");
  }
  EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSNotifications", "N").ToLong(), 1);  // the row stays

  // A column of another type than the reader expects, as a hand-made table may have.
  if (GetParam() == Backend::Postgres) db->Run("ALTER TABLE SMSIncoming ALTER COLUMN Type TYPE TEXT");
  db->Run("INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset) VALUES (5, 'abc', '+44', 'x', 1)");
  EXPECT_EQ(FailureOf([&] { q->incoming.GetMessage(h = hsAll, type, phone, data, stamp, source); }).second,
            "SMSIncoming row 5: column Type cannot be read as a 32-bit number: 'abc'");
  EXPECT_EQ(q->incoming.GetSize(), 1);

  db->Run("INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status) VALUES (8, 1, NULL, 'x', 0, 0)");
  EXPECT_EQ(FailureOf([&] { q->outgoing.GetJobA(job, phone, type, data, retries, hsAll, source); }).second,
            "SMSOutgoing row 8: column PhoneNumber is NULL");
  EXPECT_EQ(q->outgoing.GetJobStatus(8), jsPending);  // given back
  db->Run("UPDATE SMSOutgoing SET Status=NULL WHERE Id=8");
  EXPECT_EQ(FailureOf([&] { q->outgoing.GetJobStatus(8); }).second, "SMSOutgoing row 8: column Status is NULL");
}

TEST_P(QueueTest, IdentifiersEndAtTheLargest32BitNumberWithAClearError) {
  db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (2147483646, 2)");
  EXPECT_EQ(q->outgoing.InsertJob("+49", jtTextMessage, "last", hsAll, CMessageEndpoint(stClientLibrary)), 2147483647);
  const auto failure =
      FailureOf([&] { q->outgoing.InsertJob("+49", jtTextMessage, "one too many", hsAll, CMessageEndpoint()); });
  EXPECT_EQ(failure.first, DISP_E_OVERFLOW);
  EXPECT_EQ(failure.second, "SMSOutgoing has no identifiers left above 2147483647 (its largest Id is 2147483647)");
  EXPECT_EQ(q->outgoing.GetTotalNbrOfEntries(), 2);
  if (GetParam() == Backend::Sqlite) {  // a 64-bit key column
    db->Run("INSERT INTO SMSIncoming (Id) VALUES (5000000000)");
    EXPECT_EQ(FailureOf([&] { q->incoming.StoreMessage("+44", jtTextMessage, "x", 1, "", CMessageEndpoint()); }).second,
              "SMSIncoming has no identifiers left above 2147483647 (its largest Id is 5000000000)");
  }
}

// Readers on their own connections, three threads and a process, drain both
// read queues. Each stops at its first "none", which must mean that the
// queue was empty: a reader that loses a row to another takes the next one.
TEST_P(QueueTest, ConcurrentReadersThatLoseARaceTakeTheNextRowAndNoneMeansEmpty) {
  constexpr int kRows = 300;
  constexpr int kThreads = 3;
  std::string values;
  for (int i = 1; i <= kRows; ++i)
    values += (i > 1 ? ", (" : "(") + std::to_string(i) + ", '" + std::to_string(i) + "')";
  db->Run("INSERT INTO SMSIncoming (Id, Data) VALUES " + values);
  db->Run("INSERT INTO SMSNotifications (Id, Data) VALUES " + values);
  db->Run("UPDATE SMSNotifications SET MsgType=1, ErrorCode=0, SourceType=1");
  // One reader's account: the rows it took, then what each queue still held
  // when it answered "none".
  auto drain = [dsn = db->Dsn()] {
    Queues mine(dsn);
    std::ostringstream out;
    JOBTYPE type;
    std::string phone, data, stamp;
    CMessageEndpoint endpoint;
    Handsets h;
    for (int i = 0; i <= kRows && mine.incoming.GetMessage(h = hsAll, type, phone, data, stamp, endpoint); ++i)
      out << "I" << data << "\n";
    out << "left I " << mine.incoming.GetSize() << "\n";
    LONG job, error;
    NotificationTypes nt;
    EnumJobStatus status;
    for (int i = 0;
         i <= kRows && mine.notifications.GetNotification(job, nt, phone, type, data, h = hsAll, error, stamp, status,
                                                                                      stClientLibrary, endpoint);
         ++i)
      out << "N" << data << "\n";
    out << "left N " << mine.notifications.GetTotalNbrOfEntries() << "\n";
    return out.str();
  };
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string report;
    try {
      report = drain();
    } catch (const _com_error& e) {
      report = "failed: " + e.DescriptionA() + "\n";
    }
    (void)!write(fds[1], report.data(), report.size());
    _exit(0);
  }
  close(fds[1]);
  std::string reports[kThreads + 1];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      try {
        reports[t] = drain();
      } catch (const _com_error& e) {
        reports[t] = "failed: " + e.DescriptionA() + "\n";
      }
    });
  for (auto& t : threads) t.join();
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) reports[kThreads].append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  std::multiset<std::string> taken;
  for (const auto& report : reports) {
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("left ", 0) == 0)
        EXPECT_EQ(line.substr(7), "0") << "a reader answered none while rows waited: " << line;
      else if (line[0] == 'I' || line[0] == 'N')
        taken.insert(line);
      else
        ADD_FAILURE() << line;
    }
  }
  EXPECT_EQ(taken.size(), 2u * kRows);
  EXPECT_EQ(std::set<std::string>(taken.begin(), taken.end()).size(), 2u * kRows) << "a row was taken twice";
}

// A table whose rows cannot be deleted (here a rule or trigger; in life any
// reason a DELETE removes nothing): the reader keeps looking only until the
// operation's time is up.
TEST_P(QueueTest, AReaderThatCanTakeNoRowGivesUpAtTheDeadline) {
  q->incoming.StoreMessage("+44", jtTextMessage, "stuck", 1, "", CMessageEndpoint());
  db->Run(GetParam() == Backend::Postgres
              ? "CREATE RULE keep AS ON DELETE TO SMSIncoming DO INSTEAD NOTHING"
              : "CREATE TRIGGER keep BEFORE DELETE ON SMSIncoming BEGIN SELECT RAISE(IGNORE); END");
  q->dispensor.SetDBTimeouts(5000, 300);
  Handsets h = hsAll;
  JOBTYPE type;
  std::string phone, data, stamp;
  CMessageEndpoint dest;
  const auto start = std::chrono::steady_clock::now();
  const auto failure = FailureOf([&] { q->incoming.GetMessage(h, type, phone, data, stamp, dest); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // Whether the time runs out between two tries, between two statements or
  // during one, the failure says so.
  EXPECT_EQ(failure.first, DB_E_ABORTLIMITREACHED) << failure.second;
  EXPECT_EQ(q->incoming.GetSize(), 1);
}

// Two threads and two processes insert at once, in each connection mode: no
// send fails, and the Ids are unique and follow one another from 1.
TEST_P(QueueTest, WritersOnSeparateConnectionsAndProcessesNeverShareAnIdentifierNorFail) {
  constexpr int kRows = 60;
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "keeping the connection" : "a connection per insert");
    db->Run("DELETE FROM SMSIncoming");
    std::atomic<int> failures{0};
    std::string firstFailure;
    auto writer = [&](const std::string& who) {
      Queues mine(db->Dsn());
      mine.dispensor.SetDBKeepConnection(keep);
      for (int i = 0; i < kRows; ++i) {
        try {
          mine.incoming.StoreMessage(who, jtTextMessage, who + std::to_string(i), 1, "", CMessageEndpoint());
        } catch (const _com_error& e) {
          if (failures++ == 0) firstFailure = e.DescriptionA();
        }
      }
    };
    std::thread a(writer, "thread-a"), b(writer, "thread-b");
    a.join();
    b.join();
    // The child inherits this process's idle SQLite connection and must not
    // take it for its own.
    const pid_t child = fork();
    if (child == 0) {
      writer("child");
      _exit(failures);
    }
    writer("parent");
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    failures += WEXITSTATUS(status);
    EXPECT_EQ(failures, 0) << firstFailure;
    EXPECT_EQ(q->incoming.GetSize(), 4 * kRows);
    EXPECT_EQ(db->Value("SELECT COUNT(DISTINCT Data) AS N FROM SMSIncoming", "N").ToLong(), 4 * kRows);
    EXPECT_EQ(db->Value("SELECT MIN(Id) AS N FROM SMSIncoming", "N").ToLong(), 1);
    EXPECT_EQ(db->Value("SELECT MAX(Id) AS N FROM SMSIncoming", "N").ToLong(), 4 * kRows);
  }
}

// Two writers that want the same identifier at the same moment both succeed,
// with the next two. A third connection makes the moment: on SQLite it holds
// the write lock, so both writers wait for it; on PostgreSQL it holds an
// uncommitted row with the next Id, which both writers' statements meet on
// the key and, once it commits, find taken.
TEST_P(QueueTest, TwoWritersRacingForOneIdentifierBothSucceed) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "keeping the connection" : "a connection per insert");
    db->Run("DELETE FROM SMSOutgoing");
    db->Run("INSERT INTO SMSOutgoing (Id, Status) VALUES (7, 2)");
    Connection blocker;
    blocker.Open("Data Source=" + db->Dsn(), "", "");
    _variant_t affected;
    blocker.Execute(GetParam() == Backend::Sqlite ? "BEGIN IMMEDIATE" : "BEGIN", &affected, adCmdText);
    blocker.Execute("INSERT INTO SMSOutgoing (Id, Status) VALUES (8, 2)", &affected, adCmdText);
    LONG ids[2] = {0, 0};
    std::string failures[2];
    auto send = [&](int n) {
      try {
        Queues mine(db->Dsn());
        mine.dispensor.SetDBKeepConnection(keep);
        if (keep) mine.outgoing.GetSize();  // an open connection to keep
        ids[n] = mine.outgoing.InsertJob("+49", jtTextMessage, "racer " + std::to_string(n), hsAll,
                                         CMessageEndpoint(stClientLibrary));
      } catch (const _com_error& e) {
        failures[n] = e.DescriptionA();
      }
    };
    std::thread a(send, 0), b(send, 1);
    // Both reach the third connection's row or lock meanwhile (were either
    // late, it would only meet less).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    blocker.Execute("COMMIT", &affected, adCmdText);
    a.join();
    b.join();
    EXPECT_EQ(failures[0], "");
    EXPECT_EQ(failures[1], "");
    EXPECT_EQ(std::min(ids[0], ids[1]), 9);
    EXPECT_EQ(std::max(ids[0], ids[1]), 10);
    EXPECT_EQ(q->outgoing.GetSize(), 2);
  }
}

// The identifier is chosen inside the INSERT; the parts the queues give must
// be an INSERT ... VALUES ( ... ).
TEST_P(QueueTest, AnInsertThatIsNotOfTheValuesFormIsRefusedClearly) {
  const auto failure = FailureOf([&] { q->outgoing.CJobQueue::InsertJob("INSERT INTO SMSOutgoing (Id) SELECT ", ""); });
  EXPECT_EQ(failure.first, E_INVALIDARG);
  EXPECT_EQ(failure.second, "SMSOutgoing: an INSERT must end its first part with 'VALUES (' and its second with ')'");
  EXPECT_EQ(q->outgoing.CJobQueue::InsertJob("INSERT INTO SMSOutgoing (Id, Status) values(", ", 0)"), 1);
}

TEST_P(QueueTest, ConcurrentConsumersAndReadersNeverTakeOneRowTwice) {
  constexpr int kJobs = 120;
  for (int i = 0; i < kJobs; ++i) {
    q->outgoing.InsertJob("n", jtTextMessage, std::to_string(i), hsAll, CMessageEndpoint(stClientLibrary));
    q->incoming.StoreMessage("n", jtTextMessage, std::to_string(i), 1, "", CMessageEndpoint());
    q->notifications.InsertJob(i, ntMessageSent, "n", jtTextMessage, "d", hsAll, 0, "", jsSent,
                               CMessageEndpoint(stClientLibrary));
  }
  std::vector<LONG> claimed[2];
  std::vector<std::string> read[2];
  std::vector<LONG> notified[2];
  auto consume = [&](int who) {
    Queues mine(db->Dsn());
    LONG id, retries, error;
    std::string phone, data, stamp;
    JOBTYPE type;
    CMessageEndpoint source;
    while (mine.outgoing.GetJobA(id, phone, type, data, retries, hsAll, source)) claimed[who].push_back(id);
    Handsets h;
    while (mine.incoming.GetMessage(h = hsAll, type, phone, data, stamp, source) || mine.incoming.GetSize() > 0)
      if (!data.empty()) read[who].push_back(data);
    NotificationTypes nt;
    EnumJobStatus status;
    while (mine.notifications.GetNotification(id, nt, phone, type, data, h = hsAll, error, stamp, status,
                                              stClientLibrary, source) ||
           db->Value("SELECT COUNT(*) AS N FROM SMSNotifications", "N").ToLong() > 0)
      if (id != -1) notified[who].push_back(id);
  };
  std::thread a(consume, 0), b(consume, 1);
  a.join();
  b.join();
  auto check = [](auto& lists, const char* what) {
    std::multiset<std::decay_t<decltype(lists[0][0])>> all(lists[0].begin(), lists[0].end());
    all.insert(lists[1].begin(), lists[1].end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kJobs)) << what;
    EXPECT_EQ(std::set(all.begin(), all.end()).size(), all.size()) << what << ": a row was taken twice";
  };
  check(claimed, "claims");
  check(read, "incoming");
  check(notified, "notifications");
}

TEST(CJobQueue, DataMessagesPackAndUnpack) {
  EXPECT_EQ(CJobQueue::EncodeDataMessage("48656C6C6F", "", 0), "48656C6C6F");
  EXPECT_EQ(CJobQueue::EncodeDataMessage("48656C6C6F", "050003A70201", 4), "DCS=04;UDH=050003A70201;UD=48656C6C6F");
  EXPECT_EQ(CJobQueue::EncodeDataMessage("", "01", 0), "DCS=00;UDH=01;UD=");
  EXPECT_EQ(CJobQueue::EncodeDataMessage("AA", "", 245), "DCS=F5;UDH=;UD=AA");
  EXPECT_EQ(CJobQueue::EncodeDataMessage("AA", "", 256), "DCS=100;UDH=;UD=AA");
  EXPECT_EQ(CJobQueue::EncodeDataMessage("AA", "", -1), "DCS=FFFFFFFF;UDH=;UD=AA");
  std::string ud, udh;
  LONG dcs = 0;
  CJobQueue::DecodeDataMessage("DCS=F5;UDH=;UD=0102", ud, udh, dcs);
  EXPECT_EQ(dcs, 245);
  EXPECT_EQ(udh, "");
  EXPECT_EQ(ud, "0102");
  dcs = 7;
  CJobQueue::DecodeDataMessage("plain text", ud, udh, dcs);
  EXPECT_EQ(ud, "plain text");
  EXPECT_EQ(dcs, 7);  // untouched without a DCS field
  CJobQueue::DecodeDataMessage("Volume LOUD=3", ud, udh, dcs);
  EXPECT_EQ(ud, "3");  // the names are found anywhere, as the format says
  for (LONG value : {0, 1, 4, 245, 256, -1, 0x7FFFFFFF}) {
    LONG back = 0;
    CJobQueue::DecodeDataMessage(CJobQueue::EncodeDataMessage("AB;C=D", "0500", value), ud, udh, back);
    EXPECT_EQ(back, value);
    EXPECT_EQ(ud, "AB;C=D");
    EXPECT_EQ(udh, "0500");
  }
}

// Cases of a database server: only PostgreSQL has one.
class ServerQueueTest : public QueueTest {};

INSTANTIATE_TEST_SUITE_P(Backends, ServerQueueTest, ::testing::Values(Backend::Postgres), TestSupport::BackendName);

TEST_P(ServerQueueTest, LostServerConnectionIsReplacedByTheLastAttempt) {
  const LONG id = q->outgoing.InsertJob("n", jtTextMessage, "d", hsAll, CMessageEndpoint(stClientLibrary));
  LONG affected = 0;
  const LONG pid = q->outgoing.ExecuteCommand("SELECT pg_backend_pid() AS Pid", affected, adCmdText, -1, 10)
                       ->GetFieldValue("Pid")
                       .ToLong();
  // What a server restart does to this client: its connection is cut.
  TestSupport::TestDatabase::Admin("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
  const long opens = Connection::s_nOpens;
  EXPECT_EQ(q->outgoing.GetJobStatus(id), jsPending);
  EXPECT_EQ(Connection::s_nOpens - opens, 1);  // the tenth attempt's new connection
}
