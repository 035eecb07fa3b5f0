#include "queues/notification_queue.h"

namespace Norvale {
using namespace OS;

CNotificationQueue::CNotificationQueue(CConfigVelquorClientOnly*, CDBConnectionDispensor* DBConnection)
    : CJobQueue(DBConnection, "SMSNotifications") {}

void CNotificationQueue::InsertJob(LONG nJobId, NotificationTypes Type, const std::string& sPhoneNumber,
                                   JOBTYPE eJobType, const std::string& sDataIn, Handsets eHandset, LONG nErrorCode,
                                   std::string sTimeStamp, EnumJobStatus eJobStatus, const CMessageEndpoint& Source) {
  const std::string data = sDataIn.empty() ? " " : sDataIn;
  if (sTimeStamp.empty()) sTimeStamp = " ";
  // The time stamp goes through EncodeSQLLiteral like the other texts.
  CJobQueue::InsertJob(
      "INSERT INTO SMSNotifications (Id, OriginalId, Type, PhoneNumber, MsgType, Data, Handset, ErrorCode, TmStamp, "
      "JobStatus, SourceType, SourceId, SourceName ) VALUES ( ",
      ", " + N(nJobId) + ", " + N(Type) + ", " + EncodeSQLLiteralString(sPhoneNumber) + ", " + N(eJobType) + ", " +
          EncodeSQLLiteralString(data) + ", " + N(eHandset) + ", " + N(nErrorCode) + ", '" +
          EncodeSQLLiteral(sTimeStamp) + "', " + N(eJobStatus) + ", " + N(Source.m_eType) + ", " +
          EncodeSQLLiteralString(Source.m_sId) + ", " + EncodeSQLLiteralString(Source.m_sName) + " )");
}

bool CNotificationQueue::GetNotification(LONG& nJobId, NotificationTypes& Type, std::string& sPhoneNumber,
                                         JOBTYPE& eJobType, std::string& sData, Handsets& eHandsetNbr, LONG& nErrorCode,
                                         std::string& sTimeStamp, EnumJobStatus& eJobStatus,
                                         SourceTypes eRequiredSourceType, CMessageEndpoint& Source) {
  auto taken = TakeNotification(eHandsetNbr, eRequiredSourceType);
  if (!taken) {
    nJobId = -1;
    Type = ntDeliveryReport;
    sPhoneNumber.clear();
    sData.clear();
    eHandsetNbr = hsAll;
    nErrorCode = 0;
    return false;
  }
  nJobId = taken->nJobId;
  Type = taken->eType;
  sPhoneNumber = std::move(taken->sPhoneNumber);
  eJobType = taken->eJobType;
  sData = std::move(taken->sData);
  eHandsetNbr = taken->eHandset;
  nErrorCode = taken->nErrorCode;
  sTimeStamp = std::move(taken->sTimeStamp);
  eJobStatus = taken->eJobStatus;
  Source = std::move(taken->Source);
  return true;
}

std::optional<CNotificationRecord> CNotificationQueue::TakeNotification(Handsets eHandset, SourceTypes eSourceType) {
  const CDatabaseOperation operation(m_pDBConnectionDispensor);
  std::string condition = " WHERE ";
  if (eHandset != hsAll) condition += "Handset=" + N(eHandset) + " AND ";
  condition += "SourceType=" + N(eSourceType);
  while (true) {
    LONG affected = 0;
    const auto rs = ExecuteCommand(
        "SELECT * From SMSNotifications WHERE Id=(SELECT MIN(Id) FROM SMSNotifications" + condition + ")", affected,
        adCmdText, -1, kAttempts);
    if (rs->BOF() || rs->adoEOF()) break;  // the queue holds none for this reader
    // A row that cannot be read stays, and every read names it until it is
    // mended or removed.
    const CQueueRow row(*rs, m_sTableName);
    CNotificationRecord n;
    n.nJobId = row.LongOrZero("OriginalId");
    n.eType = static_cast<NotificationTypes>(row.LongOrZero("Type"));
    n.eJobType = static_cast<JOBTYPE>(row.Long("MsgType"));
    n.sPhoneNumber = row.StringOrEmpty("PhoneNumber");
    n.sData = row.StringOrEmpty("Data");
    n.eHandset = static_cast<Handsets>(row.LongOrZero("Handset"));
    n.nErrorCode = row.Long("ErrorCode");
    n.sTimeStamp = row.StringOrEmpty("TmStamp");
    n.eJobStatus = static_cast<EnumJobStatus>(row.LongOrZero("JobStatus"));
    n.Source = row.EndpointOrEmpty("Source");
    rs->Close();
    ExecuteCommand("DELETE FROM SMSNotifications WHERE Id=" + N(row.GetId()), affected, adCmdText | adExecuteNoRecords,
                   -1, kAttempts);
    if (affected == 1) return n;
    // Another reader took this one first: the next one may still be there.
    operation.RaiseIfTimeIsUp(m_sTableName +
                              ": no notification this reader chose could be taken (each DELETE removed no row)");
  }
  return std::nullopt;
}

void CNotificationQueue::PurgeQueue() {
  LONG affected = 0;
  ExecuteCommand("DELETE FROM " + m_sTableName, affected, adCmdText, -1, kAttempts);
}

}  // namespace Norvale
