#include "webhook_sender.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>

#include "accounts/secret_hash.h"
#include "callback_url.h"
#include "config/config_reg.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "queues/database_access.h"

namespace VelquorHttp {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

struct WebhookSender::Call {
  std::int64_t id = 0;
  std::string account;
  std::string url;
  std::string method;
  std::string body;
  bool bSigned = true;
  int attempts = 0;
  std::int64_t firstQueued = 0;
  std::int64_t claim = 0;  // the NextAttempt the claim set
  // Owned while the call is in flight.
  curl_slist* headers = nullptr;
  SteadyClock::time_point started;
  char error[CURL_ERROR_SIZE] = {};
};

// What a finished call leaves to write: the row removed, or its next attempt.
struct WebhookSender::Outcome {
  std::int64_t id = 0;
  bool bRemove = false;
  int attempts = 0;
  std::optional<long> status;
  std::string error;
  std::int64_t nextAttempt = 0;
  std::int64_t claim = 0;  // written only while the row still holds this claim
};

namespace {

constexpr const char* kSource = "velquor-http";
constexpr milliseconds kMaxDatabasePause{30000};
constexpr std::chrono::seconds kSecretLife{30};

// The claim: the due rows, oldest first, their NextAttempt moved to the
// claim's end in the same statement. On PostgreSQL the choice is made once
// (materialised) and passes over rows another sender has locked; the
// condition on NextAttempt keeps out a row another claim changed meanwhile.
// SQLite runs it under the database's write lock.
constexpr const char* kClaimPostgres =
    "WITH chosen AS MATERIALIZED (SELECT Id FROM WebhookOutbox WHERE NextAttempt<=$2 ORDER BY NextAttempt, Id LIMIT "
    "$3 FOR UPDATE SKIP LOCKED) UPDATE WebhookOutbox AS o SET NextAttempt=$1 FROM chosen WHERE o.Id=chosen.Id AND "
    "o.NextAttempt<=$2 RETURNING o.Id, o.Account, o.Url, o.Method, o.Body, o.Signed, o.Attempts, o.FirstQueued";
constexpr const char* kClaimSqlite =
    "UPDATE WebhookOutbox SET NextAttempt=$1 WHERE Id IN (SELECT Id FROM WebhookOutbox WHERE NextAttempt<=$2 ORDER "
    "BY NextAttempt, Id LIMIT $3) AND NextAttempt<=$2 RETURNING Id, Account, Url, Method, Body, Signed, Attempts, "
    "FirstQueued";
constexpr const char* kDepth = "SELECT COUNT(*) AS N, MIN(NextAttempt) AS Due FROM WebhookOutbox";
constexpr const char* kRemove = "DELETE FROM WebhookOutbox WHERE Id=$1";
constexpr const char* kRetry =
    "UPDATE WebhookOutbox SET Attempts=$2, LastStatus=$3, LastError=$4, NextAttempt=$5 WHERE Id=$1 AND "
    "NextAttempt=$6";
constexpr const char* kRelease = "UPDATE WebhookOutbox SET NextAttempt=$2 WHERE Id=$1 AND NextAttempt=$3";

std::int64_t NowMs() {
  return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void Log(Norvale::OS::WORD type, const std::string& text) {
  Norvale::CEventLogger::LogEvent(type, text, kSource, Norvale::OS::EVENT_FUNCTION_REPORT);
}

// The host of a URL, for logs (a URL's path or query may hold a token).
std::string HostOf(const std::string& url) {
  std::string host;
  CURLU* parsed = curl_url();
  if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* text = nullptr;
    if (curl_url_get(parsed, CURLUPART_HOST, &text, 0) == CURLUE_OK && text != nullptr) {
      host = text;
      curl_free(text);
    }
  }
  curl_url_cleanup(parsed);
  return host.empty() ? "(none)" : host;
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

std::string ConfiguredText(const std::string& name) {
  bool readOnly = false;
  try {
    const auto key = Norvale::RUOpenKeyWithBestPermisions(Norvale::OS::HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor",
                                                          &readOnly, true);
    if (key == nullptr) return "";
    const std::string value = Norvale::RUQueryValue(key, name, true);
    Norvale::OS::RegCloseKey(key);
    return value;
  } catch (const std::exception&) {
    return "";
  }
}

// A positive number of the configuration, or nothing where it is unset or
// not such a number (then logged).
std::optional<double> ConfiguredNumber(const std::string& name) {
  const std::string text = ConfiguredText(name);
  if (text.empty()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc() && end == text.data() + text.size() && value > 0 && std::isfinite(value)) return value;
  Norvale::CEventLogger::LogEvent(
      Norvale::OS::EVENTLOG_WARNING_TYPE,
      name + " in the configuration is not a positive number: " + text + "; the default is used", kSource,
      Norvale::OS::EVENT_CONFIGURATION);
  return std::nullopt;
}

}  // namespace

WebhookSenderOptions WebhookSenderOptions::FromConfiguration() {
  WebhookSenderOptions options;
  if (const auto seconds = ConfiguredNumber("HttpWebhookTimeoutSeconds"))
    options.callTimeout = milliseconds(static_cast<std::int64_t>(std::min(*seconds, 3600.0) * 1000));
  if (const auto seconds = ConfiguredNumber("HttpWebhookRetrySeconds"))
    options.retryTime = milliseconds(static_cast<std::int64_t>(std::min(*seconds, 1e9) * 1000));
  else if (const auto hours = ConfiguredNumber("HttpWebhookRetryHours"))
    options.retryTime = milliseconds(static_cast<std::int64_t>(std::min(*hours, 1e6) * 3600000));
  return options;
}

milliseconds WebhookBackoff(int failedAttempts, const WebhookSenderOptions& options, double random) {
  milliseconds pause = options.firstBackoff;
  for (int i = 1; i < failedAttempts && pause < options.maxBackoff; ++i) pause *= 2;
  pause = std::min(pause, options.maxBackoff);
  const auto half = pause.count() / 2;
  return milliseconds(pause.count() - half + static_cast<std::int64_t>(static_cast<double>(half) * random));
}

WebhookSender::WebhookSender(HttpDatabase& database, const Norvale::CApiAccountStore& accounts, Metrics& metrics,
                             WebhookSenderOptions options)
    : m_Database(database), m_Accounts(accounts), m_Metrics(metrics), m_Options(options) {
  static std::once_flag curlReady;
  std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) throw std::runtime_error("libcurl cannot make a multi handle");
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(m_Options.maxPerHost));
  curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(m_Options.maxCalls));
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(m_Options.maxCalls));
  m_pMulti = multi;
  m_Metrics.Describe("velquor_webhook_attempts_total", "counter", "Webhook calls made, by result");
  m_Metrics.Describe("velquor_webhook_expired_total", "counter", "Webhook calls given up after the retry time");
  m_Metrics.Describe("velquor_webhook_dropped_total", "counter", "Webhook calls dropped without a call, by reason");
  m_Metrics.Describe("velquor_webhook_outbox_depth", "gauge", "Rows in the webhook outbox at the last read");
  m_Metrics.Describe("velquor_webhook_call_seconds", "histogram", "Duration of webhook calls");
  m_Thread = std::thread([this] { Run(); });
}

