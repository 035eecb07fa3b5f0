#include "server/engine/job_ownership.h"

#include "norvale/enums.h"
#include "queues/job_queue.h"

namespace Norvale {
using namespace OS;

namespace {
std::string N(long v) { return std::to_string(v); }
}  // namespace

bool CJobOwnership::TakeOver(LONG nJobId) {
  LONG affected = 0;
  // A repetition of this very statement (its answer lost) finds the job
  // already tagged as this handset's and still counts it.
  ExecuteCommand("UPDATE SMSOutgoing SET MessageRef=" + N(Tag(phSending)) + " WHERE Id=" + N(nJobId) +
                     " AND Status=" + N(jsProcessing) +
                     " AND (MessageRef IS NULL OR MessageRef>=0 OR MessageRef=" + N(Tag(phSending)) + ")",
                 affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
  return affected == 1;
}

void CJobOwnership::SetPhase(LONG nJobId, EPhase eFrom, EPhase eTo) {
  LONG affected = 0;
  ExecuteCommand("UPDATE SMSOutgoing SET MessageRef=" + N(Tag(eTo)) + " WHERE Id=" + N(nJobId) +
                     " AND Status=" + N(jsProcessing) + " AND MessageRef=" + N(Tag(eFrom)),
                 affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
}

void CJobOwnership::Release(LONG nJobId) {
  LONG affected = 0;
  ExecuteCommand("UPDATE SMSOutgoing SET MessageRef=NULL WHERE Id=" + N(nJobId) + " AND Status=" + N(jsProcessing) +
                     " AND MessageRef IN (" + N(Tag(phSending)) + ", " + N(Tag(phWaiting)) + ")",
                 affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
}

LONG CJobOwnership::FindOwned(EPhase ePhase) {
  LONG affected = 0;
  const auto rs = ExecuteCommand(
      "SELECT MIN(Id) AS JobId FROM SMSOutgoing WHERE Status=" + N(jsProcessing) + " AND MessageRef=" + N(Tag(ePhase)),
      affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t id = rs->GetFieldValue("JobId");
  rs->Close();
  return id.vt == VT_NULL ? -1 : id.ToLong();
}

}  // namespace Norvale
