#include "send_api.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "authenticator.h"
#include "callback_url.h"
#include "config/config_reg.h"
#include "config/handset_values.h"
#include "config/routes.h"
#include "http_database.h"
#include "idempotency.h"
#include "json_answer.h"
#include "metrics.h"
#include "platform/registry.h"
#include "platform/wall_clock.h"
#include "queues/outgoing_batch.h"
#include "queues/send_options.h"
#include "queues/sql_array_text.h"

namespace VelquorHttp {
namespace {

using namespace Norvale::OS;

constexpr std::size_t kMaxDigits = 20;
constexpr std::size_t kMaxClientRef = 64;  // characters

using Norvale::OS::NowMs;

// A whole number of the product's configuration, or `fallback` where it is
// unset or no number.
long ConfiguredNumber(const std::string& name, long fallback) {
  try {
    const std::string value = Norvale::RUProductValue(name);
    std::size_t end = 0;
    const long number = std::stol(value, &end);
    return end == value.size() && number > 0 ? number : fallback;
  } catch (const std::exception&) {
    return fallback;
  }
}

// Whether the handset's key Handsets\<n> exists: a handset the engine knows.
bool HandsetConfigured(int nHandset) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Norvale::HandsetKeyPath(nHandset).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool IsHex(const std::string& text) {
  for (const char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// UTF-8 (the parser let only valid text through): its characters, and
// whether one is a control character (C0, DEL or C1).
std::size_t Characters(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}
bool HasControl(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) return true;
  }
  return false;
}

std::string HandsetList(const std::vector<int>& handsets) {
  std::string list;
  for (const int h : handsets) list += (list.empty() ? "" : ",") + std::to_string(h);
  return list;
}

// One message of a request, checked.
struct Message {
  Norvale::COutgoingJobRow row;
  std::optional<std::string> clientRef;
  std::optional<std::string> callbackUrl;
};

// Reads the messages of one request for one account; what it looks up
// (handsets, the webhook hosts) it looks up once per request.
class MessageReader {
 public:
  explicit MessageReader(const Norvale::CApiAccount& account) : m_Account(account) {}

