#include "server/engine/delivery_report_matcher.h"

#include <gtest/gtest.h>

#include "queue_rows.h"
#include "queue_test_support.h"
#include "skip_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;
using namespace std::chrono_literals;

namespace {

class CDeliveryReportMatcherTest : public ::testing::TestWithParam<Backend> {
 protected:
  using Clock = CDeliveryReportMatcher::Clock;
  static constexpr std::chrono::seconds kExpiry{3};
  void SetUp() override {
    if (GetParam() == Backend::Postgres && !TestSupport::PostgresAddress())
      SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    dispensor.SetDBSettings(db->Dsn(), "", "");
    rows = std::make_unique<TestSupport::QueueRows>(*db);
    outgoing = std::make_unique<CEngineOutgoingQueue>(&dispensor);
    matcher = std::make_unique<CDeliveryReportMatcher>(outgoing.get(), kExpiry);
    writer = std::make_unique<CJobOutcomeWriter>(&dispensor);
  }
  static constexpr LONG kTag = -5;  // a handset's take-over tag
  void Job(LONG id, int handset) { rows->PutJob({id, jsProcessing, handset, kTag}); }
  // What the handset does with a job the network accepted with a reference.
  void Sent(LONG id, int handset, const CNetworkReference& reference, Clock::time_point at = Clock::now()) {
    CJobOutcome outcome;
    outcome.nJobId = id;
    outcome.nExpectedMessageRef = kTag;
    outcome.eStatus = jsSentNotConfirmed;
    outcome.eHandset = static_cast<Handsets>(handset);
    outcome.notification.nJobId = id;
    CDeliveryReportMatcher::SetReference(outcome, reference);
    ASSERT_EQ(writer->Write({outcome}), std::vector<bool>{true});
    matcher->Track(id, outcome.nMessageRef, at);
  }
  void Sent(LONG id, int handset, LONG reference) { Sent(id, handset, CNetworkReference::Number(reference)); }
  bool Waits(LONG id) { return rows->MessageRef(id).has_value(); }
  long Mappings() { return static_cast<long>(rows->Mappings().size()); }
  static CNetworkReference Text(const std::string& s, bool fallback = false) {
    return CNetworkReference::Text(s, fallback);
  }

  std::unique_ptr<TestSupport::TestDatabase> db;
  std::unique_ptr<TestSupport::QueueRows> rows;
  CDBConnectionDispensor dispensor;
  std::unique_ptr<CEngineOutgoingQueue> outgoing;
  std::unique_ptr<CDeliveryReportMatcher> matcher;
  std::unique_ptr<CJobOutcomeWriter> writer;
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
  EXPECT_FALSE(Waits(1));
  EXPECT_EQ(rows->Status(1), jsSentNotConfirmed);
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(8)), 2);
  EXPECT_EQ(matcher->FindJob(3, CNetworkReference::Number(7)), 3);
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(9)), -1);
  // Should two jobs still hold one number (written by an older engine), the
  // newest gets the report.
  rows->SetMessageRef(1, 7);
  EXPECT_EQ(matcher->FindJob(2, CNetworkReference::Number(7)), 300);
}

TEST_P(CDeliveryReportMatcherTest, AReusedTextGoesToTheNewestJobAndAStaleMappingHidesNothing) {
  Job(1, 2);
  Job(2, 2);
  Job(3, 4);
  Sent(1, 2, Text("abc"));
  Sent(3, 4, Text("abc"));  // another handset's text is another message
  EXPECT_EQ(matcher->FindJob(2, Text("abc")), 1);
  Sent(2, 2, Text("abc"));  // the SMSC hands "abc" out again
  EXPECT_EQ(matcher->FindJob(2, Text("abc")), 2);
  EXPECT_FALSE(Waits(1));  // its report can no longer be told apart
  EXPECT_EQ(matcher->FindJob(4, Text("abc")), 3);
  EXPECT_EQ(Mappings(), 2);
  outgoing->DropMapping(2);  // its report came
  matcher->Forget(2);
  EXPECT_EQ(matcher->FindJob(2, Text("abc")), -1);

  // Rows an older engine left: the mapping of a deleted job beside the
  // mapping of the job now waiting for the same text.
  Job(9, 2);
  Sent(9, 2, Text("q7"));
  rows->PutMapping(5, 2, "q7");
  EXPECT_EQ(matcher->FindJob(2, Text("q7")), 9);
  Job(10, 2);
  Sent(10, 2, Text("q7"));
  rows->DeleteJob(10);
  Job(11, 2);
  Sent(11, 2, Text("q7"));
  EXPECT_EQ(matcher->FindJob(2, Text("q7")), 11);
  EXPECT_EQ(rows->Mappings("q7"), std::vector<LONG>{11});
}

