// The delivery-report calls of Kannel's sendsms: a job sent with a dlr-url
// and a dlr-mask gets a GET of that URL, its %-escapes filled in, for each
// report the mask asks for.
#pragma once

#include <cstdint>
#include <string>

namespace VelquorHttp {

// What a report tells, as the escapes need it.
struct KannelDlrEvent {
  std::int32_t jobId = 0;
  int dlrValue = 0;              // Kannel's report kinds: 1 delivered, 2 failed, 4 queued, 8 sent, 16 rejected
  std::string phoneNumber;       // the destination
  std::string sender;            // the sender, where one was given
  std::string text;              // the message's text
  std::string reply;             // the network's answer ("ACK/", "NACK/...")
  std::int64_t timeSeconds = 0;  // when it happened (Unix time)
  int handset = 0;
};

// Whether a report of this kind is asked for by the mask.
bool KannelDlrWanted(int dlrMask, const KannelDlrEvent& event);

// The URL to call: `url` with its escapes (%d, %T, %p, %i, ...) filled in,
// URL-encoded.
std::string KannelDlrUrl(const std::string& url, const KannelDlrEvent& event);

// The bytes in upper-case hexadecimal, two digits each.
std::string UpperHex(const std::string& bytes);

}  // namespace VelquorHttp
