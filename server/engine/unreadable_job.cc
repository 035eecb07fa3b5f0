#include "server/engine/unreadable_job.h"

#include "queues/database_access.h"

namespace Norvale {
using namespace OS;

CUnreadableJob::CUnreadableJob(const Recordset& Row)
    : sPhoneNumber(Text(Row, "PhoneNumber")),
      sData(Text(Row, "Data")),
      eType(static_cast<JOBTYPE>(Number(Row, "Type"))),
      Source(static_cast<SourceTypes>(Number(Row, "SourceType")), Text(Row, "SourceId"), Text(Row, "SourceName")) {}

std::string CUnreadableJob::Text(const Recordset& Row, const char* szColumn) {
  try {
    return ConvertVariantToString(Row.GetFieldValue(szColumn));
  } catch (const _com_error&) {
    return std::string();
  }
}

LONG CUnreadableJob::Number(const Recordset& Row, const char* szColumn) {
  try {
    return ConvertVariantToLong(Row.GetFieldValue(szColumn));
  } catch (const _com_error&) {
    return 0;
  }
}

}  // namespace Norvale
