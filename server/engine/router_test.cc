#include "server/engine/router.h"

#include <gtest/gtest.h>

#include <set>

#include "queue_test_support.h"
#include "skip_support.h"

using namespace Norvale;
using namespace Norvale::OS;
using TestSupport::Backend;

namespace {

CRoute Route(const std::string& name, const std::string& match, const std::string& handsets) {
  CRoute r;
  r.sName = name;
  r.sMatch = match;
  EXPECT_EQ(ParseHandsetList(handsets, &r.handsets, &r.bWeighted), "");
  return r;
}

// The claim's condition run over real rows of SMSOutgoing: which Ids of any
// handset each handset would take.
class CRouterSqlTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Postgres && !TestSupport::PostgresAddress())
      SKIP_UNLESS_CI() << "NORVALE_TEST_PG is not set";
    db = std::make_unique<TestSupport::TestDatabase>(GetParam());
    c.Open("Data Source=" + db->Dsn(), "", "");
  }
  void Put(LONG id, const std::string& number, int sourceType = 1, const std::string& sourceId = "") {
    _variant_t affected;
    c.Execute(
        "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, "
        "RetryCount) VALUES ($1, 1, $2, 'x', 0, 0, $3, $4, 0)",
        {id, number, sourceType, sourceId}, &affected, adCmdText | adExecuteNoRecords);
  }
  std::set<LONG> Taken(const std::string& condition) {
    _variant_t affected;
    const auto rs = c.Execute(
        "SELECT Id FROM SMSOutgoing WHERE Handset=0" + (condition.empty() ? std::string() : " AND " + condition),
        &affected, adCmdText);
    std::set<LONG> ids;
    for (; !rs->adoEOF(); rs->MoveNext()) ids.insert(static_cast<LONG>(rs->GetFieldValue("Id").ToLongLong()));
    return ids;
  }
  std::unique_ptr<TestSupport::TestDatabase> db;
  Connection c;
};

}  // namespace

TEST_P(CRouterSqlTest, FailOverGivesEachRoutedJobToTheFirstReadyHandsetAndUnroutedJobsToAll) {
  Put(1, "+447800000001");
  Put(2, "+447900000002");  // no route
  Put(3, "+4478");
  Put(4, "+33612345678");
  const std::vector<CRoute> routes{Route("uk", "+4478", "1,3"), Route("fr", "+33*", "3,1")};
  std::set<int> ready{1, 3};
  const auto isReady = [&](int n) { return ready.contains(n); };
  EXPECT_EQ(Taken(CRouter::Condition(routes, 1, isReady)), (std::set<LONG>{1, 2, 3}));
  EXPECT_EQ(Taken(CRouter::Condition(routes, 3, isReady)), (std::set<LONG>{2, 4}));
  EXPECT_EQ(Taken(CRouter::Condition(routes, 2, isReady)), (std::set<LONG>{2}));
  ready = {3};  // 1 down: 3 takes its jobs
  EXPECT_EQ(Taken(CRouter::Condition(routes, 3, isReady)), (std::set<LONG>{1, 2, 3, 4}));
  ready = {2};  // no handset of either route ready: those jobs wait
  EXPECT_EQ(Taken(CRouter::Condition(routes, 2, isReady)), (std::set<LONG>{2}));
  EXPECT_EQ(CRouter::Condition({}, 1, isReady), "");
}

TEST_P(CRouterSqlTest, WeightsSplitTheIdsAmongTheReadyHandsetsOnly) {
  for (LONG id = 1; id <= 40; ++id) Put(id, "+4478" + std::to_string(1000 + id));
  const std::vector<CRoute> routes{Route("uk", "+4478", "1:3,2:1,4:1")};
  std::set<int> ready{1, 2};
  const auto isReady = [&](int n) { return ready.contains(n); };
  const auto one = Taken(CRouter::Condition(routes, 1, isReady));
  const auto two = Taken(CRouter::Condition(routes, 2, isReady));
  EXPECT_EQ(one.size(), 30u);
  EXPECT_EQ(two.size(), 10u);
  for (const LONG id : two) EXPECT_FALSE(one.contains(id)) << id;
  EXPECT_TRUE(Taken(CRouter::Condition(routes, 4, isReady)).empty());
  ready = {2};
  EXPECT_EQ(Taken(CRouter::Condition(routes, 2, isReady)).size(), 40u);
}

