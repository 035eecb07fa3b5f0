// CJobQueue: the common base of the three queue tables. It knows the table's
// name and gives every queue the row count, the next free identifier and an
// INSERT that picks an identifier optimistically (largest plus one) and tries
// again, up to ten times, when another writer took it. It also holds the text
// form in which a data message travels: "DCS=<hex>;UDH=<udh>;UD=<ud>", or the
// user data alone when the header is empty and the scheme 0.
#pragma once

#include <string>

#include "queues/database_access.h"

namespace Norvale {

class CJobQueue : public CDatabaseQueryExecuter {
 public:
  CJobQueue(CDBConnectionDispensor* DBConnection, std::string sTableName);
  ~CJobQueue() override = default;

  OS::LONG GetTotalNbrOfEntries();
  OS::LONG GenerateJobId();
  // Runs SQLPart1 + identifier + SQLPart2 and returns the identifier written.
  OS::LONG InsertJob(const std::string& SQLPart1, const std::string& SQLPart2);

  static std::string EncodeDataMessage(const std::string& UD, const std::string& UDH, OS::LONG DCS);
  // DCS is written only when the text holds a DCS field with digits.
  static void DecodeDataMessage(const std::string& sData, std::string& UD, std::string& UDH, OS::LONG& DCS);

  static constexpr int kAttempts = 10;

 protected:
  // A number as the statements write it: unquoted decimal.
  static std::string N(long v) { return std::to_string(v); }

  CDBConnectionDispensor* m_pDBConnectionDispensor;
  std::string m_sTableName;
};

}  // namespace Norvale