WebhookSender::~WebhookSender() {
  Stop();
  curl_multi_cleanup(static_cast<CURLM*>(m_pMulti));
}

void WebhookSender::Wake() {
  m_bWake = true;
  curl_multi_wakeup(static_cast<CURLM*>(m_pMulti));
}

void WebhookSender::Stop() {
  m_bStop = true;
  curl_multi_wakeup(static_cast<CURLM*>(m_pMulti));
  if (m_Thread.joinable()) m_Thread.join();
}

void WebhookSender::Run() {
  CURLM* multi = static_cast<CURLM*>(m_pMulti);
  auto nextRead = SteadyClock::now();
  auto nextDepth = SteadyClock::now();
  auto databaseAgain = SteadyClock::now();  // no database work before this while it fails
  milliseconds databasePause{0};
  while (!m_bStop) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left))
      if (message->msg == CURLMSG_DONE) Finish(message->easy_handle, message->data.result);

    auto now = SteadyClock::now();
    if (m_bWake.exchange(false)) nextRead = now;
    if (now >= databaseAgain) {
      try {
        WriteOutcomes();
        const unsigned free = m_Options.maxCalls - std::min<unsigned>(m_Options.maxCalls, m_Calls.size());
        if (now >= nextRead && free > 0) {
          const unsigned wanted = std::min(free, m_Options.batch);
          const unsigned claimed = ClaimAndStart(wanted);
          // A full batch: more may be due; read again as calls end.
          nextRead = claimed == wanted ? now : now + m_Options.idleRead;
          if (claimed < wanted || now >= nextDepth) {
            nextDepth = now + m_Options.idleRead;
            if (const auto due = ReadDepth(); due && claimed < wanted)
              nextRead = std::min(nextRead, now + milliseconds(std::max<std::int64_t>(0, *due - NowMs())));
          }
        }
        databasePause = milliseconds(0);
        DatabaseWorks();
      } catch (const Norvale::OS::_com_error& e) {
        DatabaseFailed(e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA());
      } catch (const std::exception& e) {
        DatabaseFailed(e.what());
      }
      if (m_bDatabaseFailing) {
        databasePause = std::clamp(databasePause * 2, milliseconds(500), kMaxDatabasePause);
        databaseAgain = SteadyClock::now() + databasePause;
      }
    }

    // Wait for the calls, the next read or a wake-up, at most a second.
    now = SteadyClock::now();
    auto until = now + milliseconds(1000);
    if (m_bDatabaseFailing) {
      until = std::min(until, databaseAgain);
    } else if (!m_Outcomes.empty()) {
      until = now;
    } else if (m_Calls.size() < m_Options.maxCalls) {
      until = std::min(until, nextRead);
    }
    const auto wait = std::chrono::duration_cast<milliseconds>(until - now).count();
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<std::int64_t>(0, wait)), nullptr);
  }
  ReleaseCalls();
}

