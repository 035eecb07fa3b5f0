// KannelApi: GET and POST /cgi-bin/sendsms with Kannel's parameter names and
// answer texts, so that an application written for Kannel's sendsms switches
// by changing the URL. The username is the account's name, the password its
// API key. Parameters come from the query (GET), from a form body
// (application/x-www-form-urlencoded), or, as Kannel's POST has them, from
// X-Kannel-* headers with the text as the body (text/plain, text/html,
// text/vnd.wap.wml, application/octet-stream). A job is queued per receiver,
// all of them in one transaction: coding 0 as a text job, 2 as a unicode
// job, 1 (or any coding with a udh) as a data job; a dlr-url with a dlr-mask
// is called back (kannel_dlr.h) for the reports the mask asks for.
#pragma once

#include "api_module.h"

namespace VelquorHttp {

class KannelApi : public ApiModule {
 public:
  explicit KannelApi(HttpContext& context) : m_Context(context) {}
  std::optional<HttpResponse> Handle(const HttpRequest& request) override;

 private:
  HttpContext& m_Context;
};

}  // namespace VelquorHttp
