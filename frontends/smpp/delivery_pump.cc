#include "delivery_pump.h"

#include <ctime>
#include <iostream>
#include <stdexcept>

#include "outbox_entry.h"
#include "platform/wall_clock.h"
#include "queues/queue_handover.h"
#include "receive_rules.h"
#include "smpp_database.h"

namespace VelquorSmpp {
namespace {

using Norvale::OS::_variant_t;
using Norvale::OS::adCmdText;
using Norvale::OS::adExecuteNoRecords;

constexpr std::size_t kBatch = 200;
constexpr auto kPoll = std::chrono::milliseconds(50);
constexpr auto kQuietPoll = std::chrono::milliseconds(250);
constexpr auto kQuietAfter = std::chrono::seconds(2);
constexpr auto kAfterFailure = std::chrono::seconds(1);
constexpr auto kAccountsRefresh = std::chrono::seconds(5);

using Norvale::OS::NowMs;

// The engine's time stamps ("2026-12-09T16:48:40Z") in unix milliseconds;
// now when it is not one.
std::int64_t TimeStampMs(const std::string& text) {
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  if (end == nullptr || *end != '\0') return NowMs();
  return static_cast<std::int64_t>(timegm(&tm)) * 1000;
}

}  // namespace

DeliveryPump::DeliveryPump(SmppDatabase& database, Norvale::CApiAccountStore& accounts, std::function<void()> written)
    : m_Database(database), m_AccountStore(accounts), m_Written(std::move(written)) {
  m_Thread = std::thread([this] { Run(); });
}

DeliveryPump::~DeliveryPump() {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = true;
  }
  m_Stopping.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
}

bool DeliveryPump::Pause(std::chrono::milliseconds interval) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return !m_Stopping.wait_for(lock, interval, [this] { return m_bStop; });
}

void DeliveryPump::Run() {
  bool readAccounts = true;
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
      taken += PumpReceived();
    } catch (const Norvale::OS::_com_error& e) {
      std::cerr << "velquor-smppd: taking receipts and received messages failed, trying again: "
                << (e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA()) << std::endl;
      failed = true;
    } catch (const std::exception& e) {
      std::cerr << "velquor-smppd: taking receipts and received messages failed, trying again: " << e.what()
                << std::endl;
      failed = true;
    }
    if (failed) {
      try {
        m_Database.Connections().ResetConnection();
      } catch (...) {
      }
      readAccounts = true;
      if (!Pause(kAfterFailure)) return;
    } else if (taken == 0) {
      const bool quiet = ++quietRounds * kPoll >= kQuietAfter;
      if (!Pause(quiet ? kQuietPoll : kPoll)) return;
    } else {
      quietRounds = 0;
    }
  }
}

void DeliveryPump::RefreshAccounts(bool bForce) {
  const auto now = std::chrono::steady_clock::now();
  if (!bForce && now - m_AccountsRead < kAccountsRefresh) return;
  m_AccountsRead = now;
  std::map<std::string, Norvale::CApiAccount> accounts;
  for (const std::string& name : m_AccountStore.ListNames())
    if (auto account = m_AccountStore.Find(name)) accounts.emplace(name, std::move(*account));
  m_Accounts.swap(accounts);
}

std::size_t DeliveryPump::PumpNotifications() {
  Norvale::CQueueHandover handover(&m_Database.Connections());
  std::vector<std::string> dropped;
  const std::size_t taken = handover.TakeNotifications(
      Norvale::stSmppServer, kBatch, [&](const std::vector<Norvale::CTakenNotification>& notifications) {
        dropped.clear();
        auto& connection = m_Database.Connections().GetConnection();
        const std::int64_t now = NowMs();
        for (const Norvale::CTakenNotification& taken : notifications) {
          const Norvale::CNotificationRecord& n = taken.record;
          const auto state = ReceiptState(n.eType, n.eJobStatus);
          if (!state) continue;  // the final outcome follows; the row stays for it
          _variant_t affected;
          const auto job = connection->Execute(
              "SELECT SystemId, SourceAddr, DestAddr, RegisteredDelivery, SubmitTime, TextStart FROM SmppJobs WHERE "
              "Id=$1",
              {static_cast<std::int64_t>(n.nJobId)}, &affected, adCmdText);
          if (!job || job->BOF()) {
            dropped.push_back("job " + std::to_string(n.nJobId) + " of " + n.Source.m_sId);
            continue;
          }
          const auto registered = static_cast<std::uint8_t>(job->GetFieldValue("RegisteredDelivery").ToLong());
          if (ReceiptWanted(registered, *state)) {
            Norvale::Smpp::ReceiptToWrite receipt;
            receipt.sId = std::to_string(n.nJobId);
            receipt.eState = *state;
            receipt.nErrorCode = n.nErrorCode;
            receipt.nSubmitTimeMs = job->GetFieldValue("SubmitTime").ToLongLong();
            receipt.nDoneTimeMs = TimeStampMs(n.sTimeStamp);
            receipt.sText = job->GetFieldValue("TextStart").ToString();
            InsertOutboxEntry(connection,
                              ReceiptEntry(job->GetFieldValue("SystemId").ToString(), n.nJobId,
                                           job->GetFieldValue("SourceAddr").ToString(),
                                           job->GetFieldValue("DestAddr").ToString(), receipt),
                              now);
          }
          connection->Execute("DELETE FROM SmppJobs WHERE Id=$1", {static_cast<std::int64_t>(n.nJobId)}, &affected,
                              adCmdText | adExecuteNoRecords);
        }
      });
  for (const std::string& what : dropped)
    std::cerr << "velquor-smppd: a report on " << what << ", which has no record here, dropped" << std::endl;
  if (taken > 0 && m_Written) m_Written();
  return taken;
}

std::size_t DeliveryPump::PumpReceived() {
  const ReceiveRouting routing(m_Accounts);
  std::string problems;
  for (const std::string& p : routing.Problems()) problems += p + "; ";
  if (problems != m_LastRuleProblems) {
    if (!problems.empty())
      std::cerr << "velquor-smppd: SmppReceive rules left out: " << problems.substr(0, problems.size() - 2)
                << std::endl;
    m_LastRuleProblems = problems;
  }
  const std::vector<int> handsets = routing.Handsets();
  if (handsets.empty()) return 0;
  Norvale::CQueueHandover handover(&m_Database.Connections());
  const std::size_t taken =
      handover.TakeMessages(handsets, kBatch, [&](const std::vector<Norvale::CTakenMessage>& messages) {
        auto& connection = m_Database.Connections().GetConnection();
        const std::int64_t now = NowMs();
        for (const Norvale::CTakenMessage& m : messages) {
          // The recipient, when the engine knew it, is in DestName (an
          // empty one reads as a blank).
          std::string recipient = m.dest.m_sName;
          while (!recipient.empty() && recipient.back() == ' ') recipient.pop_back();
          while (!recipient.empty() && recipient.front() == ' ') recipient.erase(0, 1);
          const auto account = routing.Route(m.eHandset, recipient);
          // Every handset read is named by a handset rule: never without one.
          if (!account)
            throw std::logic_error("a received message of handset " + std::to_string(m.eHandset) +
                                   " matches no SmppReceive rule");
          InsertOutboxEntry(connection, ReceivedEntry(*account, m.eJobType, m.sData, m.sPhoneNumber, recipient), now);
        }
      });
  if (taken > 0 && m_Written) m_Written();
  return taken;
}

}  // namespace VelquorSmpp
