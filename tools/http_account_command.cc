// velquor account add|set|list|remove|rotate (also `velquor http account`,
// the same commands): the accounts of the front ends, velquor-http and
// velquor-smppd, kept by accounts/api_account_store.h. `add` and `rotate`
// print the API key once; only its hash is stored. `add` also prints the
// webhooks' signing secret once, and with --smpp-password a new SMPP
// password once (stored only hashed). `list` shows names and settings, never
// a key, password, hash or secret.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "accounts/api_account_store.h"
#include "accounts/secret_hash.h"
#include "accounts/webhook_url.h"
#include "commands.h"
#include "platform/registry.h"
#include "platform/types.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

struct AccountOptions {
  std::string name;
  std::string handsets;  // "1,2"; "" or "all": all
  double rate = 0;
  unsigned burst = 0;
  std::string reportUrl, receivedUrl;
  std::string receivedHandsets;  // "0": all; "" or "none": none
  bool console = false;
  unsigned smppBinds = 2;
  unsigned smppWindow = 100;
  std::string smppReceive;  // "handset:1,to:+4930*"; "" or "none": none
  bool smppPassword = false, smppPasswordStdin = false, noSmpp = false;
  bool smppSender = false;
};

// The options of add and set; set changes only those given.
struct AccountOptionHandles {
  CLI::Option *handsets, *rate, *burst, *reportUrl, *receivedUrl, *receivedHandsets, *console;
  CLI::Option *smppPassword, *smppPasswordStdin, *smppBinds, *smppWindow, *smppReceive, *smppSender;
  CLI::Option* noSmpp = nullptr;  // set only
};

// SMPP passwords are at most 8 characters: the bind's field holds 9 octets
// with the closing zero.
constexpr std::size_t kSmppPasswordMax = 8;

class Refused : public std::runtime_error {
 public:
  Refused(const std::string& text, int exitCode) : std::runtime_error(text), m_nExitCode(exitCode) {}
  int ExitCode() const { return m_nExitCode; }

 private:
  int m_nExitCode;
};

// A list of handsets, "1,3"; `allWord` (and the empty text) is the empty
// list; `zeroForAll`: "0" alone stands for every handset.
std::vector<int> HandsetList(const std::string& option, const std::string& text, const std::string& emptyWord,
                             bool zeroForAll) {
  std::vector<int> handsets;
  if (text.empty() || text == emptyWord) return handsets;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const bool digits = item.size() == 1 && item[0] >= '0' && item[0] <= '8';
    const int handset = digits ? item[0] - '0' : -1;
    if (handset < 0 || (handset == 0 && !zeroForAll))
      throw Refused(option + ": '" + text + "' is not a list of handsets 1 to 8 like 1,3" +
                        (zeroForAll ? " (or 0 for all)" : "") + " or " + emptyWord,
                    kExitUsage);
    handsets.push_back(handset);
  }
  if (std::find(handsets.begin(), handsets.end(), 0) != handsets.end() && handsets.size() > 1)
    throw Refused(option + ": 0 stands for all handsets and comes alone", kExitUsage);
  if (text.back() == ',') throw Refused(option + ": '" + text + "' ends in a comma", kExitUsage);
  return handsets;
}

void CheckUrl(const std::string& option, const std::string& url) {
  if (url.empty()) return;  // no webhook
  if (const std::string problem = WebhookUrlProblem(url, ConfiguredWebhookHosts()); !problem.empty())
    throw Refused(option + ": " + problem, kExitUsage);
}

// The SmppReceive rules of --smpp-receive, each checked.
std::vector<std::string> SmppRules(const std::string& text) {
  std::vector<std::string> rules;
  if (text.empty() || text == "none") return rules;
  std::stringstream in(text);
  std::string rule;
  while (std::getline(in, rule, ',')) {
    if (const std::string problem = CApiAccountStore::SmppReceiveRuleProblem(rule); !problem.empty())
      throw Refused("--smpp-receive: " + problem, kExitUsage);
    rules.push_back(rule);
  }
  if (text.back() == ',') throw Refused("--smpp-receive: '" + text + "' ends in a comma", kExitUsage);
  return rules;
}

