#include "daemon_values.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "config/config_reg.h"

namespace VelquorTool {

std::string DaemonValue(const std::string& name, const std::string& fallback, bool* set) {
  const std::string value = Norvale::RUProductValue(name);
  if (set != nullptr) *set = !value.empty();
  return value.empty() ? fallback : value;
}

bool InRange(const std::string& text, long least, long most) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= least && value <= most;
}

bool DaemonInUse(const char* program, std::span<const char* const> texts, std::span<const DaemonNumber> numbers) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
  if (access((self / program).c_str(), X_OK) == 0 || access((std::string("/usr/bin/") + program).c_str(), X_OK) == 0)
    return true;
  bool set = false;
  for (const char* name : texts) {
    DaemonValue(name, "", &set);
    if (set) return true;
  }
  for (const auto& n : numbers) {
    DaemonValue(n.name, "", &set);
    if (set) return true;
  }
  return false;
}

void CheckListenAndNumbers(const char* name, std::span<const DaemonNumber> numbers,
                           std::vector<DaemonValueCheck>& checks) {
  bool set = false;
  const std::string listen = DaemonValue(name, "127.0.0.1", &set);
  in_addr address{};
  checks.push_back({name, set ? listen : "not set: 127.0.0.1",
                    inet_pton(AF_INET, listen.c_str(), &address) == 1 ? "" : "not an IPv4 address: " + listen});
  for (const auto& n : numbers) {
    const std::string text = DaemonValue(n.name, n.fallback, &set);
    checks.push_back({n.name, set ? text : std::string("not set: ") + n.fallback,
                      InRange(text, n.least, n.most) ? ""
                                                     : "not a number from " + std::to_string(n.least) + " to " +
                                                           std::to_string(n.most) + ": " + text});
  }
}

DaemonValueCheck CheckTlsFile(const std::string& name, const std::string& path, bool bKey, const std::string& unset) {
  DaemonValueCheck check{name, path.empty() ? unset : path, ""};
  if (path.empty()) return check;
  struct stat status {};
  if (stat(path.c_str(), &status) != 0)
    check.problem = path + ": " + std::strerror(errno);
  else if (bKey && (status.st_mode & S_IROTH) != 0)
    check.problem = path + " is readable by every user; the daemon refuses it (chmod o-r)";
  else if (std::ifstream in(path); !in)
    check.problem = path + " cannot be read by this user";
  return check;
}

}  // namespace VelquorTool
