#include "openapi_api.h"

#include "json_answer.h"
#include "openapi_json.h"

namespace VelquorHttp {

std::optional<HttpResponse> OpenApiApi::Handle(const HttpRequest& request) {
  if (request.path != "/v1/openapi.json") return std::nullopt;
  if (request.method != "GET" && request.method != "HEAD") return Refuse(405, "use GET");
  HttpResponse response;
  response.body = kOpenApiJson;
  return response;
}

}  // namespace VelquorHttp
