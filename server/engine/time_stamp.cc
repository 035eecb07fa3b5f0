#include "server/engine/time_stamp.h"

#include <ctime>

namespace Norvale {

std::string FormatTimeStamp(std::chrono::system_clock::time_point Time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(Time);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace Norvale
