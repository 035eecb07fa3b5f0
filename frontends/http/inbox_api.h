// InboxApi: GET /v1/inbox?wait=30s&handset=N&limit=100 -> 200 {"events": [...]}.
// Takes (removes) up to `limit` (1..1000, default 100) of the account's
// events, of one handset when `handset` (1..8) is given, oldest first, in one
// transaction. With `wait` ("30s", "500ms", or plain seconds; at most 60 s)
// and an empty inbox, the answer waits for the first event or the end of the
// wait (then with an empty list). A waiting request parks its connection
// (the server's suspend and resume) and holds no server thread, so long
// polls never hold up other requests; the pump's ring for the account
// (EventSignal) or the deadline wakes it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "api_module.h"
#include "event_signal.h"
#include "json_answer.h"

namespace VelquorHttp {

class InboxApi : public ApiModule {
 public:
  InboxApi(HttpContext& context, EventSignal& signal) : m_Context(context), m_Signal(signal) {}
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

  // Takes up to `limit` events of the account (of `handset`, 0: any).
  Json Take(const std::string& account, int handset, int limit);

 private:
  HttpContext& m_Context;
  EventSignal& m_Signal;
};

// The value of `wait`: "30s", "500ms", "2.5s" or plain seconds, 0 to 60 s;
// nothing when it is none of these.
std::optional<std::chrono::milliseconds> ParseWait(const std::string& text);

}  // namespace VelquorHttp
