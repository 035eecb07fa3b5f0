// The configuration values of velquor's daemons (velquor-http,
// velquor-smppd) as `velquor check` reads them: read as the daemon reads
// them (unset or empty gives its default) and checked as it checks them at
// start, each with what is shown and the problem found, if any.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace VelquorTool {

struct DaemonValueCheck {
  std::string name;
  std::string shown;    // the value, or "not set: <default>"
  std::string problem;  // empty: usable
};

// A whole number the daemon takes from `least` to `most`.
struct DaemonNumber {
  const char* name;
  const char* fallback;
  long least, most;
};

// The value, or `fallback` where it is unset or empty; `set` tells which.
std::string DaemonValue(const std::string& name, const std::string& fallback, bool* set = nullptr);
// Whether `text` is a whole number from `least` to `most`.
bool InRange(const std::string& text, long least, long most);

// Whether the daemon concerns this machine: the program is installed (beside
// this one or in /usr/bin), or one of its values is set.
bool DaemonInUse(const char* program, std::span<const char* const> texts, std::span<const DaemonNumber> numbers);

// The listening address `name` (an IPv4 address, 127.0.0.1 when unset) and
// each number.
void CheckListenAndNumbers(const char* name, std::span<const DaemonNumber> numbers,
                           std::vector<DaemonValueCheck>& checks);
// A TLS certificate or key file named by `name` (path empty: unset, shown
// as `unset`): it must exist and be readable, and a key must not be
// readable by every user.
DaemonValueCheck CheckTlsFile(const std::string& name, const std::string& path, bool bKey, const std::string& unset);

}  // namespace VelquorTool
