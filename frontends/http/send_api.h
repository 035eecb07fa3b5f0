// SendApi: POST /v1/messages, one message -> 201 {"id": N}.
#pragma once

#include "api_module.h"

namespace VelquorHttp {

class SendApi : public ApiModule {
 public:
  explicit SendApi(HttpContext& context) : m_Context(context) {}
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

 private:
  HttpContext& m_Context;
};

}  // namespace VelquorHttp
