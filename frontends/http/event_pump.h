// EventPump: the thread that takes velquor-http's notifications (source type
// stHttpApi, the account in SourceId) and, with HttpReceive 1, the received
// messages of the handsets some account receives from (ReceivedHandsets),
// and hands each over in the same transaction as it takes it
// (CQueueHandover): to the webhook outbox when a URL applies (the message's
// callback_url, else the account's ReportUrl or ReceivedUrl), otherwise to
// the account's inbox (HttpEvents), whose waiting long polls it then rings.
//
// A message sent through Kannel's sendsms (CallbackKind 1) gets a GET of its
// dlr-url for each report its dlr-mask asks for, and nothing else.
//
// It looks for work every 50 ms while there is none (one indexed query per
// table; the hand-over's transaction only when rows are there) and at once
// again after a full batch. Database failures are written to standard error
// and tried again a second later. Stop() ends it within one poll.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "accounts/api_account_store.h"
#include "api_module.h"
#include "event_signal.h"
#include "json_answer.h"
#include "queues/queue_handover.h"

namespace VelquorHttp {

struct EventPumpOptions {
  bool receive = false;  // HttpReceive: take received messages too
  std::chrono::milliseconds pollInterval{50};
  std::size_t batch = 200;
  // Called after a round that wrote webhook calls has committed (the
  // sender's wake-up), so that a call waits for no poll.
  std::function<void()> outboxWritten;
};

class EventPump {
 public:
  EventPump(HttpContext& context, EventSignal& signal, EventPumpOptions options);
  // Stops.
  ~EventPump();
  EventPump(const EventPump&) = delete;
  EventPump& operator=(const EventPump&) = delete;

  void Start();
  void Stop();

 private:
  struct Routed {
    std::set<std::string> rung;  // accounts whose inbox got events
    bool outbox = false;         // webhook calls were written
    std::vector<std::pair<std::string, double>> counted;
  };
  void Run();
  // One round: how many rows were taken.
  std::size_t PumpNotifications();
  std::size_t PumpReceived();
  void RefreshAccounts(bool bForce);
  // The account, read anew when the cache does not know it yet.
  const Norvale::CApiAccount* Account(const std::string& name);
  // Writes the event where it goes; its event_id becomes the row's Id.
  void Deliver(const std::string& account, const std::string& url, int handset, const std::string& kind, Json event,
               Routed& routed);
  std::int64_t InsertReturningId(const std::string& sql, const Norvale::OS::SqlValues& values);
  // Sleeps up to `interval` unless stopped; false when stopped.
  bool Pause(std::chrono::milliseconds interval);

  HttpContext& m_Context;
  EventSignal& m_Signal;
  EventPumpOptions m_Options;
  std::map<std::string, Norvale::CApiAccount> m_Accounts;
  std::chrono::steady_clock::time_point m_AccountsRead{};
  std::mutex m_Mutex;
  std::condition_variable m_Stopping;
  bool m_bStop = false;
  std::thread m_Thread;
};

// A time as the API writes it: "2026-12-09T16:48:40.123Z".
std::string IsoTime(std::chrono::system_clock::time_point time);

}  // namespace VelquorHttp
