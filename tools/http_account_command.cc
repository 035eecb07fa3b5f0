// velquor http account add|set|list|remove|rotate: the accounts of the HTTP
// API (velquor-http), kept by accounts/api_account_store.h. `add` and
// `rotate` print the API key once; only its hash is stored. `add` also
// prints the webhooks' signing secret once. `list` shows names and settings,
// never a key, hash or secret.
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
};

// The options of add and set; set changes only those given.
struct AccountOptionHandles {
  CLI::Option *handsets, *rate, *burst, *reportUrl, *receivedUrl, *receivedHandsets, *console;
};

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
}

std::string Joined(const std::vector<int>& numbers, const std::string& empty) {
  if (numbers.empty()) return empty;
  std::string text;
  for (int n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

void CheckName(const std::string& name) {
  if (!CApiAccountStore::IsValidName(name))
    throw Refused("'" + name + "' is not an account name: 1 to 32 letters, digits, '_' or '-'", kExitUsage);
}

CApiAccount Existing(const CApiAccountStore& store, const std::string& name) {
  CheckName(name);
  std::optional<CApiAccount> account = store.Find(name);
  if (!account) throw Refused("there is no account " + name + " (see 'velquor http account list')", kExitFailure);
  return *account;
}

void Add(const AccountOptions& o, const AccountOptionHandles& given) {
  CApiAccountStore store;
  CheckName(o.name);
  CApiAccount account;
  account.sName = o.name;
  Apply(o, given, true, account);
  if (store.Find(o.name)) throw Refused("there is already an account " + o.name, kExitFailure);
  account.sWebhookSecret = MakeRandomSecret();
  const std::string key = store.Add(account);
  std::cout << "account " << o.name << " added\n"
            << "API key (shown only now; keep it): " << key << "\n"
            << "webhook secret (shown only now; it signs the webhook calls): " << account.sWebhookSecret << "\n";
}

void Set(const AccountOptions& o, const AccountOptionHandles& given) {
  CApiAccountStore store;
  CApiAccount account = Existing(store, o.name);
  Apply(o, given, false, account);
  account.sKeyHash.clear();  // kept as they are
  account.sWebhookSecret.clear();
  store.Save(account);
  std::cout << "account " << o.name << " changed\n";
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
              << "\n";
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
  return h;
}

}  // namespace

void AddHttpAccountCommand(CLI::App& app, int& exitCode) {
  auto* http = app.add_subcommand("http", "Administer velquor-http, the HTTP API");
  http->require_subcommand(1);
  auto* account = http->add_subcommand("account", "Manage the accounts of the HTTP API");
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

}  // namespace VelquorTool
