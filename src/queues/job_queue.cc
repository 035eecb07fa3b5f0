#include "queues/job_queue.h"

#include <cstdio>
#include <limits>

#include "errors/com_error_raise.h"
#include "util/string_utils.h"

namespace Norvale {
using namespace OS;

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
  if (largest >= std::numeric_limits<LONG>::max())
    RAISE_COM_ERROR(DISP_E_OVERFLOW, m_sTableName + " has no identifiers left above " +
                                         std::to_string(std::numeric_limits<LONG>::max()) + " (its largest Id is " +
                                         std::to_string(largest) + ")");
  return static_cast<LONG>(largest + 1);
}

LONG CJobQueue::InsertJob(const std::string& SQLPart1, const std::string& SQLPart2) {
  const CDatabaseOperation operation(m_pDBConnectionDispensor);
  LONG id = 0;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    const bool last = attempt == kAttempts;
    try {
      id = GenerateJobId();
      LONG affected = 0;
      ExecuteCommand(SQLPart1 + N(id) + SQLPart2, affected, adCmdText | adExecuteNoRecords, last ? 1 : -1, 1);
      if (affected == 1) break;
    } catch (...) {
      if (last || operation.TimeIsUp()) throw;  // out of time, this attempt is the last
    }
  }
  return id;
}

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
