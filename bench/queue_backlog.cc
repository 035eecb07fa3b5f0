// Queues text messages through the client library, as a client program
// would, for a benchmark of how fast an engine drains them or of how long a
// message takes from SendMsg to the SMSC:
//
//   NORVALE_ROOT=... build/bench/queue_backlog [--messages=N] [--threads=T]
//                                              [--rate=R] [--stamps=1]
//
// Each message is Velquor::SendMsg("+447700900123", text, 0) in this one
// process (velquor send per message costs a process start and a connection
// each); the text is "Benchmark message", or with --stamps=1
// "Benchmark message K" (K = 1..N, each message its own).
// --threads   T threads (default 1), each with its own Velquor object, share
//             the N messages.
// --rate      at most R messages a second in all (default 0: as fast as
//             they go), each thread on its own even schedule of R/T a second.
// --stamps=1  after each SendMsg returns, one line "EPOCH K" on standard
//             output (seconds since the epoch, CLOCK_REALTIME): with the
//             sink's --times file, the time from SendMsg to the submit_sm.
// Prints last "queued N in S s from EPOCH" (EPOCH: before the first send);
// exit code 1 when a send failed.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_arguments.h"
#include "norvale/velquor.h"

namespace {

double EpochSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  long messages = 1000, threads = 1, rate = 0, stamps = 0;
  const Bench::NumberOption options[] = {{"--messages", 1, 10000000, &messages},
                                         {"--threads", 1, 64, &threads},
                                         {"--rate", 0, 1000000, &rate},
                                         {"--stamps", 0, 1, &stamps}};
  std::vector<char*> benchmarkFlags;
  if (const std::string error = Bench::ParseArguments(argc, argv, options, benchmarkFlags); !error.empty()) {
    std::fprintf(stderr, "queue_backlog: %s\n", error.c_str());
    return 2;
  }
  std::atomic<long> next{0};
  std::atomic<bool> failed{false};
  std::mutex outputMutex;
  const double startEpoch = EpochSeconds();
  const auto start = std::chrono::steady_clock::now();
  auto sender = [&](long nThread) {
    try {
      Norvale::Velquor velquor;
      const auto interval =
          rate > 0 ? std::chrono::duration<double>(static_cast<double>(threads) / static_cast<double>(rate))
                   : std::chrono::duration<double>(0);
      // Threads start staggered over one interval, so the sends are even.
      auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             interval * (static_cast<double>(nThread) / static_cast<double>(threads)));
      for (;;) {
        if (rate > 0) {
          std::this_thread::sleep_until(due);
          due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
        }
        const long k = ++next;
        if (k > messages || failed) return;
        velquor.SendMsg("+447700900123", stamps ? "Benchmark message " + std::to_string(k) : "Benchmark message", 0);
        if (stamps) {
          const double sent = EpochSeconds();
          const std::lock_guard lock(outputMutex);
          std::printf("%.6f %ld\n", sent, k);
        }
      }
    } catch (const Norvale::_com_error& e) {
      const std::lock_guard lock(outputMutex);
      std::fprintf(stderr, "queue_backlog: %s (0x%08X)\n", e.DescriptionA().c_str(), static_cast<unsigned>(e.Error()));
      failed = true;
    } catch (const std::exception& e) {
      const std::lock_guard lock(outputMutex);
      std::fprintf(stderr, "queue_backlog: %s\n", e.what());
      failed = true;
    }
  };
  std::vector<std::thread> workers;
  for (long t = 0; t < threads; ++t) workers.emplace_back(sender, t);
  for (auto& worker : workers) worker.join();
  if (failed) return 1;
  std::printf("queued %ld in %.3f s from %.6f\n", messages,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), startEpoch);
  return 0;
}
