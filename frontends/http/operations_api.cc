#include "operations_api.h"

#include "json_answer.h"

namespace VelquorHttp {

std::optional<HttpResponse> OperationsApi::Handle(const HttpRequest& request) {
  if (request.path != "/health") return std::nullopt;
  if (request.method != "GET") return Refuse(405, "use GET");
  return Answer(200, {{"status", "ok"}});
}

}  // namespace VelquorHttp
