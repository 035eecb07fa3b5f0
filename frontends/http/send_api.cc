#include "send_api.h"

#include <cstdint>
#include <string>
#include <variant>

#include "authenticator.h"
#include "json_answer.h"
#include "norvale/norvale.h"

namespace VelquorHttp {
namespace {

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

}  // namespace

std::optional<HttpResponse> SendApi::Handle(const HttpRequest& request) {
  if (request.path != "/v1/messages") return std::nullopt;
  if (request.method != "POST") return Refuse(405, "use POST");
  auto who = m_Context.auth.Authenticate(request);
  if (auto* refusal = std::get_if<HttpResponse>(&who)) return *refusal;
  Json body;
  if (auto refusal = ParseJsonObject(request, body)) return refusal;
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

}  // namespace VelquorHttp
