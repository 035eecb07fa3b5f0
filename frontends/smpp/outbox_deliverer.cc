#include "outbox_deliverer.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "outbox_entry.h"
#include "platform/wall_clock.h"
#include "smpp_database.h"

namespace VelquorSmpp {
namespace {

using Norvale::OS::_variant_t;
using Norvale::OS::adCmdText;
using Norvale::OS::adExecuteNoRecords;

constexpr std::size_t kMaxInFlight = 1000;
constexpr std::size_t kReadAhead = 200;  // due entries read per account and round, beyond those in flight
constexpr auto kIdleLook = std::chrono::seconds(1);
constexpr auto kDepthEvery = std::chrono::seconds(1);
constexpr std::int64_t kFirstBackOffMs = 1000;
constexpr std::int64_t kLongestBackOffMs = 5 * 60 * 1000;

using Norvale::OS::NowMs;

// 1 s after the first failed attempt, doubling, at most 5 min.
std::int64_t BackOffMs(std::int64_t nAttempts) {
  std::int64_t delay = kFirstBackOffMs;
  for (std::int64_t i = 1; i < nAttempts && delay < kLongestBackOffMs; ++i) delay *= 2;
  return std::min(delay, kLongestBackOffMs);
}

std::string Describe(const Norvale::OS::_com_error& e) {
  return e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA();
}

}  // namespace

OutboxDeliverer::OutboxDeliverer(SmppDatabase& database, DeliverySink& sink) : m_Database(database), m_Sink(sink) {
  m_Thread = std::thread([this] { Run(); });
}

OutboxDeliverer::~OutboxDeliverer() {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStop = true;
  }
  m_Changed.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
}

void OutboxDeliverer::Wake() {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_bWake = true;
  }
  m_Changed.notify_all();
}

void OutboxDeliverer::Answered(std::int64_t nOutboxId, bool bDelivered) {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_Answers.emplace_back(nOutboxId, bDelivered);
  }
  m_Changed.notify_all();
}

void OutboxDeliverer::ReceiverBound(const std::string& sSystemId) {
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_Bound.insert(sSystemId);
    m_bWake = true;
  }
  m_Changed.notify_all();
}

std::size_t OutboxDeliverer::Depth(const std::string& sSystemId) const {
  const std::lock_guard<std::mutex> lock(m_Mutex);
  const auto found = m_Depth.find(sSystemId);
  return found == m_Depth.end() ? 0 : found->second;
}

std::uint64_t OutboxDeliverer::Delivered() const { return m_nDelivered.load(); }

void OutboxDeliverer::Run() {
  while (true) {
    {
      std::unique_lock<std::mutex> lock(m_Mutex);
      m_Changed.wait_for(lock, kIdleLook, [this] { return m_bStop || m_bWake || !m_Answers.empty(); });
      if (m_bStop) return;
      m_bWake = false;
    }
    std::string problem;
    try {
      Round();
      continue;
    } catch (const Norvale::OS::_com_error& e) {
      problem = Describe(e);
    } catch (const std::exception& e) {
      problem = e.what();
    }
    // What failed is still waiting where it was: the connection is made anew
    // and the round tried again a second later.
    std::cerr << "velquor-smppd: delivering the outbox failed, trying again: " << problem << std::endl;
    try {
      m_Database.Connections().ResetConnection();
    } catch (const std::exception&) {           // NOLINT(bugprone-empty-catch): the next round tries again
    } catch (const Norvale::OS::_com_error&) {  // NOLINT(bugprone-empty-catch)
    }
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (m_Changed.wait_for(lock, std::chrono::seconds(1), [this] { return m_bStop; })) return;
    m_bWake = true;
  }
}

void OutboxDeliverer::SettleAnswers() {
  std::vector<std::pair<std::int64_t, bool>> answers;
  std::vector<std::pair<std::int64_t, InFlight>> known;  // the answers' entries still in flight
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    answers.assign(m_Answers.begin(), m_Answers.end());
  }
  if (answers.empty()) return;
  std::map<std::int64_t, bool> outcome;  // an entry answered twice: its first answer
  for (const auto& [id, delivered] : answers) outcome.emplace(id, delivered);
  {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& [id, delivered] : outcome)
      if (const auto found = m_InFlight.find(id); found != m_InFlight.end()) known.emplace_back(id, found->second);
  }
  {
    // One commit for all the answers that came meanwhile.
    Norvale::CDatabaseTransaction group(&m_Database.Connections(), Norvale::CDatabaseTransaction::kEveryDatabase);
    auto& connection = m_Database.Connections().GetConnection();
    _variant_t affected;
    const std::int64_t now = NowMs();
    for (const auto& [id, entry] : known) {
      if (outcome[id]) {
        connection->Execute("DELETE FROM SmppOutbox WHERE Id=$1", {id}, &affected, adCmdText | adExecuteNoRecords);
      } else {
        const std::int64_t attempts = entry.nAttempts + 1;
        connection->Execute("UPDATE SmppOutbox SET Attempts=$2, NextAttempt=$3 WHERE Id=$1",
                            {id, attempts, now + BackOffMs(attempts)}, &affected, adCmdText | adExecuteNoRecords);
      }
    }
    group.Commit();
  }
  // Out of flight only once the rows say what became of them.
  const std::lock_guard<std::mutex> lock(m_Mutex);
  m_Answers.erase(m_Answers.begin(), m_Answers.begin() + static_cast<std::ptrdiff_t>(answers.size()));
  for (const auto& [id, entry] : known) {
    m_InFlight.erase(id);
    if (!outcome[id]) continue;
    ++m_nDelivered;
    auto depth = m_Depth.find(entry.sSystemId);
    if (depth != m_Depth.end() && depth->second > 0) --depth->second;
  }
}

