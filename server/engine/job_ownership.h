// CJobOwnership: which engine and handset owns a job in processing.
//
// The claim of the outgoing queue (GetJobA) sets a job to processing but
// records no owner, so an engine that dies leaves jobs nobody can tell apart
// from the jobs another engine is working on. While a job is in processing
// its MessageRef (which only matters once a job is sent) therefore holds the
// owner's tag, a negative number made of the engine identifier, the handset
// and a phase:
//   sending  the owner may have handed the job to the network (in doubt after
//            a crash);
//   waiting  the job waits for a retry and is not in the network's hands.
// Right after its claim the handset takes the job over with a conditional
// update (the job still processing and untagged); only when that changes the
// row may the job be sent. A job returned meanwhile by the orphan sweep
// (CQueueMaintenance) thus can never be sent twice. Every return of a job
// clears its tag first, so a returned job is untagged again.
#pragma once

#include <string>

#include "queues/engine_outgoing_queue.h"

namespace Norvale {

class CJobOwnership {
 public:
  enum EPhase { phSending = 0, phWaiting = 1 };

  CJobOwnership(CDBConnectionDispensor* DBConnection, std::int64_t nEngineId, int nHandset)
      : m_Queue(DBConnection), m_nEngineId(nEngineId), m_nHandset(nHandset) {}

  static OS::LONG Tag(std::int64_t nEngineId, int nHandset, EPhase ePhase) {
    return static_cast<OS::LONG>(-(nEngineId * 32 + nHandset * 2 + ePhase) - 1);
  }
  OS::LONG Tag(EPhase ePhase) const { return Tag(m_nEngineId, m_nHandset, ePhase); }

  // True when this handset now owns the claimed job (phase sending).
  bool TakeOver(OS::LONG nJobId);
  // Moves an owned job from one phase to the other.
  void SetPhase(OS::LONG nJobId, EPhase eFrom, EPhase eTo);
  // Clears the tag of an owned job before it is returned.
  void Release(OS::LONG nJobId);
  // The oldest job this handset owns in processing in that phase, or -1.
  OS::LONG FindOwned(EPhase ePhase);

 private:
  CEngineOutgoingQueue m_Queue;
  std::int64_t m_nEngineId;
  int m_nHandset;
};

}  // namespace Norvale
