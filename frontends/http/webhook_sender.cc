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
#include "platform/wall_clock.h"
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
  std::string secret;      // the signature's key; empty: unsigned
  // Owned while the call is in flight.
  curl_slist* headers = nullptr;
  SteadyClock::time_point started;
  char error[CURL_ERROR_SIZE] = {};
  // What became of it.
  bool bReleased = false;  // not called, or abandoned at the end
  int result = CURLE_OK;
  long status = 0;
};

// What a finished call leaves to write: the row removed, or its next attempt.
struct WebhookSender::Outcome {
  std::int64_t id = 0;
  bool bRemove = false;
  bool bRelease = false;  // due again at once
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

using Norvale::OS::NowMs;

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

// A positive number of the configuration, or nothing where it is unset or
// not such a number (then logged).
std::optional<double> ConfiguredNumber(const std::string& name) {
  const std::string text = Norvale::RUProductValue(name);
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
  m_CallsThread = std::thread([this] { RunCalls(); });
  m_DatabaseThread = std::thread([this] { RunDatabase(); });
}

WebhookSender::~WebhookSender() {
  Stop();
  curl_multi_cleanup(static_cast<CURLM*>(m_pMulti));
}

void WebhookSender::Wake() {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bWake = true;
  }
  m_Changed.notify_one();
}

void WebhookSender::Stop() {
  // The calls first, so that what they leave is written by the outbox's
  // thread on its way out.
  m_bStopCalls = true;
  curl_multi_wakeup(static_cast<CURLM*>(m_pMulti));
  if (m_CallsThread.joinable()) m_CallsThread.join();
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = true;
  }
  m_Changed.notify_one();
  if (m_DatabaseThread.joinable()) m_DatabaseThread.join();
}

void WebhookSender::RunCalls() {
  CURLM* multi = static_cast<CURLM*>(m_pMulti);
  while (!m_bStopCalls) {
    std::vector<std::unique_ptr<Call>> starting;
    {
      const std::lock_guard<std::mutex> lock(m_Mutex);
      starting.swap(m_ToStart);
    }
    std::vector<std::unique_ptr<Call>> done;
    for (auto& call : starting) {
      Start(call);
      if (call) done.push_back(std::move(call));  // not started
    }
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left))
      if (message->msg == CURLMSG_DONE)
        if (auto call = Finish(message->easy_handle, message->data.result)) done.push_back(std::move(call));
    if (!done.empty()) {
      {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_nInFlight -= std::min<unsigned>(m_nInFlight, done.size());
        for (auto& call : done) m_Done.push_back(std::move(call));
      }
      m_Changed.notify_one();
    }
    // Woken by the calls' sockets, new calls or Stop; at most a second.
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  // Abandoned: given back to be called again.
  std::vector<std::unique_ptr<Call>> abandoned;
  for (auto& [easy, call] : m_Calls) {
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(call->headers);
    call->headers = nullptr;
    call->bReleased = true;
    abandoned.push_back(std::move(call));
  }
  m_Calls.clear();
  const std::lock_guard<std::mutex> lock(m_Mutex);
  for (auto& call : abandoned) m_Done.push_back(std::move(call));
}

