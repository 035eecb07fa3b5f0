// The upgrade in place (velquor db upgrade, and the engine at its start): a
// database made with the schema before the per-message columns, with rows
// in it, gets the columns and the claim's indexes; its rows stay as they
// were and are claimed as before, and new jobs with options go through, on
// both backends.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "queue_test_support.h"
#include "queues/engine_outgoing_queue.h"
#include "queues/job_outcome_writer.h"
#include "queues/message_history.h"
#include "queues/queue_schema.h"
#include "test_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

class SchemaUpgrade : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_BACKEND(GetParam());
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    const bool postgres = GetParam() == Backend::Postgres;
    // The tables as the earlier version made them.
    for (const char* table :
         {"MessageHistory", "SMSOutgoingMarks", "SMSMessageRefs", "SMSNotifications", "SMSIncoming", "SMSOutgoing"})
      db->Run(std::string("DROP TABLE ") + table + (postgres ? " CASCADE" : ""));
    std::ifstream file(std::string(VELQUOR_SOURCE_DIR) + "/tests/data/schema_before_options_" +
                       (postgres ? "postgresql" : "sqlite") + ".sql");
    std::stringstream text;
    text << file.rdbuf();
    ASSERT_FALSE(text.str().empty());
    for (const std::string& statement : SchemaStatements(text.str())) db->Run(statement);
    dispensor.SetDBSettings(db->Dsn(), "", "");
  }
  CSchemaUpgrade Upgrade() const {
    Connection c;
    c.Open("Data Source=" + db->Dsn(), "", "");
    return UpgradeQueueSchema(c, db->Dsn());
  }
  std::string Text(const std::string& sql, const char* column) const { return db->Value(sql, column).ToString(); }

  std::unique_ptr<TestSupport::TestDatabase> db;
  CDBConnectionDispensor dispensor;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, SchemaUpgrade, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST_P(SchemaUpgrade, AddsTheColumnsAndIndexesInPlaceKeepingTheRows) {
  COutgoingQueue client(nullptr, &dispensor);
  const CMessageEndpoint source(stClientLibrary, "app", "");
  const LONG old1 = client.InsertJob("+491", jtTextMessage, "before", hsAll, source);
  const LONG old2 = client.InsertJob("+492", jtTextMessage, "also before", hsHandset2, source);
  db->Run("INSERT INTO SMSNotifications (Id, OriginalId, Type, MsgType, ErrorCode, SourceType, Handset) VALUES (1, " +
          std::to_string(old1) + ", 2, 1, 0, 1, 0)");
  CSendOptions options;
  options.nPriority = 1;
  options.sClientRef = "ref-9";
  // Before the upgrade the options have nowhere to go.
  EXPECT_THROW(client.InsertJob("+493", jtTextMessage, "x", hsAll, source, options), _com_error);

  const CSchemaUpgrade done = Upgrade();
  EXPECT_EQ(done.columns,
            (std::vector<std::string>{"SMSOutgoing.Sender", "SMSOutgoing.Priority", "SMSOutgoing.NotBefore",
                                      "SMSOutgoing.ValidUntil", "SMSOutgoing.ReportRequest", "SMSOutgoing.ClientRef",
                                      "SMSNotifications.ClientRef"}));
  for (const char* index : {"smsoutgoing_due", "smsoutgoing_scheduled", "smsoutgoing_expiry"})
    EXPECT_NE(std::find(done.indexes.begin(), done.indexes.end(), index), done.indexes.end()) << index;
  // Again: nothing to do.
  const CSchemaUpgrade again = Upgrade();
  EXPECT_TRUE(again.columns.empty());
  EXPECT_TRUE(again.indexes.empty());
  const SchemaStatementRunner run = [this](const std::string& sql) {
    Connection c;
    c.Open("Data Source=" + db->Dsn(), "", "");
    _variant_t affected;
    return c.Execute(sql, &affected, adCmdText);
  };
  EXPECT_TRUE(QueueColumnsPresent(run, db->Dsn()));

  // The rows as they were, their new columns NULL.
  EXPECT_EQ(Text("SELECT Data FROM SMSOutgoing WHERE Id=" + std::to_string(old2), "Data"), "also before");
  EXPECT_EQ(
      db->Value("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Priority IS NULL AND NotBefore IS NULL", "N").ToLong(), 2);
  EXPECT_EQ(db->Value("SELECT COUNT(*) AS N FROM SMSNotifications WHERE ClientRef IS NULL", "N").ToLong(), 1);

  // New sends with options, and the claim: the high priority first, then the
  // old rows in their order.
  const LONG fresh = client.InsertJob("+493", jtTextMessage, "after", hsAll, source, options);
  CEngineOutgoingQueue engine(&dispensor);
  const CClaimBatch batch = engine.ClaimJobs(hsHandset2, 10, -4);
  ASSERT_EQ(batch.jobs.size(), 3U);
  EXPECT_EQ(batch.jobs[0].nJobId, fresh);
  EXPECT_EQ(batch.jobs[0].options.sClientRef, "ref-9");
  EXPECT_EQ(batch.jobs[1].nJobId, old1);
  EXPECT_EQ(batch.jobs[1].sData, "before");
  EXPECT_TRUE(batch.jobs[1].options.Empty());
  EXPECT_EQ(batch.jobs[2].nJobId, old2);
  EXPECT_EQ(batch.jobs[2].eHandset, hsHandset2);

  // Its notification carries the reference.
  CJobOutcome o;
  o.nJobId = fresh;
  o.nExpectedMessageRef = -4;
  o.eStatus = jsSent;
  o.eHandset = hsHandset2;
  o.notification.nJobId = fresh;
  o.notification.eType = ntMessageSent;
  o.notification.eJobStatus = jsSent;
  o.notification.sClientRef = "ref-9";
  CJobOutcomeWriter writer(&dispensor);
  EXPECT_EQ(writer.Write({o}), std::vector<bool>{true});
  EXPECT_EQ(Text("SELECT ClientRef FROM SMSNotifications WHERE OriginalId=" + std::to_string(fresh), "ClientRef"),
            "ref-9");
}