TEST_P(CRouterSqlTest, PatternsMatchAsTheirTextSaysFirstMatchWinsAndSourcesFilter) {
  Put(1, "+44%1_9");    // '%' and '_' literal in the number
  Put(2, "+44X1Y9");    // would match if '%' and '_' were LIKE's wildcards
  Put(3, "+4412399");   // '?'-pattern: exactly 8 characters
  Put(4, "+44123999");  // one more
  Put(5, "+4455", 10, "o'brien");
  Put(6, "+4455", 10, "other");
  Put(7, "+4455", 11, "o'brien");
  CRoute quoted = Route("acct", "+4455", "2");
  quoted.nSourceType = 10;
  quoted.sSourceId = "o'brien";
  const std::vector<CRoute> routes{Route("lit", "+44%1_", "1"), Route("q", "+44123??", "2"), quoted,
                                   Route("rest", "+44*", "3")};
  const auto all = [](int) { return true; };
  EXPECT_EQ(Taken(CRouter::Condition(routes, 1, all)), (std::set<LONG>{1}));
  EXPECT_EQ(Taken(CRouter::Condition(routes, 2, all)), (std::set<LONG>{3, 5}));
  EXPECT_EQ(Taken(CRouter::Condition(routes, 3, all)), (std::set<LONG>{2, 4, 6, 7}));
  // The engine's own matching agrees with the SQL.
  EXPECT_TRUE(RouteMatches(routes[0], "+44%1_9", 1, ""));
  EXPECT_FALSE(RouteMatches(routes[0], "+44X1Y9", 1, ""));
  EXPECT_TRUE(RouteMatches(routes[1], "+4412399", 1, ""));
  EXPECT_FALSE(RouteMatches(routes[1], "+44123999", 1, ""));
  EXPECT_TRUE(RouteMatches(quoted, "+4455", 10, "o'brien"));
  EXPECT_FALSE(RouteMatches(quoted, "+4455", 11, "o'brien"));
}

INSTANTIATE_TEST_SUITE_P(Backends, CRouterSqlTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         TestSupport::BackendName);

TEST(CRouterTest, PassesOnToTheNextReadyHandsetOfTheRoute) {
  CRouter router([] {
    CRouter::CTable t;
    t.routes = {Route("uk", "+4478", "1,2,3"), Route("w", "+33", "4:1,5:1,6:1")};
    t.blocklist = {"+4490*"};
    return t;
  });
  for (int n = 1; n <= 6; ++n) router.SetReady(n, true);
  router.SetReady(2, false);
  EXPECT_EQ(router.PassOnTo(1, "+447801", 1, ""), 3);  // 2 not ready
  EXPECT_EQ(router.PassOnTo(3, "+447801", 1, ""), 0);  // the last: none left
  EXPECT_EQ(router.PassOnTo(1, "+4479", 1, ""), 0);    // no route
  EXPECT_EQ(router.PassOnTo(6, "+3361", 1, ""), 4);    // weights: any other ready one
  EXPECT_EQ(router.BlockedBy("+449012"), "+4490*");
  EXPECT_EQ(router.BlockedBy("+4491"), "");
}

TEST(CRouterTest, ReloadsTheTableAndWakesOnReadinessChanges) {
  int loads = 0, wakes = 0;
  CRouter router(
      [&] {
        ++loads;
        CRouter::CTable t;
        if (loads > 1) t.routes = {Route("uk", "+4478", "1")};
        return t;
      },
      std::chrono::milliseconds(0));
  router.OnReadinessChange([&] { ++wakes; });
  EXPECT_EQ(router.ClaimCondition(1), "");
  EXPECT_NE(router.ClaimCondition(1), "");  // reloaded: the route is there now
  router.SetReady(1, true);
  router.SetReady(1, true);
  router.SetReady(1, false);
  EXPECT_EQ(wakes, 2);
}
