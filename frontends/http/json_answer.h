// The JSON answers of the API: a body, and a refusal {"error": "...",
// "field": "..."} (the field where one is to blame).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "http_server.h"

namespace VelquorHttp {

using Json = nlohmann::json;

HttpResponse Answer(unsigned status, const Json& body);
HttpResponse Refuse(unsigned status, const std::string& error, const std::string& field = "");

// The request's body as a JSON object, or the refusal to send: too large,
// not JSON (invalid UTF-8 included), not an object.
std::optional<HttpResponse> ParseJsonObject(const HttpRequest& request, Json& body);

}  // namespace VelquorHttp
