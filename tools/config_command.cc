// velquor config list|get NAME|set NAME VALUE [--encrypted] [--force]|unset NAME
//                [--handset N]
//
// Reads and changes the product's configuration key directly, so an
// administrator never edits the registry's files by hand. `set` refuses what
// the library would misread: a switch other than 1 or 0, a value longer than
// the library reads back, an encrypted value where plain text is read, and
// (without --force) a name the library does not read at all.
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client_configuration.h"
#include "commands.h"
#include "config/config_reg.h"
#include "config/handset_values.h"
#include "config/norvale_encryption.h"
#include "errors/com_error_raise.h"
#include "known_values.h"
#include "platform/registry.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

constexpr const char* kProductKey = "SOFTWARE\\Norvale\\Velquor";
constexpr const char* kEngineUser = "velquor";  // the unit's User=

struct Options {
  std::string name, value;
  bool encrypted = false, force = false;
  int handset = 0;  // 1 to 8: the key Handsets\<n> below the product key
  std::string Key() const { return handset ? HandsetKeyPath(handset) : kProductKey; }
};

void Fail(const std::string& text, int& exitCode, int code = kExitFailure) {
  std::cerr << "velquor: " << text << "\n";
  exitCode = code;
}

std::string ClientValueNames() {
  std::string names;
  for (const KnownValue& v : ClientValues()) names += (names.empty() ? "" : ", ") + std::string(v.name);
  return names;
}

// The Driver value of handset n's key, or empty.
std::string CurrentDriver(int handset) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, HandsetKeyPath(handset).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  char data[256];
  DWORD size = sizeof data;
  const bool found =
      RegQueryValueExA(key, "Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found ? RegistryText(data, size) : "";
}

// Empty when handset n's key may hold the value as the engine reads it
// (config/handset_values.h); otherwise the engine's message for it. A key
// without a known driver yet takes any driver's value.
std::string HandsetValueProblem(const Options& o, bool* unknown) {
  *unknown = false;
  const std::string where = HandsetKeyPath(o.handset) + "\\" + o.name + ": ";
  if (strcasecmp(o.name.c_str(), "Driver") == 0)
    return FindDeclaredDriver(o.value)
               ? ""
               : where + "unknown driver '" + o.value + "' (known: " + DeclaredDriverNames() + ")";
  const CDeclaredDriver* driver = FindDeclaredDriver(CurrentDriver(o.handset));
  std::vector<const CDeclaredValue*> declared;
  if (driver) {
    if (const CDeclaredValue* v = FindHandsetValue(*driver, o.name)) declared.push_back(v);
  } else {
    for (const CDeclaredDriver& d : DeclaredDrivers())
      if (const CDeclaredValue* v = FindHandsetValue(d, o.name)) declared.push_back(v);
  }
  if (declared.empty()) {
    *unknown = true;
    return driver ? where + UnknownValueProblem(*driver, o.name)
                  : where + "no driver reads a value " + o.name + " (drivers: " + DeclaredDriverNames() + ")";
  }
  std::string problem;
  for (const CDeclaredValue* v : declared) {
    if (v->IsSecret() && !o.encrypted)
      problem = where + "stored encrypted: add --encrypted";
    else if (!v->IsSecret() && o.encrypted)
      problem = where + "read as plain text: an encrypted value would be used as it is stored; leave out --encrypted";
    else if (const std::string p = ValueProblem(*v, o.value); !p.empty())
      problem = where + p;
    else
      return "";
  }
  return problem;
}

// The text `set` stores, or nothing (with the exit code set) when the value
// is refused.
std::optional<std::string> StoredText(const Options& o, int& exitCode) {
  // A handset's key holds the values its driver declares; the product key's
  // names are known here, the engine's values checked by their reader.
  const KnownValue* known = o.handset ? nullptr : FindKnownValue(o.name);
  if (o.handset) {
    bool unknown = false;
    if (const std::string problem = HandsetValueProblem(o, &unknown); !problem.empty()) {
      if (!unknown || !o.force) {
        Fail(problem + (unknown ? "; nothing written (add --force to write it anyway)" : ""), exitCode, kExitUsage);
        return std::nullopt;
      }
      std::cerr << "velquor: warning: " << problem << "; the engine will not use this handset\n";
    }
  }
  if (known == nullptr && !o.handset && !IsEngineValue(o.name)) {
    std::cerr << "velquor: warning: Velquor does not read a value named " << o.name << " (it reads "
              << ClientValueNames() << ")\n";
    if (!o.force) {
      Fail("nothing written; check the name, or add --force to write it anyway", exitCode, kExitUsage);
      return std::nullopt;
    }
  } else if (known == nullptr) {
    // an engine's value (its reader checks it), or a handset's (checked above)
  } else if (o.encrypted) {
    Fail(std::string(known->name) +
             " is read as plain text: an encrypted value would be used as it is stored; leave out --encrypted",
         exitCode, kExitUsage);
    return std::nullopt;
  } else if (const std::string problem = ValueProblem(*known, o.value); !problem.empty()) {
    Fail(problem, exitCode, kExitUsage);
    return std::nullopt;
  }
  std::string stored = o.encrypted ? CNorvaleEncryption().EncryptString(o.value) : o.value;
  if (stored.size() > kMaxValueBytes) {
    Fail("the value " + std::string(o.encrypted ? "stored encrypted " : "") + "is " + std::to_string(stored.size()) +
             " bytes; the library reads at most " + std::to_string(kMaxValueBytes),
         exitCode, kExitUsage);
    return std::nullopt;
  }
  return stored;
}

