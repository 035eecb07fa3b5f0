// SubmitCommitter: the group commit of velquor-smppd. Every bind hands its
// mapped submits here; one thread takes all that wait (up to kMaxGroup) and
// queues them in ONE transaction (COutgoingBatch: the jobs, SourceType
// stSmppServer with the account as SourceId, and their SmppJobs rows), then
// calls each item's `done` with ESME_ROK and the job identifier as decimal
// text, or, when the transaction failed, with ESME_RSYSERR (nothing of the
// group was queued). So submit_sm_resp never goes before the job is durable,
// and a window of 100 costs one commit, not 100.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

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
};

}  // namespace VelquorSmpp
