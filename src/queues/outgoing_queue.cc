#include "queues/outgoing_queue.h"

namespace Norvale {
using namespace OS;

COutgoingQueue::COutgoingQueue(CConfigVelquorClientOnly*, CDBConnectionDispensor* DBConnection)
    : CJobQueue(DBConnection, "SMSOutgoing") {}

LONG COutgoingQueue::InsertJob(const std::string& sPhoneNumber, JOBTYPE eJobType, const std::string& sData,
                               Handsets eHandset, const CMessageEndpoint& Source) {
  return CJobQueue::InsertJob(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName ) "
      "VALUES ( ",
      ", " + N(eJobType) + ", " + EncodeSQLLiteralString(sPhoneNumber) + ", " + EncodeSQLLiteralString(sData) + ", " +
          N(eHandset) + ", " + N(jsPending) + ", " + N(Source.m_eType) + ", " + EncodeSQLLiteralString(Source.m_sId) +
          ", " + EncodeSQLLiteralString(Source.m_sName) + " )");
}

LONG COutgoingQueue::InsertJob(const std::string& sPhoneNumber, JOBTYPE eJobType, const std::string& sData,
                               Handsets eHandset, const CMessageEndpoint& Source, const CSendOptions& Options) {
  if (Options.Empty()) return InsertJob(sPhoneNumber, eJobType, sData, eHandset, Source);
  const auto number = [](const auto& value) { return value ? N(static_cast<long>(*value)) : std::string("NULL"); };
  const auto text = [](const std::string& value) {
    return value.empty() ? std::string("NULL") : EncodeSQLLiteralString(value);
  };
  const std::optional<int> report =
      Options.bReportRequest ? std::optional<int>(*Options.bReportRequest ? 1 : 0) : std::nullopt;
  return CJobQueue::InsertJob(
      "INSERT INTO SMSOutgoing (Id, Type, PhoneNumber, Data, Handset, Status, SourceType, SourceId, SourceName, "
      "Sender, "
      "Priority, NotBefore, ValidUntil, ReportRequest, ClientRef) VALUES ( ",
      ", " + N(eJobType) + ", " + EncodeSQLLiteralString(sPhoneNumber) + ", " + EncodeSQLLiteralString(sData) + ", " +
          N(eHandset) + ", " + N(jsPending) + ", " + N(Source.m_eType) + ", " + EncodeSQLLiteralString(Source.m_sId) +
          ", " + EncodeSQLLiteralString(Source.m_sName) + ", " + text(Options.sSender) + ", " +
          number(Options.nPriority) + ", " + number(Options.nNotBefore) + ", " + number(Options.nValidUntil) + ", " +
          number(report) + ", " + text(Options.sClientRef) + " )");
}

bool COutgoingQueue::GetJobA(LONG& nJobId, std::string& sPhoneNumber, JOBTYPE& JobType, std::string& sData,
                             LONG& nRetryCount, Handsets ePriorityHandset, CMessageEndpoint& Source) {
  const CDatabaseOperation operation(m_pDBConnectionDispensor);
  while (true) {
    LONG affected = 0;
    auto rs = ExecuteCommand("SELECT MIN(Id) AS MinJobId FROM SMSOutgoing WHERE Status=" + N(jsPending) +
                                 " AND ( Handset=" + N(ePriorityHandset) + " OR Handset=" + N(hsAll) + " )",
                             affected, adCmdText, -1, kAttempts);
    const _variant_t minId = rs->GetFieldValue("MinJobId");
    rs->Close();
    if (minId.vt == VT_NULL) {
      nJobId = -1;
      sPhoneNumber.clear();
      sData.clear();
      JobType = static_cast<JOBTYPE>(0);
      nRetryCount = 0;
      return false;
    }
    nJobId = minId.ToLong();
    // The claim is conditional so that it needs no lock: engines on other
    // machines and other handsets of this one pick the same oldest job, and
    // the database lets exactly one UPDATE change the row from pending to
    // processing. The others see no row changed and look again, so a job is
    // never handed to two consumers.
    ExecuteCommand(
        "UPDATE SMSOutgoing SET Status=" + N(jsProcessing) + " WHERE Id=" + N(nJobId) + " AND Status=" + N(jsPending),
        affected, adCmdText | adExecuteNoRecords, -1, kAttempts);
    if (affected != 1) {  // another consumer claimed it first
      operation.RaiseIfTimeIsUp(
          "SMSOutgoing: no job this consumer chose could be claimed (each UPDATE changed no row)");
      continue;
    }
    try {
      rs = ExecuteCommand("SELECT * FROM SMSOutgoing WHERE Id=" + N(nJobId), affected, adCmdText, -1, kAttempts);
      const CQueueRow row(*rs, m_sTableName, nJobId);
      sPhoneNumber = row.String("PhoneNumber");
      sData = row.String("Data");
      JobType = static_cast<JOBTYPE>(row.Long("Type"));
      Source = row.EndpointOrEmpty("Source");
      nRetryCount = row.LongOrZero("RetryCount");
      rs->Close();
      return true;
    } catch (...) {
      // The job goes back even when the operation's time is up.
      const CDatabaseOperation giveBack(m_pDBConnectionDispensor, true);
      JobReturn(nJobId, jsPending, -1);
      throw;
    }
  }
}

