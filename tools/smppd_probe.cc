#include "smppd_probe.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "accounts/smppd_state.h"
#include "config/config_reg.h"

namespace VelquorTool {
namespace {

// The value as the daemon reads it: unset or empty gives the fallback.
std::string Value(const std::string& name, const std::string& fallback, bool* set = nullptr) {
  const std::string value = Norvale::RUProductValue(name);
  if (set != nullptr) *set = !value.empty();
  return value.empty() ? fallback : value;
}

bool InRange(const std::string& text, long least, long most) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= least && value <= most;
}

constexpr struct {
  const char* name;
  const char* fallback;
  long least, most;
} kNumbers[] = {{"SmppServerPort", "2775", 0, 65535},
                {"SmppServerTlsPort", "0", 0, 65535},
                {"SmppServerEnquireLinkSeconds", "30", 1, 86400},
                {"SmppServerResponseSeconds", "10", 1, 3600},
                {"SmppServerBindSeconds", "10", 1, 3600}};

constexpr const char* kTexts[] = {"SmppServerListen", "SmppServerSystemId", "SmppServerTlsCertificate",
                                  "SmppServerTlsKey"};

}  // namespace

bool SmppDaemonInUse() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  if (access((self / "velquor-smppd").c_str(), X_OK) == 0 || access("/usr/bin/velquor-smppd", X_OK) == 0) return true;
  bool set = false;
  for (const char* name : kTexts) {
    Value(name, "", &set);
    if (set) return true;
  }
  for (const auto& n : kNumbers) {
    Value(n.name, "", &set);
    if (set) return true;
  }
  return std::filesystem::exists(Norvale::SmppdStatePath(), ec);
}

std::vector<HttpValueCheck> CheckSmppValues() {
  std::vector<HttpValueCheck> checks;
  bool set = false;
  const std::string listen = Value("SmppServerListen", "127.0.0.1", &set);
  in_addr address{};
  checks.push_back({"SmppServerListen", set ? listen : "not set: 127.0.0.1",
                    inet_pton(AF_INET, listen.c_str(), &address) == 1 ? "" : "not an IPv4 address: " + listen});
  for (const auto& n : kNumbers) {
    const std::string text = Value(n.name, n.fallback, &set);
    checks.push_back({n.name, set ? text : std::string("not set: ") + n.fallback,
                      InRange(text, n.least, n.most) ? ""
                                                     : "not a number from " + std::to_string(n.least) + " to " +
                                                           std::to_string(n.most) + ": " + text});
  }
  // system_id is a C-Octet String of 16 octets with the closing zero.
  const std::string systemId = Value("SmppServerSystemId", "velquor", &set);
  checks.push_back({"SmppServerSystemId", set ? systemId : "not set: velquor",
                    systemId.size() <= 15 ? "" : "longer than the 15 characters of a system_id: " + systemId});

  const bool tls = Value("SmppServerTlsPort", "0") != "0";
  auto file = [tls](const std::string& name) {
    const std::string path = Value(name, "");
    HttpValueCheck check{name, path.empty() ? "not set" : path, ""};
    if (path.empty()) {
      if (tls) check.problem = "SmppServerTlsPort is set: TLS needs SmppServerTlsCertificate and SmppServerTlsKey";
      return check;
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
      check.problem = path + ": " + std::strerror(errno);
    else if (name == "SmppServerTlsKey" && (status.st_mode & S_IROTH) != 0)
      check.problem = path + " is readable by every user (chmod o-r)";
    else if (std::ifstream in(path); !in)
      check.problem = path + " cannot be read by this user";
    return check;
  };
  checks.push_back(file("SmppServerTlsCertificate"));
  checks.push_back(file("SmppServerTlsKey"));
  return checks;
}

std::string SmppDaemonState(bool* running) {
  long stale = 0;
  const std::optional<Norvale::CSmppdState> state = Norvale::ReadSmppdState(&stale);
  *running = state.has_value();
  if (!state)
    return stale != 0 ? "not running (its state file names pid " + std::to_string(stale) + ", which has ended)"
                      : "not running";
  std::string text = "running (pid " + std::to_string(state->nPid) + ")";
  for (std::size_t i = 0; i < state->listen.size(); ++i) text += (i == 0 ? ", listening on " : ", ") + state->listen[i];
  return text;
}

std::string SmppAccountsTable() {
  const std::optional<Norvale::CSmppdState> state = Norvale::ReadSmppdState();
  if (!state || state->accounts.empty()) return "";
  char line[256];
  std::snprintf(line, sizeof line, "%-16s %5s %3s %3s %3s %11s %9s %10s %9s %9s %6s\n", "smpp account", "binds", "tx",
                "rx", "trx", "window", "submits/s", "submitted", "throttled", "delivered", "outbox");
  std::string table = line;
  for (const Norvale::CSmppdAccountState& a : state->accounts) {
    const std::string window = std::to_string(a.nWindow) + "/" + std::to_string(a.nWindowMax);
    std::snprintf(line, sizeof line, "%-16s %5u %3u %3u %3u %11s %9.1f %10llu %9llu %9llu %6llu\n", a.sName.c_str(),
                  a.nBinds, a.nTransmitters, a.nReceivers, a.nTransceivers, window.c_str(), a.dSubmitsPerSecond,
                  static_cast<unsigned long long>(a.nSubmittedTotal),
                  static_cast<unsigned long long>(a.nThrottledTotal),
                  static_cast<unsigned long long>(a.nDeliveredTotal), static_cast<unsigned long long>(a.nOutbox));
    table += line;
  }
  return table;
}

}  // namespace VelquorTool
