// velquor service install | start | stop | status: the engine velquor-server
// as the service "VelquorServer" of the project's service manager. status
// reads the state the engine publishes in
// run/norvale/VelquorServer.handsets.json and counts each handset's pending
// jobs in the queue database.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands.h"
#include "config/config_velquor_client_only.h"
#include "engine/engine_interfaces.h"
#include "http_daemon_probe.h"
#include "platform/database.h"
#include "platform/event_log.h"
#include "platform/service_control.h"
#include "smppd_probe.h"

namespace VelquorTool {
namespace {

using namespace Norvale;
using namespace Norvale::OS;

constexpr const char* kService = "VelquorServer";

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    default: return "unknown";
  }
}

// Where the engine's records go, as its event log chooses in this
// environment (which the engine started here inherits).
std::string LogsWhere() {
  std::string where = EventLogDestination();
  if (const size_t at = where.find("SOURCE"); at != std::string::npos) where.replace(at, 6, kService);
  if (where.find("standard error") != std::string::npos)
    where += "; when started by 'velquor service start' its standard error is appended to " +
             ServiceHost::ErrorLogPath(kService);
  return where;
}

// The service opened with `access`; prints why not and gives null.
SC_HANDLE OpenEngine(DWORD access) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  SC_HANDLE service = manager ? OpenServiceA(manager, kService, access) : nullptr;
  const DWORD error = GetLastError();
  if (manager) CloseServiceHandle(manager);
  if (!service) {
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
      std::cerr << "velquor: the service " << kService << " is not installed (velquor service install)\n";
    else if (error == ERROR_ACCESS_DENIED)
      std::cerr << "velquor: no rights to " << ((access & (SERVICE_START | SERVICE_STOP)) ? "control" : "query")
                << " the service " << kService << "\n";
    else
      std::cerr << "velquor: cannot open the service " << kService << " (error " << error << ")\n";
  }
  return service;
}

DWORD State(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (State(service) != wanted) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::string DefaultImage() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  for (const auto& candidate : {self / "velquor-server", self / ".." / "server" / "velquor-server",
                                std::filesystem::path("/usr/sbin/velquor-server")})
    if (access(candidate.c_str(), X_OK) == 0) return std::filesystem::weakly_canonical(candidate, ec).string();
  return std::string();
}

int Install(const std::string& image) {
  const std::string command = image.empty() ? DefaultImage() : image;
  if (command.empty()) {
    std::cerr << "velquor: velquor-server not found beside velquor or in /usr/sbin; name it with --image\n";
    return 1;
  }
  LONG rc = ServiceHost::Register(kService, command, "Velquor gateway engine");
  const std::string address = "unix:path=" + ServiceHost::SocketPath(kService);
  for (const auto& clsid : {SMSServer::ISMSEngine::kCLSID, VELQUORCORESERVICESLib::IVelquorCore::kCLSID})
    if (rc == ERROR_SUCCESS) rc = ServiceHost::RegisterLocalServer(clsid, address);
  if (rc != ERROR_SUCCESS) {
    std::cerr << "velquor: cannot register the service"
              << (rc == static_cast<LONG>(ERROR_ACCESS_DENIED) ? ": no rights to change the registry" : "")
              << " (error " << rc << ")\n";
    return 1;
  }
  std::cout << "service " << kService << " installed: " << command << "\n";
  return 0;
}

int Start(int wait) {
  SC_HANDLE service = OpenEngine(SERVICE_START | SERVICE_QUERY_STATUS);
  if (!service) return 1;
  int rc = 0;
  if (!StartServiceA(service, 0, nullptr)) {
    if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
      std::cout << kService << " is already " << StateName(State(service)) << "\n";
    } else {
      std::cerr << "velquor: cannot start " << kService << " (error " << GetLastError() << ")\n";
      rc = 1;
    }
  } else if (!WaitForState(service, SERVICE_RUNNING, wait)) {
    std::cerr << "velquor: " << kService << " is " << StateName(State(service)) << " after " << wait
              << " ms; see its log: " << LogsWhere() << "\n";
    rc = 1;
  } else {
    std::cout << kService << " running\n";
    std::cout << "logs: " << LogsWhere() << "\n";
  }
  CloseServiceHandle(service);
  return rc;
}

int Stop(int wait) {
  SC_HANDLE service = OpenEngine(SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) return 1;
  SERVICE_STATUS status{};
  int rc = 0;
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
      std::cout << kService << " is not running\n";
    } else {
      std::cerr << "velquor: cannot stop " << kService
                << (GetLastError() == ERROR_ACCESS_DENIED ? ": no rights to signal it" : "") << "\n";
      rc = 1;
    }
  } else if (!WaitForState(service, SERVICE_STOPPED, wait)) {
    std::cerr << "velquor: " << kService << " is still " << StateName(State(service)) << " after " << wait << " ms\n";
    rc = 1;
  } else {
    std::cout << kService << " stopped\n";
  }
  CloseServiceHandle(service);
  return rc;
}

