// What the parts of velquor-http's API share, and the shape of a part. The
// program builds one HttpContext and the modules (send, status, inbox,
// Kannel's sendsms, operations); a request goes to each module in turn
// until one answers, and is refused 404 when none does.
#pragma once

#include <optional>

#include "http_server.h"

namespace VelquorHttp {

class Authenticator;
class HttpDatabase;
class Metrics;

struct HttpContext {
  Authenticator& auth;
  HttpDatabase& database;
  Metrics& metrics;
};

class ApiModule {
 public:
  virtual ~ApiModule() = default;
  // The answer, or nothing when the request is not for this module. Runs on
  // the server's threads, several at a time.
  virtual std::optional<HttpResponse> Handle(const HttpRequest& request) = 0;
};

}  // namespace VelquorHttp