  // The refusal naming the field (after `prefix`, "messages[3]."), or
  // nothing with `out` filled.
  std::optional<HttpResponse> Read(const Json& item, const std::string& prefix, Message& out) {
    const auto refuse = [&](const std::string& field, const std::string& why, unsigned status = 400) {
      return Refuse(status, why, prefix + field);
    };
    if (!item.is_object()) return Refuse(400, "a message is a JSON object", prefix.substr(0, prefix.size() - 1));
    for (const auto& [name, value] : item.items()) {
      static const char* const kKnown[] = {"to",         "text", "unicode_hex", "data",    "handset",  "callback_url",
                                           "client_ref", "from", "priority",    "send_at", "validity", "report"};
      if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown))
        return refuse(name, "unknown field " + name);
      if (name == "priority" && !value.is_number_integer()) return refuse(name, "priority is 0 (normal) or 1 (high)");
      if (name == "report" && !value.is_boolean()) return refuse(name, "report is true or false");
      if (name == "validity" && !value.is_number_integer() && !value.is_string())
        return refuse(name, "validity is a number of seconds or a duration such as \"90s\", \"30m\", \"2h\", \"1d\"");
      if (name != "data" && name != "handset" && name != "priority" && name != "report" && name != "validity" &&
          !value.is_string())
        return refuse(name, "field " + name + " is not a string");
    }
    // The number: digits with an optional leading '+'.
    if (!item.contains("to")) return refuse("to", "missing field to");
    std::string to = item["to"].get<std::string>();
    const std::size_t first = to.find_first_not_of(" \t");
    to = first == std::string::npos ? "" : to.substr(first, to.find_last_not_of(" \t") - first + 1);
    const std::string digits = !to.empty() && to[0] == '+' ? to.substr(1) : to;
    if (digits.empty()) return refuse("to", "the phone number is empty");
    if (digits.find_first_not_of("0123456789") != std::string::npos)
      return refuse("to", "the phone number holds other characters than digits and a leading '+'");
    if (digits.size() > kMaxDigits)
      return refuse("to", "the phone number has more than " + std::to_string(kMaxDigits) + " digits");
    if (const std::string blocked = Norvale::BlockedDestinationProblem(to); !blocked.empty())
      return refuse("to", blocked);
    out.row.sPhoneNumber = to;
    // The content: exactly one form.
    const char* form = nullptr;
    for (const char* name : {"text", "unicode_hex", "data"}) {
      if (!item.contains(name)) continue;
      if (form != nullptr) return refuse(name, std::string("give only one of text, unicode_hex and data"));
      form = name;
    }
    if (form == nullptr) return refuse("text", "missing field text (or unicode_hex or data)");
    if (std::string(form) == "text") {
      out.row.eJobType = Norvale::jtTextMessage;
      out.row.sData = item["text"].get<std::string>();
      if (out.row.sData.find('\0') != std::string::npos) return refuse("text", "the text holds a NUL");
    } else if (std::string(form) == "unicode_hex") {
      out.row.eJobType = Norvale::jtUnicodeMessage;
      out.row.sData = item["unicode_hex"].get<std::string>();
      if (!IsHex(out.row.sData) || out.row.sData.size() % 4 != 0)
        return refuse("unicode_hex", "unicode_hex is UTF-16 in hexadecimal, four digits per code unit");
    } else if (auto refusal = ReadData(item["data"], prefix, out)) {
      return refusal;
    }
    // Where it goes.
    if (item.contains("handset")) {
      const Json& handset = item["handset"];
      if (!handset.is_number_integer() || handset.get<std::int64_t>() < 1 || handset.get<std::int64_t>() > 8)
        return refuse("handset", "handset is a number from 1 to 8");
      const int n = handset.get<int>();
      if (!Configured(n)) return refuse("handset", "handset " + std::to_string(n) + " is not configured");
      if (!m_Account.MayUseHandset(n))
        return refuse("handset", "this account may not use handset " + std::to_string(n), 403);
      out.row.eHandset = static_cast<Norvale::Handsets>(n);
    } else if (m_Account.handsets.size() == 1) {
      out.row.eHandset = static_cast<Norvale::Handsets>(m_Account.handsets[0]);
    } else if (!m_Account.handsets.empty()) {
      return refuse("handset", "this account must name its handset (" + HandsetList(m_Account.handsets) + ")");
    }
    if (item.contains("callback_url")) {
      if (!m_Hosts) m_Hosts = ConfiguredWebhookHosts();
      const std::string url = item["callback_url"].get<std::string>();
      if (const std::string problem = CallbackUrlProblem(url, *m_Hosts); !problem.empty())
        return refuse("callback_url", problem);
      out.callbackUrl = url;
    }
    if (item.contains("client_ref")) {
      const std::string ref = item["client_ref"].get<std::string>();
      if (Characters(ref) > kMaxClientRef)
        return refuse("client_ref", "client_ref has more than " + std::to_string(kMaxClientRef) + " characters");
      if (HasControl(ref)) return refuse("client_ref", "client_ref holds a control character");
      out.clientRef = ref;
    }
    return ReadOptions(item, prefix, out);
  }

