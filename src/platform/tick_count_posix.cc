#include "platform/tick_count.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace Norvale::OS {
namespace {

std::atomic<bool> g_virtual{false};
std::atomic<DWORD> g_virtualTicks{0};

thread_local DWORD t_lastError = 0;

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD GetTickCount() {
  if (g_virtual.load(std::memory_order_acquire)) return g_virtualTicks.load(std::memory_order_acquire);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);  // wraps, as the Windows counter does
}

void Sleep(DWORD dwMilliseconds) {
  if (g_virtual.load(std::memory_order_acquire)) {
    VirtualTime::Advance(dwMilliseconds);
    return;
  }
  timespec ts{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

namespace VirtualTime {
void Enable(DWORD start) {
  g_virtualTicks.store(start, std::memory_order_release);
  g_virtual.store(true, std::memory_order_release);
}
void Disable() { g_virtual.store(false, std::memory_order_release); }
bool IsEnabled() { return g_virtual.load(std::memory_order_acquire); }
void Advance(DWORD dwMilliseconds) { g_virtualTicks.fetch_add(dwMilliseconds, std::memory_order_acq_rel); }
}  // namespace VirtualTime

}  // namespace Norvale::OS