unsigned WebhookSender::ClaimAndStart(unsigned count) {
  Norvale::CDBConnectionDispensor& connections = m_Database.Connections();
  const Norvale::CDatabaseOperation operation(&connections);
  const std::int64_t now = NowMs();
  const std::int64_t claim = now + (m_Options.callTimeout + m_Options.claimMargin).count();
  Norvale::OS::LONG affected = 0;
  const auto rs =
      Norvale::CDatabaseQueryExecuter(&connections)
          .ExecuteCommand(connections.IsPostgres() ? kClaimPostgres : kClaimSqlite,
                          {claim, now, static_cast<std::int64_t>(count)}, affected, Norvale::OS::adCmdText, -1, 2);
  std::vector<Call> rows;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    Call row;
    row.id = rs->GetFieldValue("Id").ToLongLong();
    row.account = rs->GetFieldValue("Account").ToString();
    row.url = rs->GetFieldValue("Url").ToString();
    row.method = rs->GetFieldValue("Method").ToString();
    row.body = rs->GetFieldValue("Body").ToString();
    row.bSigned = rs->GetFieldValue("Signed").ToLong() != 0;
    row.attempts = static_cast<int>(rs->GetFieldValue("Attempts").ToLong());
    row.firstQueued = rs->GetFieldValue("FirstQueued").ToLongLong();
    row.claim = claim;
    rows.push_back(std::move(row));
  }
  // RETURNING gives the rows in no particular order.
  std::sort(rows.begin(), rows.end(), [](const Call& a, const Call& b) { return a.id < b.id; });
  if (!rows.empty()) m_AllowedHosts = ConfiguredWebhookHosts();
  for (const Call& row : rows) Start(row);
  return static_cast<unsigned>(rows.size());
}

std::optional<std::int64_t> WebhookSender::ReadDepth() {
  Norvale::CDBConnectionDispensor& connections = m_Database.Connections();
  const Norvale::CDatabaseOperation operation(&connections);
  Norvale::OS::LONG affected = 0;
  const auto rs =
      Norvale::CDatabaseQueryExecuter(&connections).ExecuteCommand(kDepth, affected, Norvale::OS::adCmdText, -1, 2);
  if (!rs || rs->adoEOF()) return std::nullopt;
  m_Metrics.Set("velquor_webhook_outbox_depth", {}, static_cast<double>(rs->GetFieldValue("N").ToLong()));
  const Norvale::OS::_variant_t due = rs->GetFieldValue("Due");
  if (due.vt == Norvale::OS::VT_NULL || due.vt == Norvale::OS::VT_EMPTY) return std::nullopt;
  return due.ToLongLong();
}

