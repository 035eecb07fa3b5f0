// CApiAccountStore: the accounts of the gateway's front ends (velquor-http,
// and later the SMPP server), kept in the registry, one key per account:
//   HKEY_LOCAL_MACHINE\SOFTWARE\Norvale\Velquor\Accounts\<name>
// with the values
//   KeyHash           the API key's scrypt hash (secret_hash.h); private
//   WebhookSecret     the key of the webhooks' signatures, as text; private
//   Handsets          allowed handsets, "1,3" (empty or absent: all)
//   RatePerSecond     sends per second allowed (token bucket; 0: no limit)
//   Burst             the bucket's size (0: one second's worth, at least 1)
//   ReportUrl         default webhook for delivery reports and failures
//   ReceivedUrl       default webhook for received messages
//   ReceivedHandsets  handsets whose received messages go to the account
//                     ("" or absent: none; "0": all)
//   Console           1: may log in to the web console
//   SmppPasswordHash  the SMPP bind password's scrypt hash; private (no
//                     value: the account cannot bind)
//   SmppMaxBinds      simultaneous binds allowed (default 2)
//   SmppWindow        submit_sm unanswered at once per bind, and the
//                     deliver_sm sent to it unanswered (default 100)
//   SmppReceive       received messages routed to the account's receiver
//                     binds: rules "handset:N" (0: every handset),
//                     "to:NUMBER" or "to:PREFIX*", comma-separated (empty:
//                     none)
//   SmppSender        1: a submit_sm's source_addr is the message's sender
//                     (where the handset allows one); 0 (default): kept
//                     only as the destination of the account's receipts
// Private values are written as the engine's user (velquor) with mode 0600,
// so only root and the engine's user read them.
//
// An API key reads "<name>.<secret>": the name finds the account without
// trying every hash. Account names are 1 to 32 of [A-Za-z0-9_-].
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Norvale {

struct CApiAccount {
  std::string sName;
  std::string sKeyHash;
  std::string sWebhookSecret;
  std::vector<int> handsets;  // empty: all
  double dRatePerSecond = 0;
  unsigned nBurst = 0;
  std::string sReportUrl;
  std::string sReceivedUrl;
  std::vector<int> receivedHandsets;  // empty: none; {0}: all
  bool bConsole = false;
  std::string sSmppPasswordHash;
  unsigned nSmppMaxBinds = 2;
  unsigned nSmppWindow = 100;
  std::vector<std::string> smppReceive;
  bool bSmppSender = false;

  bool MayUseHandset(int nHandset) const;
  bool ReceivesFrom(int nHandset) const;
};

class CApiAccountStore {
 public:
  // The registry key under HKEY_LOCAL_MACHINE that holds the accounts.
  static constexpr const char* kAccountsKey = "SOFTWARE\\Norvale\\Velquor\\Accounts";

  // Whether `sName` may name an account.
  static bool IsValidName(const std::string& sName);

  std::vector<std::string> ListNames() const;
  // The account, or nothing when there is none of that name.
  std::optional<CApiAccount> Find(const std::string& sName) const;
  // Writes every value of the account except KeyHash, WebhookSecret and
  // SmppPasswordHash when they are empty (creating the key). Raises
  // E_INVALIDARG, naming the rule, when an SmppReceive rule is malformed.
  void Save(const CApiAccount& account) const;
  // Removes the account's SMPP password: it can no longer bind. Raises when
  // there is no such account.
  void RemoveSmppPassword(const std::string& sName) const;
  // A new account with a new API key and webhook secret; returns the key
  // (shown once, never stored). Raises when the name is taken or invalid.
  std::string Add(CApiAccount account) const;
  // A new key for the account; the old one stops working. Returns the key.
  std::string RotateKey(const std::string& sName) const;
  // Raises when there is no such account.
  void Remove(const std::string& sName) const;

  // Why `sRule` is not an SmppReceive rule ("handset:N" with N 1 to 8 or 0
  // for every handset, "to:NUMBER" or "to:PREFIX*", NUMBER an optional '+'
  // and 1 to 20 digits),
  // or "" when it is one.
  static std::string SmppReceiveRuleProblem(const std::string& sRule);

  // The account name in an API key ("<name>.<secret>"), or nothing.
  static std::optional<std::string> NameOfKey(const std::string& sKey);
};

}  // namespace Norvale
