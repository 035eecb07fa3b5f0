// CJobQueue: the common base of the three queue tables. It knows the table's
// name and gives every queue the row count, the next free identifier and an
// INSERT that picks an identifier optimistically (largest plus one) and tries
// again, up to ten times, when another writer took it. It also holds the text
// form in which a data message travels: "DCS=<hex>;UDH=<udh>;UD=<ud>", or the
// user data alone when the header is empty and the scheme 0.
//
// The INSERT chooses its identifier itself (INSERT ... SELECT MAX(Id) + 1 ...
// RETURNING Id), so the window in which another writer can take the same one
// is a single statement: none on SQLite, whose writers take the database's
// write lock before they read, and that of two statements running at once on
// PostgreSQL, where the second then fails on the key. Between attempts it
// waits a random, growing time (up to a quarter of a second, never past the
// operation's deadline), so that writers that collided try again apart. Each
// attempt runs on a newly opened connection; with KeepDatabaseConnection on
// the open one, replaced only after a failure other than a duplicate key and
// for the tenth attempt. Stored rows are as before: unique Ids, each one above
// the largest at its insert, no identifier above 2147483647.
#pragma once

#include <limits>
#include <string>

#include "queues/database_access.h"

namespace Norvale {

class CJobQueue : public CDatabaseQueryExecuter {
 public:
  CJobQueue(CDBConnectionDispensor* DBConnection, std::string sTableName);
  ~CJobQueue() override = default;

  OS::LONG GetTotalNbrOfEntries();
  // One above the largest Id; DISP_E_OVERFLOW when that is above 2147483647.
  OS::LONG GenerateJobId();
  // Inserts the row that SQLPart1 + identifier + SQLPart2 describes, where
  // SQLPart1 ends with "VALUES (" and SQLPart2 holds the other values and the
  // closing ")", with the identifier one above the largest; returns it.
  OS::LONG InsertJob(const std::string& SQLPart1, const std::string& SQLPart2);

  static std::string EncodeDataMessage(const std::string& UD, const std::string& UDH, OS::LONG DCS);
  // DCS is written only when the text holds a DCS field with digits.
  static void DecodeDataMessage(const std::string& sData, std::string& UD, std::string& UDH, OS::LONG& DCS);

  static constexpr int kAttempts = 10;
  // The largest identifier a queue table takes.
  static constexpr OS::LONG kLargestId = std::numeric_limits<OS::LONG>::max();
  // The wait before attempt nAttempt (2 to kAttempts) of InsertJob, for
  // writers that repeat a whole group after a duplicate key the same way.
  static void WaitBeforeAttempt(int nAttempt, OS::DatabaseDeadline until);

 protected:
  // A number as the statements write it: unquoted decimal.
  static std::string N(long v) { return std::to_string(v); }
  // The INSERT ... SELECT that InsertJob runs.
  std::string InsertWithNextId(const std::string& SQLPart1, const std::string& SQLPart2) const;

  CDBConnectionDispensor* m_pDBConnectionDispensor;
  std::string m_sTableName;
};

}  // namespace Norvale
