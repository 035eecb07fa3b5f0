// StatusApi: GET /v1/messages/{id} -> 200 {"id": N, "status": S, "name": "..."}.
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
