#include "queues/job_queue.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <limits>
#include <random>
#include <thread>

#include "errors/com_error_raise.h"
#include "util/string_utils.h"

namespace Norvale {
using namespace OS;

namespace {

// Waits before attempt nAttempt (2 to 10) for a random time in the upper half
// of 1, 2, 4 ... 256 ms, so that writers that collided try again apart, and
// never past `until`.
void BackOff(int nAttempt, DatabaseDeadline until) {
  // Seeded per process as well as per thread: children of one fork() would
  // otherwise wait alike.
  thread_local pid_t seededFor = 0;
  thread_local std::minstd_rand random;
  if (seededFor != getpid()) {
    seededFor = getpid();
    random.seed(std::random_device{}() ^ static_cast<unsigned>(seededFor));
  }
  const int ceiling = 1000 << std::min(nAttempt - 2, 8);  // microseconds
  std::uniform_int_distribution<int> spread(ceiling / 2, ceiling);
  const auto left = until - DatabaseClock::now();
  if (left <= DatabaseClock::duration::zero()) return;
  std::this_thread::sleep_for(std::min<DatabaseClock::duration>(std::chrono::microseconds(spread(random)), left));
}

// Where SQLPart1's closing "VALUES (" begins, or npos.
size_t ValuesClause(const std::string& SQLPart1) {
  size_t end = SQLPart1.find_last_not_of(" \t\r\n");
  if (end == std::string::npos || SQLPart1[end] != '(') return std::string::npos;
  end = SQLPart1.find_last_not_of(" \t\r\n", end - 1);
  if (end == std::string::npos || end < 5) return std::string::npos;
  const size_t begin = end - 5;
  std::string word = SQLPart1.substr(begin, 6);
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (word != "VALUES" || (begin > 0 && !std::isspace(static_cast<unsigned char>(SQLPart1[begin - 1]))))
    return std::string::npos;
  return begin;
}

}  // namespace

CJobQueue::CJobQueue(CDBConnectionDispensor* DBConnection, std::string sTableName)
    : CDatabaseQueryExecuter(DBConnection),
      m_pDBConnectionDispensor(DBConnection),
      m_sTableName(std::move(sTableName)) {}

LONG CJobQueue::GetTotalNbrOfEntries() {
  LONG affected = 0;
  const auto rs =
      ExecuteCommand("SELECT COUNT(*) AS QueueSize FROM " + m_sTableName, affected, adCmdText, -1, kAttempts);
  const LONG size = rs->GetFieldValue("QueueSize").ToLong();
  rs->Close();
  return size;
}

LONG CJobQueue::GenerateJobId() {
  LONG affected = 0;
  const auto rs = ExecuteCommand("SELECT MAX(Id) AS MaxId FROM " + m_sTableName, affected, adCmdText, -1, kAttempts);
  const _variant_t max = rs->GetFieldValue("MaxId");
  rs->Close();
  if (max.vt == VT_NULL) return 1;
  // In 64 bits: the largest identifier may be the largest 32-bit number, or
  // beyond it where the column is wider.
  const LONGLONG largest = max.ToLongLong();
  if (largest >= kLargestId)
    RAISE_COM_ERROR(DISP_E_OVERFLOW, m_sTableName + " has no identifiers left above " + std::to_string(kLargestId) +
                                         " (its largest Id is " + std::to_string(largest) + ")");
  return static_cast<LONG>(largest + 1);
}

std::string CJobQueue::InsertWithNextId(const std::string& SQLPart1, const std::string& SQLPart2) const {
  const size_t values = ValuesClause(SQLPart1);
  const size_t close = SQLPart2.find_last_not_of(" \t\r\n");
  if (values == std::string::npos || close == std::string::npos || SQLPart2[close] != ')')
    RAISE_COM_ERROR(E_INVALIDARG, m_sTableName +
                                      ": an INSERT must end its first part with 'VALUES (' and its second "
                                      "with ')'");
  // The subquery keeps MAX(Id) a lookup of the key's last entry on both
  // databases; the condition leaves no row to insert once the identifiers
  // are used up.
  return SQLPart1.substr(0, values) + "SELECT NextId.MaxId + 1" + SQLPart2.substr(0, close) +
         " FROM (SELECT COALESCE((SELECT MAX(Id) FROM " + m_sTableName +
         "), 0) AS MaxId) AS NextId WHERE NextId.MaxId < " + std::to_string(kLargestId) + " RETURNING Id";
}

LONG CJobQueue::InsertJob(const std::string& SQLPart1, const std::string& SQLPart2) {
  const CDatabaseOperation operation(m_pDBConnectionDispensor);
  const std::string statement = InsertWithNextId(SQLPart1, SQLPart2);
  // In a transaction the insert runs on the group's connection, and on
  // SQLite (which holds the write lock) it has one attempt. On PostgreSQL
  // another writer may still take the identifier; a savepoint before each
  // attempt lets the group survive that and try the next one.
  const bool grouped = m_pDBConnectionDispensor->InTransaction();
  const bool savepoints = m_pDBConnectionDispensor->InPostgresTransaction();
  const bool keep = grouped || m_pDBConnectionDispensor->GetKeepConnection();
  bool newConnection = !keep;
  std::exception_ptr failure;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    const bool last = (grouped && !savepoints) || attempt == kAttempts;
    if (attempt > 1) {
      BackOff(attempt, m_pDBConnectionDispensor->GetDeadline());
      if (operation.TimeIsUp()) std::rethrow_exception(failure);  // no time for another attempt
    }
    if (savepoints) {
      LONG affected = 0;
      ExecuteOnce("SAVEPOINT velquor_insert", affected, adCmdText | adExecuteNoRecords, false);
    }
    try {
      LONG affected = 0;
      const _RecordsetPtr rs = ExecuteOnce(statement, affected, adCmdText, newConnection || last);
      if (affected == 1 && !rs->adoEOF()) {
        const LONG id = rs->GetFieldValue("Id").ToLong();
        rs->Close();
        return id;
      }
      GenerateJobId();  // no row inserted: it says so clearly when the identifiers are used up
      try {
        RAISE_COM_ERROR(E_FAIL,
                        "Query '" + statement + "' affected " + std::to_string(affected) + " rows, expected 1 rows");
      } catch (const _com_error& e) {
        throw CDatabase_com_error(e);
      }
    } catch (const _com_error& e) {
      if (e.Error() == DISP_E_OVERFLOW || last || operation.TimeIsUp()) throw;
      if (savepoints) {
        if (e.Error() != DB_E_INTEGRITYVIOLATION) throw;  // the group's connection itself may be gone
        LONG affected = 0;
        ExecuteOnce("ROLLBACK TO SAVEPOINT velquor_insert", affected, adCmdText | adExecuteNoRecords, false);
      }
      failure = std::current_exception();
      // Another writer took the identifier: the connection is sound. Any
      // other failure may be the connection's.
      newConnection = !keep || e.Error() != DB_E_INTEGRITYVIOLATION;
    } catch (...) {
      if (last || savepoints || operation.TimeIsUp()) throw;
      failure = std::current_exception();
      newConnection = true;
    }
  }
  std::rethrow_exception(failure);  // not reached: the last attempt returns or throws
}

void CJobQueue::WaitBeforeAttempt(int nAttempt, DatabaseDeadline until) { BackOff(nAttempt, until); }

std::string CJobQueue::EncodeDataMessage(const std::string& UD, const std::string& UDH, LONG DCS) {
  if (UDH.empty() && DCS == 0) return UD;
  char dcs[16];
  std::snprintf(dcs, sizeof dcs, "%02X", static_cast<unsigned>(DCS));
  return std::string("DCS=") + dcs + ";UDH=" + UDH + ";UD=" + UD;
}

void CJobQueue::DecodeDataMessage(const std::string& sData, std::string& UD, std::string& UDH, LONG& DCS) {
  const std::string dcs = ExtractParam("DCS", sData, false);
  unsigned value = 0;
  if (std::sscanf(dcs.c_str(), "%x", &value) == 1) DCS = static_cast<LONG>(value);
  UDH = ExtractParam("UDH", sData, false);
  UD = ExtractParam("UD", sData, true);
  if (UD.empty() && UDH.empty()) UD = sData;
}

}  // namespace Norvale