// Writes a secret as the engine's user (velquor) with mode 0600 from its
// first byte on, so that no member of the configuration's group can read it
// even for a moment; where no such user exists, as the writer.
void SetSecret(HKEY key, const std::string& name, const std::string& text) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* engine = nullptr;
  if (getpwnam_r(kEngineUser, &pw, buffer.data(), buffer.size(), &engine) == 0 && engine != nullptr) {
    uid = pw.pw_uid;
    gid = pw.pw_gid;
  }
  const LONG rc = RegSetPrivateValue(key, name.c_str(), reinterpret_cast<const BYTE*>(text.c_str()),
                                     static_cast<DWORD>(text.size()), uid, gid);
  if (rc == static_cast<LONG>(ERROR_ACCESS_DENIED))
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                    std::string("no rights to write ") + name + " for the user " + kEngineUser + " (run as root)");
  if (rc != ERROR_SUCCESS) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "cannot write " + name);
}

// Explains a failure of the store in an administrator's words.
std::string Explain(const _com_error& e, const std::string& name) {
  const std::string d = e.DescriptionA();
  if (e.Error() == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return "no value " + name + " in the configuration";
  if (d.rfind("Insufficent rights", 0) == 0 || e.Error() == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
    return "no rights to change the configuration in " + RegistryRootDirectory() +
           " (run as a user who may write there)";
  return d.empty() ? e.ErrorMessage() : d;
}

void List(const Options& o, int& exitCode) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, o.Key().c_str(), 0, KEY_READ, &key);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return;  // nothing configured yet
  if (rc != ERROR_SUCCESS) return Fail("cannot read the configuration (error " + std::to_string(rc) + ")", exitCode);
  for (DWORD i = 0;; ++i) {
    char name[1000];
    DWORD cch = sizeof name;
    char data[1001];
    DWORD size = sizeof data - 1;
    const LONG r = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    if (r == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    if (r != ERROR_SUCCESS) {
      Fail(std::string("cannot read value ") + name, exitCode);
      continue;
    }
    std::cout << name << "=" << RegistryText(data, size) << "\n";
  }
  RegCloseKey(key);
}

// Removes the key Handsets\<n> once its last value is gone: an empty key
// would be a handset without a driver, which the engine skips with a warning.
void RemoveIfEmpty(int handset) {
  HKEY handsets = nullptr;
  const std::string path = std::string(kProductKey) + "\\Handsets";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, &handsets) != ERROR_SUCCESS) return;
  HKEY key = nullptr;
  const std::string number = std::to_string(handset);
  if (RegOpenKeyExA(handsets, number.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char name[256];
    DWORD cch = sizeof name;
    const bool hasValue =
        RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) != static_cast<LONG>(ERROR_NO_MORE_ITEMS);
    cch = sizeof name;
    const bool hasKey =
        RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) != static_cast<LONG>(ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
    if (!hasValue && !hasKey && RegDeleteKeyA(handsets, number.c_str()) == ERROR_SUCCESS)
      std::cout << "Handsets\\" << number << " had no value left and is removed\n";
  }
  RegCloseKey(handsets);
}

void Run(const std::string& action, const Options& o, int& exitCode) {
  if (action == "list") return List(o, exitCode);
  std::optional<std::string> stored;
  if (action == "set" && !(stored = StoredText(o, exitCode))) return;
  std::string ignored;
  CConfigReg store(&ignored);
  try {
    store.OpenRootKeyWithBestPermisions(HKEY_LOCAL_MACHINE, o.Key());
    const HKEY root = store.GetRootKey();
    if (action == "get") {
      std::cout << (o.encrypted ? store.GetParameterEncrypted(root, o.name.c_str(), false, "", false)
                                : store.GetParameter(root, o.name.c_str(), false, "", false))
                << "\n";
    } else if (action == "set") {
      if (IsSecretValueName(o.name))
        SetSecret(root, o.name, *stored);
      else
        store.SetParameter(root, o.name.c_str(), stored->c_str());
    } else if (action == "unset") {
      store.DeleteParameter(root, o.name.c_str(), false);
      store.CloseRootKey();
      if (o.handset) RemoveIfEmpty(o.handset);
    }
  } catch (const _com_error& e) {
    Fail(action == "get" ? ExplainReadFailure(e, o.name) : Explain(e, o.name), exitCode);
  }
}

}  // namespace

void AddConfigCommand(CLI::App& app, int& exitCode) {
  auto* config = app.add_subcommand("config", "Show and change the configuration (registry key " +
                                                  std::string("HKEY_LOCAL_MACHINE\\") + kProductKey + ")");
  config->require_subcommand(1);
  auto options = std::make_shared<Options>();
  auto* list = config->add_subcommand("list", "Print every value as NAME=VALUE");
  auto* get = config->add_subcommand("get", "Print one value");
  get->add_option("NAME", options->name, "Name of the value (any letter case)")->required();
  get->add_flag("--encrypted", options->encrypted, "Decrypt a value stored encrypted");
  auto* set = config->add_subcommand("set", "Set one value");
  set->add_option("NAME", options->name, "Name of the value: " + ClientValueNames())->required();
  set->add_option("VALUE", options->value, "Its text; the switches take 1 or 0")->required();
  set->add_flag("--encrypted", options->encrypted, "Store the value encrypted (only for values read encrypted)");
  set->add_flag("--force", options->force, "Write a value Velquor does not read");
  auto* unset = config->add_subcommand("unset", "Remove one value");
  unset->add_option("NAME", options->name, "Name of the value")->required();
  for (auto* sub : {list, get, set, unset}) {
    sub->add_option("--handset", options->handset, "A value of the handset's key Handsets\\<N> (1 to 8)")
        ->check(CLI::Range(1, 8));
    sub->callback([sub, options, &exitCode] { Run(sub->get_name(), *options, exitCode); });
  }
}

}  // namespace VelquorTool