 private:
  // "data": {"dcs": 0..255 (0 when absent), "udh": hex (none when absent),
  // "ud": hex}.
  static std::optional<HttpResponse> ReadData(const Json& data, const std::string& prefix, Message& out) {
    const auto refuse = [&](const std::string& field, const std::string& why) {
      return Refuse(400, why, prefix + "data" + (field.empty() ? "" : "." + field));
    };
    if (!data.is_object()) return refuse("", "data is an object {\"dcs\", \"udh\", \"ud\"}");
    for (const auto& [name, value] : data.items())
      if (name != "dcs" && name != "udh" && name != "ud") return refuse(name, "unknown field data." + name);
    std::int64_t dcs = 0;
    if (data.contains("dcs")) {
      if (!data["dcs"].is_number_integer() || data["dcs"].get<std::int64_t>() < 0 ||
          data["dcs"].get<std::int64_t>() > 255)
        return refuse("dcs", "data.dcs is a number from 0 to 255");
      dcs = data["dcs"].get<std::int64_t>();
    }
    std::string parts[2];
    for (int i = 0; i < 2; ++i) {
      const char* name = i == 0 ? "udh" : "ud";
      if (!data.contains(name)) {
        if (i == 1) return refuse(name, "missing field data.ud");
        continue;
      }
      if (!data[name].is_string()) return refuse(name, std::string("data.") + name + " is not a string");
      parts[i] = data[name].get<std::string>();
      if (!IsHex(parts[i]) || parts[i].size() % 2 != 0)
        return refuse(name, std::string("data.") + name + " is hexadecimal, two digits per byte");
    }
    out.row.eJobType = Norvale::jtDataMessage;
    out.row.sData = Norvale::CJobQueue::EncodeDataMessage(parts[1], parts[0], static_cast<LONG>(dcs));
    return std::nullopt;
  }

  // from, priority, send_at, validity, report and client_ref as the job's
  // options, checked by CheckSendOptions; a refusal names the field.
  static std::optional<HttpResponse> ReadOptions(const Json& item, const std::string& prefix, Message& out) {
    const auto refuse = [&](const std::string& field, const std::string& why) {
      return Refuse(400, field + " " + why, prefix + field);
    };
    Norvale::CSendOptions& options = out.row.options;
    const std::int64_t now = NowMs();
    if (item.contains("from")) {
      options.sSender = item["from"].get<std::string>();
      if (options.sSender.empty()) return refuse("from", "is empty");
    }
    if (item.contains("priority")) {
      const std::int64_t priority = item["priority"].get<std::int64_t>();
      if (priority != 0 && priority != 1) return refuse("priority", "is 0 (normal) or 1 (high)");
      options.nPriority = static_cast<int>(priority);
    }
    if (item.contains("send_at")) {
      options.nNotBefore = Norvale::ParseSendTime(item["send_at"].get<std::string>());
      if (!options.nNotBefore) return refuse("send_at", "is no ISO 8601 time with its offset (2026-12-10T15:30:00Z)");
    }
    if (item.contains("validity")) {
      const Json& value = item["validity"];
      std::optional<std::int64_t> seconds;
      if (value.is_string()) {
        seconds = Norvale::ParseDuration(value.get<std::string>());
        if (!seconds) return refuse("validity", "is no duration (seconds, or \"90s\", \"30m\", \"2h\", \"1d\")");
      } else {
        seconds = value.get<std::int64_t>();
      }
      if (*seconds <= 0) return refuse("validity", "is not more than 0 seconds");
      if (*seconds > Norvale::SendOptionLimits::kMaxValiditySeconds)
        return refuse("validity", "is longer than 63 weeks (" +
                                      std::to_string(Norvale::SendOptionLimits::kMaxValiditySeconds) + " seconds)");
      const std::int64_t start = options.nNotBefore && *options.nNotBefore > now ? *options.nNotBefore : now;
      options.nValidUntil = start + *seconds * 1000;
    }
    if (item.contains("report")) options.bReportRequest = item["report"].get<bool>();
    if (out.clientRef) options.sClientRef = *out.clientRef;
    if (const auto error = Norvale::CheckSendOptions(options, now)) {
      static const std::map<std::string, std::string> kFields = {{"sender", "from"},
                                                                 {"not_before", "send_at"},
                                                                 {"priority", "priority"},
                                                                 {"validity", "validity"},
                                                                 {"client_ref", "client_ref"}};
      const auto field = kFields.find(error->sField);
      return refuse(field == kFields.end() ? error->sField : field->second, error->sProblem);
    }
    return std::nullopt;
  }

  bool Configured(int nHandset) {
    auto& known = m_Configured[nHandset];
    if (!known) known = HandsetConfigured(nHandset);
    return *known;
  }

