#include "queues/incoming_queue.h"

namespace Norvale {
using namespace OS;

namespace {
std::string BlankIfEmpty(const std::string& s) { return s.empty() ? std::string(" ") : s; }
}  // namespace

CIncomingQueue::CIncomingQueue(CConfigVelquorClientOnly*, CDBConnectionDispensor* DBConnection)
    : CJobQueue(DBConnection, "SMSIncoming") {}

LONG CIncomingQueue::StoreMessage(const std::string& sPhoneNumber, JOBTYPE eJobType, const std::string& sDataIn,
                                  LONG nHandsetNbr, std::string sTimeStamp, const CMessageEndpoint& Dest) {
  // The time stamp goes through EncodeSQLLiteral like the other texts, so a
  // quote in it can neither break the statement nor inject SQL.
  return CJobQueue::InsertJob(
      "INSERT INTO SMSIncoming (Id, Type, PhoneNumber, Data, Handset, TmStamp, DestType, DestId, DestName ) "
      "VALUES ( ",
      ", " + N(eJobType) + ", '" + EncodeSQLLiteral(BlankIfEmpty(sPhoneNumber)) + "', '" +
          EncodeSQLLiteral(BlankIfEmpty(sDataIn)) + "', " + N(nHandsetNbr) + ", '" + EncodeSQLLiteral(sTimeStamp) +
          "', " + N(Dest.m_eType) + ", " + EncodeSQLLiteralString(Dest.m_sId) + ", " +
          EncodeSQLLiteralString(Dest.m_sName) + " )");
}

bool CIncomingQueue::GetMessage(Handsets& eHandsetNbr, JOBTYPE& eJobType, std::string& sPhoneNumber, std::string& sData,
                                std::string& sTimeStamp, CMessageEndpoint& Dest) {
  const CDatabaseOperation operation(m_pDBConnectionDispensor);
  const std::string condition = eHandsetNbr != hsAll ? " WHERE Handset=" + N(eHandsetNbr) : std::string();
  while (true) {
    LONG affected = 0;
    const auto rs =
        ExecuteCommand("SELECT * From SMSIncoming WHERE Id=(SELECT MIN(Id) FROM SMSIncoming" + condition + ")",
                       affected, adCmdText, -1, kAttempts);
    if (rs->BOF() || rs->adoEOF()) break;  // the queue holds none
    const CQueueRow row(*rs, m_sTableName);
    sPhoneNumber = row.StringOrEmpty("PhoneNumber");
    eJobType = static_cast<JOBTYPE>(row.LongOrZero("Type"));
    sData = row.StringOrEmpty("Data");
    eHandsetNbr = static_cast<Handsets>(row.LongOrZero("Handset"));
    sTimeStamp = row.StringOrEmpty("TmStamp");
    Dest = row.EndpointOrEmpty("Dest");
    rs->Close();
    ExecuteCommand("DELETE FROM SMSIncoming WHERE Id=" + N(row.GetId()), affected, adCmdText | adExecuteNoRecords, -1,
                   kAttempts);
    if (affected == 1) return true;
    // Another reader took this one first: the next one may still be there.
    operation.RaiseIfTimeIsUp(m_sTableName +
                              ": no message this reader chose could be taken (each DELETE removed no row)");
  }
  sPhoneNumber.clear();
  sData.clear();
  eHandsetNbr = hsAll;
  return false;
}

LONG CIncomingQueue::GetSize() { return GetTotalNbrOfEntries(); }

void CIncomingQueue::PurgeQueue() {
  LONG affected = 0;
  ExecuteCommand("DELETE FROM " + m_sTableName, affected, adCmdText, -1, kAttempts);
}

}  // namespace Norvale
