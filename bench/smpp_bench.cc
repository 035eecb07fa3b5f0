// The SMPP driver against the local test SMS centre (tests/smsc/smsc.js on
// the npm package smpp), window 10, no delivery receipts:
//   driver   threads calling CSmppDriver::Submit at once (the engine's
//            driver, its I/O thread and session), until N are answered;
//   raw      one loop writing the same submit_sm PDUs to a socket of its own
//            (as many as the window allows in one write) and reading the responses, 10 outstanding at most: the floor
//            of the SMSC and loopback TCP;
//   engine   velquor-server with one SMPP handset: N jobs sent through the
//            client library, until every one is recorded as sent (queue ->
//            driver -> SMSC -> status); and the same with the simulator
//            driver, the engine's own ceiling.
// Prints submits per second and the ratio driver / raw (time per submit).
// Each measurement is the median of a few rounds.
//
//   build/bench/smpp_bench [--messages=N]   (default 5000)
//
// Google Benchmark's --benchmark_... flags are accepted, so that a run of
// every benchmark with the same flags goes through, and have no effect:
// this program times its rounds itself. Anything else is refused.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include "bench_arguments.h"
#include "codec/sms_split.h"
#include "config/norvale_encryption.h"
#include "norvale/velquor.h"
#include "platform/database.h"
#include "queues/queue_schema.h"
#include "server/drivers/smpp/smpp_driver.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"
#include "smpp/submit_builder.h"
#include "smsc_process.h"

using namespace Norvale;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kWindow = 10;
constexpr int kRounds = 3;

struct NoEvents : IDriverEvents {
  void OnMessageReceived(CIncomingSms) override {}
  void OnDeliveryReport(CDeliveryReport) override {}
};

Sms::UserDataPart Text() { return Sms::SplitText("Benchmark message", 0).front(); }