  const Norvale::CApiAccount& m_Account;
  std::map<int, std::optional<bool>> m_Configured;
  std::optional<std::vector<std::string>> m_Hosts;
};

// The jobs' HttpJobs rows, replacing those of earlier jobs of the same Id.
constexpr const char* kUpsertTail =
    " ON CONFLICT (JobId) DO UPDATE SET Account=excluded.Account, ClientRef=excluded.ClientRef, "
    "CallbackUrl=excluded.CallbackUrl, CallbackKind=excluded.CallbackKind, DlrMask=excluded.DlrMask, "
    "Created=excluded.Created";

void WriteHttpJobs(Norvale::CDBConnectionDispensor& connections, const std::vector<LONG>& ids,
                   const std::vector<Message>& messages, const std::string& account, std::int64_t now) {
  Norvale::CDatabaseQueryExecuter database(&connections);
  LONG affected = 0;
  if (connections.IsPostgres()) {
    Norvale::CSqlArrayText jobIds, refs, urls;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      jobIds.Add(ids[i]);
      messages[i].clientRef ? refs.Add(*messages[i].clientRef) : refs.AddNull();
      messages[i].callbackUrl ? urls.Add(*messages[i].callbackUrl) : urls.AddNull();
    }
    database.ExecuteCommand(std::string("INSERT INTO HttpJobs (JobId, Account, ClientRef, CallbackUrl, CallbackKind, "
                                        "DlrMask, Created) SELECT v.id, $4, v.ref, v.url, 0, 0, $5 FROM "
                                        "unnest(CAST($1 AS bigint[]), CAST($2 AS text[]), CAST($3 AS text[])) AS "
                                        "v(id, ref, url)") +
                                kUpsertTail,
                            {jobIds.Value(), refs.Value(), urls.Value(), account, now}, affected,
                            adCmdText | adExecuteNoRecords, -1, 1);
    return;
  }
  const std::string insert = std::string(
                                 "INSERT INTO HttpJobs (JobId, Account, ClientRef, CallbackUrl, CallbackKind, DlrMask, "
                                 "Created) VALUES ($1, $2, $3, $4, 0, 0, $5)") +
                             kUpsertTail;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto optional = [](const std::optional<std::string>& text) -> SqlValue {
      if (text) return *text;
      return SqlNull;
    };
    database.ExecuteCommand(insert,
                            {ids[i], account, optional(messages[i].clientRef), optional(messages[i].callbackUrl), now},
                            affected, adCmdText | adExecuteNoRecords, 1, 1);
  }
}

HttpResponse DatabaseFailure(const Norvale::_com_error& e) {
  std::cerr << "velquor-http: the queue database failed: " << e.DescriptionA() << std::endl;
  return Refuse(503, "the queue database is not available; nothing was queued");
}

}  // namespace

SendApi::SendApi(HttpContext& context)
    : m_Context(context), m_nIdempotencyMs(ConfiguredNumber("HttpIdempotencyHours", 24) * 3600 * 1000) {
  m_Context.metrics.Describe("velquor_http_messages_accepted_total", "counter",
                             "Messages queued through the API, by the handset asked for (any: none named)");
}

void SendApi::PruneNowAndThen(std::int64_t now) {
  std::int64_t due = m_nNextPrune.load();
  if (now < due || !m_nNextPrune.compare_exchange_strong(due, now + 60 * 1000)) return;
  try {
    Idempotency::Prune(m_Context.database.Connections(), now - m_nIdempotencyMs);
  } catch (const Norvale::_com_error& e) {
    std::cerr << "velquor-http: removing old idempotency keys failed: " << e.DescriptionA() << std::endl;
  }
}

