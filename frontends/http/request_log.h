// RequestLog: what velquor-http records of every request it answers. Each
// request is counted in velquor_http_requests_total{code} and timed in
// velquor_http_request_seconds (from the whole request read to the answer
// made), and, unless HttpAccessLog is 0, written to the event log (the
// journal, identifier velquor-http, event id EVENT_HTTP_ACCESS) as one line:
//   GET /cgi-bin/sendsms?username=shop&password=***&to=%2B4915 202 0.8ms 127.0.0.1 account=shop
// method, path and query (re-encoded, so that no line break or control
// character reaches the log; the values of password, key, token and secret
// arguments written as ***), status, duration, peer address and the account
// the request names (not for a 401). No header is logged: the Authorization
// field's key never is.
#pragma once

#include <string>

#include "http_server.h"
#include "platform/types.h"

namespace VelquorHttp {

class Metrics;

class RequestLog {
 public:
  RequestLog(Metrics& metrics, bool accessLog);
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // The handler that answers with `inner` and counts and logs each request;
  // an exception of `inner` is answered 500.
  HttpServer::Handler Wrap(HttpServer::Handler inner);

  // The access log's line of a request.
  static std::string Line(const HttpRequest& request, unsigned status, double seconds);

 private:
  void Record(const HttpRequest& request, unsigned status, double seconds);

  Metrics& m_Metrics;
  Norvale::OS::HANDLE m_hSource = nullptr;  // null: no access log
};

}  // namespace VelquorHttp
