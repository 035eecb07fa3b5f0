// The one time-stamp format of the engine, written into TmStamp of
// SMSIncoming (the time of reception) and SMSNotifications (the time of the
// event): ISO 8601 in UTC to the second, "2026-05-01T12:34:56Z". Texts in this
// format sort like the times they name, which the clean-up relies on.
#pragma once

#include <chrono>
#include <string>

namespace Norvale {

std::string FormatTimeStamp(std::chrono::system_clock::time_point Time);
inline std::string TimeStampNow() { return FormatTimeStamp(std::chrono::system_clock::now()); }

}  // namespace Norvale
