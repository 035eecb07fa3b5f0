// velquor check: looks at this machine the way a client of the library does
// (its configuration, the queue database and its tables, the engine) and
// gives a verdict per item, with what to do where something is wrong. Exits
// 0 when nothing failed, 1 otherwise.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "client_configuration.h"
#include "commands.h"
#include "config/config_velquor_proxy_client_support.h"
#include "config/handset_values.h"
#include "core/velquor_server_connection.h"
#include "http_daemon_probe.h"
#include "known_values.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "queues/database_access.h"
#include "queues/job_queue.h"
#include "smppd_probe.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

class Report {
 public:
  void Ok(const std::string& item, const std::string& text) { Line("ok", item, text, ""); }
  void Fail(const std::string& item, const std::string& text, const std::string& fix) {
    ++m_nFailures;
    Line("FAIL", item, text, "fix: " + fix);
  }
  void Note(const std::string& item, const std::string& text, const std::string& advice) {
    Line("note", item, text, advice);
  }
  void Skip(const std::string& item, const std::string& why) { Line("skip", item, why, ""); }
  int Failures() const { return m_nFailures; }

 private:
  static void Line(const char* verdict, const std::string& item, const std::string& text, const std::string& advice) {
    std::printf("%-5s %s: %s\n", verdict, item.c_str(), text.c_str());
    if (!advice.empty()) std::printf("      %s\n", advice.c_str());
  }
  int m_nFailures = 0;
};

// A data source name as it may be shown: without a password in it.
std::string Masked(const std::string& dsn) {
  static const std::regex uriPassword("(://[^/@:]*:)[^@/]*@");
  static const std::regex keywordPassword("(password\\s*=\\s*)('[^']*'|\\S+)", std::regex::icase);
  return std::regex_replace(std::regex_replace(dsn, uriPassword, "$1***@"), keywordPassword, "$1***");
}

std::string Shown(const KnownValue& v, const std::string& text) {
  if (std::string(v.name) == "Password") return text.empty() ? "(empty)" : "(set)";
  if (std::string(v.name) == "DSN") return Masked(text);
  return text.empty() ? "(empty)" : text;
}

// What the checks of the configuration learned, for the later items.
struct Settings {
  std::optional<bool> outgoing, incoming;  // the two switches as read, where known
  std::optional<std::string> dsn, user, password;
};

Settings CheckConfiguration(Report& report) {
  Settings s;
  std::string ignored;
  CConfigVelquorClientOnly config(&ignored);
  const std::string error = ReadAsClient(config);
  const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + CConfigVelquorProxyClientSupport::kRootPath;
  if (!config.GetProxyMode() && config.GetRootKey() == nullptr) {
    report.Fail("configuration", "cannot open " + key + ": " + error,
                "set the values with 'velquor config set' as a user who may write " + RegistryRootDirectory() +
                    ", or read as a user who may read it, or start the engine (it answers reads for other users)");
    return s;
  }
  const std::string where = config.GetProxyMode() ? "through the engine" : "from " + RegistryRootDirectory();
  if (error.empty())
    report.Ok("configuration", key + " read " + where);
  else
    report.Fail("configuration", "a client cannot read " + key + " (" + where + "): " + error,
                "mend the values marked FAIL below");
  for (const KnownValue& v : ClientValues()) {
    std::string text;
    try {
      text = config.GetParameter(config.GetRootKey(), v.name, false, "", false);
    } catch (const _com_error& e) {
      if (v.IsOptional() && IsMissingValue(e)) {
        report.Ok(v.name, std::string("not set: ") + v.absent);
        continue;
      }
      report.Fail(v.name, ExplainReadFailure(e, v.name), SetAdvice(v));
      continue;
    } catch (const CConfigVelquorProxyClientSupport_SwitchToDirectRegAccess&) {
      report.Fail(v.name, "the engine stopped answering configuration reads", "run 'velquor check' again");
      continue;
    }
    const std::string name = v.name;
    if (name == "OutgoingQueueEnabled") s.outgoing = text == "1";  // as the library reads a switch
    if (name == "IncomingQueueEnabled") s.incoming = text == "1";
    if (name == "DSN") s.dsn = text;
    if (name == "Username") s.user = text;
    if (name == "Password") s.password = text;
    if (const std::string problem = ValueProblem(v, text); !problem.empty())
      report.Fail(v.name, problem, SetAdvice(v));
    else
      report.Ok(v.name, Shown(v, text));
  }
  return s;
}