// Applies the options given (all of them for `add`) to the account.
void Apply(const AccountOptions& o, const AccountOptionHandles& given, bool all, CApiAccount& account) {
  if (all || given.handsets->count() > 0) account.handsets = HandsetList("--handsets", o.handsets, "all", false);
  if (all || given.rate->count() > 0) account.dRatePerSecond = o.rate;
  if (all || given.burst->count() > 0) account.nBurst = o.burst;
  if (all || given.reportUrl->count() > 0) {
    CheckUrl("--report-url", o.reportUrl);
    account.sReportUrl = o.reportUrl;
  }
  if (all || given.receivedUrl->count() > 0) {
    CheckUrl("--received-url", o.receivedUrl);
    account.sReceivedUrl = o.receivedUrl;
  }
  if (all || given.receivedHandsets->count() > 0)
    account.receivedHandsets = HandsetList("--received-handsets", o.receivedHandsets, "none", true);
  if (all || given.console->count() > 0) account.bConsole = o.console;
  if (all || given.smppBinds->count() > 0) account.nSmppMaxBinds = o.smppBinds;
  if (all || given.smppWindow->count() > 0) account.nSmppWindow = o.smppWindow;
  if (all || given.smppReceive->count() > 0) account.smppReceive = SmppRules(o.smppReceive);
  if (all || given.smppSender->count() > 0) account.bSmppSender = o.smppSender;
}

// The new SMPP password the options ask for, or "" for none: a random one
// (--smpp-password) or one line of the standard input.
std::string NewSmppPassword(const AccountOptionHandles& given) {
  if (given.smppPassword->count() > 0) return MakeRandomSecret(6);  // 8 characters
  if (given.smppPasswordStdin->count() == 0) return "";
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  const bool printable = std::all_of(password.begin(), password.end(), [](char c) { return c >= ' ' && c <= '~'; });
  if (password.empty() || password.size() > kSmppPasswordMax || !printable)
    throw Refused("--smpp-password-stdin: an SMPP password is one line of 1 to 8 printable ASCII characters",
                  kExitUsage);
  return password;
}

