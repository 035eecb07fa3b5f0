#include "event_pump.h"

#include <algorithm>
#include <ctime>
#include <iostream>

#include "http_database.h"
#include "kannel_dlr.h"
#include "metrics.h"
#include "queues/job_queue.h"
#include "status_api.h"

namespace VelquorHttp {
namespace {

using Norvale::OS::_variant_t;
using Norvale::OS::adCmdText;
using Norvale::OS::adExecuteNoRecords;
using Clock = std::chrono::system_clock;

constexpr auto kAccountsRefresh = std::chrono::seconds(5);
constexpr auto kAfterFailure = std::chrono::seconds(1);
constexpr auto kQuietAfter = std::chrono::seconds(2);
constexpr auto kQuietPoll = std::chrono::milliseconds(250);

std::int64_t Milliseconds(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// The engine's time stamps ("2026-12-09T16:48:40Z"); now when it is not one.
Clock::time_point ParseTimeStamp(const std::string& text) {
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  if (end == nullptr || *end != '\0') return Clock::now();
  return Clock::from_time_t(timegm(&tm));
}

const char* NotificationName(Norvale::NotificationTypes type) {
  switch (type) {
    case Norvale::ntDeliveryReport: return "delivered";
    case Norvale::ntDeliveryFailure: return "delivery_failed";
    case Norvale::ntMessageSent: return "sent";
    case Norvale::ntSendFailure: return "send_failed";
  }
  return "unknown";
}

// Kannel's report kinds: 1 delivered, 2 failed, 8 accepted by the network
// (sent), 16 rejected by it.
int KannelDlrValue(Norvale::NotificationTypes type) {
  switch (type) {
    case Norvale::ntDeliveryReport: return 1;
    case Norvale::ntDeliveryFailure: return 2;
    case Norvale::ntMessageSent: return 8;
    case Norvale::ntSendFailure: return 16;
  }
  return 0;
}

// A received message's content as the API writes it.
void PutContent(Json& event, Norvale::JOBTYPE type, const std::string& data) {
  if (type == Norvale::jtUnicodeMessage) {
    event["unicode_hex"] = data;
  } else if (type == Norvale::jtDataMessage) {
    std::string ud, udh;
    Norvale::OS::LONG dcs = 0;
    Norvale::CJobQueue::DecodeDataMessage(data, ud, udh, dcs);
    event["data"] = {{"dcs", dcs}, {"udh", udh}, {"ud", ud}};
  } else {
    event["text"] = data;
  }
}

}  // namespace

std::string IsoTime(Clock::time_point time) {
  const std::int64_t ms = Milliseconds(time);
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

EventPump::EventPump(HttpContext& context, EventSignal& signal, EventPumpOptions options)
    : m_Context(context), m_Signal(signal), m_Options(options) {
  Metrics& m = m_Context.metrics;
  m.Describe("velquor_http_messages_sent_total", "counter", "Messages the network accepted, by handset");
  m.Describe("velquor_http_messages_failed_total", "counter", "Messages that failed or were not delivered, by handset");
  m.Describe("velquor_http_messages_delivered_total", "counter", "Messages delivered, by handset");
  m.Describe("velquor_http_end_to_end_seconds", "histogram", "From the message queued to its delivery report");
}

EventPump::~EventPump() { Stop(); }

void EventPump::Start() {
  const std::lock_guard<std::mutex> lock(m_Mutex);
  if (m_Thread.joinable()) return;
  m_bStop = false;
  m_Thread = std::thread([this] { Run(); });
}

void EventPump::Stop() {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = true;
  }
  m_Stopping.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
}

bool EventPump::Pause(std::chrono::milliseconds interval) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return !m_Stopping.wait_for(lock, interval, [this] { return m_bStop; });
}

void EventPump::Run() {
  bool readAccounts = true;
  // Rounds in a row that found nothing: after two seconds of quiet the pump
  // polls four times a second instead of twenty, and at full pace again from
  // the first row it finds.
  unsigned quietRounds = 0;
  while (true) {
    {
      const std::lock_guard<std::mutex> lock(m_Mutex);
      if (m_bStop) return;
    }
    std::size_t taken = 0;
    bool failed = false;
    try {
      RefreshAccounts(readAccounts);
      readAccounts = false;
      taken = PumpNotifications();
      if (m_Options.receive) taken += PumpReceived();
    } catch (const Norvale::OS::_com_error& e) {
      std::cerr << "velquor-http: taking notifications failed, trying again: "
                << (e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA()) << std::endl;
      failed = true;
    } catch (const std::exception& e) {
      std::cerr << "velquor-http: taking notifications failed, trying again: " << e.what() << std::endl;
      failed = true;
    }
    if (failed) {
      m_Context.database.Connections().ResetConnection();
      readAccounts = true;
      if (!Pause(kAfterFailure)) return;
    } else if (taken == 0) {
      const bool quiet = ++quietRounds * m_Options.pollInterval >= kQuietAfter;
      if (!Pause(quiet ? std::max(m_Options.pollInterval, kQuietPoll) : m_Options.pollInterval)) return;
    } else {
      quietRounds = 0;
    }
  }
}

void EventPump::RefreshAccounts(bool bForce) {
  const auto now = std::chrono::steady_clock::now();
  if (!bForce && now - m_AccountsRead < kAccountsRefresh) return;
  m_AccountsRead = now;
  Norvale::CApiAccountStore store;
  std::map<std::string, Norvale::CApiAccount> accounts;
  for (const std::string& name : store.ListNames())
    if (auto account = store.Find(name)) accounts.emplace(name, std::move(*account));
  m_Accounts.swap(accounts);
}

const Norvale::CApiAccount* EventPump::Account(const std::string& name) {
  auto found = m_Accounts.find(name);
  if (found != m_Accounts.end()) return &found->second;
  // An account made since the last reading: its reports must not wait for
  // the next one to find their webhook.
  std::optional<Norvale::CApiAccount> account = Norvale::CApiAccountStore().Find(name);
  if (!account) return nullptr;
  return &m_Accounts.insert_or_assign(name, std::move(*account)).first->second;
}

std::int64_t EventPump::InsertReturningId(const std::string& sql, const Norvale::OS::SqlValues& values) {
  _variant_t affected;
  const auto rs =
      m_Context.database.Connections().GetConnection()->Execute(sql + " RETURNING Id", values, &affected, adCmdText);
  return rs->GetFieldValue("Id").ToLongLong();
}

void EventPump::Deliver(const std::string& account, const std::string& url, int handset, const std::string& kind,
                        Json event, Routed& routed) {
  const std::int64_t now = Milliseconds(Clock::now());
  auto& connection = m_Context.database.Connections().GetConnection();
  _variant_t affected;
  // The row first, then its body with the row's Id as the event's: the Id
  // is what the inbox and the webhook's X-Velquor-Event-Id tell.
  if (!url.empty()) {
    const std::int64_t id = InsertReturningId(
        "INSERT INTO WebhookOutbox (Account, Url, Method, Body, Signed, Attempts, NextAttempt, FirstQueued) VALUES "
        "($1, $2, 'POST', '', 1, 0, $3, $3)",
        {account, url, now});
    event["event_id"] = id;
    connection->Execute("UPDATE WebhookOutbox SET Body=$1 WHERE Id=$2", {Answer(200, event).body, id}, &affected,
                        adCmdText | adExecuteNoRecords);
    routed.outbox = true;
    return;
  }
  const std::int64_t id =
      InsertReturningId("INSERT INTO HttpEvents (Account, Kind, Handset, Body, Created) VALUES ($1, $2, $3, '', $4)",
                        {account, kind, handset, now});
  event["event_id"] = id;
  connection->Execute("UPDATE HttpEvents SET Body=$1 WHERE Id=$2", {Answer(200, event).body, id}, &affected,
                      adCmdText | adExecuteNoRecords);
  routed.rung.insert(account);
}

std::size_t EventPump::PumpNotifications() {
  Norvale::CQueueHandover handover(&m_Context.database.Connections());
  Routed routed;
  struct Count {
    const char* metric;
    std::string handset;
    double endToEnd;  // seconds, < 0: none
  };
  std::vector<Count> counts;
  const std::size_t taken = handover.TakeNotifications(
      Norvale::stHttpApi, m_Options.batch, [&](const std::vector<Norvale::CTakenNotification>& notifications) {
        routed = Routed();
        counts.clear();
        auto& connection = m_Context.database.Connections().GetConnection();
        for (const Norvale::CTakenNotification& taken : notifications) {
          const Norvale::CNotificationRecord& n = taken.record;
          const std::string& account = n.Source.m_sId;
          Json clientRef = nullptr;
          std::string callbackUrl;
          int callbackKind = 0;
          int dlrMask = 0;
          std::int64_t created = -1;
          _variant_t affected;
          const auto job = connection->Execute(
              "SELECT ClientRef, CallbackUrl, CallbackKind, DlrMask, Created FROM HttpJobs WHERE JobId=$1 AND "
              "Account=$2",
              {n.nJobId, account}, &affected, adCmdText);
          if (job && !job->BOF()) {
            const _variant_t ref = job->GetFieldValue("ClientRef");
            if (ref.vt != Norvale::OS::VT_NULL) clientRef = ref.ToString();
            const _variant_t url = job->GetFieldValue("CallbackUrl");
            if (url.vt != Norvale::OS::VT_NULL) callbackUrl = url.ToString();
            callbackKind = job->GetFieldValue("CallbackKind").ToLong();
            dlrMask = job->GetFieldValue("DlrMask").ToLong();
            created = job->GetFieldValue("Created").ToLongLong();
          }
          const Clock::time_point time = ParseTimeStamp(n.sTimeStamp);
          const std::string handset = std::to_string(static_cast<int>(n.eHandset));
          const bool delivered = n.eType == Norvale::ntDeliveryReport;
          counts.push_back({delivered                           ? "velquor_http_messages_delivered_total"
                            : n.eType == Norvale::ntMessageSent ? "velquor_http_messages_sent_total"
                                                                : "velquor_http_messages_failed_total",
                            handset, delivered && created >= 0 ? (Milliseconds(Clock::now()) - created) / 1000.0 : -1});
          if (callbackKind == 1 && !callbackUrl.empty()) {
            // Kannel's dlr-url: a GET for each kind of report the mask asks for.
            KannelDlrEvent dlr;
            dlr.jobId = n.nJobId;
            dlr.dlrValue = KannelDlrValue(n.eType);
            dlr.phoneNumber = n.sPhoneNumber;
            dlr.text = n.sData;
            dlr.reply = dlr.dlrValue == 1 || dlr.dlrValue == 8 ? "ACK/" : "NACK/" + std::to_string(n.nErrorCode);
            dlr.timeSeconds = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
            dlr.handset = n.eHandset;
            if (!KannelDlrWanted(dlrMask, dlr)) continue;
            const std::int64_t now = Milliseconds(Clock::now());
            connection->Execute(
                "INSERT INTO WebhookOutbox (Account, Url, Method, Body, Signed, Attempts, NextAttempt, FirstQueued) "
                "VALUES ($1, $2, 'GET', '', 0, 0, $3, $3)",
                {account, KannelDlrUrl(callbackUrl, dlr), now}, &affected, adCmdText | adExecuteNoRecords);
            routed.outbox = true;
            continue;
          }
          Json event = {{"type", "report"},
                        {"event_id", nullptr},
                        {"id", n.nJobId},
                        {"client_ref", clientRef},
                        {"notification", NotificationName(n.eType)},
                        {"status", static_cast<int>(n.eJobStatus)},
                        {"name", JobStatusName(n.eJobStatus)},
                        {"to", n.sPhoneNumber},
                        {"handset", static_cast<int>(n.eHandset)},
                        {"error_code", n.nErrorCode},
                        {"time", IsoTime(time)}};
          std::string url = callbackUrl;
          if (url.empty())
            if (const Norvale::CApiAccount* a = Account(account)) url = a->sReportUrl;
          Deliver(account, url, n.eHandset, "report", std::move(event), routed);
        }
      });
  for (const Count& c : counts) {
    m_Context.metrics.Add(c.metric, {{"handset", c.handset}});
    if (c.endToEnd >= 0) m_Context.metrics.Observe("velquor_http_end_to_end_seconds", {}, c.endToEnd);
  }
  for (const std::string& account : routed.rung) m_Signal.Ring(account);
  if (routed.outbox && m_Options.outboxWritten) m_Options.outboxWritten();
  return taken;
}

std::size_t EventPump::PumpReceived() {
  // The handsets some account receives from (hsAll: every one).
  std::vector<int> handsets;
  std::set<int> wanted;
  for (const auto& [name, account] : m_Accounts)
    for (const int h : account.receivedHandsets) wanted.insert(h);
  if (wanted.empty()) return 0;
  handsets.assign(wanted.begin(), wanted.end());
  Norvale::CQueueHandover handover(&m_Context.database.Connections());
  Routed routed;
  const std::size_t taken =
      handover.TakeMessages(handsets, m_Options.batch, [&](const std::vector<Norvale::CTakenMessage>& messages) {
        routed = Routed();
        for (const Norvale::CTakenMessage& m : messages) {
          Json event = {{"type", "received"},
                        {"event_id", nullptr},
                        {"id", m.nId},
                        {"from", m.sPhoneNumber},
                        {"to", m.dest.m_sId.empty() ? Json(nullptr) : Json(m.dest.m_sId)}};
          PutContent(event, m.eJobType, m.sData);
          event["handset"] = static_cast<int>(m.eHandset);
          event["time"] = IsoTime(ParseTimeStamp(m.sTimeStamp));
          for (const auto& [name, account] : m_Accounts)
            if (account.ReceivesFrom(m.eHandset))
              Deliver(name, account.sReceivedUrl, m.eHandset, "received", event, routed);
        }
      });
  for (const std::string& account : routed.rung) m_Signal.Ring(account);
  if (routed.outbox && m_Options.outboxWritten) m_Options.outboxWritten();
  return taken;
}

}  // namespace VelquorHttp