void WebhookSender::RunDatabase() {
  auto nextRead = SteadyClock::now();
  auto nextDepth = SteadyClock::now();
  auto databaseAgain = SteadyClock::now();  // no database work before this while it fails
  milliseconds databasePause{0};
  std::unique_lock<std::mutex> lock(m_Mutex);
  while (!m_bStop) {
    auto now = SteadyClock::now();
    auto until = now + milliseconds(1000);
    if (m_bDatabaseFailing) {
      until = std::min(until, databaseAgain);
      m_Changed.wait_until(lock, until, [this] { return m_bStop; });
    } else {
      if (m_nInFlight < m_Options.maxCalls) until = std::min(until, nextRead);
      m_Changed.wait_until(lock, until, [this] { return m_bStop || m_bWake || !m_Done.empty(); });
    }
    if (m_bStop) break;
    now = SteadyClock::now();
    if (m_bWake && !m_bDatabaseFailing) {
      m_bWake = false;
      nextRead = now;
    }
    std::vector<std::unique_ptr<Call>> done;
    done.swap(m_Done);
    const unsigned free = m_Options.maxCalls - std::min(m_Options.maxCalls, m_nInFlight);
    lock.unlock();
    for (const auto& call : done) Settle(*call);
    if (now >= databaseAgain) {
      try {
        WriteOutcomes();
        if (now >= nextRead && free > 0) {
          const unsigned wanted = std::min(free, m_Options.batch);
          const unsigned claimed = Claim(wanted);
          // A full batch: more may be due; read again as calls end.
          nextRead = claimed == wanted ? now : now + m_Options.idleRead;
          if (claimed < wanted || now >= nextDepth) {
            nextDepth = now + m_Options.idleRead;
            // At the next row's time; not at once, as a row due now that
            // the claim passed over is locked by another sender's claim.
            if (const auto due = ReadDepth(); due && claimed < wanted)
              nextRead = std::min(nextRead, now + milliseconds(std::max<std::int64_t>(10, *due - NowMs())));
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
    lock.lock();
  }
  // The calls' thread has ended: what it left, and what it never started,
  // is written once; what is not is called again when its claim runs out.
  std::vector<std::unique_ptr<Call>> left;
  left.swap(m_Done);
  for (auto& call : m_ToStart) {
    call->bReleased = true;
    left.push_back(std::move(call));
  }
  m_ToStart.clear();
  lock.unlock();
  for (const auto& call : left) Settle(*call);
  try {
    WriteOutcomes();
  } catch (...) {
    // Left for the claims to run out.
  }
}

unsigned WebhookSender::Claim(unsigned count) {
  Norvale::CDBConnectionDispensor& connections = m_Database.Connections();
  const Norvale::CDatabaseOperation operation(&connections);
  const std::int64_t now = NowMs();
  const std::int64_t claim = now + (m_Options.callTimeout + m_Options.claimMargin).count();
  Norvale::OS::LONG affected = 0;
  const auto rs =
      Norvale::CDatabaseQueryExecuter(&connections)
          .ExecuteCommand(connections.IsPostgres() ? kClaimPostgres : kClaimSqlite,
                          {claim, now, static_cast<std::int64_t>(count)}, affected, Norvale::OS::adCmdText, -1, 2);
  std::vector<std::unique_ptr<Call>> rows;
  for (; rs && !rs->adoEOF(); rs->MoveNext()) {
    auto row = std::make_unique<Call>();
    row->id = rs->GetFieldValue("Id").ToLongLong();
    row->account = rs->GetFieldValue("Account").ToString();
    row->url = rs->GetFieldValue("Url").ToString();
    row->method = rs->GetFieldValue("Method").ToString();
    row->body = rs->GetFieldValue("Body").ToString();
    row->bSigned = rs->GetFieldValue("Signed").ToLong() != 0;
    row->attempts = static_cast<int>(rs->GetFieldValue("Attempts").ToLong());
    row->firstQueued = rs->GetFieldValue("FirstQueued").ToLongLong();
    row->claim = claim;
    rows.push_back(std::move(row));
  }
  const auto claimed = static_cast<unsigned>(rows.size());
  if (rows.empty()) return 0;
  // RETURNING gives the rows in no particular order.
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a->id < b->id; });
  m_AllowedHosts = ConfiguredWebhookHosts();
  std::vector<std::unique_ptr<Call>> calls;
  for (auto& row : rows) {
    const std::string problem = CallbackUrlProblem(row->url, m_AllowedHosts);
    if (!problem.empty()) {
      Drop(*row, "url_refused", problem);
    } else if (row->method != "POST" && row->method != "GET") {
      Drop(*row, "bad_method", "the method is " + row->method);
    } else if (row->method == "POST" && row->bSigned && (row->secret = Secret(row->account)).empty()) {
      Drop(*row, "no_account", "the account is gone or has no webhook secret");
    } else {
      calls.push_back(std::move(row));
    }
  }
  if (!calls.empty()) {
    {
      const std::lock_guard<std::mutex> lock(m_Mutex);
      m_nInFlight += static_cast<unsigned>(calls.size());
      for (auto& call : calls) m_ToStart.push_back(std::move(call));
    }
    curl_multi_wakeup(static_cast<CURLM*>(m_pMulti));
  }
  return claimed;
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

void WebhookSender::Start(std::unique_ptr<Call>& call) {
  CURL* easy = curl_easy_init();
  if (easy == nullptr) {
    call->result = CURLE_FAILED_INIT;
    return;
  }
  curl_easy_setopt(easy, CURLOPT_URL, call->url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_Options.callTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(m_Options.callTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "velquor-http");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, call->error);
  if (call->method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    const std::string timestamp = std::to_string(NowMs() / 1000);
    call->headers = curl_slist_append(call->headers, "Content-Type: application/json");
    call->headers = curl_slist_append(call->headers, ("X-Velquor-Event-Id: " + std::to_string(call->id)).c_str());
    call->headers = curl_slist_append(call->headers, ("X-Velquor-Timestamp: " + timestamp).c_str());
    if (!call->secret.empty())
      call->headers = curl_slist_append(
          call->headers,
          ("X-Velquor-Signature: v1=" + Norvale::HmacSha256Hex(call->secret, timestamp + "." + call->body)).c_str());
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
    call->headers = nullptr;
    curl_easy_cleanup(easy);
    call->result = CURLE_FAILED_INIT;
    return;
  }
  m_Calls[easy] = std::move(call);
}

std::unique_ptr<WebhookSender::Call> WebhookSender::Finish(void* easy, int result) {
  const auto found = m_Calls.find(easy);
  if (found == m_Calls.end()) return nullptr;
  std::unique_ptr<Call> call = std::move(found->second);
  m_Calls.erase(found);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &call->status);
  curl_multi_remove_handle(static_cast<CURLM*>(m_pMulti), easy);
  curl_easy_cleanup(easy);
  curl_slist_free_all(call->headers);
  call->headers = nullptr;
  call->result = result;
  m_Metrics.Observe("velquor_webhook_call_seconds", {},
                    std::chrono::duration<double>(SteadyClock::now() - call->started).count());
  const char* kind = "network_error";
  if (result == CURLE_OK) kind = call->status >= 200 && call->status <= 299 ? "ok" : "http_error";
  m_Metrics.Add("velquor_webhook_attempts_total", {{"result", kind}});
  return call;
}

void WebhookSender::Settle(const Call& call) {
  Outcome outcome;
  outcome.id = call.id;
  outcome.claim = call.claim;
  if (call.bReleased) {
    outcome.bRelease = true;
    outcome.nextAttempt = NowMs();
    m_Outcomes.push_back(std::move(outcome));
    return;
  }
  if (call.result == CURLE_OK && call.status >= 200 && call.status <= 299) {
    outcome.bRemove = true;
    m_Outcomes.push_back(std::move(outcome));
    return;
  }
  std::string error = "HTTP " + std::to_string(call.status);
  if (call.result != CURLE_OK)
    error = call.error[0] != '\0' ? call.error : curl_easy_strerror(static_cast<CURLcode>(call.result));
  thread_local std::mt19937_64 random{std::random_device{}()};
  const std::int64_t now = NowMs();
  const std::int64_t end = call.firstQueued + m_Options.retryTime.count();
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
    if (call.result == CURLE_OK) outcome.status = call.status;
    outcome.error = error.substr(0, 500);
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
    } else if (outcome.bRelease) {
      executer.ExecuteCommand(kRelease, {outcome.id, outcome.nextAttempt, outcome.claim}, affected,
                              Norvale::OS::adExecuteNoRecords, -1, 2);
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
