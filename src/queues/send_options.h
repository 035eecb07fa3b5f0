// CSendOptions: what a message may say beyond its number, content and
// handset: who it is from, how urgent it is, when it may leave, until when it
// is worth trying, whether a delivery report is wanted, and the sender's own
// reference, returned in its notifications. Every field is optional; a job
// without any is sent as before. They are stored in nullable columns of
// SMSOutgoing (Sender, Priority, NotBefore, ValidUntil, ReportRequest,
// ClientRef) that the library's own statements neither write nor need.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Norvale {

struct CSendOptions {
  // Alphanumeric (up to 11 GSM characters) or a number; "" for the
  // connection's own.
  std::string sSender;
  // 0 normal, 1 high (claimed first).
  std::optional<int> nPriority;
  // Milliseconds since the epoch (UTC): not sent before.
  std::optional<std::int64_t> nNotBefore;
  // Milliseconds since the epoch (UTC): failed, never sent, once past.
  std::optional<std::int64_t> nValidUntil;
  // Whether to ask for a delivery report; none: the handset's setting.
  std::optional<bool> bReportRequest;
  // Returned in the job's notifications; "" none.
  std::string sClientRef;

  bool Empty() const {
    return sSender.empty() && !nPriority && !nNotBefore && !nValidUntil && !bReportRequest && sClientRef.empty();
  }
};

}  // namespace Norvale