struct Cost {
  double dWall = -1;  // seconds
  double dCpu = 0;    // seconds of the process, user and system
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// N submits through the driver from kWindow threads.
Cost DriverRun(uint16_t nPort, int nCount) {
  CSettingValues values{{"Host", "127.0.0.1"},
                        {"Port", std::to_string(nPort)},
                        {"SystemId", "velquor"},
                        {"Password", CNorvaleEncryption().EncryptString("secret")},
                        {"WindowSize", std::to_string(kWindow)},
                        {"DeliveryReports", "0"}};
  CSmppDriver driver(1, values);
  NoEvents events;
  driver.Start(&events);
  for (auto end = Clock::now() + 10s; !driver.GetState().bRegistered && Clock::now() < end;)
    std::this_thread::sleep_for(1ms);
  const COutgoingSms message{1, 1, 1, Sms::PhoneNumber::FromText("+447700900123"), Text(), false, {}};
  std::atomic<int> left{nCount}, failed{0};
  const auto start = Clock::now();
  const double cpu = CpuSeconds();
  std::vector<std::thread> threads;
  for (int t = 0; t < kWindow; ++t)
    threads.emplace_back([&] {
      while (left.fetch_sub(1) > 0)
        if (driver.Submit(message).eOutcome != ESubmitOutcome::Accepted) ++failed;
    });
  for (auto& t : threads) t.join();
  const Cost cost{std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu};
  driver.Stop();
  if (failed) std::fprintf(stderr, "driver: %d submits failed\n", failed.load());
  return cost;
}

// N submits written by a plain loop with kWindow outstanding.
Cost RawRun(uint16_t nPort, int nCount) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(nPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<uint8_t> bind =
      Smpp::EncodePdu(Smpp::Pdu{Smpp::Id(Smpp::ECommandId::BindTransceiver), 0, 1,
                                Smpp::BindBody{"velquor", "secret", "", Smpp::kInterfaceVersion, 0, 0, ""}});
  (void)!write(fd, bind.data(), bind.size());
  Smpp::CPduFramer framer;
  uint8_t buffer[16384];
  auto readSome = [&]() -> int {  // PDUs read
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return -1;
    framer.Append(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
    int got = 0;
    while (framer.Next()) ++got;
    return got;
  };
  if (readSome() < 1) return {};  // bind_resp
  Smpp::SubmitSettings settings;
  std::vector<uint8_t> submit = Smpp::EncodePdu(
      Smpp::Pdu{Smpp::Id(Smpp::ECommandId::SubmitSm), 0, 2,
                Smpp::BuildSubmitSm(settings, Sms::PhoneNumber::FromText("+447700900123"), Text(), false)});
  int sent = 0, answered = 0;
  uint32_t sequence = 2;
  const auto start = Clock::now();
  const double cpu = CpuSeconds();
  std::vector<uint8_t> out;
  while (answered < nCount) {
    // As many as the window takes, in one write.
    out.clear();
    while (sent < nCount && sent - answered < kWindow) {
      ++sequence;
      submit[12] = static_cast<uint8_t>(sequence >> 24);
      submit[13] = static_cast<uint8_t>(sequence >> 16);
      submit[14] = static_cast<uint8_t>(sequence >> 8);
      submit[15] = static_cast<uint8_t>(sequence);
      out.insert(out.end(), submit.begin(), submit.end());
      ++sent;
    }
    if (!out.empty() && write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) return {};
    const int got = readSome();
    if (got < 0) return {};
    answered += got;
  }
  const Cost cost{std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu};
  close(fd);
  return cost;
}

void WriteValue(const std::string& dir, const std::string& name, const std::string& value) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/" + name) << value;
}

// Seconds for N jobs from SendMsg until all are recorded as sent.
double EngineRun(const std::map<std::string, std::string>& Handset, int nCount, const std::string& root) {
  // One file for both runs, emptied: the client library keeps what it
  // opened for the life of the process.
  const std::string dsn = "sqlite:" + root + "/queue.db";
  {
    OS::Connection c;
    c.Open("Data Source=" + dsn, "", "");
    CreateQueueSchema(c, dsn);
    OS::_variant_t n;
    for (const char* t : {"SMSOutgoing", "SMSIncoming", "SMSNotifications", "SMSMessageRefs", "SMSOutgoingMarks"})
      c.Execute(std::string("DELETE FROM ") + t, &n, OS::adCmdText);
  }
  const std::string key = root + "/etc/norvale/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Norvale/Velquor";
  std::filesystem::remove_all(key);
  for (const auto& [k, v] : std::map<std::string, std::string>{{"InstalledType", "Server"},
                                                               {"InstalledPath", "/opt/velquor"},
                                                               {"OutgoingQueueEnabled", "1"},
                                                               {"IncomingQueueEnabled", "1"},
                                                               {"DSN", dsn},
                                                               {"Username", ""},
                                                               {"Password", ""},
                                                               {"PollInterval", "50"}})
    WriteValue(key, k, v);
  for (const auto& [k, v] : Handset) WriteValue(key + "/Handsets/1", k, v);
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("NORVALE_EVENTLOG", ("file:" + root + "/events.jsonl").c_str(), 1);
    execl(VELQUOR_SERVER, VELQUOR_SERVER, static_cast<char*>(nullptr));
    _exit(127);
  }
  OS::Connection c;
  c.Open("Data Source=" + dsn, "", "");
  OS::_variant_t n;
  auto sentCount = [&]() -> long {
    try {
      return c.Execute("SELECT COUNT(*) AS N FROM SMSNotifications", &n, OS::adCmdText)->GetFieldValue("N").ToLong();
    } catch (const OS::_com_error&) {
      return 0;  // the engine holds the file this moment
    }
  };
  double seconds = -1;
  {
    Velquor velquor;
    std::this_thread::sleep_for(500ms);  // the engine binds
    const auto start = Clock::now();
    for (int i = 0; i < nCount; ++i) velquor.SendMsg("+447700900123", "Benchmark message", 0);
    for (auto end = start + 120s; Clock::now() < end; std::this_thread::sleep_for(5ms))
      if (sentCount() >= nCount) {
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        break;
      }
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (seconds < 0) {
    std::ifstream events(root + "/events.jsonl");
    long rows = -1;
    try {
      rows = c.Execute("SELECT COUNT(*) AS N FROM SMSOutgoing", &n, OS::adCmdText)->GetFieldValue("N").ToLong();
    } catch (const OS::_com_error&) {
    }
    std::fprintf(stderr, "the engine did not send %d jobs in time (sent %ld of %ld); its log:\n%s\n", nCount,
                 sentCount(), rows, std::string(std::istreambuf_iterator<char>(events), {}).c_str());
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  long messages = 5000;
  const Bench::NumberOption options[] = {{"--messages", 1, 10000000, &messages}};
  std::vector<char*> benchmarkFlags;
  if (const std::string error = Bench::ParseArguments(argc, argv, options, benchmarkFlags); !error.empty()) {
    std::fprintf(stderr, "smpp_bench: %s\n", error.c_str());
    return 2;
  }
  for (const char* flag : benchmarkFlags) std::fprintf(stderr, "smpp_bench: %s has no effect here\n", flag);
  const int count = static_cast<int>(messages);
  std::string root = (std::filesystem::temp_directory_path() / "velquor-smpp-bench-XXXXXX").string();
  if (!mkdtemp(root.data())) return 2;
  setenv("NORVALE_ROOT", root.c_str(), 1);
  setenv("NORVALE_EVENTLOG", "none", 1);
  auto smsc =
      std::make_unique<SmscTest::CSmscProcess>(std::vector<std::string>{"node", "smsc.js", "--port", "0", "--quiet"});
  if (smsc->Port() == 0) return 2;
  std::vector<double> driver, raw, driverCpu, rawCpu;
  for (int round = 0; round < (getenv("SMPP_BENCH_ENGINE_ONLY") ? 0 : kRounds); ++round) {
    const Cost r = RawRun(smsc->Port(), count), d = DriverRun(smsc->Port(), count);
    raw.push_back(r.dWall);
    rawCpu.push_back(r.dCpu);
    driver.push_back(d.dWall);
    driverCpu.push_back(d.dCpu);
  }
  const double engineCount = std::min(count, 1000);
  // The same engine with the driver that costs nothing: what the engine
  // itself allows.
  const double simulated = EngineRun({{"Driver", "simulator"}, {"Reports", "0"}}, static_cast<int>(engineCount), root);
  const double engine = EngineRun({{"Driver", "smpp"},
                                   {"Host", "127.0.0.1"},
                                   {"Port", std::to_string(smsc->Port())},
                                   {"SystemId", "velquor"},
                                   {"Password", CNorvaleEncryption().EncryptString("secret")},
                                   {"DeliveryReports", "0"}},
                                  static_cast<int>(engineCount), root);
  double load[3] = {};
  std::ifstream("/proc/loadavg") >> load[0] >> load[1] >> load[2];
  if (driver.empty()) driver = raw = driverCpu = rawCpu = {1};
  const double d = Median(driver), r = Median(raw);
  std::printf("SMPP against smsc.js on loopback, window %d, %d submits per round, median of %d rounds\n", kWindow,
              count, kRounds);
  std::printf("  raw loop         %9.0f submits/s\n", count / r);
  std::printf("  driver alone     %9.0f submits/s   ratio to raw %.2fx (time per submit)\n", count / d, d / r);
  const double dc = Median(driverCpu), rc = Median(rawCpu);
  std::printf("  CPU per submit   raw %.1f us, driver %.1f us: ratio %.2fx (this process only, not the SMSC)\n",
              rc / count * 1e6, dc / count * 1e6, dc / rc);
  if (engine > 0)
    std::printf("  whole engine     %9.0f jobs/s      (%d jobs: queue -> driver -> SMSC -> status)\n",
                engineCount / engine, static_cast<int>(engineCount));
  else
    std::printf("  whole engine     did not finish\n");
  if (simulated > 0 && engine > 0)
    std::printf(
        "  same, simulator  %9.0f jobs/s      (the engine's own ceiling; time per job SMPP / simulator %.2fx)\n",
        engineCount / simulated, engine / simulated);
  std::printf("  load average     %.2f %.2f %.2f on %u cores\n", load[0], load[1], load[2],
              std::thread::hardware_concurrency());
  smsc.reset();
  std::filesystem::remove_all(root);
  return 0;
}
