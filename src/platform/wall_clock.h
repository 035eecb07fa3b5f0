#pragma once
// The wall clock as the queue tables and the front ends keep times:
// milliseconds since 1970 (UTC).

#include <chrono>
#include <cstdint>

namespace Norvale::OS {

inline std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace Norvale::OS
