// SendApi: POST /v1/messages (one message -> 201 {"id": N}) and
// POST /v1/messages/batch ({"messages": [...]}, 1 to 1,000 -> 201
// {"ids": [...]}, in order).
//
// A message is {"to", one of "text" | "unicode_hex" | "data": {"dcs", "udh",
// "ud"}, and optionally "handset", "callback_url", "client_ref"}. Every field
// is checked before anything is queued; a refusal is a 4xx naming the field
// ("to", or "messages[3].to" in a batch) and queues nothing. The jobs
// (SourceType stHttpApi, SourceId the account's name), their HttpJobs rows
// and, with an Idempotency-Key, the kept answer commit in one transaction: a
// request is queued whole or not at all, also when the process dies in it.
#pragma once

#include <atomic>
#include <cstdint>

#include <optional>
#include <string>

#include "accounts/api_account_store.h"
#include "api_module.h"
#include "json_answer.h"

namespace VelquorHttp {

class SendApi : public ApiModule {
 public:
  // Reads HttpIdempotencyHours (default 24).
  explicit SendApi(HttpContext& context);
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;
  // Queues one message (the JSON object of POST /v1/messages) for the
  // account, as that request does after its authentication: 201 {"id": N},
  // or the refusal.
  HttpResponse SendOne(const Norvale::CApiAccount& account, const Json& message);

  static constexpr unsigned kMaxBatch = 1000;

 private:
  // Removes the idempotency rows past their time, at most once a minute, on
  // the thread of a request that comes by.
  void PruneNowAndThen(std::int64_t now);
  // Checks and queues the messages of a request whose idempotency key (if
  // any) was looked up already.
  HttpResponse Queue(const Norvale::CApiAccount& account, const Json& body, bool batch,
                     const std::optional<std::string>& key, const std::string& hash, std::int64_t now);

  HttpContext& m_Context;
  std::int64_t m_nIdempotencyMs;
  std::atomic<std::int64_t> m_nNextPrune{0};
};

}  // namespace VelquorHttp
