#include "receive_rules.h"

#include <gtest/gtest.h>

namespace VelquorSmpp {
namespace {

Norvale::CApiAccount Account(const std::string& name, std::vector<std::string> rules) {
  Norvale::CApiAccount a;
  a.sName = name;
  a.smppReceive = std::move(rules);
  return a;
}

TEST(ReceiveRules, ParseTheThreeFormsAndRefuseOthers) {
  using K = ReceiveRule::EKind;
  std::string problem;
  EXPECT_EQ(ParseReceiveRule("handset:3", problem), (ReceiveRule{K::Handset, 3, ""}));
  EXPECT_EQ(ParseReceiveRule(" handset:0 ", problem), (ReceiveRule{K::Handset, 0, ""}));
  EXPECT_EQ(ParseReceiveRule("to:+4915112345", problem), (ReceiveRule{K::To, 0, "4915112345"}));
  EXPECT_EQ(ParseReceiveRule("to:4917*", problem), (ReceiveRule{K::ToPrefix, 0, "4917"}));
  for (const char* bad : {"handset:", "handset:x", "handset:-1", "handset:256", "handset:1a", "to:", "to:*", "to:+",
                          "to:49*1", "to:abc", "from:123", "123"}) {
    problem.clear();
    EXPECT_FALSE(ParseReceiveRule(bad, problem)) << bad;
    EXPECT_FALSE(problem.empty()) << bad;
  }
}

TEST(ReceiveRules, MatchHandsetNumberAndPrefixWithOrWithoutPlus) {
  std::string problem;
  const auto handset = *ParseReceiveRule("handset:2", problem);
  EXPECT_TRUE(RuleMatches(handset, 2, ""));
  EXPECT_FALSE(RuleMatches(handset, 3, "2"));
  EXPECT_TRUE(RuleMatches(*ParseReceiveRule("handset:0", problem), 7, ""));
  const auto exact = *ParseReceiveRule("to:4915112345", problem);
  EXPECT_TRUE(RuleMatches(exact, 1, "+4915112345"));
  EXPECT_TRUE(RuleMatches(exact, 1, "4915112345"));
  EXPECT_FALSE(RuleMatches(exact, 1, "49151123456"));
  EXPECT_FALSE(RuleMatches(exact, 1, ""));
  const auto prefix = *ParseReceiveRule("to:+4917*", problem);
  EXPECT_TRUE(RuleMatches(prefix, 1, "4917000"));
  EXPECT_TRUE(RuleMatches(prefix, 1, "+4917"));
  EXPECT_FALSE(RuleMatches(prefix, 1, "+4916"));
  EXPECT_FALSE(RuleMatches(prefix, 1, ""));
}

TEST(ReceiveRules, RouteToTheFirstAccountByNameAndReadOnlyHandsetsARuleNames) {
  std::map<std::string, Norvale::CApiAccount> accounts;
  accounts["zeta"] = Account("zeta", {"handset:1", "handset:3"});
  accounts["acme"] = Account("acme", {"to:4917*", "bogus"});
  accounts["mid"] = Account("mid", {"handset:3"});
  accounts["none"] = Account("none", {});
  const ReceiveRouting routing(accounts);
  EXPECT_EQ(routing.Handsets(), (std::vector<int>{1, 3}));
  EXPECT_EQ(routing.Route(1, "+491700"), "acme");  // acme's rule, acme first by name
  EXPECT_EQ(routing.Route(1, "+491600"), "zeta");
  EXPECT_EQ(routing.Route(1, ""), "zeta");
  EXPECT_EQ(routing.Route(3, ""), "mid");  // mid before zeta
  EXPECT_EQ(routing.Route(2, ""), std::nullopt);
  ASSERT_EQ(routing.Problems().size(), 1u);
  EXPECT_NE(routing.Problems()[0].find("acme"), std::string::npos);

  accounts["all"] = Account("all", {"handset:0"});
  EXPECT_EQ(ReceiveRouting(accounts).Handsets(), (std::vector<int>{0}));
  EXPECT_TRUE(ReceiveRouting({}).Handsets().empty());
  // "to:" rules alone read no handset: nothing would route what they miss.
  EXPECT_TRUE(ReceiveRouting({{"acme", Account("acme", {"to:1"})}}).Handsets().empty());
}

}  // namespace
}  // namespace VelquorSmpp