std::string WebhookSender::Secret(const std::string& account) {
  const auto now = SteadyClock::now();
  const auto known = m_Secrets.find(account);
  if (known != m_Secrets.end() && now - known->second.second < kSecretLife) return known->second.first;
  std::string secret;
  try {
    if (const auto found = m_Accounts.Find(account)) secret = found->sWebhookSecret;
  } catch (...) {
    // An account that cannot be read has no secret to sign with.
  }
  if (m_Secrets.size() > 10000) m_Secrets.clear();
  m_Secrets[account] = {secret, now};
  return secret;
}

void WebhookSender::Start(const Call& row) {
  const std::string problem = CallbackUrlProblem(row.url, m_AllowedHosts);
  if (!problem.empty()) return Drop(row, "url_refused", problem);
  if (row.method != "POST" && row.method != "GET") return Drop(row, "bad_method", "the method is " + row.method);
  std::string secret;
  if (row.method == "POST" && row.bSigned) {
    secret = Secret(row.account);
    if (secret.empty()) return Drop(row, "no_account", "the account is gone or has no webhook secret");
  }

  auto call = std::make_unique<Call>(row);
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return Fail(row, 0, "libcurl cannot make a handle");
  curl_easy_setopt(easy, CURLOPT_URL, call->url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_Options.callTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(m_Options.callTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "velquor-http");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, call->error);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, call.get());
  if (call->method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    const std::string timestamp = std::to_string(NowMs() / 1000);
    call->headers = curl_slist_append(call->headers, "Content-Type: application/json");
    call->headers = curl_slist_append(call->headers, ("X-Velquor-Event-Id: " + std::to_string(call->id)).c_str());
    call->headers = curl_slist_append(call->headers, ("X-Velquor-Timestamp: " + timestamp).c_str());
    if (!secret.empty())
      call->headers = curl_slist_append(
          call->headers,
          ("X-Velquor-Signature: v1=" + Norvale::HmacSha256Hex(secret, timestamp + "." + call->body)).c_str());
    // No "Expect: 100-continue" wait before larger bodies.
    call->headers = curl_slist_append(call->headers, "Expect:");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, call->body.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call->body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, call->headers);
  }
  call->started = SteadyClock::now();
  if (curl_multi_add_handle(static_cast<CURLM*>(m_pMulti), easy) != CURLM_OK) {
    curl_slist_free_all(call->headers);
    curl_easy_cleanup(easy);
    return Fail(row, 0, "libcurl cannot start the call");
  }
  m_Calls[easy] = std::move(call);
}

void WebhookSender::Finish(void* easy, int result) {
  const auto found = m_Calls.find(easy);
  if (found == m_Calls.end()) return;
  std::unique_ptr<Call> call = std::move(found->second);
  m_Calls.erase(found);
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_multi_remove_handle(static_cast<CURLM*>(m_pMulti), easy);
  curl_easy_cleanup(easy);
  curl_slist_free_all(call->headers);
  call->headers = nullptr;
  m_Metrics.Observe("velquor_webhook_call_seconds", {},
                    std::chrono::duration<double>(SteadyClock::now() - call->started).count());
  const auto code = static_cast<CURLcode>(result);
  if (code == CURLE_OK && status >= 200 && status <= 299) {
    m_Metrics.Add("velquor_webhook_attempts_total", {{"result", "ok"}});
    Outcome done;
    done.id = call->id;
    done.bRemove = true;
    m_Outcomes.push_back(std::move(done));
    return;
  }
  if (code == CURLE_OK) {
    m_Metrics.Add("velquor_webhook_attempts_total", {{"result", "http_error"}});
    return Fail(*call, status, "HTTP " + std::to_string(status));
  }
  m_Metrics.Add("velquor_webhook_attempts_total", {{"result", "network_error"}});
  Fail(*call, 0, call->error[0] != '\0' ? call->error : curl_easy_strerror(code));
}

