#include "kannel_api.h"

#include <curl/curl.h>
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "authenticator.h"
#include "callback_url.h"
#include "config/routes.h"
#include "http_database.h"
#include "kannel_dlr.h"
#include "norvale/enums.h"
#include "queues/database_access.h"
#include "queues/message_endpoint.h"
#include "queues/outgoing_batch.h"
#include "queues/send_options.h"

namespace VelquorHttp {
namespace {

// Kannel's answers: its texts and codes, sent as Kannel sends them.
constexpr const char* kAccepted = "0: Accepted for delivery";
constexpr const char* kAuthorizationFailed = "Authorization failed for sendsms";
constexpr const char* kMissingReceiver = "Missing receiver number, rejected";
constexpr const char* kEmptyReceiver = "Empty receiver number not allowed, rejected";
constexpr const char* kDeniedNumbers = "Number(s) has/have been denied by white- and/or black-lists.";
constexpr const char* kBadUdh = "UDH field misformed, rejected";
constexpr const char* kBadCoding = "Coding field misformed, rejected";
constexpr const char* kBadDlrUrl = "DLR-URL field misformed, rejected";
constexpr const char* kBadCharset = "Charset or body misformed, rejected";
constexpr const char* kBadContentType = "Invalid content-type";
constexpr const char* kTemporalFailure = "Temporal failure, try again later.";

HttpResponse Text(unsigned status, const std::string& body) {
  HttpResponse response;
  response.status = status;
  response.body = body;
  response.contentType = "text/html";
  return response;
}

using Parameters = std::map<std::string, std::string>;

// The first value of a name wins, as in Kannel.
void Put(Parameters& parameters, const std::string& name, const std::string& value) { parameters.emplace(name, value); }

// A form's value: '+' is a space, %XX a byte (any byte, NUL included).
std::string FormDecoded(std::string value) {
  for (char& c : value)
    if (c == '+') c = ' ';
  int length = 0;
  const std::unique_ptr<char, decltype(&curl_free)> decoded(
      curl_easy_unescape(nullptr, value.data(), static_cast<int>(value.size()), &length), &curl_free);
  return decoded ? std::string(decoded.get(), static_cast<std::size_t>(length)) : std::string();
}

void PutForm(Parameters& parameters, const std::string& body) {
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    if (!pair.empty()) {
      const std::size_t equals = pair.find('=');
      Put(parameters, FormDecoded(pair.substr(0, equals)),
          equals == std::string::npos ? std::string() : FormDecoded(pair.substr(equals + 1)));
    }
    start = end + 1;
  }
}

// The value of the first of `names` that was given, or nothing.
const std::string* Find(const Parameters& parameters, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const auto found = parameters.find(name);
    if (found != parameters.end()) return &found->second;
  }
  return nullptr;
}

std::string ValueOf(const Parameters& parameters, std::initializer_list<const char*> names) {
  const std::string* value = Find(parameters, names);
  return value != nullptr ? *value : std::string();
}