void OutboxDeliverer::CountDepths() {
  const auto now = std::chrono::steady_clock::now();
  if (now - m_DepthRead < kDepthEvery) return;
  m_DepthRead = now;
  _variant_t affected;
  std::map<std::string, std::size_t> depth;
  for (auto rs = m_Database.Connections().GetConnection()->Execute(
           "SELECT SystemId, COUNT(*) AS N FROM SmppOutbox GROUP BY SystemId", &affected, adCmdText);
       rs && !rs->adoEOF(); rs->MoveNext())
    depth[rs->GetFieldValue("SystemId").ToString()] = static_cast<std::size_t>(rs->GetFieldValue("N").ToLongLong());
  const std::lock_guard<std::mutex> lock(m_Mutex);
  m_Depth.swap(depth);
}

void OutboxDeliverer::Round() {
  {
    // The answers first: they free room and settle what may be offered again.
    SettleAnswers();
    auto& connection = m_Database.Connections().GetConnection();
    _variant_t affected;
    std::set<std::string> bound;
    {
      const std::lock_guard<std::mutex> lock(m_Mutex);
      bound.swap(m_Bound);
    }
    const std::int64_t now = NowMs();
    for (const std::string& account : bound)
      connection->Execute("UPDATE SmppOutbox SET NextAttempt=0 WHERE SystemId=$1 AND NextAttempt>$2", {account, now},
                          &affected, adCmdText | adExecuteNoRecords);
    CountDepths();

    std::vector<std::string> accounts;
    for (auto rs = connection->Execute("SELECT DISTINCT SystemId FROM SmppOutbox WHERE NextAttempt<=$1", {now},
                                       &affected, adCmdText);
         rs && !rs->adoEOF(); rs->MoveNext())
      accounts.push_back(rs->GetFieldValue("SystemId").ToString());
    for (const std::string& account : accounts) {
      if (!m_Sink.HasReceiver(account)) continue;
      std::size_t inFlight = 0, allInFlight = 0;
      {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        allInFlight = m_InFlight.size();
        for (const auto& [id, entry] : m_InFlight) inFlight += entry.sSystemId == account;
      }
      if (allInFlight >= kMaxInFlight) break;
      const auto rs = connection->Execute(
          "SELECT Id, SystemId, Kind, JobId, SourceAddr, DestAddr, EsmClass, DataCoding, ShortMessage, ReceiptedId, "
          "MessageState, Attempts FROM SmppOutbox WHERE SystemId=$1 AND NextAttempt<=$2 ORDER BY Id LIMIT " +
              std::to_string(inFlight + kReadAhead),
          {account, now}, &affected, adCmdText);
      for (; rs && !rs->adoEOF(); rs->MoveNext()) {
        OutboxEntry e;
        e.nId = rs->GetFieldValue("Id").ToLongLong();
        {
          const std::lock_guard<std::mutex> lock(m_Mutex);
          if (m_InFlight.count(e.nId) != 0) continue;
          if (m_InFlight.size() >= kMaxInFlight) break;
        }
        e.sSystemId = account;
        e.nKind = rs->GetFieldValue("Kind").ToLong();
        e.nJobId = rs->GetFieldValue("JobId").ToLongLong();
        e.sSourceAddr = rs->GetFieldValue("SourceAddr").ToString();
        e.sDestAddr = rs->GetFieldValue("DestAddr").ToString();
        e.nEsmClass = static_cast<std::uint8_t>(rs->GetFieldValue("EsmClass").ToLong());
        e.nDataCoding = static_cast<std::uint8_t>(rs->GetFieldValue("DataCoding").ToLong());
        e.sShortMessageHex = rs->GetFieldValue("ShortMessage").ToString();
        e.sReceiptedId = rs->GetFieldValue("ReceiptedId").ToString();
        e.nMessageState = static_cast<std::uint8_t>(rs->GetFieldValue("MessageState").ToLong());
        {
          // In flight before the offer: the answer may come before Offer
          // returns.
          const std::lock_guard<std::mutex> lock(m_Mutex);
          m_InFlight[e.nId] = InFlight{account, rs->GetFieldValue("Attempts").ToLongLong()};
        }
        OutboxDelivery delivery;
        delivery.nOutboxId = e.nId;
        delivery.sSystemId = account;
        delivery.body = DeliverSmOf(e);
        if (!m_Sink.Offer(delivery)) {
          const std::lock_guard<std::mutex> lock(m_Mutex);
          m_InFlight.erase(e.nId);
          break;  // no window room now: an answer wakes the next round
        }
      }
    }
  }
}

}  // namespace VelquorSmpp
