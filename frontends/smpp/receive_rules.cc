#include "receive_rules.h"

#include <charconv>
#include <set>

namespace VelquorSmpp {
namespace {

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string_view WithoutPlus(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return s;
}

}  // namespace

std::optional<ReceiveRule> ParseReceiveRule(std::string_view sRule, std::string& sProblem) {
  const std::string_view rule = Trimmed(sRule);
  ReceiveRule r;
  if (rule.starts_with("handset:")) {
    const std::string_view n = rule.substr(8);
    auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), r.nHandset);
    if (n.empty() || ec != std::errc() || end != n.data() + n.size() || r.nHandset < 1 || r.nHandset > 8) {
      sProblem = "\"" + std::string(rule) + "\": the handset is not a number from 1 to 8";
      return std::nullopt;
    }
    return r;
  }
  if (rule.starts_with("to:")) {
    std::string_view number = rule.substr(3);
    r.eKind = ReceiveRule::EKind::To;
    if (number.ends_with('*')) {
      r.eKind = ReceiveRule::EKind::ToPrefix;
      number.remove_suffix(1);
    }
    number = WithoutPlus(number);
    const bool digits =
        !number.empty() && number.size() <= 20 && number.find_first_not_of("0123456789") == std::string_view::npos;
    if (!digits) {
      sProblem =
          "\"" + std::string(rule) + "\": the number is not 1 to 20 digits (with an optional '+' and a final '*')";
      return std::nullopt;
    }
    r.sNumber = std::string(number);
    return r;
  }
  sProblem = "\"" + std::string(rule) + "\" is neither handset:N, to:NUMBER nor to:PREFIX*";
  return std::nullopt;
}

bool RuleMatches(const ReceiveRule& rule, int nHandset, std::string_view sRecipient) {
  switch (rule.eKind) {
    case ReceiveRule::EKind::Handset: return rule.nHandset == nHandset;
    case ReceiveRule::EKind::To: return !sRecipient.empty() && WithoutPlus(sRecipient) == rule.sNumber;
    case ReceiveRule::EKind::ToPrefix: return !sRecipient.empty() && WithoutPlus(sRecipient).starts_with(rule.sNumber);
  }
  return false;
}

ReceiveRouting::ReceiveRouting(const std::map<std::string, Norvale::CApiAccount>& accounts) {
  for (const auto& [name, account] : accounts) {
    std::vector<ReceiveRule> rules;
    for (const std::string& text : account.smppReceive) {
      if (Trimmed(text).empty()) continue;
      std::string problem;
      if (auto rule = ParseReceiveRule(text, problem))
        rules.push_back(std::move(*rule));
      else
        m_Problems.push_back("account " + name + ": " + problem);
    }
    if (!rules.empty()) m_Accounts.emplace_back(name, std::move(rules));
  }
}

std::vector<int> ReceiveRouting::Handsets() const {
  std::set<int> handsets;
  for (const auto& [name, rules] : m_Accounts)
    for (const ReceiveRule& r : rules)
      if (r.eKind == ReceiveRule::EKind::Handset) handsets.insert(r.nHandset);
  return {handsets.begin(), handsets.end()};
}

std::optional<std::string> ReceiveRouting::Route(int nHandset, std::string_view sRecipient) const {
  for (const auto& [name, rules] : m_Accounts)
    for (const ReceiveRule& r : rules)
      if (RuleMatches(r, nHandset, sRecipient)) return name;
  return std::nullopt;
}

}  // namespace VelquorSmpp
