// StatusApi: GET /v1/messages/{id} -> 200 {"id", "status", "name", "state",
// "to", "handset", "client_ref", "history": [...]}: the job's row while
// SMSOutgoing holds it, its life from the message history (CMessageHistory)
// also after it was cleared; 404 "unknown or cleared" when the job is not the
// caller's (HttpJobs) or neither exists.
#pragma once

#include "api_module.h"

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

}  // namespace VelquorHttp
