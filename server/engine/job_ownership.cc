#include "server/engine/job_ownership.h"

namespace Norvale {
using namespace OS;

bool CJobOwnership::TakeOver(LONG nJobId) { return m_Queue.TagClaimedJob(nJobId, Tag(phSending)); }

void CJobOwnership::SetPhase(LONG nJobId, EPhase eFrom, EPhase eTo) {
  m_Queue.ReplaceTag(nJobId, Tag(eFrom), Tag(eTo));
}

void CJobOwnership::Release(LONG nJobId) { m_Queue.ClearTag(nJobId, {Tag(phSending), Tag(phWaiting)}); }

LONG CJobOwnership::FindOwned(EPhase ePhase) { return m_Queue.OldestTagged(Tag(ePhase)); }

}  // namespace Norvale
