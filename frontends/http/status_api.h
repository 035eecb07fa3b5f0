// StatusApi: GET /v1/messages/{id} -> 200 {"id", "status", "name", "state",
// "to", "handset", "client_ref", "history": [...]}: the job's row while
// SMSOutgoing holds it, its life from the message history (CMessageHistory)
// also after it was cleared; 404 "unknown or cleared" when the job is not the
// caller's (HttpJobs) or neither exists.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "api_module.h"
#include "queues/message_history.h"

namespace VelquorHttp {

class StatusApi : public ApiModule {
 public:
  explicit StatusApi(HttpContext& context) : m_Context(context) {}
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

 private:
  HttpContext& m_Context;
};

// The name of a job status, as the library's EnumJobStatus spells it
// without its prefix ("pending", "sent", "err_timeout"); "unknown" for a
// number it does not declare.
const char* JobStatusName(int status);

// A job's life: its row while SMSOutgoing holds it, its events, and what
// they come to.
struct MessageLife {
  std::optional<Norvale::CQueuedJob> row;
  std::vector<Norvale::CHistoryEvent> events;
  long status = 0;  // the row's, else that of the last outcome in the history
  bool delivered = false;
  std::optional<long> handset;  // the handset that took it, or that was asked for
  // "pending", "processing", "sent", "delivered" or "failed".
  const char* State() const;
  // Whether it can change no more (delivered, failed, or sent without a report).
  bool Final() const;
};

// The job's life, or nothing when neither its row nor its history exists.
// Raises on database failures.
std::optional<MessageLife> ReadMessageLife(Norvale::CDBConnectionDispensor& db, std::int32_t id);

}  // namespace VelquorHttp
