#include "accounts/api_account_store.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <sstream>

#include "accounts/secret_hash.h"
#include "config/config_reg.h"
#include "errors/com_error_raise.h"
#include "platform/registry.h"

namespace Norvale {
namespace {

using namespace OS;

constexpr const char* kEngineUser = "velquor";

std::vector<int> ParseNumbers(const std::string& text) {
  std::vector<int> numbers;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    int n = 0;
    const auto first = item.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    const auto [end, error] = std::from_chars(item.data() + first, item.data() + item.size(), n);
    if (error == std::errc()) numbers.push_back(n);
  }
  return numbers;
}

std::string JoinNumbers(const std::vector<int>& numbers) {
  std::string text;
  for (int n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

// The account's key, opened for reading and writing where the caller may,
// else for reading; null when it does not exist and `bCreate` is false.
HKEY OpenAccountKey(const std::string& sName, bool bCreate) {
  const std::string path = std::string(CApiAccountStore::kAccountsKey) + "\\" + sName;
  HKEY key = nullptr;
  if (bCreate) {
    DWORD disposition = 0;
    const LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot write the account " + sName);
    return key;
  }
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc == static_cast<LONG>(ERROR_ACCESS_DENIED))
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return nullptr;
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot read the account " + sName);
  return key;
}

class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : m_hKey(key) {}
  ~KeyCloser() {
    if (m_hKey != nullptr) RegCloseKey(m_hKey);
  }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY m_hKey;
};

void SetText(HKEY key, const char* szName, const std::string& sValue) {
  const LONG rc = RegSetValueExA(key, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sValue.data()),
                                 static_cast<DWORD>(sValue.size()));
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), std::string("cannot write ") + szName);
}

// Writes a secret as the engine's user with mode 0600 (as the writer where
// there is no such user).
void SetPrivate(HKEY key, const char* szName, const std::string& sValue) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* engine = nullptr;
  if (getpwnam_r(kEngineUser, &pw, buffer.data(), buffer.size(), &engine) == 0 && engine != nullptr && geteuid() == 0) {
    uid = pw.pw_uid;
    gid = pw.pw_gid;
  }
  const LONG rc = RegSetPrivateValue(key, szName, reinterpret_cast<const BYTE*>(sValue.data()),
                                     static_cast<DWORD>(sValue.size()), uid, gid);
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), std::string("cannot write ") + szName);
}

std::string GetText(HKEY key, const char* szName) { return RUQueryValue(key, szName, true); }

// A count of 1 to `most`, or `fallback` when absent or not one.
unsigned GetCount(HKEY key, const char* szName, unsigned most, unsigned fallback) {
  const std::string text = GetText(key, szName);
  unsigned n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  return error == std::errc() && end == text.data() + text.size() && n >= 1 && n <= most ? n : fallback;
}

std::vector<std::string> ParseRules(const std::string& text) {
  std::vector<std::string> rules;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const auto first = item.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    rules.push_back(item.substr(first, item.find_last_not_of(' ') + 1 - first));
  }
  return rules;
}

}  // namespace

bool CApiAccount::MayUseHandset(int nHandset) const {
  return handsets.empty() || std::find(handsets.begin(), handsets.end(), nHandset) != handsets.end();
}

bool CApiAccount::ReceivesFrom(int nHandset) const {
  return std::find(receivedHandsets.begin(), receivedHandsets.end(), 0) != receivedHandsets.end() ||
         std::find(receivedHandsets.begin(), receivedHandsets.end(), nHandset) != receivedHandsets.end();
}