void CheckDatabase(Report& report, const Settings& s) {
  const std::vector<std::string> tables = {"SMSOutgoing", "SMSIncoming", "SMSNotifications"};
  if (s.outgoing == false && s.incoming == false) {
    report.Skip("database", "not used: both queues are off, so the client talks to the engine only");
    return;
  }
  if (!s.dsn || !s.user || !s.password) {
    report.Skip("database", "cannot be checked until DSN, Username and Password can be read");
    return;
  }
  CDBConnectionDispensor connection;
  connection.SetDBSettings(*s.dsn, *s.user, *s.password);
  try {
    connection.GetConnection();
    report.Ok("database", "opened " + Masked(*s.dsn));
  } catch (const _com_error& e) {
    report.Fail("database", "cannot open " + Masked(*s.dsn) + ": " + e.DescriptionA(),
                "check DSN, Username and Password with 'velquor config get'; a SQLite file's directory must exist "
                "and be writable");
    for (const std::string& table : tables) report.Skip("table " + table, "the database cannot be opened");
    return;
  }
  for (const std::string& table : tables) {
    try {
      const LONG rows = CJobQueue(&connection, table).GetTotalNbrOfEntries();
      report.Ok("table " + table, std::to_string(rows) + (rows == 1 ? " row" : " rows"));
    } catch (const _com_error& e) {
      report.Fail("table " + table, "cannot be read: " + e.DescriptionA(),
                  "velquor db init (creates the missing tables, changes nothing else)");
    }
  }
}

struct ServiceHandleCloser {
  void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using ServiceHandle = std::unique_ptr<SC_HANDLE__, ServiceHandleCloser>;

// The service's state as the service manager reports it, or why it cannot.
std::string ServiceState(bool* running) {
  *running = false;
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
  if (!manager) return "the service manager cannot be opened (error " + std::to_string(GetLastError()) + ")";
  const ServiceHandle service(
      OpenServiceA(manager.get(), CVelquorServerConnection::kServiceName, SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return "the VelquorServer service is not installed on this machine";
    if (error == ERROR_ACCESS_DENIED) return "no rights to query the VelquorServer service";
    return "the VelquorServer service cannot be opened (error " + std::to_string(error) + ")";
  }
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status))
    return "the VelquorServer service's state cannot be read (error " + std::to_string(GetLastError()) + ")";
  switch (status.dwCurrentState) {
    case SERVICE_RUNNING: *running = true; return "the VelquorServer service is running";
    case SERVICE_START_PENDING: return "the VelquorServer service is starting";
    case SERVICE_STOP_PENDING: return "the VelquorServer service is stopping";
    default: return "the VelquorServer service is stopped";
  }
}

const char* EngineStatusName(SMSServer::EnumEngineStatus status) {
  switch (status) {
    case SMSServer::esStopped: return "stopped";
    case SMSServer::esStarting: return "starting";
    case SMSServer::esRunning: return "running";
    case SMSServer::esStopping: return "stopping";
    default: return "not reachable";
  }
}

void CheckEngine(Report& report, const Settings& s) {
  bool running = false;
  std::string state = ServiceState(&running);
  if (running) {
    CVelquorServerConnection connection;
    const SMSServer::EnumEngineStatus status = connection.GetServerStatus();
    state += ", the engine reports " + std::string(EngineStatusName(status));
    if (status == SMSServer::esRunning) return report.Ok("engine", state);
  }
  if (s.outgoing == false || s.incoming == false) {
    report.Fail("engine", state,
                std::string("install and start the engine (the VelquorServer service, program velquor-server): ") +
                    (s.outgoing == false ? "OutgoingQueueEnabled is 0, so every send goes to it"
                                         : "IncomingQueueEnabled is 0, so messages are fetched from it"));
  } else if (s.outgoing && s.incoming) {
    report.Note("engine", state,
                "with both queues on, messages wait in the database until an engine that uses it takes them");
  } else {
    report.Note("engine", state, "whether a client needs it depends on OutgoingQueueEnabled and IncomingQueueEnabled");
  }
}