// Pending jobs per handset (0: for any handset); empty when the database
// cannot be read.
std::map<int, long> QueueDepths() {
  std::map<int, long> depth;
  try {
    std::string message;
    CConfigVelquorClientOnly config(&message);
    config.SetProxyMode(true);
    config.ReadConfigurationWithFailOverToDirectAccess();
    Connection c;
    c.Open("Data Source=" + config.GetDSN(), config.GetUsername(), config.GetPassword());
    _variant_t affected;
    for (int h = 0; h <= 8; ++h)
      depth[h] = c.Execute("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Status=0 AND Handset=" + std::to_string(h),
                           &affected, adCmdText)
                     ->GetFieldValue("N")
                     .ToLong();
  } catch (const _com_error&) {
    depth.clear();
  }
  return depth;
}

// The HTTP API's line, where velquor-http is used.
void PrintHttpDaemon() {
  if (!HttpDaemonInUse()) return;
  bool listening = false;
  std::cout << "velquor-http: " << ProbeHttpDaemon(&listening) << "\n";
}

// The SMPP server's line and its accounts, where velquor-smppd is used.
void PrintSmppDaemon() {
  if (!SmppDaemonInUse()) return;
  bool running = false;
  std::cout << "velquor-smppd: " << SmppDaemonState(&running) << "\n" << SmppAccountsTable();
}

int Status() {
  SC_HANDLE service = OpenEngine(SERVICE_QUERY_STATUS);
  if (!service) return 1;
  const DWORD state = State(service);
  CloseServiceHandle(service);
  nlohmann::json j;
  if (state == SERVICE_RUNNING) {
    std::ifstream in(ServiceHost::RunDirectory() + "/VelquorServer.handsets.json");
    j = nlohmann::json::parse(in, nullptr, false);
  }
  std::cout << kService << ": " << StateName(state);
  if (j.is_object()) std::cout << " (pid " << j.value("pid", 0) << ", engine " << j.value("status", "?") << ")";
  std::cout << "\n";
  if (state != SERVICE_STOPPED) std::cout << "logs: " << LogsWhere() << "\n";
  PrintHttpDaemon();
  PrintSmppDaemon();
  if (!j.is_object()) return state == SERVICE_RUNNING ? 0 : 3;
  const auto depth = QueueDepths();
  auto queued = [&](int h) { return depth.empty() ? std::string("?") : std::to_string(depth.at(h)); };
  std::printf("%-8s %-10s %-26s %6s %6s %6s %7s %9s %11s %8s\n", "handset", "driver", "state", "queue", "sent",
              "failed", "retried", "delivered", "undelivered", "received");
  for (const auto& h : j["handsets"]) {
    std::string s = h.value("connected", false) ? "connected" : "disconnected";
    if (h.value("registered", false)) s += ", registered";
    if (const int signal = h.value("signal", -1); signal >= 0) s += ", " + std::to_string(signal) + "%";
    std::printf("%-8d %-10s %-26s %6s %6ld %6ld %7ld %9ld %11ld %8ld\n", h.value("number", 0),
                h.value("driver", "").c_str(), s.c_str(), queued(h.value("number", 0)).c_str(), h.value("sent", 0L),
                h.value("failed", 0L), h.value("retried", 0L), h.value("delivered", 0L), h.value("undelivered", 0L),
                h.value("received", 0L));
    // The driver's own words: a modem's SIM and registration, an SMSC link.
    if (const std::string detail = h.value("detail", ""); !detail.empty()) std::printf("         %s\n", detail.c_str());
    if (const std::string error = h.value("error", ""); !error.empty())
      std::printf("         last error: %s\n", error.c_str());
  }
  for (const auto& f : j["failed_handsets"])
    std::printf("%-8d %-10s not in use: %s\n", f.value("number", 0),
                f.value("driver", "").empty() ? "(none)" : f.value("driver", "").c_str(), f.value("error", "").c_str());
  std::printf("jobs for any handset waiting: %s\n", queued(0).c_str());
  return 0;
}

}  // namespace

void AddServiceCommand(CLI::App& app, int& exitCode) {
  auto* service = app.add_subcommand("service", "Install, start, stop and inspect the engine velquor-server");
  service->require_subcommand(1);
  auto image = std::make_shared<std::string>();
  auto wait = std::make_shared<int>(15000);
  auto* install = service->add_subcommand("install", "Register velquor-server as the service VelquorServer");
  install->add_option("--image", *image, "The command line of the engine (default: velquor-server beside velquor)");
  install->callback([image, &exitCode] { exitCode = Install(*image); });
  auto* start = service->add_subcommand("start", "Start the engine and wait until it runs");
  start->add_option("--wait", *wait, "Milliseconds to wait for it (default 15000)");
  start->callback([wait, &exitCode] { exitCode = Start(*wait); });
  auto* stop = service->add_subcommand("stop", "Stop the engine (it finishes what is in flight) and wait");
  stop->add_option("--wait", *wait, "Milliseconds to wait for it (default 15000)");
  stop->callback([wait, &exitCode] { exitCode = Stop(*wait); });
  service->add_subcommand("status", "The engine's state and each handset's driver, state, queue and counters")
      ->callback([&exitCode] { exitCode = Status(); });
}

}  // namespace VelquorTool
