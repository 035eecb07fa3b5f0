// MessageApi: the requests of velquor-http's API, answered through the public
// client library like any application would (norvale/norvale.h), with JSON
// bodies:
//   GET  /health             200 {"status":"ok"}
//   POST /v1/messages        {"to": "...", "text": "..."} -> 201 {"id": N}
//   GET  /v1/messages/{id}   200 {"id": N, "status": S, "name": "..."}
// A refused request gets a 4xx with {"error": "...", "field": "..."} (field
// where one is to blame) and queues nothing.
#pragma once

#include "http_server.h"

namespace VelquorHttp {

class MessageApi {
 public:
  // Safe to call from several threads at once: each thread sends through a
  // library object of its own.
  HttpResponse Handle(const HttpRequest& request) const;
};

// The name of a job status, as the library's EnumJobStatus spells it
// without its prefix ("pending", "sent", "err_timeout"); "unknown" for a
// number it does not declare.
const char* JobStatusName(int status);

}  // namespace VelquorHttp