bool CApiAccountStore::IsValidName(const std::string& sName) {
  if (sName.empty() || sName.size() > 32) return false;
  return std::all_of(sName.begin(), sName.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

std::vector<std::string> CApiAccountStore::ListNames() const {
  std::vector<std::string> names;
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAccountsKey, 0, KEY_READ, &key);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return names;
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot read the accounts");
  KeyCloser closer(key);
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    const LONG e = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (e == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (e != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(e), "cannot read the accounts");
    names.emplace_back(name, size);
  }
  return names;
}

std::optional<CApiAccount> CApiAccountStore::Find(const std::string& sName) const {
  if (!IsValidName(sName)) return std::nullopt;
  const HKEY key = OpenAccountKey(sName, false);
  if (key == nullptr) return std::nullopt;
  KeyCloser closer(key);
  CApiAccount account;
  account.sName = sName;
  account.sKeyHash = GetText(key, "KeyHash");
  account.sWebhookSecret = GetText(key, "WebhookSecret");
  account.handsets = ParseNumbers(GetText(key, "Handsets"));
  account.dRatePerSecond = std::atof(GetText(key, "RatePerSecond").c_str());
  account.nBurst = static_cast<unsigned>(std::strtoul(GetText(key, "Burst").c_str(), nullptr, 10));
  account.sReportUrl = GetText(key, "ReportUrl");
  account.sReceivedUrl = GetText(key, "ReceivedUrl");
  account.receivedHandsets = ParseNumbers(GetText(key, "ReceivedHandsets"));
  account.bConsole = GetText(key, "Console") == "1";
  account.sSmppPasswordHash = GetText(key, "SmppPasswordHash");
  account.nSmppMaxBinds = GetCount(key, "SmppMaxBinds", 100, 2);
  account.nSmppWindow = GetCount(key, "SmppWindow", 1000, 100);
  account.smppReceive = ParseRules(GetText(key, "SmppReceive"));
  account.bSmppSender = GetText(key, "SmppSender") == "1";
  return account;
}

void CApiAccountStore::Save(const CApiAccount& account) const {
  if (!IsValidName(account.sName))
    RAISE_COM_ERROR(E_INVALIDARG, "an account name is 1 to 32 letters, digits, '_' or '-': " + account.sName);
  std::string receive;
  for (const std::string& rule : account.smppReceive) {
    if (const std::string problem = SmppReceiveRuleProblem(rule); !problem.empty())
      RAISE_COM_ERROR(E_INVALIDARG, "SmppReceive: " + problem);
    receive += (receive.empty() ? "" : ",") + rule;
  }
  if (account.nSmppMaxBinds < 1 || account.nSmppMaxBinds > 100)
    RAISE_COM_ERROR(E_INVALIDARG, "SmppMaxBinds is 1 to 100: " + std::to_string(account.nSmppMaxBinds));
  if (account.nSmppWindow < 1 || account.nSmppWindow > 1000)
    RAISE_COM_ERROR(E_INVALIDARG, "SmppWindow is 1 to 1000: " + std::to_string(account.nSmppWindow));
  const HKEY key = OpenAccountKey(account.sName, true);
  KeyCloser closer(key);
  if (!account.sSmppPasswordHash.empty()) SetPrivate(key, "SmppPasswordHash", account.sSmppPasswordHash);
  if (!account.sKeyHash.empty()) SetPrivate(key, "KeyHash", account.sKeyHash);
  if (!account.sWebhookSecret.empty()) SetPrivate(key, "WebhookSecret", account.sWebhookSecret);
  SetText(key, "Handsets", JoinNumbers(account.handsets));
  std::ostringstream rate;
  rate << account.dRatePerSecond;
  SetText(key, "RatePerSecond", rate.str());
  SetText(key, "Burst", std::to_string(account.nBurst));
  SetText(key, "ReportUrl", account.sReportUrl);
  SetText(key, "ReceivedUrl", account.sReceivedUrl);
  SetText(key, "ReceivedHandsets", JoinNumbers(account.receivedHandsets));
  SetText(key, "Console", account.bConsole ? "1" : "0");
  SetText(key, "SmppMaxBinds", std::to_string(account.nSmppMaxBinds));
  SetText(key, "SmppWindow", std::to_string(account.nSmppWindow));
  SetText(key, "SmppReceive", receive);
  SetText(key, "SmppSender", account.bSmppSender ? "1" : "0");
}

void CApiAccountStore::RemoveSmppPassword(const std::string& sName) const {
  if (!Find(sName)) RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no account " + sName);
  const HKEY key = OpenAccountKey(sName, true);
  KeyCloser closer(key);
  const LONG rc = RegDeleteValueA(key, "SmppPasswordHash");
  if (rc != ERROR_SUCCESS && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND))
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot remove the SMPP password of " + sName);
}

std::string CApiAccountStore::SmppReceiveRuleProblem(const std::string& sRule) {
  const std::string problem =
      "'" + sRule +
      "' is not a rule: handset:N (N 1 to 8, 0 for all), to:NUMBER or to:PREFIX* (an optional + and 1 to 20 digits)";
  if (sRule.rfind("handset:", 0) == 0) {
    const std::string n = sRule.substr(8);
    return n.size() == 1 && n[0] >= '0' && n[0] <= '8' ? "" : problem;
  }
  if (sRule.rfind("to:", 0) != 0) return problem;
  std::string number = sRule.substr(3);
  if (!number.empty() && number.back() == '*') number.pop_back();
  if (!number.empty() && number.front() == '+') number.erase(0, 1);
  const bool digits = !number.empty() && number.size() <= 20 &&
                      std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
  return digits ? "" : problem;
}

std::string CApiAccountStore::Add(CApiAccount account) const {
  if (!IsValidName(account.sName))
    RAISE_COM_ERROR(E_INVALIDARG, "an account name is 1 to 32 letters, digits, '_' or '-': " + account.sName);
  if (Find(account.sName)) RAISE_COM_ERROR(E_INVALIDARG, "there is already an account " + account.sName);
  const std::string key = account.sName + "." + MakeRandomSecret();
  account.sKeyHash = HashSecret(key);
  if (account.sWebhookSecret.empty()) account.sWebhookSecret = MakeRandomSecret();
  Save(account);
  return key;
}

std::string CApiAccountStore::RotateKey(const std::string& sName) const {
  std::optional<CApiAccount> account = Find(sName);
  if (!account) RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no account " + sName);
  const std::string key = sName + "." + MakeRandomSecret();
  const HKEY handle = OpenAccountKey(sName, true);
  KeyCloser closer(handle);
  SetPrivate(handle, "KeyHash", HashSecret(key));
  return key;
}

void CApiAccountStore::Remove(const std::string& sName) const {
  if (!IsValidName(sName) || !Find(sName))
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no account " + sName);
  HKEY parent = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAccountsKey, 0, KEY_ALL_ACCESS, &parent);
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot change the accounts");
  KeyCloser closer(parent);
  rc = RegDeleteKeyA(parent, sName.c_str());
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot remove the account " + sName);
}

std::optional<std::string> CApiAccountStore::NameOfKey(const std::string& sKey) {
  const std::size_t dot = sKey.find('.');
  if (dot == std::string::npos) return std::nullopt;
  std::string name = sKey.substr(0, dot);
  if (!IsValidName(name)) return std::nullopt;
  return name;
}

}  // namespace Norvale
