#include "status_api.h"

#include <charconv>
#include <cstdint>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "authenticator.h"
#include "http_database.h"
#include "json_answer.h"
#include "norvale/norvale.h"
#include "queues/job_queue.h"
#include "queues/message_history.h"

namespace VelquorHttp {
namespace {

std::optional<std::int32_t> ParseId(const std::string& text) {
  std::int32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size() || id <= 0) return std::nullopt;
  return id;
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

namespace {

// What the job's state means to a client: the number alone cannot tell a
// delivered message from one sent without a report asked for.
const char* StateOf(long status, bool delivered) {
  switch (status) {
    case Norvale::jsPending: return "pending";
    case Norvale::jsProcessing: return "processing";
    case Norvale::jsSent: return delivered ? "delivered" : "sent";
    case Norvale::jsSentNotConfirmed: return "sent";
    default: return "failed";
  }
}

Json EventJson(const Norvale::CHistoryEvent& e) {
  Json j{{"event", e.sEvent}, {"at", Norvale::HistoryTimeText(e.nAt)}};
  if (e.nStatus) j["status"] = *e.nStatus;
  if (e.nHandset) j["handset"] = *e.nHandset;
  if (e.nEngineId) j["engine_id"] = *e.nEngineId;
  if (!e.sReference.empty()) j["reference"] = e.sReference;
  if (e.nParts) j["parts"] = *e.nParts;
  if (e.nErrorCode) j["error_code"] = *e.nErrorCode;
  if (e.sEvent == Norvale::kHistoryNotified)
    j["notification"] = e.sDetail;
  else if (!e.sDetail.empty())
    j["detail"] = e.sDetail;
  return j;
}

// The client's reference of the account's job, or nothing when the job is
// not the account's (HttpJobs).
std::optional<Json> OwnedJob(Norvale::CDBConnectionDispensor& db, std::int32_t id, const std::string& account) {
  Norvale::CDatabaseQueryExecuter executer(&db);
  Norvale::OS::LONG affected = 0;
  const auto rs = executer.ExecuteCommand("SELECT ClientRef FROM HttpJobs WHERE JobId=$1 AND Account=$2",
                                          {static_cast<std::int64_t>(id), account}, affected, Norvale::OS::adCmdText,
                                          -1, Norvale::CJobQueue::kAttempts);
  if (!rs || rs->BOF() || rs->adoEOF()) return std::nullopt;
  const Norvale::OS::_variant_t ref = rs->GetFieldValue("ClientRef");
  const Json clientRef =
      ref.vt == Norvale::OS::VT_NULL || ref.vt == Norvale::OS::VT_EMPTY ? Json(nullptr) : Json(ref.ToString());
  rs->Close();
  return clientRef;
}

}  // namespace

const char* MessageLife::State() const { return StateOf(status, delivered); }

bool MessageLife::Final() const {
  const std::string state = State();
  return state == "delivered" || state == "failed" || (state == "sent" && status == Norvale::jsSent);
}

std::optional<MessageLife> ReadMessageLife(Norvale::CDBConnectionDispensor& db, std::int32_t id) {
  Norvale::CMessageHistory history(&db);
  MessageLife life;
  life.row = history.ReadQueuedJob(id);
  try {
    life.events = history.Read(id);
  } catch (const Norvale::_com_error&) {
    // A database without the history (an engine older than it): the row only.
    if (!life.row) throw;
  }
  if (!life.row && life.events.empty()) return std::nullopt;
  // Without its row and an outcome in the history: the library's rule, a
  // missing row counts as sent.
  life.status = life.row ? life.row->nStatus : static_cast<long>(Norvale::jsSent);
  for (const auto& e : life.events) {
    life.delivered = life.delivered || e.sEvent == Norvale::kHistoryDelivered;
    const bool outcome = e.sEvent == Norvale::kHistorySent || e.sEvent == Norvale::kHistoryDelivered ||
                         e.sEvent == Norvale::kHistoryFailed;
    if (!life.row && outcome && e.nStatus) life.status = *e.nStatus;
    if (e.nHandset && *e.nHandset != 0) life.handset = *e.nHandset;
  }
  if (life.row && life.row->nHandset && *life.row->nHandset != 0) life.handset = *life.row->nHandset;
  return life;
}

std::optional<HttpResponse> StatusApi::Handle(const HttpRequest& request) {
  static const std::string kMessages = "/v1/messages/";
  if (request.path.rfind(kMessages, 0) != 0) return std::nullopt;
  if (request.method != "GET") return Refuse(405, "use GET");
  auto who = m_Context.auth.Authenticate(request);
  if (auto* refusal = std::get_if<HttpResponse>(&who)) return *refusal;
  const std::optional<std::int32_t> id = ParseId(request.path.substr(kMessages.size()));
  if (!id) return Refuse(400, "not a message identifier", "id");
  const std::string& account = std::get<Norvale::CApiAccount>(who).sName;
  try {
    Norvale::CDBConnectionDispensor& db = m_Context.database.Connections();
    const std::optional<Json> clientRef = OwnedJob(db, *id, account);
    if (!clientRef) return Refuse(404, "unknown or cleared", "id");
    const std::optional<MessageLife> life = ReadMessageLife(db, *id);
    if (!life) return Refuse(404, "unknown or cleared", "id");
    const long status = life->status;
    Json list = Json::array();
    for (const auto& e : life->events) list.push_back(EventJson(e));
    const auto& row = life->row;
    const Json handset = life->handset ? Json(*life->handset) : Json(nullptr);
    return Answer(200, {{"id", *id},
                        {"status", status},
                        {"name", JobStatusName(static_cast<int>(status))},
                        {"state", life->State()},
                        {"to", row ? Json(row->sPhoneNumber) : Json(nullptr)},
                        {"handset", handset},
                        {"client_ref", *clientRef},
                        {"history", list}});
  } catch (const Norvale::_com_error& e) {
    return Refuse(503, e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA());
  }
}

}  // namespace VelquorHttp
