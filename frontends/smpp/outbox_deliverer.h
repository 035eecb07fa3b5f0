// OutboxDeliverer: sends SmppOutbox's entries to the accounts' receiver
// binds, at least once. A thread reads the due entries (NextAttempt passed,
// not in flight) of the accounts that have a receiver bound, oldest first,
// and offers each to the DeliverySink; an entry answered ESME_ROK is
// deleted, any other outcome puts it back with a growing NextAttempt
// (1 s doubling up to 5 min, Attempts counted). Entries of accounts without
// a receiver bind wait, however long, until one binds. Woken by Wake() (new
// entries) and ReceiverBound; otherwise it looks every second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "delivery_sink.h"

namespace VelquorSmpp {

class SmppDatabase;

class OutboxDeliverer : public DeliveryAnswers {
 public:
  OutboxDeliverer(SmppDatabase& database, DeliverySink& sink);
  ~OutboxDeliverer() override;
  OutboxDeliverer(const OutboxDeliverer&) = delete;
  OutboxDeliverer& operator=(const OutboxDeliverer&) = delete;

  void Wake();
  void Answered(std::int64_t nOutboxId, bool bDelivered) override;
  void ReceiverBound(const std::string& sSystemId) override;
  // Entries of the account in the outbox, as last read (for the status).
  std::size_t Depth(const std::string& sSystemId) const;
  std::uint64_t Delivered() const;  // ESME_ROK answers since the start

 private:
  struct InFlight {
    std::string sSystemId;
    std::int64_t nAttempts = 0;
  };
  void Run();
  // One round; whether a full window of due entries may be waiting.
  void Round();
  void Settle(std::int64_t nId, bool bDelivered);
  void CountDepths();

  SmppDatabase& m_Database;
  DeliverySink& m_Sink;
  mutable std::mutex m_Mutex;
  std::condition_variable m_Changed;
  bool m_bStop = false;
  bool m_bWake = true;
  std::deque<std::pair<std::int64_t, bool>> m_Answers;
  std::set<std::string> m_Bound;  // accounts whose receiver came up since the last round
  std::map<std::int64_t, InFlight> m_InFlight;
  std::map<std::string, std::size_t> m_Depth;
  std::chrono::steady_clock::time_point m_DepthRead{};
  std::atomic<std::uint64_t> m_nDelivered{0};
  std::thread m_Thread;
};

}  // namespace VelquorSmpp
