// OperationsApi: GET /health (the process answers).
#pragma once

#include "api_module.h"

namespace VelquorHttp {

class OperationsApi : public ApiModule {
 public:
  explicit OperationsApi(HttpContext& context) : m_Context(context) {}
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

 private:
  HttpContext& m_Context;
};

}  // namespace VelquorHttp
