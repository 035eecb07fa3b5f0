// The accounts' SmppReceive rules: which account's receiver binds get a
// received message. (The account store refuses to save other rules; one
// written otherwise is left out with a line on standard error.)
//
//   handset:N      every message the handset N (1 to 8) received
//   to:NUMBER      a message sent to NUMBER
//   to:PREFIX*     a message sent to a number starting with PREFIX
//
// Numbers compare without a leading '+' ("to:+4917*" and "to:4917*" are the
// same rule, for "+49170..." and "49170..." alike). The number a message was
// sent to is the one the network gave the engine (SMSIncoming's DestName);
// a message without one matches no "to:" rule.
//
// A message goes to the first account, in name order, with a rule that
// matches it. Only the handsets a "handset:" rule names are read from, so
// every message taken has an account (that rule's, at the latest); the
// messages of other handsets stay in the queue for other readers. A "to:"
// rule thus chooses among accounts for messages of those handsets: with
// "acme" holding "to:4917*" and "zeta" holding "handset:1", handset 1's
// messages to 4917... go to acme and the rest to zeta.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/api_account_store.h"

namespace VelquorSmpp {

struct ReceiveRule {
  enum class EKind { Handset, To, ToPrefix };
  EKind eKind = EKind::Handset;
  int nHandset = 0;     // Handset: 1 to 8
  std::string sNumber;  // To, ToPrefix: without a leading '+'
  bool operator==(const ReceiveRule&) const = default;
};

// One rule; nothing (and sProblem says why) when it is not one.
std::optional<ReceiveRule> ParseReceiveRule(std::string_view sRule, std::string& sProblem);

bool RuleMatches(const ReceiveRule& rule, int nHandset, std::string_view sRecipient);

class ReceiveRouting {
 public:
  // The accounts by name (a map keeps name order); rules that do not parse
  // are left out, each named in Problems().
  explicit ReceiveRouting(const std::map<std::string, Norvale::CApiAccount>& accounts);

  // The handsets to read received messages from (empty: none).
  std::vector<int> Handsets() const;
  // The account the message goes to; nothing when no rule matches.
  std::optional<std::string> Route(int nHandset, std::string_view sRecipient) const;
  const std::vector<std::string>& Problems() const { return m_Problems; }

 private:
  std::vector<std::pair<std::string, std::vector<ReceiveRule>>> m_Accounts;
  std::vector<std::string> m_Problems;
};

}  // namespace VelquorSmpp