void WebhookSender::Fail(const Call& call, long status, const std::string& error) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  const std::int64_t now = NowMs();
  const std::int64_t end = call.firstQueued + m_Options.retryTime.count();
  Outcome outcome;
  outcome.id = call.id;
  outcome.attempts = call.attempts + 1;
  if (now >= end) {
    Log(Norvale::OS::EVENTLOG_WARNING_TYPE, "webhook call given up after its retry time: outbox row " +
                                                std::to_string(call.id) + ", account " + call.account + ", host " +
                                                HostOf(call.url) + ", " + std::to_string(outcome.attempts) +
                                                " attempts, last: " + error);
    m_Metrics.Add("velquor_webhook_expired_total", {});
    outcome.bRemove = true;
  } else {
    const double draw = std::uniform_real_distribution<double>(0, 1)(random);
    outcome.nextAttempt = std::min(end, now + WebhookBackoff(outcome.attempts, m_Options, draw).count());
    if (status > 0) outcome.status = status;
    outcome.error = error.substr(0, 500);
    outcome.claim = call.claim;
  }
  m_Outcomes.push_back(std::move(outcome));
}

void WebhookSender::Drop(const Call& call, const std::string& reason, const std::string& why) {
  Log(Norvale::OS::EVENTLOG_WARNING_TYPE, "webhook call dropped: outbox row " + std::to_string(call.id) + ", account " +
                                              call.account + ", host " + HostOf(call.url) + ": " + why);
  m_Metrics.Add("velquor_webhook_dropped_total", {{"reason", reason}});
  Outcome outcome;
  outcome.id = call.id;
  outcome.bRemove = true;
  m_Outcomes.push_back(std::move(outcome));
}

void WebhookSender::WriteOutcomes() {
  if (m_Outcomes.empty()) return;
  Norvale::CDBConnectionDispensor& connections = m_Database.Connections();
  const Norvale::CDatabaseOperation operation(&connections);
  // On SQLite one wait for the write lock instead of one per row.
  Norvale::CDatabaseTransaction group(&connections);
  Norvale::CDatabaseQueryExecuter executer(&connections);
  for (const Outcome& outcome : m_Outcomes) {
    Norvale::OS::LONG affected = 0;
    if (outcome.bRemove) {
      executer.ExecuteCommand(kRemove, {outcome.id}, affected, Norvale::OS::adExecuteNoRecords, -1, 2);
    } else {
      Norvale::OS::SqlValue status = Norvale::OS::SqlNull;
      if (outcome.status) status = static_cast<std::int64_t>(*outcome.status);
      executer.ExecuteCommand(kRetry,
                              {outcome.id, outcome.attempts, status, outcome.error, outcome.nextAttempt, outcome.claim},
                              affected, Norvale::OS::adExecuteNoRecords, -1, 2);
    }
  }
  group.Commit();
  m_Outcomes.clear();
}

void WebhookSender::ReleaseCalls() {
  CURLM* multi = static_cast<CURLM*>(m_pMulti);
  const std::int64_t now = NowMs();
  std::vector<std::pair<std::int64_t, std::int64_t>> released;  // id, claim
  for (auto& [easy, call] : m_Calls) {
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(call->headers);
    released.emplace_back(call->id, call->claim);
  }
  m_Calls.clear();
  // Once: the process is ending, and what is not written here is called
  // again when the claims run out.
  try {
    WriteOutcomes();
    Norvale::CDBConnectionDispensor& connections = m_Database.Connections();
    const Norvale::CDatabaseOperation operation(&connections);
    Norvale::CDatabaseTransaction group(&connections);
    Norvale::CDatabaseQueryExecuter executer(&connections);
    for (const auto& [id, claim] : released) {
      Norvale::OS::LONG affected = 0;
      executer.ExecuteCommand(kRelease, {id, now, claim}, affected, Norvale::OS::adExecuteNoRecords, -1, 1);
    }
    group.Commit();
  } catch (...) {
    // Left for the claims to run out.
  }
}

void WebhookSender::DatabaseFailed(const std::string& what) {
  if (m_bDatabaseFailing) return;
  m_bDatabaseFailing = true;
  Log(Norvale::OS::EVENTLOG_ERROR_TYPE, "the webhook outbox cannot be read or written, trying again: " + what);
}

void WebhookSender::DatabaseWorks() {
  if (!m_bDatabaseFailing) return;
  m_bDatabaseFailing = false;
  Log(Norvale::OS::EVENTLOG_INFORMATION_TYPE, "the webhook outbox can be read and written again");
}

}  // namespace VelquorHttp
