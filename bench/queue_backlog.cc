// Queues a backlog of text messages through the client library, as a client
// program would, for a benchmark of how fast an engine drains it:
//
//   NORVALE_ROOT=... build/bench/queue_backlog --messages=N
//
// Each is Velquor::SendMsg("+447700900123", "Benchmark message", 0) in one
// process (velquor send per message costs a process start and a connection
// each). Prints the number queued and the seconds it took; exit code 1 when
// a send failed.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_arguments.h"
#include "norvale/velquor.h"

int main(int argc, char** argv) {
  long messages = 1000;
  const Bench::NumberOption options[] = {{"--messages", 1, 10000000, &messages}};
  std::vector<char*> benchmarkFlags;
  if (const std::string error = Bench::ParseArguments(argc, argv, options, benchmarkFlags); !error.empty()) {
    std::fprintf(stderr, "queue_backlog: %s\n", error.c_str());
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  try {
    Norvale::Velquor velquor;
    for (long i = 0; i < messages; ++i) velquor.SendMsg("+447700900123", "Benchmark message", 0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "queue_backlog: %s\n", e.what());
    return 1;
  }
  std::printf("queued %ld in %.3f s\n", messages,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return 0;
}