void COutgoingQueue::GetJobInfo(LONG nJobId, std::string& sPhoneNumber, JOBTYPE& eJobType, std::string& sData,
                                Handsets& eHandset, CMessageEndpoint& Source) {
  LONG affected = 0;
  const auto rs = ExecuteCommand("SELECT * FROM SMSOutgoing WHERE Id=" + N(nJobId), affected, adCmdText, -1, kAttempts);
  const CQueueRow row(*rs, m_sTableName, nJobId);
  sPhoneNumber = row.String("PhoneNumber");
  sData = row.String("Data");
  eJobType = static_cast<JOBTYPE>(row.Long("Type"));
  eHandset = static_cast<Handsets>(row.Long("Handset"));
  Source = row.EndpointOrEmpty("Source");
  rs->Close();
}

EnumJobStatus COutgoingQueue::GetJobStatus(const LONG& nJobId) {
  LONG affected = 0;
  const auto rs =
      ExecuteCommand("SELECT Status FROM SMSOutgoing WHERE Id=" + N(nJobId), affected, adCmdText, -1, kAttempts);
  const EnumJobStatus status = (rs->BOF() || rs->adoEOF())
                                   ? jsSent
                                   : static_cast<EnumJobStatus>(CQueueRow(*rs, m_sTableName, nJobId).Long("Status"));
  rs->Close();
  return status;
}

void COutgoingQueue::JobUpdate(LONG nJobId, EnumJobStatus JobStatus, Handsets eHandset, LONG nMessageRef) {
  const CDatabaseOperation operation(m_pDBConnectionDispensor);
  LONG affected = 0;
  ExecuteCommand("UPDATE SMSOutgoing SET Status=" + N(JobStatus) + ", Handset=" + N(eHandset) +
                     ", MessageRef=" + N(nMessageRef) + " WHERE Id=" + N(nJobId),
                 affected, adCmdText | adExecuteNoRecords, 1, kAttempts);
  if (JobStatus == jsSent) {
    ExecuteCommand("DELETE FROM SMSOutgoing WHERE Status=" + N(jsSent) + " AND Id<" + N(nJobId), affected,
                   adCmdText | adExecuteNoRecords, -1, kAttempts);
  }
}

void COutgoingQueue::JobReturn(LONG nJobId, EnumJobStatus JobStatus, LONG nNewRetryCount) {
  std::string sql = "UPDATE SMSOutgoing SET Status=" + N(JobStatus);
  if (nNewRetryCount != -1) sql += ", RetryCount=" + N(nNewRetryCount);
  sql += " WHERE Id=" + N(nJobId) + " AND Status=" + N(jsProcessing);
  LONG affected = 0;
  ExecuteCommand(sql, affected, adCmdText | adExecuteNoRecords, -1, kAttempts);
}

LONG COutgoingQueue::FindJobAwaitingConfirmation(Handsets Handset, LONG nMessageRef) {
  LONG affected = 0;
  const auto rs = ExecuteCommand("SELECT MIN(Id) AS MaxJobId FROM SMSOutgoing WHERE Status=" + N(jsSentNotConfirmed) +
                                     " AND Handset=" + N(Handset) + " AND MessageRef=" + N(nMessageRef),
                                 affected, adCmdText, -1, kAttempts);
  const _variant_t id = rs->GetFieldValue("MaxJobId");
  rs->Close();
  return id.vt == VT_NULL ? -1 : id.ToLong();
}

LONG COutgoingQueue::GetSize() {
  LONG affected = 0;
  const auto rs =
      ExecuteCommand("SELECT COUNT(*) AS QueueSize FROM " + m_sTableName + " WHERE Status = " + N(jsPending), affected,
                     adCmdText, -1, kAttempts);
  const LONG size = rs->GetFieldValue("QueueSize").ToLong();
  rs->Close();
  return size;
}

void COutgoingQueue::PurgeQueue() {
  LONG affected = 0;
  ExecuteCommand("DELETE FROM " + m_sTableName + " WHERE Status<>" + N(jsProcessing), affected, adCmdText, -1,
                 kAttempts);
}

}  // namespace Norvale
