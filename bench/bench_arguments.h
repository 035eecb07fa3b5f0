// The command line of a benchmark program that has numeric options of its
// own ("--messages=5000") beside Google Benchmark's flags ("--benchmark_...").
// Every argument must be one or the other: a bare number or an unknown
// option is refused with a message, rather than read as something it is not.
#pragma once

#include <charconv>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Bench {

struct NumberOption {
  std::string_view sName;  // "--messages"
  long nMin = 0;
  long nMax = 0;
  long* pValue = nullptr;  // set when the option is given
};

// Reads argv[1..]. "--name=N" sets the option of that name (N a decimal
// integer in [nMin, nMax]); arguments starting with "--benchmark_" are
// appended to `passThrough` (which the caller starts with argv[0], for
// benchmark::Initialize). Returns "" when every argument was one of these,
// else a message naming the first other one and what is accepted.
inline std::string ParseArguments(int argc, char** argv, std::span<const NumberOption> options,
                                  std::vector<char*>& passThrough) {
  auto usage = [&] {
    std::string text = "accepted:";
    for (const NumberOption& o : options)
      text += " " + std::string(o.sName) + "=N (" + std::to_string(o.nMin) + ".." + std::to_string(o.nMax) + ")";
    return text + " and Google Benchmark's --benchmark_... flags";
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--benchmark_")) {
      passThrough.push_back(argv[i]);
      continue;
    }
    bool known = false;
    for (const NumberOption& o : options) {
      if (!arg.starts_with(o.sName) || arg.size() <= o.sName.size() || arg[o.sName.size()] != '=') continue;
      const std::string_view text = arg.substr(o.sName.size() + 1);
      long value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error != std::errc() || end != text.data() + text.size() || text.empty() || value < o.nMin || value > o.nMax)
        return "'" + std::string(arg) + "': " + std::string(o.sName) + " takes a whole number from " +
               std::to_string(o.nMin) + " to " + std::to_string(o.nMax);
      *o.pValue = value;
      known = true;
      break;
    }
    if (!known) return "unknown argument '" + std::string(arg) + "'; " + usage();
  }
  return "";
}

}  // namespace Bench