// A number as Kannel reads one (atoi): leading digits, else 0; -1 where
// nothing was given.
long Number(const Parameters& parameters, std::initializer_list<const char*> names) {
  const std::string* value = Find(parameters, names);
  return value == nullptr || value->empty() ? -1 : std::atol(value->c_str());
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The charset parameter of a Content-Type, or empty.
std::string CharsetOf(const std::string& contentType) {
  const std::string lower = Lower(contentType);
  const std::size_t at = lower.find("charset=");
  if (at == std::string::npos) return "";
  std::string charset = contentType.substr(at + 8);
  charset = charset.substr(0, charset.find(';'));
  while (!charset.empty() && (charset.back() == ' ' || charset.back() == '"')) charset.pop_back();
  while (!charset.empty() && (charset.front() == ' ' || charset.front() == '"')) charset.erase(0, 1);
  return charset;
}

// `text` from one charset to another with iconv; false when it is not valid
// in `from` or cannot be written in `to`.
bool Convert(const std::string& text, const std::string& from, const std::string& to, std::string& converted) {
  const iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  converted.clear();
  std::string input = text;
  char* in = input.data();
  std::size_t inLeft = input.size();
  char buffer[1024];
  bool ok = true;
  while (inLeft > 0) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = iconv(cd, &in, &inLeft, &out, &outLeft);
    converted.append(buffer, sizeof buffer - outLeft);
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  if (ok) {  // the shift state's end, for stateful charsets
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    ok = iconv(cd, nullptr, nullptr, &out, &outLeft) != static_cast<std::size_t>(-1);
    converted.append(buffer, sizeof buffer - outLeft);
  }
  iconv_close(cd);
  return ok;
}

std::int64_t NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A whole number of a parameter: nothing when absent or empty; false when
// it is no number.
bool WholeNumber(const Parameters& parameters, const char* name, std::optional<std::int64_t>& value) {
  value.reset();
  const std::string* text = Find(parameters, {name});
  if (text == nullptr || text->empty()) return true;
  std::size_t at = (*text)[0] == '-' ? 1 : 0;
  if (at == text->size() || text->size() > 12 || text->find_first_not_of("0123456789", at) != std::string::npos)
    return false;
  value = std::stoll(*text);
  return true;
}

// The message's options of Kannel's parameters: from, deferred (minutes from
// now), validity (minutes from the time to send), priority (Kannel's 0 to 3:
// 0 normal, 1 to 3 high) and a report asked for when the dlr-mask wants the
// final state (1 delivered, 2 not delivered). `refusal` says what was wrong,
// naming the parameter.
Norvale::CSendOptions KannelOptions(const Parameters& parameters, long dlrMask, std::string& refusal) {
  Norvale::CSendOptions options;
  const std::int64_t now = NowMilliseconds();
  const auto refuse = [&](const std::string& name, const std::string& why) {
    refusal = "Invalid " + name + " (" + why + "), rejected";
    return options;
  };
  options.sSender = ValueOf(parameters, {"from"});
  std::optional<std::int64_t> deferred, validity, priority;
  if (!WholeNumber(parameters, "deferred", deferred)) return refuse("deferred", "no number of minutes");
  if (!WholeNumber(parameters, "validity", validity)) return refuse("validity", "no number of minutes");
  if (!WholeNumber(parameters, "priority", priority)) return refuse("priority", "no number");
  if (deferred) {
    if (*deferred < 0) return refuse("deferred", "less than 0 minutes");
    options.nNotBefore = now + *deferred * 60 * 1000;
  }
  if (validity) {
    if (*validity <= 0) return refuse("validity", "not more than 0 minutes");
    if (*validity * 60 > Norvale::SendOptionLimits::kMaxValiditySeconds)
      return refuse("validity", "longer than 63 weeks");
    options.nValidUntil = options.nNotBefore.value_or(now) + *validity * 60 * 1000;
  }
  if (priority) {
    if (*priority < 0 || *priority > 3) return refuse("priority", "0 to 3");
    options.nPriority = *priority > 0 ? 1 : 0;
  }
  if (dlrMask > 0 && (dlrMask & 3) != 0) options.bReportRequest = true;
  if (const auto error = Norvale::CheckSendOptions(options, now)) {
    const std::string name = error->sField == "sender"       ? "from"
                             : error->sField == "not_before" ? "deferred"
                                                             : error->sField;
    return refuse(name, error->sProblem);
  }
  return options;
}

// One job for each receiver, with its HttpJobs row, all in one transaction.
// The jobs, one per receiver, and their HttpJobs rows in one transaction,
// with identifiers taken as the JSON API takes them (all again when another
// writer took one meanwhile).
void QueueKannelJobs(HttpDatabase& database, const std::string& account, const std::vector<std::string>& receivers,
                     Norvale::JOBTYPE type, const std::string& data, Norvale::Handsets handset,
                     const std::string& dlrUrl, long dlrMask, const Norvale::CSendOptions& options) {
  Norvale::CDBConnectionDispensor& connections = database.Connections();
  Norvale::COutgoingBatch queue(&connections);
  Norvale::CDatabaseQueryExecuter executer(&connections);
  const Norvale::CMessageEndpoint source(Norvale::stHttpApi, account, "");
  const bool kannelCallback = !dlrUrl.empty() && dlrMask > 0;
  std::vector<Norvale::COutgoingJobRow> rows;
  for (const std::string& receiver : receivers) rows.push_back({receiver, type, data, handset, options});
  queue.Run([&] {
    const std::vector<Norvale::OS::LONG> ids = queue.Insert(rows, source);
    for (const Norvale::OS::LONG id : ids) {
      Norvale::OS::LONG affected = 0;
      // An identifier can come back once its row is gone: its old record goes.
      executer.ExecuteCommand("DELETE FROM HttpJobs WHERE JobId=$1", {static_cast<std::int64_t>(id)}, affected,
                              Norvale::OS::adCmdText | Norvale::OS::adExecuteNoRecords, -1, 1);
      executer.ExecuteCommand(
          "INSERT INTO HttpJobs (JobId, Account, ClientRef, CallbackUrl, CallbackKind, DlrMask, Created) "
          "VALUES ($1, $2, NULL, $3, $4, $5, $6)",
          {static_cast<std::int64_t>(id), account,
           kannelCallback ? Norvale::OS::SqlValue(dlrUrl) : Norvale::OS::SqlValue(Norvale::OS::SqlNull),
           static_cast<std::int64_t>(kannelCallback ? 1 : 0), static_cast<std::int64_t>(kannelCallback ? dlrMask : 0),
           NowMilliseconds()},
          affected, Norvale::OS::adCmdText | Norvale::OS::adExecuteNoRecords, -1, 1);
    }
  });
}

// The receivers of a `to`: numbers separated by blanks ("+" in a URL), each
// of digits with an optional leading '+' and '-' as Kannel's default
// sendsms-chars allow. Empty when one is not such a number.
std::vector<std::string> Receivers(const std::string& to) {
  std::vector<std::string> receivers;
  std::size_t at = 0;
  while (at < to.size()) {
    if (to[at] == ' ') {
      ++at;
      continue;
    }
    std::size_t end = to.find(' ', at);
    if (end == std::string::npos) end = to.size();
    std::string number = to.substr(at, end - at);
    number.erase(std::remove(number.begin(), number.end(), '-'), number.end());
    const std::size_t digitsFrom = number.front() == '+' ? 1 : 0;
    if (number.size() == digitsFrom || number.find_first_not_of("0123456789", digitsFrom) != std::string::npos)
      return {};
    receivers.push_back(std::move(number));
    at = end;
  }
  return receivers;
}

// X-Kannel-UDH: hexadecimal ("0605041582000"), else URL-encoded as in a
// query.
std::string HeaderUdh(const std::string& value) {
  if (value.empty() || value.size() % 2 != 0 || value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return FormDecoded(value);
  std::string octets;
  for (std::size_t i = 0; i < value.size(); i += 2)
    octets += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
  return octets;
}

// The parameters of Kannel's POST: X-Kannel-* headers, the text as the body.
void PutHeaders(Parameters& parameters, const HttpRequest& request, const std::string& type) {
  static const std::pair<const char*, const char*> kHeaders[] = {
      {"x-kannel-username", "username"}, {"x-kannel-password", "password"},
      {"x-kannel-from", "from"},         {"x-kannel-to", "to"},
      {"x-kannel-udh", "udh"},           {"x-kannel-coding", "coding"},
      {"x-kannel-dlr-mask", "dlr-mask"}, {"x-kannel-dlr-url", "dlr-url"},
      {"x-kannel-smsc", "smsc"},
  };
  for (const auto& [header, name] : kHeaders) {
    const auto found = request.headers.find(header);
    if (found == request.headers.end()) continue;
    Put(parameters, name, std::string(name) == "udh" ? HeaderUdh(found->second) : found->second);
  }
  Put(parameters, "text", request.body);
  const std::string charset = CharsetOf(request.Header("content-type"));
  if (!charset.empty()) Put(parameters, "charset", charset);
  if (type == "application/octet-stream") Put(parameters, "coding", "1");
}

}  // namespace

std::optional<HttpResponse> KannelApi::Handle(const HttpRequest& request) {
  if (request.path != "/cgi-bin/sendsms") return std::nullopt;
  if (request.bodyTooLarge) return Text(413, "Request too large, rejected");
  Parameters parameters;
  if (request.method == "GET") {
    for (const auto& [name, value] : request.query) Put(parameters, name, value);
  } else if (request.method == "POST") {
    std::string type = Lower(request.Header("content-type"));
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    if (type == "application/x-www-form-urlencoded") {
      for (const auto& [name, value] : request.query) Put(parameters, name, value);
      PutForm(parameters, request.body);
    } else if (type == "text/plain" || type == "text/html" || type == "text/vnd.wap.wml" ||
               type == "application/octet-stream") {
      PutHeaders(parameters, request, type);
    } else {
      return Text(400, kBadContentType);
    }
  } else {
    return Text(400, "");
  }

  const auto account = m_Context.auth.Check(ValueOf(parameters, {"username", "user"}),
                                            ValueOf(parameters, {"password", "pass"}), request.remoteAddress);
  if (!account) return Text(403, kAuthorizationFailed);

  const std::string* to = Find(parameters, {"to"});
  if (to == nullptr) return Text(400, kMissingReceiver);
  if (to->empty()) return Text(400, kEmptyReceiver);
  const std::vector<std::string> receivers = Receivers(*to);
  if (receivers.empty()) return Text(400, kDeniedNumbers);
  // The gateway's blocklist: the whole request is refused, nothing queued.
  const std::vector<std::string> blocklist = Norvale::ReadBlocklist();
  for (const std::string& receiver : receivers)
    if (!Norvale::BlockingPattern(blocklist, receiver).empty()) return Text(400, kDeniedNumbers);

  // The UDH's first octet counts the octets after it.
  const std::string udh = ValueOf(parameters, {"udh"});
  if (!udh.empty() && static_cast<unsigned char>(udh[0]) + 1u != udh.size()) return Text(400, kBadUdh);

  long coding = Number(parameters, {"coding"});
  if (coding < -1 || coding > 2) return Text(400, kBadCoding);
  if (coding == -1) coding = udh.empty() ? 0 : 1;

  long dlrMask = Number(parameters, {"dlr-mask", "dlrmask"});
  if (dlrMask < 0) dlrMask = 0;
  const std::string dlrUrl = ValueOf(parameters, {"dlr-url", "dlrurl"});
  if (!dlrUrl.empty() && !CallbackUrlProblem(dlrUrl, ConfiguredWebhookHosts()).empty()) return Text(400, kBadDlrUrl);

  std::string refusal;
  const Norvale::CSendOptions options = KannelOptions(parameters, dlrMask, refusal);
  if (!refusal.empty()) return Text(400, refusal);

  // The text in the form its job needs.
  const std::string text = ValueOf(parameters, {"text"});
  const std::string charset = ValueOf(parameters, {"charset"});
  Norvale::JOBTYPE type = Norvale::jtTextMessage;
  std::string data;
  std::string octets;  // the user data of a data job
  if (coding == 1) {
    octets = text;
  } else if (coding == 2) {
    if (!Convert(text, charset.empty() ? "UTF-16BE" : charset, "UTF-16BE", octets)) return Text(400, kBadCharset);
    type = Norvale::jtUnicodeMessage;
    data = UpperHex(octets);
  } else {
    if (!Convert(text, charset.empty() ? "UTF-8" : charset, "UTF-8", data) || data.find('\0') != std::string::npos)
      return Text(400, kBadCharset);
    octets = data;
    if (data.empty()) data = " ";  // the queue's form of an empty text
  }
  if (coding == 1 || !udh.empty()) {
    type = Norvale::jtDataMessage;
    const long dcs = coding == 2 ? 0x08 : coding == 1 ? 0x04 : 0x00;
    // Kannel's udh starts with its length octet; the queue keeps the
    // header's elements alone, as the engine splits them.
    data = Norvale::CJobQueue::EncodeDataMessage(UpperHex(octets), UpperHex(udh.empty() ? udh : udh.substr(1)), dcs);
  }

  // Kannel's smsc names the route; here a handset of the account.
  Norvale::Handsets handset =
      account->handsets.empty() ? Norvale::hsAll : static_cast<Norvale::Handsets>(account->handsets.front());
  if (const std::string* smsc = Find(parameters, {"smsc"}); smsc != nullptr && !smsc->empty()) {
    const long wanted = std::atol(smsc->c_str());
    if (wanted < 1 || wanted > 8 || !account->MayUseHandset(static_cast<int>(wanted)))
      return Text(403, "SMSC not allowed for this user, rejected");
    handset = static_cast<Norvale::Handsets>(wanted);
  }

  if (auto refusal = m_Context.auth.Admit(*account, static_cast<unsigned>(receivers.size()))) {
    refusal->body = kTemporalFailure;
    refusal->contentType = "text/html";
    return refusal;
  }
  try {
    QueueKannelJobs(m_Context.database, account->sName, receivers, type, data, handset, dlrUrl, dlrMask, options);
  } catch (const Norvale::OS::_com_error&) {
    return Text(503, kTemporalFailure);
  }
  return Text(202, kAccepted);
}

}  // namespace VelquorHttp
