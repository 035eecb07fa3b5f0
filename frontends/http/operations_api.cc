#include "operations_api.h"

#include <chrono>
#include <fstream>

#include "core/velquor_server_connection.h"
#include "http_database.h"
#include "json_answer.h"
#include "metrics.h"
#include "norvale/enums.h"
#include "platform/service_control.h"
#include "queues/queue_depths.h"
#include "smpp_metrics.h"
#include "status_api.h"

namespace VelquorHttp {
namespace {

std::string Description(const Norvale::OS::_com_error& e) {
  return e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA();
}

}  // namespace

std::string EngineState(Json* published) {
  using namespace Norvale::OS;
  if (published != nullptr) *published = nullptr;
  const char* name = Norvale::CVelquorServerConnection::kServiceName;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, name, SERVICE_QUERY_STATUS) : nullptr;
  const DWORD error = GetLastError();
  SERVICE_STATUS status{};
  const bool known = service != nullptr && QueryServiceStatus(service, &status);
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  const std::string who = std::string("the service ") + name;
  if (service == nullptr)
    return error == ERROR_SERVICE_DOES_NOT_EXIST ? who + " is not installed"
                                                 : who + " cannot be queried (error " + std::to_string(error) + ")";
  if (!known) return who + " cannot be queried";
  switch (status.dwCurrentState) {
    case SERVICE_RUNNING: break;
    case SERVICE_START_PENDING: return who + " is starting";
    case SERVICE_STOP_PENDING: return who + " is stopping";
    default: return who + " is not running";
  }
  // The engine's own state, which it publishes while it serves: it may be
  // stopped or paused inside a running service.
  std::ifstream in(ServiceHost::RunDirectory() + "/VelquorServer.handsets.json");
  const Json state = Json::parse(in, nullptr, false);
  if (published != nullptr && state.is_object()) *published = state;
  if (state.is_object() && state.value("status", "running") != "running")
    return "the engine is " + state.value("status", "");
  return "running";
}

OperationsApi::OperationsApi(HttpContext& context) : m_Context(context) {
  Metrics& m = m_Context.metrics;
  m.Describe("velquor_http_requests_total", "counter", "HTTP requests answered, by status code.");
  m.Describe("velquor_http_request_seconds", "histogram", "Seconds from a whole request read to its answer made.");
  m.Describe("velquor_http_messages_accepted_total", "counter", "Messages queued through the API, by handset.");
  m.Describe("velquor_http_messages_sent_total", "counter", "Messages of the API reported sent, by handset.");
  m.Describe("velquor_http_messages_failed_total", "counter", "Messages of the API reported failed, by handset.");
  m.Describe("velquor_http_messages_delivered_total", "counter", "Messages of the API reported delivered, by handset.");
  m.Describe("velquor_http_end_to_end_seconds", "histogram",
             "Seconds from a message queued to its delivery report taken.");
  m.Describe("velquor_queue_depth", "gauge",
             "Rows in the queue tables at the scrape: outgoing by status, notifications and incoming waiting.");
  m.Describe("velquor_webhook_attempts_total", "counter", "Webhook calls made, by result.");
  m.Describe("velquor_webhook_expired_total", "counter",
             "Webhook calls given up after the retry time (HttpWebhookRetryHours).");
  m.Describe("velquor_webhook_outbox_depth", "gauge", "Webhook calls waiting in the outbox.");
  m.Describe("velquor_http_auth_failures_total", "counter", "Requests refused for a missing or wrong key.");
  // Counters without labels read 0 before their first event.
  m.Add("velquor_webhook_expired_total", {}, 0);
  m.Add("velquor_http_auth_failures_total", {}, 0);
}

std::optional<HttpResponse> OperationsApi::Handle(const HttpRequest& request) {
  if (request.path != "/health" && request.path != "/ready" && request.path != "/metrics") return std::nullopt;
  if (request.method != "GET" && request.method != "HEAD") return Refuse(405, "use GET");
  if (request.path == "/ready") return Ready();
  if (request.path == "/metrics") return MetricsText();
  return Answer(200, {{"status", "ok"}});
}

std::string OperationsApi::DatabaseState() {
  Norvale::CDBConnectionDispensor& connections = m_Context.database.Connections();
  try {
    {
      Norvale::CDatabaseOperation operation(&connections, std::chrono::milliseconds(5000));
      Norvale::OS::LONG affected = 0;
      Norvale::CDatabaseQueryExecuter(&connections)
          .ExecuteCommand("SELECT COUNT(*) AS N FROM SMSOutgoing WHERE Id = 0", affected, Norvale::OS::adCmdText, -1,
                          1);
    }
    if (!m_schemaMade) {
      m_Context.database.CreateSchema();
      m_schemaMade = true;
    }
    return "ok";
  } catch (const Norvale::OS::_com_error& e) {
    connections.ResetConnection();
    return Description(e);
  }
}

HttpResponse OperationsApi::Ready() {
  const std::string database = DatabaseState();
  const std::string engine = EngineState();
  if (database == "ok" && engine == "running")
    return Answer(200, {{"status", "ready"}, {"database", database}, {"engine", engine}});
  std::string why;
  if (database != "ok") why = "database: " + database;
  if (engine != "running") why += (why.empty() ? "" : "; ") + std::string("engine: ") + engine;
  return Answer(503, {{"status", "not ready"}, {"database", database}, {"engine", engine}, {"error", why}});
}

HttpResponse OperationsApi::MetricsText() {
  Metrics& m = m_Context.metrics;
  try {
    const Norvale::CQueueDepths depths = Norvale::CountQueueDepths(m_Context.database.Connections());
    // Every status the library names, so that an emptied one reads 0.
    for (int status = Norvale::jsPending; status <= Norvale::jsDeliveryFailed; ++status) {
      const auto found = depths.outgoingByStatus.find(status);
      m.Set("velquor_queue_depth", {{"queue", "outgoing"}, {"status", JobStatusName(status)}},
            found == depths.outgoingByStatus.end() ? 0 : static_cast<double>(found->second));
    }
    m.Set("velquor_queue_depth", {{"queue", "notifications"}, {"status", "waiting"}},
          static_cast<double>(depths.notifications));
    m.Set("velquor_queue_depth", {{"queue", "incoming"}, {"status", "waiting"}}, static_cast<double>(depths.incoming));
  } catch (const Norvale::OS::_com_error&) {
    // The depths keep their last values; /ready tells why.
    m_Context.database.Connections().ResetConnection();
  }
  HttpResponse response;
  response.body = m.Render() + SmppMetricsText();
  response.contentType = "text/plain; version=0.0.4; charset=utf-8";
  return response;
}

}  // namespace VelquorHttp
