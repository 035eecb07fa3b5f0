#include "server/delivery_report_matcher.h"

#include <gtest/gtest.h>

#include "queue_test_support.h"
#include "skip_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

class CDeliveryReportMatcherTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Postgres && !TestSupport::PostgresAddress())
      SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    dispensor.SetDBSettings(db->Dsn(), "", "");
    outgoing = std::make_unique<COutgoingQueue>(nullptr, &dispensor);
    matcher = std::make_unique<CDeliveryReportMatcher>(&dispensor, outgoing.get());
  }
  void Job(LONG id, int handset) {
    db->Run("INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType) VALUES (" +
            std::to_string(id) + ", 1, '+1', 'x', " + std::to_string(handset) + ", 1, 1)");
  }
  // What the handset does with a job the network accepted with a reference.
  void Sent(LONG id, int handset, LONG reference) {
    const LONG stored = matcher->RecordReference(id, handset, CNetworkReference::Number(reference));
    outgoing->JobUpdate(id, jsSentNotConfirmed, static_cast<Handsets>(handset), stored);
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  CDBConnectionDispensor dispensor;
  std::unique_ptr<COutgoingQueue> outgoing;
  std::unique_ptr<CDeliveryReportMatcher> matcher;
};

}  // namespace

TEST_P(CDeliveryReportMatcherTest, AWrappedReferenceMatchesTheNewJobNeverTheOldOne) {
  // A modem's references run 0..255: job 1 got 7, then 256 sends later job
  // 300 gets 7 again while job 1's report never came.
  Job(1, 2);
  Job(2, 2);
  Job(3, 3);
  Job(300, 2);
  Sent(1, 2, 7);
  Sent(2, 2, 8);
  Sent(3, 3, 7);  // another handset's 7 is another message
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(7)), 1);
  Sent(300, 2, 7);
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(7)), 300);
  EXPECT_TRUE(db->Value("SELECT MessageRef FROM SMSOutgoing WHERE Id=1", "MessageRef").vt == VT_NULL);
  EXPECT_EQ(db->Value("SELECT Status FROM SMSOutgoing WHERE Id=1", "Status").ToLong(), jsSentNotConfirmed);
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(8)), 2);
  EXPECT_EQ(matcher->FindJob(3, CNetworkReference::Number(7)), 3);
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(9)), -1);
  // Should two jobs still hold one number (written by an older engine), the
  // newest gets the report.
  db->Run("UPDATE SMSOutgoing SET MessageRef=7 WHERE Id=1");
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(7)), 300);
}

INSTANTIATE_TEST_SUITE_P(Backends, CDeliveryReportMatcherTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);
