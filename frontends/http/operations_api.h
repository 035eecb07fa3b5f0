// OperationsApi: the paths for monitoring, without authentication.
//   GET /health   200 {"status": "ok"} while the process answers.
//   GET /ready    200 {"status": "ready", "database": "ok", "engine":
//                 "running"} when a query on the queue database answers
//                 within its time-outs (at most 5 s for the query) and the
//                 engine's service VelquorServer runs and reports its engine
//                 running; else 503 {"status": "not ready", "database": ...,
//                 "engine": ..., "error": ...} saying what is not ready. The
//                 first probe that reaches the database makes the daemon's
//                 tables when the start could not.
//   GET /metrics  the daemon's metrics in the Prometheus text format, with
//                 velquor_queue_depth{queue, status} counted at the scrape.
#pragma once

#include <atomic>
#include <nlohmann/json.hpp>

#include "api_module.h"

namespace VelquorHttp {

class OperationsApi : public ApiModule {
 public:
  // Describes every metric of the daemon.
  explicit OperationsApi(HttpContext& context);
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

 private:
  HttpResponse Ready();
  HttpResponse MetricsText();
  // "ok", or why the database does not answer.
  std::string DatabaseState();

  HttpContext& m_Context;
  std::atomic<bool> m_schemaMade{false};
};

// "running", or why the engine does not run (its service state, or the
// engine's own state when the service runs). With `published`: the state the
// engine publishes (run/norvale/VelquorServer.handsets.json, the file
// `velquor service status` reads: its handsets, their drivers, connections,
// signal, last error and counters) while its service runs, else null.
std::string EngineState(nlohmann::json* published = nullptr);

}  // namespace VelquorHttp
