// WebhookSender: the two threads that make the calls of the webhook outbox
// (WebhookOutbox, http_schema.h) and remove each row once its call is done:
// one reads and writes the outbox, the other makes the calls.
//
// It reads the rows that are due (NextAttempt <= now), oldest first, at most
// as many as it has free calls, and makes the calls at once through libcurl's
// multi interface: up to `maxCalls` in flight, at most `maxPerHost`
// connections to one host, connections kept alive and reused. A row is
// claimed before its call: its NextAttempt moves to the end of the call's
// time-out plus a margin, in the statement that reads it, so another sender
// (or this one after a restart) does not call it meanwhile. A sender that
// dies in the middle of a call leaves the row to be called again once the
// claim runs out: delivery is at least once, and a receiver that answers
// after the time-out, or just before a crash, sees the call twice (the
// X-Velquor-Event-Id header tells it so).
//
// A POST row is sent with its body as stored and the headers
//   Content-Type: application/json
//   X-Velquor-Event-Id: <the row's Id>
//   X-Velquor-Timestamp: <unix seconds>
//   X-Velquor-Signature: v1=<hex HMAC-SHA256(secret, timestamp "." body)>
//   User-Agent: velquor-http
// where the secret is the account's WebhookSecret (read through
// CApiAccountStore, kept for 30 s). A GET row (Kannel's dlr-url) is a GET of
// its URL, unsigned. Only http and https; redirects are not followed (a 3xx
// is a failed call). Before every call the URL is checked again with
// CallbackUrlProblem, as the allow-list may have changed since the row was
// written: a refused URL, or a signed row of an account that is gone, is
// dropped, logged and counted (velquor_webhook_dropped_total{reason}).
//
// A 2xx answer removes the row. Anything else (another status, no
// connection, the time-out) counts an attempt and sets the next one after a
// back-off (WebhookBackoff); once the row is older than the retry time, the
// failed call removes it, logs it with the account, the URL's host and the
// attempts, and counts velquor_webhook_expired_total. A row is called at
// least once, also when it was due long after its retry time.
//
// When the database cannot be read or written, the rows stay where they are;
// the sender logs it once, tries again with a growing pause (up to 30 s) and
// logs when it works again. Results it could not write are kept in memory
// and written then (a result written twice does no harm).
//
// Metrics: velquor_webhook_attempts_total{result="ok|http_error|
// network_error"}, velquor_webhook_expired_total,
// velquor_webhook_dropped_total{reason}, velquor_webhook_outbox_depth (set at
// each read) and velquor_webhook_call_seconds (histogram).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "http_database.h"
#include "metrics.h"

namespace VelquorHttp {

struct WebhookSenderOptions {
  std::chrono::milliseconds callTimeout{10000};         // HttpWebhookTimeoutSeconds
  std::chrono::milliseconds retryTime{24 * 3600000LL};  // HttpWebhookRetrySeconds / HttpWebhookRetryHours
  std::chrono::milliseconds firstBackoff{1000};
  std::chrono::milliseconds maxBackoff{600000};
  std::chrono::milliseconds claimMargin{5000};  // beyond the time-out
  std::chrono::milliseconds idleRead{1000};     // the longest pause between reads of the outbox
  unsigned batch = 200;                         // rows read at once, at most
  unsigned maxCalls = 64;                       // calls in flight
  unsigned maxPerHost = 16;                     // connections to one host

  // The configuration's values: HttpWebhookTimeoutSeconds (default 10),
  // HttpWebhookRetrySeconds where set, else HttpWebhookRetryHours (default
  // 24, fractions allowed). A value that is not a positive number is logged
  // and the default used.
  static WebhookSenderOptions FromConfiguration();
};

// The pause before attempt `failedAttempts` + 1: `firstBackoff` doubled for
// each failed attempt after the first, capped at `maxBackoff`, of which a
// random half is taken away (`random` in [0, 1)): the pauses grow, and
// senders that failed together do not retry together.
std::chrono::milliseconds WebhookBackoff(int failedAttempts, const WebhookSenderOptions& options, double random);

class WebhookSender {
 public:
  // Starts the threads. The arguments but `options` must outlive the sender.
  WebhookSender(HttpDatabase& database, const Norvale::CApiAccountStore& accounts, Metrics& metrics,
                WebhookSenderOptions options);
  // Stops as Stop() does.
  ~WebhookSender();
  WebhookSender(const WebhookSender&) = delete;
  WebhookSender& operator=(const WebhookSender&) = delete;

  // New rows were written: read the outbox now instead of at the next
  // pause's end. Any thread may call it.
  void Wake();
  // Ends the threads: calls in flight are abandoned and their rows given back
  // to be called at once by the next sender; results not yet written are
  // written where the database answers.
  void Stop();

 private:
  struct Call;
  struct Outcome;
  // The calls' thread: libcurl only, so that no wait for the database
  // holds a call past its time-out.
  void RunCalls();
  // Starts the call; leaves `call` where it could not.
  void Start(std::unique_ptr<Call>& call);
  std::unique_ptr<Call> Finish(void* easy, int result);
  // The outbox's thread: claims rows, hands them to the calls' thread and
  // writes what became of them.
  void RunDatabase();
  // Claims up to `count` due rows and hands over those to call. Returns
  // how many it claimed. Raises on database failures.
  unsigned Claim(unsigned count);
  // Sets the outbox's depth; returns the earliest NextAttempt, if any.
  std::optional<std::int64_t> ReadDepth();
  void Settle(const Call& call);
  void Drop(const Call& call, const std::string& reason, const std::string& why);
  // Writes the results kept in m_Outcomes; raises on database failures.
  void WriteOutcomes();
  // The account's webhook secret, or empty where it has none.
  std::string Secret(const std::string& account);
  // Logs a database failure once, and its end.
  void DatabaseFailed(const std::string& what);
  void DatabaseWorks();

  HttpDatabase& m_Database;
  const Norvale::CApiAccountStore& m_Accounts;
  Metrics& m_Metrics;
  const WebhookSenderOptions m_Options;
  void* m_pMulti = nullptr;  // CURLM

  // Between the threads.
  std::mutex m_Mutex;
  std::condition_variable m_Changed;             // for the outbox's thread
  std::vector<std::unique_ptr<Call>> m_ToStart;  // claimed, to call
  std::vector<std::unique_ptr<Call>> m_Done;     // called (or given back), to write
  unsigned m_nInFlight = 0;                      // handed over and not back yet
  bool m_bWake = false;
  bool m_bStop = false;
  std::atomic<bool> m_bStopCalls{false};

  // The calls' thread's.
  std::map<void*, std::unique_ptr<Call>> m_Calls;
  // The outbox's thread's.
  std::vector<Outcome> m_Outcomes;
  std::map<std::string, std::pair<std::string, std::chrono::steady_clock::time_point>> m_Secrets;
  std::vector<std::string> m_AllowedHosts;
  bool m_bDatabaseFailing = false;

  std::thread m_CallsThread;
  std::thread m_DatabaseThread;
};

}  // namespace VelquorHttp
