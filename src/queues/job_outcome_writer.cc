#include "queues/job_outcome_writer.h"

namespace Norvale {
using namespace OS;

namespace {

constexpr const char* kWriteOutcome =
    "UPDATE SMSOutgoing SET Status=$2, Handset=$3, MessageRef=$4 WHERE Id=$1 AND Status=$5 AND MessageRef=$6";
constexpr const char* kDeleteOlderSent = "DELETE FROM SMSOutgoing WHERE Status=$1 AND Id<$2";

}  // namespace

std::vector<bool> CJobOutcomeWriter::Write(const std::vector<CJobOutcome>& outcomes) {
  std::vector<bool> written(outcomes.size(), false);
  if (outcomes.empty()) return written;
  CDatabaseTransaction group(m_pConnections, CDatabaseTransaction::kEveryDatabase);
  LONG newestSent = -1;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const CJobOutcome& o = outcomes[i];
    LONG affected = 0;
    m_Outgoing.ExecuteCommand(
        kWriteOutcome, {o.nJobId, o.eStatus, o.eHandset, o.nMessageRef, o.eExpectedStatus, o.nExpectedMessageRef},
        affected, adCmdText | adExecuteNoRecords, -1, 1);
    if (affected != 1) continue;
    written[i] = true;
    if (o.textReference) m_Outgoing.MapTextReference(o.nJobId, o.eHandset, *o.textReference);
    if (o.bNumericReference) m_Outgoing.EndWaitsForNumber(o.eHandset, o.nMessageRef, o.nJobId);
    if (o.bDropMapping) m_Outgoing.DropMapping(o.nJobId);
    const CNotificationRecord& n = o.notification;
    m_Notifications.InsertJob(o.nJobId, n.eType, n.sPhoneNumber, n.eJobType, n.sData, n.eHandset, n.nErrorCode,
                              n.sTimeStamp, n.eJobStatus, n.Source);
    if (o.eStatus == jsSent) newestSent = std::max(newestSent, o.nJobId);
  }
  // As JobUpdate does for a job sent: the sent rows before it go.
  if (newestSent > 0) {
    LONG affected = 0;
    m_Outgoing.ExecuteCommand(kDeleteOlderSent, {jsSent, newestSent}, affected, adCmdText | adExecuteNoRecords, -1, 1);
  }
  group.Commit();
  return written;
}

}  // namespace Norvale