TEST_P(CDeliveryReportMatcherTest, ATextMatchesTheSameNumberInTheOtherBaseOnlyWhenAsked) {
  Job(1, 1);
  Job(2, 1);
  Job(3, 1);
  Sent(1, 1, Text("1A2B"));      // hexadecimal in the answer
  Sent(2, 1, Text("0000777"));   // decimal, padded
  Sent(3, 1, Text("msg-0042"));  // no number at all
  EXPECT_EQ(matcher->FindJob(1, Text("6699")), -1);
  EXPECT_EQ(matcher->FindJob(1, Text("6699", true)), 1);      // 0x1A2B in decimal
  EXPECT_EQ(matcher->FindJob(1, Text("00001a2b", true)), 1);  // case and zeros aside
  EXPECT_EQ(matcher->FindJob(1, Text("309", true)), 2);       // 0x309 is 777
  EXPECT_EQ(matcher->FindJob(1, Text("777", true)), 2);
  EXPECT_EQ(matcher->FindJob(1, Text("msg-0042", true)), 3);
  EXPECT_EQ(matcher->FindJob(1, Text("42", true)), -1);
  EXPECT_EQ(matcher->FindJob(1, Text("6698", true)), -1);
  EXPECT_EQ(matcher->FindJob(2, Text("6699", true)), -1);  // another handset
  EXPECT_EQ(matcher->FindJob(1, Text("123456789012345678901234567890", true)), -1);
}

TEST_P(CDeliveryReportMatcherTest, AReferenceExpiresReportExpiryAfterItsSendNotItsQueueing) {
  const auto t0 = Clock::now();
  Job(1, 1);  // queued at t0, sent 4 s later; ReportExpiry is 3 s
  Job(2, 1);
  Job(3, 1);
  Sent(1, 1, CNetworkReference::Number(5), t0 + 4s);
  Sent(2, 1, Text("t-2"), t0 + 5s);
  Sent(3, 1, CNetworkReference::Number(6), t0 + 5s);
  matcher->ExpireReferences(t0 + 4s);
  EXPECT_EQ(matcher->FindJob(1, CNetworkReference::Number(5)), 1);
  EXPECT_EQ(matcher->NextExpiry(), t0 + 7s);
  matcher->ExpireReferences(t0 + 6900ms);
  EXPECT_TRUE(Waits(1));
  matcher->ExpireReferences(t0 + 7s);
  EXPECT_EQ(matcher->FindJob(1, CNetworkReference::Number(5)), -1);
  EXPECT_EQ(rows->Status(1), jsSentNotConfirmed);
  EXPECT_EQ(matcher->FindJob(1, Text("t-2")), 2);
  outgoing->JobUpdate(3, jsSent, static_cast<Handsets>(1), 6);  // its report came
  matcher->Forget(3);
  EXPECT_EQ(matcher->Waiting(), 1u);
  matcher->ExpireReferences(t0 + 8s);
  EXPECT_EQ(matcher->FindJob(1, Text("t-2")), -1);
  EXPECT_EQ(Mappings(), 0);
  EXPECT_EQ(matcher->NextExpiry(), Clock::time_point::max());

  // A job already waiting when the handset starts counts from the start.
  Job(4, 1);
  Job(5, 2);
  Sent(4, 1, Text("t-4"), t0);
  Sent(5, 2, CNetworkReference::Number(9), t0);
  CDeliveryReportMatcher restarted(outgoing.get(), kExpiry);
  restarted.TrackWaiting(1, t0 + 10s);
  EXPECT_EQ(restarted.Waiting(), 1u);
  restarted.ExpireReferences(t0 + 12s);
  EXPECT_EQ(restarted.FindJob(1, Text("t-4")), 4);
  restarted.ExpireReferences(t0 + 13s);
  EXPECT_EQ(restarted.FindJob(1, Text("t-4")), -1);
  EXPECT_EQ(restarted.FindJob(2, CNetworkReference::Number(9)), 5);  // another handset's
}

INSTANTIATE_TEST_SUITE_P(Backends, CDeliveryReportMatcherTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);
