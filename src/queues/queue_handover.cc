#include "queues/queue_handover.h"

#include <algorithm>

#include "errors/com_error_raise.h"
#include "queues/job_queue.h"

namespace Norvale {
using namespace OS;

CQueueHandover::CQueueHandover(CDBConnectionDispensor* pConnections) : m_pConnections(pConnections) {}

bool CQueueHandover::AnyRow(const std::string& sTable, const std::string& sCondition, const SqlValues& values) {
  CDatabaseQueryExecuter executer(m_pConnections);
  LONG affected = 0;
  const _RecordsetPtr rs = executer.ExecuteCommand("SELECT Id FROM " + sTable + " WHERE " + sCondition + " LIMIT 1",
                                                   values, affected, adCmdText, -1, CJobQueue::kAttempts);
  return rs && !rs->BOF();
}

std::size_t CQueueHandover::SelectAndDelete(const std::string& sTable, const std::string& sCondition,
                                            const SqlValues& values, std::size_t nLimit,
                                            const std::function<void(const CQueueRow&)>& read) {
  CDatabaseQueryExecuter executer(m_pConnections);
  LONG affected = 0;
  SqlValues bound = values;
  bound.emplace_back(static_cast<std::int64_t>(nLimit));
  std::string select =
      "SELECT * FROM " + sTable + " WHERE " + sCondition + " ORDER BY Id LIMIT $" + std::to_string(bound.size());
  // Readers taking at once skip each other's rows instead of waiting for
  // them; SQLite's transaction already holds the write lock.
  if (m_pConnections->IsPostgres()) select += " FOR UPDATE SKIP LOCKED";
  const _RecordsetPtr rs = executer.ExecuteCommand(select, bound, affected, adCmdText, -1, 1);
  if (!rs || rs->BOF()) return 0;
  std::string list;
  std::size_t count = 0;
  for (; !rs->adoEOF(); rs->MoveNext(), ++count) {
    const CQueueRow row(*rs, sTable);
    read(row);
    list += (list.empty() ? "" : ",") + std::to_string(row.GetId());
  }
  executer.ExecuteCommand("DELETE FROM " + sTable + " WHERE Id IN (" + list + ")", affected,
                          adCmdText | adExecuteNoRecords, -1, 1);
  // A row chosen and gone: a reader that takes no lock took it between the
  // statements. The batch is undone and the caller tries again later.
  if (affected != static_cast<LONG>(count))
    RAISE_COM_ERROR(DB_E_ABORTLIMITREACHED, sTable + ": " + std::to_string(count - affected) +
                                                " of the rows chosen were taken by another reader meanwhile");
  return count;
}

std::size_t CQueueHandover::TakeNotifications(SourceTypes eSourceType, std::size_t nLimit,
                                              const NotificationWriter& write) {
  if (nLimit == 0) return 0;
  const CDatabaseOperation operation(m_pConnections);
  if (!AnyRow("SMSNotifications", "SourceType=$1", {eSourceType})) return 0;
  CDatabaseTransaction group(m_pConnections, CDatabaseTransaction::kEveryDatabase);
  std::vector<CTakenNotification> taken;
  SelectAndDelete("SMSNotifications", "SourceType=$1", {eSourceType}, nLimit, [&taken](const CQueueRow& row) {
    CTakenNotification t;
    t.nId = row.GetId();
    CNotificationRecord& n = t.record;
    n.nJobId = row.LongOrZero("OriginalId");
    n.eType = static_cast<NotificationTypes>(row.LongOrZero("Type"));
    n.eJobType = static_cast<JOBTYPE>(row.LongOrZero("MsgType"));
    n.sPhoneNumber = row.StringOrEmpty("PhoneNumber");
    n.sData = row.StringOrEmpty("Data");
    n.eHandset = static_cast<Handsets>(row.LongOrZero("Handset"));
    n.nErrorCode = row.LongOrZero("ErrorCode");
    n.sTimeStamp = row.StringOrEmpty("TmStamp");
    n.eJobStatus = static_cast<EnumJobStatus>(row.LongOrZero("JobStatus"));
    n.Source = row.EndpointOrEmpty("Source");
    taken.push_back(std::move(t));
  });
  if (taken.empty()) return 0;
  write(taken);
  group.Commit();
  return taken.size();
}

std::size_t CQueueHandover::TakeMessages(const std::vector<int>& handsets, std::size_t nLimit,
                                         const MessageWriter& write) {
  if (nLimit == 0) return 0;
  std::string condition = "1=1";
  if (!handsets.empty() && std::find(handsets.begin(), handsets.end(), hsAll) == handsets.end()) {
    condition = "Handset IN (";
    for (std::size_t i = 0; i < handsets.size(); ++i) condition += (i ? "," : "") + std::to_string(handsets[i]);
    condition += ")";
  }
  const CDatabaseOperation operation(m_pConnections);
  if (!AnyRow("SMSIncoming", condition, {})) return 0;
  CDatabaseTransaction group(m_pConnections, CDatabaseTransaction::kEveryDatabase);
  std::vector<CTakenMessage> taken;
  SelectAndDelete("SMSIncoming", condition, {}, nLimit, [&taken](const CQueueRow& row) {
    CTakenMessage m;
    m.nId = row.GetId();
    m.eJobType = static_cast<JOBTYPE>(row.LongOrZero("Type"));
    m.sPhoneNumber = row.StringOrEmpty("PhoneNumber");
    m.sData = row.StringOrEmpty("Data");
    m.eHandset = static_cast<Handsets>(row.LongOrZero("Handset"));
    m.sTimeStamp = row.StringOrEmpty("TmStamp");
    m.dest = row.EndpointOrEmpty("Dest");
    taken.push_back(std::move(m));
  });
  if (taken.empty()) return 0;
  write(taken);
  group.Commit();
  return taken.size();
}

}  // namespace Norvale
