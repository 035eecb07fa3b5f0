#include "inbox_api.h"

#include <charconv>
#include <cmath>
#include <memory>
#include <variant>

#include "authenticator.h"
#include "http_database.h"

namespace VelquorHttp {
namespace {

using Norvale::OS::_variant_t;
using Norvale::OS::adCmdText;
using Norvale::OS::adExecuteNoRecords;

constexpr std::chrono::milliseconds kLongestWait = std::chrono::seconds(60);

std::optional<int> ParseNumber(const std::string& text, int lowest, int highest) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < lowest || value > highest)
    return std::nullopt;
  return value;
}

// A long poll parked until its account's next event or its deadline.
class InboxWait : public DeferredAnswer, public std::enable_shared_from_this<InboxWait> {
 public:
  InboxWait(InboxApi& api, EventSignal& signal, std::string account, int handset, int limit,
            EventSignal::Clock::time_point deadline, std::uint64_t generation)
      : m_Api(api),
        m_Signal(signal),
        m_Account(std::move(account)),
        m_nHandset(handset),
        m_nLimit(limit),
        m_Deadline(deadline),
        m_nGeneration(generation) {}

  void Arm(std::function<void()> wake) override {
    m_Signal.Wait(m_Account, m_nGeneration, m_Deadline, std::move(wake));
  }

  HttpResponse Answer() override {
    // The generation before the look, so that an event written after the
    // look rings this waiter again.
    m_nGeneration = m_Signal.Generation(m_Account);
    Json events;
    try {
      events = m_Api.Take(m_Account, m_nHandset, m_nLimit);
    } catch (const Norvale::OS::_com_error& e) {
      return Refuse(503, e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA());
    }
    if (events.empty() && EventSignal::Clock::now() < m_Deadline) {
      HttpResponse later;
      later.later = shared_from_this();
      return later;
    }
    return VelquorHttp::Answer(200, {{"events", std::move(events)}});
  }

 private:
  InboxApi& m_Api;
  EventSignal& m_Signal;
  std::string m_Account;
  int m_nHandset;
  int m_nLimit;
  EventSignal::Clock::time_point m_Deadline;
  std::uint64_t m_nGeneration;
};

}  // namespace

std::optional<std::chrono::milliseconds> ParseWait(const std::string& text) {
  std::string number = text;
  double unit = 1000;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
    number.resize(number.size() - 2);
    unit = 1;
  } else if (number.size() > 1 && number.back() == 's') {
    number.pop_back();
  }
  if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos || number.size() > 12)
    return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value)) return std::nullopt;
  const auto wait = std::chrono::milliseconds(static_cast<long long>(std::llround(value * unit)));
  if (value * unit > static_cast<double>(kLongestWait.count())) return std::nullopt;
  return wait;
}

Json InboxApi::Take(const std::string& account, int handset, int limit) {
  HttpDatabase& database = m_Context.database;
  Norvale::CDBConnectionDispensor& connections = database.Connections();
  const Norvale::CDatabaseOperation operation(&connections);
  Json events = Json::array();
  _variant_t affected;
  // A look first, outside a transaction: an empty inbox costs one query.
  std::string condition = "Account=$1";
  Norvale::OS::SqlValues values{account};
  if (handset != 0) {
    condition += " AND Handset=$2";
    values.emplace_back(handset);
  }
  const auto any = connections.GetConnection()->Execute("SELECT Id FROM HttpEvents WHERE " + condition + " LIMIT 1",
                                                        values, &affected, adCmdText);
  if (!any || any->BOF()) return events;
  Norvale::CDatabaseTransaction group(&connections, Norvale::CDatabaseTransaction::kEveryDatabase);
  values.emplace_back(limit);
  std::string select =
      "SELECT Id, Body FROM HttpEvents WHERE " + condition + " ORDER BY Id LIMIT $" + std::to_string(values.size());
  if (database.IsPostgres()) select += " FOR UPDATE SKIP LOCKED";
  const auto rs = connections.GetConnection()->Execute(select, values, &affected, adCmdText);
  std::string ids;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    ids += (ids.empty() ? "" : ",") + std::to_string(rs->GetFieldValue("Id").ToLongLong());
    Json event = Json::parse(rs->GetFieldValue("Body").ToString(), nullptr, false);
    if (!event.is_discarded()) events.push_back(std::move(event));
  }
  if (ids.empty()) return events;
  connections.GetConnection()->Execute("DELETE FROM HttpEvents WHERE Id IN (" + ids + ")", &affected,
                                       adCmdText | adExecuteNoRecords);
  group.Commit();
  return events;
}

std::optional<HttpResponse> InboxApi::Handle(const HttpRequest& request) {
  if (request.path != "/v1/inbox") return std::nullopt;
  if (request.method != "GET") return Refuse(405, "use GET");
  auto who = m_Context.auth.Authenticate(request);
  if (auto* refusal = std::get_if<HttpResponse>(&who)) return *refusal;
  const std::string account = std::get<Norvale::CApiAccount>(who).sName;
  std::chrono::milliseconds wait{0};
  int handset = 0;
  int limit = 100;
  if (const std::string* text = request.QueryValue("wait")) {
    const auto parsed = ParseWait(*text);
    if (!parsed) return Refuse(400, "wait is a time of at most 60s, e.g. 30s or 500ms", "wait");
    wait = *parsed;
  }
  if (const std::string* text = request.QueryValue("handset")) {
    const auto parsed = ParseNumber(*text, 1, 8);
    if (!parsed) return Refuse(400, "handset is a number from 1 to 8", "handset");
    handset = *parsed;
  }
  if (const std::string* text = request.QueryValue("limit")) {
    const auto parsed = ParseNumber(*text, 1, 1000);
    if (!parsed) return Refuse(400, "limit is a number from 1 to 1000", "limit");
    limit = *parsed;
  }
  try {
    const std::uint64_t generation = m_Signal.Generation(account);
    Json events = Take(account, handset, limit);
    if (!events.empty() || wait.count() == 0) return VelquorHttp::Answer(200, {{"events", std::move(events)}});
    HttpResponse later;
    later.later = std::make_shared<InboxWait>(*this, m_Signal, account, handset, limit,
                                              EventSignal::Clock::now() + wait, generation);
    return later;
  } catch (const Norvale::OS::_com_error& e) {
    return Refuse(503, e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA());
  }
}

}  // namespace VelquorHttp
