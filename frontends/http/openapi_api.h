// OpenApiApi: GET /v1/openapi.json, the API's OpenAPI 3 document
// (docs/openapi.json, compiled in), without authentication.
#pragma once

#include "api_module.h"

namespace VelquorHttp {

class OpenApiApi : public ApiModule {
 public:
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;
};

}  // namespace VelquorHttp
