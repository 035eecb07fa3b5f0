// ConsoleApi: the web console under /console/, for operators. Every page is
// whole HTML made here (escaped), so the console works without JavaScript;
// the static console.js only refreshes the overview every 5 s and follows a
// message's status until it is final.
//
//   GET  /console/login, POST /console/login   log in with an account that
//        has the flag Console and its API key (the whole key or its secret
//        part), checked by the Authenticator (its failure limit applies);
//        sets the session cookie (HttpOnly, SameSite=Strict, Path=/console,
//        Secure when velquor-http serves HTTPS)
//   POST /console/logout
//   GET  /console/                  overview: handsets, queues, traffic, engines
//   GET  /console/messages          search of outgoing messages; received ones
//   GET  /console/messages/{id}     a message's life
//   GET  /console/api/messages/{id} its status as JSON, for console.js
//   GET  /console/send, POST        a test message through a chosen handset
//   GET  /console/webhooks          the webhook outbox and its failing calls
//   POST /console/webhooks/{id}/retry   makes the call due now
//   GET  /console/static/console.css, console.js
// A page without a session sends the browser to the log-in page (303); a
// POST without the session's CSRF token is refused 403.
#pragma once

#include <functional>
#include <string>

#include "api_module.h"
#include "console_sessions.h"

namespace VelquorHttp {

class SendApi;

struct ConsoleOptions {
  bool secureCookie = false;           // velquor-http serves HTTPS
  std::function<void()> outboxWritten; // a webhook call was made due
};

class ConsoleApi : public ApiModule {
 public:
  ConsoleApi(HttpContext& context, SendApi& send, ConsoleOptions options);
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

 private:
  HttpResponse Login(const HttpRequest& request);
  HttpResponse Logout(const HttpRequest& request);
  HttpResponse Overview(const ConsoleSessions::Session& session);
  HttpResponse Messages(const HttpRequest& request, const ConsoleSessions::Session& session);
  HttpResponse Message(std::int32_t id, const ConsoleSessions::Session& session);
  HttpResponse MessageJson(std::int32_t id);
  HttpResponse SendPage(const ConsoleSessions::Session& session, const std::string& error, unsigned status,
                        const HttpRequest* request);
  HttpResponse Send(const HttpRequest& request, const ConsoleSessions::Session& session);
  HttpResponse Webhooks(const ConsoleSessions::Session& session);
  HttpResponse Retry(std::int64_t id);

  HttpContext& m_Context;
  SendApi& m_Send;
  ConsoleOptions m_Options;
  ConsoleSessions m_Sessions;
};

}  // namespace VelquorHttp
