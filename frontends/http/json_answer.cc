#include "json_answer.h"

namespace VelquorHttp {

HttpResponse Answer(unsigned status, const Json& body) {
  HttpResponse response;
  response.status = status;
  response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

HttpResponse Refuse(unsigned status, const std::string& error, const std::string& field) {
  Json body = {{"error", error}};
  if (!field.empty()) body["field"] = field;
  return Answer(status, body);
}

std::optional<HttpResponse> ParseJsonObject(const HttpRequest& request, Json& body) {
  if (request.bodyTooLarge) return Refuse(413, "the request body is too large");
  body = Json::parse(request.body, nullptr, false);
  if (body.is_discarded()) return Refuse(400, "the request body is not valid JSON");
  if (!body.is_object()) return Refuse(400, "the request body is not a JSON object");
  return std::nullopt;
}

}  // namespace VelquorHttp