std::optional<HttpResponse> SendApi::Handle(const HttpRequest& request) {
  const bool batch = request.path == "/v1/messages/batch";
  if (!batch && request.path != "/v1/messages") return std::nullopt;
  if (request.method != "POST") return Refuse(405, "use POST");
  auto who = m_Context.auth.Authenticate(request);
  if (auto* refusal = std::get_if<HttpResponse>(&who)) return *refusal;
  const Norvale::CApiAccount& account = std::get<Norvale::CApiAccount>(who);
  std::optional<std::string> key;
  if (const auto header = request.headers.find(Idempotency::kHeader); header != request.headers.end()) {
    if (auto refusal = Idempotency::CheckKey(header->second)) return refusal;
    key = header->second;
  }
  Json body;
  if (auto refusal = ParseJsonObject(request, body)) return refusal;

  const std::int64_t now = NowMs();
  Norvale::CDBConnectionDispensor& connections = m_Context.database.Connections();
  const std::string hash = key ? Idempotency::RequestHash(request) : "";
  if (key) {
    PruneNowAndThen(now);
    try {
      // A repeat is answered before anything else is judged or counted.
      if (auto earlier = Idempotency::Find(connections, account.sName, *key, hash, now - m_nIdempotencyMs))
        return earlier;
    } catch (const Norvale::_com_error& e) {
      return DatabaseFailure(e);
    }
  }

  return Queue(account, body, batch, key, hash, now);
}

HttpResponse SendApi::SendOne(const Norvale::CApiAccount& account, const Json& message) {
  return Queue(account, message, false, std::nullopt, "", NowMs());
}

HttpResponse SendApi::Queue(const Norvale::CApiAccount& account, const Json& body, bool batch,
                            const std::optional<std::string>& key, const std::string& hash, std::int64_t now) {
  Norvale::CDBConnectionDispensor& connections = m_Context.database.Connections();
  MessageReader reader(account);
  std::vector<Message> messages;
  if (batch) {
    for (const auto& [name, value] : body.items())
      if (name != "messages") return Refuse(400, "unknown field " + name, name);
    if (!body.contains("messages")) return Refuse(400, "missing field messages", "messages");
    const Json& items = body["messages"];
    if (!items.is_array() || items.empty() || items.size() > kMaxBatch)
      return Refuse(400, "messages is an array of 1 to " + std::to_string(kMaxBatch) + " messages", "messages");
    messages.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
      if (auto refusal = reader.Read(items[i], "messages[" + std::to_string(i) + "].", messages[i])) return *refusal;
  } else {
    messages.resize(1);
    if (auto refusal = reader.Read(body, "", messages[0])) return *refusal;
  }
  if (auto refusal = m_Context.auth.Admit(account, static_cast<unsigned>(messages.size()))) return *refusal;

  std::vector<Norvale::COutgoingJobRow> rows;
  rows.reserve(messages.size());
  for (const Message& message : messages) rows.push_back(message.row);
  const Norvale::CMessageEndpoint source(Norvale::stHttpApi, account.sName, "");
  HttpResponse answer;
  std::optional<HttpResponse> earlier;
  try {
    Norvale::COutgoingBatch queue(&connections);
    // All of it again when another writer took an identifier or the key
    // meanwhile: the key's answer is read anew inside.
    queue.Run([&] {
      earlier.reset();
      if (key && (earlier = Idempotency::Find(connections, account.sName, *key, hash, now - m_nIdempotencyMs))) return;
      const std::vector<LONG> ids = queue.Insert(rows, source);
      WriteHttpJobs(connections, ids, messages, account.sName, now);
      answer = batch ? Answer(201, {{"ids", ids}}) : Answer(201, {{"id", ids[0]}});
      if (key) Idempotency::Record(connections, account.sName, *key, hash, answer, now);
    });
  } catch (const Norvale::_com_error& e) {
    return DatabaseFailure(e);
  }
  if (earlier) return *earlier;
  std::map<int, double> accepted;
  for (const auto& row : rows) accepted[row.eHandset] += 1;
  for (const auto& [handset, count] : accepted)
    m_Context.metrics.Add("velquor_http_messages_accepted_total",
                          {{"handset", handset == Norvale::hsAll ? "any" : std::to_string(handset)}}, count);
  return answer;
}

}  // namespace VelquorHttp
