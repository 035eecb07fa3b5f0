#include "queues/queue_depths.h"

namespace Norvale {
using namespace OS;

CQueueDepths CountQueueDepths(CDBConnectionDispensor& connections) {
  constexpr int kAttempts = 2;
  CDatabaseOperation operation(&connections);
  CDatabaseQueryExecuter executer(&connections);
  CQueueDepths depths;
  LONG affected = 0;
  const auto outgoing = executer.ExecuteCommand("SELECT Status, COUNT(*) AS N FROM SMSOutgoing GROUP BY Status",
                                                affected, adCmdText, -1, kAttempts);
  for (; outgoing && !outgoing->adoEOF(); outgoing->MoveNext()) {
    const _variant_t status = outgoing->GetFieldValue("Status");
    depths.outgoingByStatus[status.vt == VT_NULL ? -1 : status.ToLong()] += outgoing->GetFieldValue("N").ToLong();
  }
  const auto pending = executer.ExecuteCommand(
      "SELECT Handset, COUNT(*) AS N FROM SMSOutgoing WHERE Status=0 GROUP BY Handset", affected, adCmdText, -1,
      kAttempts);
  for (; pending && !pending->adoEOF(); pending->MoveNext()) {
    const _variant_t handset = pending->GetFieldValue("Handset");
    depths.pendingByHandset[handset.vt == VT_NULL ? 0 : handset.ToLong()] += pending->GetFieldValue("N").ToLong();
  }
  auto count = [&](const char* table) {
    const auto rs =
        executer.ExecuteCommand(std::string("SELECT COUNT(*) AS N FROM ") + table, affected, adCmdText, -1, kAttempts);
    return rs->GetFieldValue("N").ToLong();
  };
  depths.notifications = count("SMSNotifications");
  depths.incoming = count("SMSIncoming");
  return depths;
}

}  // namespace Norvale
