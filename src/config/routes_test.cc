#include "config/routes.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/handset_values.h"
#include "platform/registry.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

class RoutesTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::remove_all(RegistryRootDirectory()); }
  static void Set(const std::string& path, const char* name, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()), static_cast<DWORD>(value.size()));
    RegCloseKey(key);
  }
  static std::string Problem(const std::string& list) {
    std::vector<CRouteTarget> targets;
    bool weighted = false;
    return ParseHandsetList(list, &targets, &weighted);
  }
};

}  // namespace

TEST_F(RoutesTest, RefusesMalformedFieldsSayingWhy) {
  EXPECT_EQ(MatchProblem("+4478"), "");
  EXPECT_EQ(MatchProblem("+44*9?"), "");
  EXPECT_NE(MatchProblem(""), "");
  EXPECT_NE(MatchProblem("+44 78"), "");
  EXPECT_NE(MatchProblem("+44[0-9]"), "");
  EXPECT_NE(MatchProblem("'; DROP"), "");
  EXPECT_NE(MatchProblem(std::string(51, '1')), "");
  EXPECT_EQ(Problem("1,3"), "");
  EXPECT_EQ(Problem("1:3,2:1"), "");
  EXPECT_NE(Problem("").find("empty"), std::string::npos);
  EXPECT_NE(Problem("1,1").find("twice"), std::string::npos);
  EXPECT_NE(Problem("9"), "");
  EXPECT_NE(Problem("1,"), "");
  EXPECT_NE(Problem("1:0"), "");
  EXPECT_NE(Problem("1:3,2").find("every handset a weight"), std::string::npos);
  int type = 0;
  EXPECT_EQ(ParseSourceType("http", &type), "");
  EXPECT_EQ(type, 10);
  EXPECT_NE(ParseSourceType("web", &type), "");
  EXPECT_NE(RouteNameProblem("a/b"), "");
  EXPECT_NE(RouteNameProblem(".x"), "");
  CRoute r;
  r.sName = "uk";
  r.sMatch = "+4478";
  r.handsets = {{1, 1}, {5, 1}};
  const auto problems = RouteProblems(r, {1, 2});
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rfind("Handsets: handset 5 is not configured", 0), 0u) << problems[0];
}

TEST_F(RoutesTest, PatternsArePrefixesOrWholeNumberGlobs) {
  EXPECT_TRUE(MatchesPattern("+4478", "+447812"));
  EXPECT_FALSE(MatchesPattern("+4478", "+4479"));
  EXPECT_TRUE(MatchesPattern("+44*12", "+447812"));
  EXPECT_FALSE(MatchesPattern("+44*12", "+4478123"));
  EXPECT_TRUE(MatchesPattern("*", ""));
  EXPECT_TRUE(MatchesPattern("+4?", "+44"));
  EXPECT_FALSE(MatchesPattern("+4?", "+441"));
}

TEST_F(RoutesTest, WrittenRoutesReadBackInOrderAndHalfWrittenOnesAreNotRead) {
  Set(HandsetKeyPath(1), "Driver", "simulator");
  Set(HandsetKeyPath(3), "Driver", "smpp");
  Set(HandsetKeyPath(4), "Enabled", "1");  // no driver: not configured
  EXPECT_EQ(ConfiguredHandsets(), (std::set<int>{1, 3}));
  CRoute b{"b", 20, "+33", 10, "alice", {{3, 2}, {1, 1}}, true};
  CRoute a{"a", 10, "+4478", std::nullopt, "", {{1, 1}, {3, 1}}, false};
  WriteRoute(b);
  WriteRoute(a);
  Set(RoutesKeyPath() + "\\half", "Match", "+1");  // no Handsets yet
  std::vector<std::string> problems;
  auto routes = ReadRoutes(&problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(routes.size(), 2u);
  EXPECT_EQ(routes[0].sName, "a");
  EXPECT_EQ(FormatHandsetList(routes[0]), "1,3");
  EXPECT_EQ(routes[1].sName, "b");
  EXPECT_EQ(FormatHandsetList(routes[1]), "3:2,1:1");
  EXPECT_EQ(routes[1].nSourceType, 10);
  EXPECT_EQ(routes[1].sSourceId, "alice");
  // A route edited into a bad state is left out, its field named.
  Set(RoutesKeyPath() + "\\b", "Handsets", "3,3");
  routes = ReadRoutes(&problems);
  EXPECT_EQ(routes.size(), 1u);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rfind("Routes\\b\\Handsets: ", 0), 0u) << problems[0];
  EXPECT_TRUE(RemoveRoute("a"));
  EXPECT_FALSE(RemoveRoute("a"));
  EXPECT_TRUE(ReadRoutes(nullptr).empty());
}

TEST_F(RoutesTest, TheBlocklistRefusesMatchingDestinations) {
  EXPECT_EQ(BlockedDestinationProblem("+449012"), "");
  AddBlocked("+4490*", "premium");
  AddBlocked("+1900", "");
  EXPECT_EQ(BlockedDestinationProblem("+449012"), "destination +449012: blocked (blocklist entry '+4490*')");
  EXPECT_NE(BlockedDestinationProblem("+19005551"), "");
  EXPECT_EQ(BlockedDestinationProblem("+4491"), "");
  EXPECT_TRUE(RemoveBlocked("+4490*"));
  EXPECT_FALSE(RemoveBlocked("+4490*"));
  EXPECT_EQ(BlockedDestinationProblem("+449012"), "");
}
