#include "message_api.h"

#include <charconv>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "norvale/norvale.h"

namespace VelquorHttp {
namespace {

using Json = nlohmann::json;

HttpResponse Answer(unsigned status, const Json& body) { return {status, body.dump()}; }

HttpResponse Refuse(unsigned status, const std::string& error, const std::string& field = "") {
  Json body = {{"error", error}};
  if (!field.empty()) body["field"] = field;
  return Answer(status, body);
}

// The library's failures as an answer: its refusals of an argument are the
// client's fault, the rest the gateway's.
HttpResponse LibraryFailure(const Norvale::_com_error& e) {
  const std::string text = e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA();
  constexpr std::uint32_t kInvalidArgument = 0x80070057u;  // E_INVALIDARG
  if (static_cast<std::uint32_t>(e.Error()) == kInvalidArgument) return Refuse(400, text);
  return Refuse(503, text);
}

// The library object of the calling thread: one object serves one thread at
// a time.
Norvale::Velquor& ThreadClient() {
  thread_local Norvale::Velquor client;
  return client;
}

HttpResponse SendMessage(const HttpRequest& request) {
  if (request.bodyTooLarge) return Refuse(400, "the request body is too large");
  const Json body = Json::parse(request.body, nullptr, false);
  if (body.is_discarded()) return Refuse(400, "the request body is not valid JSON");
  if (!body.is_object()) return Refuse(400, "the request body is not a JSON object");
  for (const char* field : {"to", "text"}) {
    if (!body.contains(field)) return Refuse(400, std::string("missing field ") + field, field);
    if (!body[field].is_string()) return Refuse(400, std::string("field ") + field + " is not a string", field);
  }
  const std::string to = body["to"].get<std::string>();
  const std::string text = body["text"].get<std::string>();
  if (to.find_first_not_of(" \t") == std::string::npos) return Refuse(400, "the phone number is empty", "to");
  if (to.find('\0') != std::string::npos) return Refuse(400, "the phone number holds a NUL", "to");
  if (text.find('\0') != std::string::npos) return Refuse(400, "the text holds a NUL", "text");
  try {
    const std::int32_t id = ThreadClient().SendMsg(to, text, 0);
    return Answer(201, {{"id", id}});
  } catch (const Norvale::_com_error& e) {
    return LibraryFailure(e);
  }
}

std::optional<std::int32_t> ParseId(const std::string& text) {
  std::int32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size() || id <= 0) return std::nullopt;
  return id;
}

HttpResponse MessageStatus(const std::string& idText) {
  const std::optional<std::int32_t> id = ParseId(idText);
  if (!id) return Refuse(400, "not a message identifier", "id");
  try {
    const Norvale::EnumJobStatus status = ThreadClient().GetSendStatus(*id);
    return Answer(200, {{"id", *id}, {"status", static_cast<int>(status)}, {"name", JobStatusName(status)}});
  } catch (const Norvale::_com_error& e) {
    return LibraryFailure(e);
  }
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

HttpResponse MessageApi::Handle(const HttpRequest& request) const {
  static const std::string kMessages = "/v1/messages";
  if (request.path == "/health") {
    if (request.method != "GET") return Refuse(405, "use GET");
    return Answer(200, {{"status", "ok"}});
  }
  if (request.path == kMessages) {
    if (request.method != "POST") return Refuse(405, "use POST");
    return SendMessage(request);
  }
  if (request.path.rfind(kMessages + "/", 0) == 0) {
    if (request.method != "GET") return Refuse(405, "use GET");
    return MessageStatus(request.path.substr(kMessages.size() + 1));
  }
  return Refuse(404, "no such resource");
}

}  // namespace VelquorHttp
