#include "status_api.h"

#include <charconv>
#include <cstdint>
#include <iterator>
#include <string>
#include <variant>

#include "authenticator.h"
#include "json_answer.h"
#include "norvale/norvale.h"

namespace VelquorHttp {
namespace {

std::optional<std::int32_t> ParseId(const std::string& text) {
  std::int32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size() || id <= 0) return std::nullopt;
  return id;
}

Norvale::Velquor& ThreadClient() {
  thread_local Norvale::Velquor client;
  return client;
}

}  // namespace

const char* JobStatusName(int status) {
  static const char* const names[] = {"pending",
                                      "processing",
                                      "sent",
                                      "err_number_invalid",
                                      "err_network_failure",
                                      "err_phone_comms_error",
                                      "err_system_failure",
                                      "err_timeout",
                                      "invalid_job_type",
                                      "sent_not_confirmed",
                                      "delivery_failed"};
  return status >= 0 && status < static_cast<int>(std::size(names)) ? names[status] : "unknown";
}

std::optional<HttpResponse> StatusApi::Handle(const HttpRequest& request) {
  static const std::string kMessages = "/v1/messages/";
  if (request.path.rfind(kMessages, 0) != 0) return std::nullopt;
  if (request.method != "GET") return Refuse(405, "use GET");
  auto who = m_Context.auth.Authenticate(request);
  if (auto* refusal = std::get_if<HttpResponse>(&who)) return *refusal;
  const std::optional<std::int32_t> id = ParseId(request.path.substr(kMessages.size()));
  if (!id) return Refuse(400, "not a message identifier", "id");
  try {
    const Norvale::EnumJobStatus status = ThreadClient().GetSendStatus(*id);
    return Answer(200, {{"id", *id}, {"status", static_cast<int>(status)}, {"name", JobStatusName(status)}});
  } catch (const Norvale::_com_error& e) {
    return Refuse(503, e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA());
  }
}

}  // namespace VelquorHttp
