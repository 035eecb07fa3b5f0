#include "server/delivery_report_matcher.h"

namespace Norvale {
using namespace OS;

namespace {
std::string N(long v) { return std::to_string(v); }
}  // namespace

LONG CDeliveryReportMatcher::RecordReference(LONG nJobId, int nHandset, const CNetworkReference& Reference) {
  LONG affected = 0;
  if (!Reference.bText) {
    // A number handed out again (a modem's 0..255 wraps) ends the wait of
    // the older job that had it: its report can no longer be told apart.
    ExecuteCommand("UPDATE SMSOutgoing SET MessageRef=NULL WHERE Status=" + N(jsSentNotConfirmed) + " AND Handset=" +
                       N(nHandset) + " AND MessageRef=" + N(Reference.nNumber) + " AND Id<>" + N(nJobId),
                   affected, adCmdText | adExecuteNoRecords, -1, CJobQueue::kAttempts);
    return Reference.nNumber;
  }
  // A job sent again (after a crash) replaces its earlier reference.
  ExecuteCommand("DELETE FROM SMSMessageRefs WHERE MessageRef=" + N(nJobId), affected, adCmdText | adExecuteNoRecords,
                 -1, CJobQueue::kAttempts);
  ExecuteCommand("INSERT INTO SMSMessageRefs (MessageRef, Handset, Reference) VALUES ( " + N(nJobId) + ", " +
                     N(nHandset) + ", " + EncodeSQLLiteralString(Reference.sText) + " )",
                 affected, adCmdText | adExecuteNoRecords, 1, CJobQueue::kAttempts);
  return nJobId;
}

LONG CDeliveryReportMatcher::FindJob(int nHandset, const CNetworkReference& Reference) {
  if (!Reference.bValid) return -1;
  LONG ref = Reference.nNumber;
  if (Reference.bText) {
    LONG affected = 0;
    const auto rs =
        ExecuteCommand("SELECT MIN(MessageRef) AS MessageRef FROM SMSMessageRefs WHERE Handset=" + N(nHandset) +
                           " AND Reference=" + EncodeSQLLiteralString(Reference.sText),
                       affected, adCmdText, -1, CJobQueue::kAttempts);
    const _variant_t mapped = rs->GetFieldValue("MessageRef");
    rs->Close();
    if (mapped.vt == VT_NULL) return -1;
    ref = mapped.ToLong();
  }
  if (Reference.bText) return m_pOutgoingQueue->FindJobAwaitingConfirmation(static_cast<Handsets>(nHandset), ref);
  // The newest job awaiting the number: should an older one still have it,
  // the report belongs to the message sent last with it.
  LONG affected = 0;
  const auto rs = ExecuteCommand("SELECT MAX(Id) AS JobId FROM SMSOutgoing WHERE Status=" + N(jsSentNotConfirmed) +
                                     " AND Handset=" + N(nHandset) + " AND MessageRef=" + N(ref),
                                 affected, adCmdText, -1, CJobQueue::kAttempts);
  const _variant_t id = rs->GetFieldValue("JobId");
  rs->Close();
  return id.vt == VT_NULL ? -1 : id.ToLong();
}

void CDeliveryReportMatcher::Forget(LONG nJobId, const CNetworkReference& Reference) {
  if (!Reference.bText) return;
  LONG affected = 0;
  ExecuteCommand("DELETE FROM SMSMessageRefs WHERE MessageRef=" + N(nJobId), affected, adCmdText | adExecuteNoRecords,
                 -1, CJobQueue::kAttempts);
}

}  // namespace Norvale
