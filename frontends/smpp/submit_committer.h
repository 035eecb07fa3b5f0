// SubmitCommitter: the group commit of velquor-smppd. Every bind hands its
// mapped submits here; one thread takes all that wait (up to kMaxGroup) and
// queues them in ONE transaction (COutgoingBatch: the jobs, SourceType
// stSmppServer with the account as SourceId, and their SmppJobs rows), then
// calls each item's `done` with ESME_ROK and the job identifier as decimal
// text, or, when the transaction failed, with ESME_RSYSERR (nothing of the
// group was queued). So submit_sm_resp never goes before the job is durable,
// and a window of 100 costs one commit, not 100.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "submit_mapping.h"

namespace VelquorSmpp {

class SmppDatabase;

class SubmitCommitter {
 public:
  static constexpr std::size_t kMaxGroup = 1000;
  using Done = std::function<void(uint32_t nStatus, const std::string& sMessageId)>;
  struct Item {
    SubmitJob job;
    Done done;  // called once, on the committer's thread; must not block
  };

  explicit SubmitCommitter(SmppDatabase& database);
  // Commits what was handed before, then stops the thread.
  ~SubmitCommitter();
  SubmitCommitter(const SubmitCommitter&) = delete;
  SubmitCommitter& operator=(const SubmitCommitter&) = delete;

  // Thread-safe; returns at once.
  void Submit(Item item);
  // Items handed and not yet answered.
  std::size_t Waiting() const;
  // Transactions run so far, committed or failed: items answered over
  // groups is the mean group size.
  std::size_t Groups() const;

 private:
  void Run();
  void Commit(std::vector<Item>& group);

  SmppDatabase& m_Database;
  mutable std::mutex m_Mutex;
  std::condition_variable m_Wake;
  std::deque<Item> m_Waiting;
  std::size_t m_nCommitting = 0;  // taken by the thread, not yet answered
  std::size_t m_nGroups = 0;
  bool m_bStop = false;
  std::thread m_Thread;  // last: starts when the rest is ready
};

}  // namespace VelquorSmpp
