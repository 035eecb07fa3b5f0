#include "bench_arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  std::string sError;
  long nMessages = 5000;
  long nRounds = 3;
  std::vector<std::string> passed;
};

Parsed Parse(std::vector<std::string> args) {
  Parsed parsed;
  args.insert(args.begin(), "smpp_bench");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  const Bench::NumberOption options[] = {{"--messages", 1, 10000000, &parsed.nMessages},
                                         {"--rounds", 1, 100, &parsed.nRounds}};
  std::vector<char*> passThrough{argv[0]};
  parsed.sError = Bench::ParseArguments(static_cast<int>(argv.size()), argv.data(), options, passThrough);
  for (char* p : passThrough) parsed.passed.emplace_back(p);
  return parsed;
}

// Google Benchmark's flags pass through untouched and change no count (one
// of them used to be read as a message count of 0).
TEST(BenchArguments, OwnOptionsAreReadAndBenchmarkFlagsPassThrough) {
  const Parsed p = Parse({"--benchmark_color=false", "--messages=2000", "--benchmark_filter=raw"});
  EXPECT_EQ(p.sError, "");
  EXPECT_EQ(p.nMessages, 2000);
  EXPECT_EQ(p.nRounds, 3);
  EXPECT_EQ(p.passed, (std::vector<std::string>{"smpp_bench", "--benchmark_color=false", "--benchmark_filter=raw"}));
  EXPECT_EQ(Parse({}).nMessages, 5000);
}

TEST(BenchArguments, AnythingElseIsRefusedWithWhatIsAccepted) {
  for (const char* bad : {"2000", "--messages", "--messages=", "--messages=0", "--messages=12x", "--messages=-5",
                          "--messages=99999999999", "--message=5", "--rounds=101", "-v"}) {
    const Parsed p = Parse({bad});
    EXPECT_NE(p.sError.find(bad), std::string::npos) << bad << ": " << p.sError;
    EXPECT_EQ(p.nMessages, 5000) << bad;
  }
  EXPECT_NE(Parse({"--bogus"}).sError.find("--messages=N (1..10000000)"), std::string::npos);
}

}  // namespace