std::string Joined(const std::vector<int>& numbers, const std::string& empty) {
  if (numbers.empty()) return empty;
  std::string text;
  for (int n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

std::string SmppRulesText(const std::vector<std::string>& rules) {
  std::string text;
  for (const std::string& rule : rules) text += (text.empty() ? "" : ",") + rule;
  return text.empty() ? "none" : text;
}

void CheckName(const std::string& name) {
  if (!CApiAccountStore::IsValidName(name))
    throw Refused("'" + name + "' is not an account name: 1 to 32 letters, digits, '_' or '-'", kExitUsage);
}

CApiAccount Existing(const CApiAccountStore& store, const std::string& name) {
  CheckName(name);
  std::optional<CApiAccount> account = store.Find(name);
  if (!account) throw Refused("there is no account " + name + " (see 'velquor account list')", kExitFailure);
  return *account;
}

void Add(const AccountOptions& o, const AccountOptionHandles& given) {
  CApiAccountStore store;
  CheckName(o.name);
  CApiAccount account;
  account.sName = o.name;
  Apply(o, given, true, account);
  if (store.Find(o.name)) throw Refused("there is already an account " + o.name, kExitFailure);
  const std::string smppPassword = NewSmppPassword(given);
  if (!smppPassword.empty()) account.sSmppPasswordHash = HashSecret(smppPassword);
  account.sWebhookSecret = MakeRandomSecret();
  const std::string key = store.Add(account);
  std::cout << "account " << o.name << " added\n"
            << "API key (shown only now; keep it): " << key << "\n"
            << "webhook secret (shown only now; it signs the webhook calls): " << account.sWebhookSecret << "\n";
  if (given.smppPassword->count() > 0) std::cout << "SMPP password (shown only now; keep it): " << smppPassword << "\n";
}

void Set(const AccountOptions& o, const AccountOptionHandles& given) {
  CApiAccountStore store;
  CApiAccount account = Existing(store, o.name);
  Apply(o, given, false, account);
  const std::string smppPassword = NewSmppPassword(given);
  account.sKeyHash.clear();  // kept as they are
  account.sWebhookSecret.clear();
  account.sSmppPasswordHash = smppPassword.empty() ? "" : HashSecret(smppPassword);
  store.Save(account);
  if (given.noSmpp->count() > 0) store.RemoveSmppPassword(o.name);
  std::cout << "account " << o.name << " changed\n";
  if (given.smppPassword->count() > 0)
    std::cout << "SMPP password (shown only now; the old one no longer works): " << smppPassword << "\n";
}

void List() {
  CApiAccountStore store;
  for (const std::string& name : store.ListNames()) {
    const std::optional<CApiAccount> a = store.Find(name);
    if (!a) continue;
    std::ostringstream rate;
    rate << a->dRatePerSecond;
    std::cout << name << " handsets=" << Joined(a->handsets, "all") << " rate=" << rate.str() << " burst=" << a->nBurst
              << " report-url=" << a->sReportUrl << " received-url=" << a->sReceivedUrl
              << " received-handsets=" << Joined(a->receivedHandsets, "none") << " console=" << (a->bConsole ? 1 : 0)
              << " smpp=" << (a->sSmppPasswordHash.empty() ? "off" : "on") << " smpp-binds=" << a->nSmppMaxBinds
              << " smpp-window=" << a->nSmppWindow << " smpp-receive=" << SmppRulesText(a->smppReceive)
              << " smpp-sender=" << (a->bSmppSender ? "on" : "off") << "\n";
  }
}

void Rotate(const std::string& name) {
  CApiAccountStore store;
  Existing(store, name);
  const std::string key = store.RotateKey(name);
  std::cout << "new API key of " << name << " (shown only now; the old key no longer works): " << key << "\n";
}

void Remove(const std::string& name) {
  CApiAccountStore store;
  Existing(store, name);
  store.Remove(name);
  std::cout << "account " << name << " removed\n";
}

// A failure of the store in an administrator's words.
std::string Explain(const _com_error& e) {
  const std::string d = e.DescriptionA();
  if (e.Error() == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) || d.rfind("Insufficent rights", 0) == 0)
    return "no rights to change the accounts in " + RegistryRootDirectory() + " (run as root)";
  return d.empty() ? e.ErrorMessage() : d;
}

void Run(const std::string& action, const AccountOptions& o, const AccountOptionHandles& given, int& exitCode) {
  try {
    if (action == "add") Add(o, given);
    if (action == "set") Set(o, given);
    if (action == "list") List();
    if (action == "rotate") Rotate(o.name);
    if (action == "remove") Remove(o.name);
  } catch (const Refused& e) {
    std::cerr << "velquor: " << e.what() << "\n";
    exitCode = e.ExitCode();
  } catch (const _com_error& e) {
    std::cerr << "velquor: " << Explain(e) << "\n";
    exitCode = kExitFailure;
  }
}

AccountOptionHandles AddSettingOptions(CLI::App& sub, AccountOptions& o) {
  AccountOptionHandles h{};
  h.handsets = sub.add_option("--handsets", o.handsets, "Handsets the account may send on, like 1,2 (default: all)");
  h.rate = sub.add_option("--rate", o.rate, "Messages per second (0: no limit; default 0)")
               ->check(
                   [](const std::string& text) {
                     char* end = nullptr;
                     const double rate = std::strtod(text.c_str(), &end);
                     return !text.empty() && *end == '\0' && rate >= 0 && rate <= 1e9
                                ? std::string()
                                : "'" + text + "' is not a rate (messages per second, 0 or more)";
                   },
                   "RATE");
  h.burst = sub.add_option("--burst", o.burst, "Messages at once beyond the rate (0: one second's worth)");
  h.reportUrl = sub.add_option("--report-url", o.reportUrl, "Webhook for delivery reports (empty: none)");
  h.receivedUrl = sub.add_option("--received-url", o.receivedUrl, "Webhook for received messages (empty: none)");
  h.receivedHandsets = sub.add_option("--received-handsets", o.receivedHandsets,
                                      "Handsets whose received messages go to the account, like 1,2 (0: all; "
                                      "default: none)");
  h.console = sub.add_flag("--console,!--no-console", o.console, "May log in to the web console");
  h.smppPassword = sub.add_flag("--smpp-password", o.smppPassword,
                                "Give the account a new random SMPP password (printed once) to bind to velquor-smppd");
  h.smppPasswordStdin = sub.add_flag("--smpp-password-stdin", o.smppPasswordStdin,
                                     "Read the SMPP password (1 to 8 printable characters) from a line of stdin")
                            ->excludes(h.smppPassword);
  if (sub.get_name() == "set")
    h.noSmpp = sub.add_flag("--no-smpp", o.noSmpp, "Remove the SMPP password: the account can no longer bind")
                   ->excludes(h.smppPassword)
                   ->excludes(h.smppPasswordStdin);
  h.smppBinds = sub.add_option("--smpp-binds", o.smppBinds, "SMPP binds at once (1 to 100; default 2)")
                    ->check(CLI::Range(1, 100));
  h.smppWindow = sub.add_option("--smpp-window", o.smppWindow,
                                "submit_sm unanswered at once per SMPP bind (1 to 1000; default 100)")
                     ->check(CLI::Range(1, 1000));
  h.smppReceive = sub.add_option("--smpp-receive", o.smppReceive,
                                 "Received messages for the account's SMPP binds: rules like handset:1,to:+4930* "
                                 "(handset:N with 0 for all, to:NUMBER, to:PREFIX*; default: none)");
  h.smppSender = sub.add_flag("--smpp-sender,!--no-smpp-sender", o.smppSender,
                              "A submit_sm's source_addr is the message's sender (default: the handset's own)");
  return h;
}

// The account commands under `parent` (velquor, or velquor http).
void AddAccountCommands(CLI::App& parent, int& exitCode) {
  auto* account =
      parent.add_subcommand("account", "Manage the accounts of the front ends (velquor-http, velquor-smppd)");
  account->require_subcommand(1);
  auto options = std::make_shared<AccountOptions>();

  auto* add = account->add_subcommand("add", "Add an account; prints its API key and webhook secret once");
  auto* set = account->add_subcommand("set", "Change an account's settings (only those given)");
  auto* list = account->add_subcommand("list", "Print each account's name and settings (never a key or secret)");
  auto* rotate = account->add_subcommand("rotate", "Give an account a new API key (printed once); the old one stops");
  auto* remove = account->add_subcommand("remove", "Remove an account");
  for (auto* sub : {add, set, rotate, remove})
    sub->add_option("NAME", options->name, "The account: 1 to 32 letters, digits, '_' or '-'")->required();
  // add and set share the options' variables; only one of them runs.
  const AccountOptionHandles forAdd = AddSettingOptions(*add, *options);
  const AccountOptionHandles forSet = AddSettingOptions(*set, *options);
  for (auto* sub : {add, set, list, rotate, remove}) {
    const AccountOptionHandles given = sub == set ? forSet : forAdd;
    sub->callback([sub, options, given, &exitCode] { Run(sub->get_name(), *options, given, exitCode); });
  }
}

}  // namespace

void AddAccountCommand(CLI::App& app, int& exitCode) { AddAccountCommands(app, exitCode); }

void AddHttpAccountCommand(CLI::App& app, int& exitCode) {
  auto* http = app.add_subcommand("http", "Administer velquor-http, the HTTP API");
  http->require_subcommand(1);
  AddAccountCommands(*http, exitCode);
}

}  // namespace VelquorTool