// Every value of a key, by name as written.
std::vector<std::pair<std::string, std::string>> KeyValues(HKEY key) {
  std::vector<std::pair<std::string, std::string>> values;
  for (DWORD i = 0;; ++i) {
    char name[256], data[1024];
    DWORD cch = sizeof name, size = sizeof data;
    if (RegEnumValueA(key, i, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
      break;
    values.emplace_back(std::string(name, cch), RegistryText(data, size));
  }
  return values;
}

// The engine's handsets as configured: a key without a Driver value, which
// the engine skips, a value its driver does not read or a malformed one,
// for which the engine leaves the handset out, and the simulator, which
// delivers nothing.
void CheckHandsets(Report& report) {
  HKEY handsets = nullptr;
  const std::string path = std::string(CConfigVelquorProxyClientSupport::kRootPath) + "\\Handsets";
  const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &handsets);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return report.Skip("handsets", "none configured on this machine");
  if (rc != ERROR_SUCCESS)
    return report.Skip("handsets", "cannot read the engine's handsets here (run as root or the engine's user)");
  std::vector<int> simulators;
  bool other = false;
  for (int n = 1; n <= 8; ++n) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(handsets, std::to_string(n).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
    auto value = [key](const char* name) -> std::optional<std::string> {
      char data[256];
      DWORD size = sizeof data;
      if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return std::nullopt;
      return RegistryText(data, size);
    };
    const std::optional<std::string> driver = value("Driver");
    const bool enabled = value("Enabled").value_or("1") != "0";
    // The first value the engine would refuse the handset for, or the
    // first value its driver requires that the key lacks.
    std::string problem, advice;
    auto adviseSet = [n](const CDeclaredValue& v) {
      return "velquor config set --handset " + std::to_string(n) + " " + v.szName + " VALUE (" + v.TypeText() +
             (v.IsSecret() ? ", with --encrypted" : "") + ")";
    };
    if (const CDeclaredDriver* declared = driver ? FindDeclaredDriver(*driver) : nullptr) {
      const auto values = KeyValues(key);
      for (const auto& [name, text] : values) {
        if (problem = HandsetValueProblem(*declared, n, name, text); problem.empty()) continue;
        const CDeclaredValue* v = FindHandsetValue(*declared, name);
        advice = v ? adviseSet(*v)
                   : "velquor config unset --handset " + std::to_string(n) + " " + name +
                         " (or write the value under the name its driver reads)";
        break;
      }
      for (const CDeclaredValue& v : declared->values)
        if (problem.empty() && v.IsRequired() && std::none_of(values.begin(), values.end(), [&v](const auto& value) {
              return strcasecmp(value.first.c_str(), v.szName) == 0;
            })) {
          problem = HandsetKeyPath(n) + "\\" + v.szName + ": missing: the " + *driver + " driver needs it";
          advice = adviseSet(v);
        }
    }
    RegCloseKey(key);
    const std::string item = "handset " + std::to_string(n);
    if (!enabled) {
      report.Ok(item, (driver ? *driver : std::string("no driver")) + ", disabled (Enabled 0)");
    } else if (!driver || driver->empty()) {
      report.Fail(item, "its key has no Driver value; the engine skips it",
                  "velquor config set --handset " + std::to_string(n) +
                      " Driver simulator|smpp|modem, or remove its values with 'velquor config unset'");
    } else if (!problem.empty()) {
      report.Fail(item, problem + "; the engine leaves it out", advice);
    } else if (*driver == "simulator") {
      simulators.push_back(n);
      report.Note(item, "simulator: test network: nothing leaves this machine",
                  "for real messages: velquor config set --handset " + std::to_string(n) +
                      " Driver smpp (or modem), or disable it with Enabled 0");
    } else if (*driver == "smpp" || *driver == "modem") {
      other = true;
      report.Ok(item, *driver);
    } else {
      report.Fail(item, "unknown driver '" + *driver + "'; the engine leaves it out",
                  "velquor config set --handset " + std::to_string(n) + " Driver simulator|smpp|modem");
    }
  }
  RegCloseKey(handsets);
  // Jobs for any handset go to whichever handset claims them first.
  if (other)
    for (const int n : simulators)
      report.Fail("handset " + std::to_string(n),
                  "the simulator runs beside a real network: it takes a share of the jobs for any handset and "
                  "they never reach a telephone",
                  "velquor config set --handset " + std::to_string(n) + " Enabled 0");
}

// velquor-http's server values and whether it answers, where it is used.
void CheckHttpDaemon(Report& report) {
  if (!HttpDaemonInUse()) return;
  for (const DaemonValueCheck& check : CheckHttpValues()) {
    if (check.problem.empty())
      report.Ok(check.name, check.shown);
    else
      report.Fail(check.name, check.problem, "velquor config set " + check.name + " ... (see velquor-http(8))");
  }
  bool listening = false;
  const std::string state = ProbeHttpDaemon(&listening);
  if (listening)
    report.Ok("velquor-http", state);
  else
    report.Note("velquor-http", state, "start it with 'systemctl start velquor-http' where applications use HTTP");
}

// velquor-smppd's values and whether it runs, where it is used.
void CheckSmppDaemon(Report& report) {
  if (!SmppDaemonInUse()) return;
  for (const DaemonValueCheck& check : CheckSmppValues()) {
    if (check.problem.empty())
      report.Ok(check.name, check.shown);
    else
      report.Fail(check.name, check.problem, "velquor config set " + check.name + " ... (see velquor-smppd(8))");
  }
  bool running = false;
  const std::string state = SmppDaemonState(&running);
  if (running)
    report.Ok("velquor-smppd", state);
  else
    report.Note("velquor-smppd", state, "start it with 'systemctl start velquor-smppd' where applications use SMPP");
}

int Check() {
  Report report;
  const Settings settings = CheckConfiguration(report);
  CheckDatabase(report, settings);
  CheckHandsets(report);
  CheckEngine(report, settings);
  CheckHttpDaemon(report);
  CheckSmppDaemon(report);
  if (report.Failures() == 0) {
    std::printf("velquor check: all well\n");
    return kExitSuccess;
  }
  std::printf("velquor check: %d item%s failed; mend them in the order shown\n", report.Failures(),
              report.Failures() == 1 ? "" : "s");
  return kExitFailure;
}

void PrintValue(const std::string& name, const std::string& type, const std::string& fallback, bool secret) {
  std::printf("  %-24s %-46s %s%s\n", name.c_str(), type.c_str(), fallback.c_str(), secret ? "  (secret)" : "");
}

// The values Velquor reads and what each may hold: the library's, those of
// every handset and those of each driver (config/handset_values.h).
void ListValues() {
  std::printf("Values of HKEY_LOCAL_MACHINE\\%s, read by every client:\n", CConfigVelquorProxyClientSupport::kRootPath);
  PrintValue("NAME", "TYPE", "DEFAULT", false);
  for (const KnownValue& v : ClientValues()) {
    const char* type = v.kind == ValueKind::Flag           ? "flag 1 or 0"
                       : v.kind == ValueKind::Milliseconds ? "number 1 to 3600000 (milliseconds)"
                                                           : "text";
    PrintValue(v.name, type, v.IsOptional() ? v.absent : "required", IsSecretValueName(v.name));
  }
  auto print = [](std::span<const CDeclaredValue> values) {
    for (const CDeclaredValue& v : values) PrintValue(v.szName, v.TypeText(), v.DefaultText(), v.IsSecret());
  };
  std::printf("\nValues of every handset's key Handsets\\N (N from 1 to 8):\n");
  print(CommonHandsetValues());
  for (const CDeclaredDriver& d : DeclaredDrivers()) {
    std::printf("\nValues of a handset with Driver %s (%s):\n", d.szName, d.szSummary);
    print(d.values);
  }
}

}  // namespace

void AddCheckCommand(CLI::App& app, int& exitCode) {
  auto* check =
      app.add_subcommand("check", "Check the configuration, the queue database and the engine as a client sees them");
  auto listValues = std::make_shared<bool>(false);
  check->add_flag("--list-values", *listValues,
                  "Print the values Velquor reads (the library's, every handset's, each driver's) with type and "
                  "default, and check nothing");
  check->callback([&exitCode, listValues] {
    if (*listValues)
      ListValues();
    else
      exitCode = Check();
  });
}

}  // namespace VelquorTool
