// CUnreadableJob: what a send-failure notification can tell of a row of
// SMSOutgoing that no handset can send (a column that cannot be read as the
// claim reads it, no Status, a handset that does not exist): each column as
// far as it reads, empty or 0 where it does not.
#pragma once

#include <string>

#include "platform/database.h"
#include "queues/job_queue.h"
#include "queues/message_endpoint.h"

namespace Norvale {

struct CUnreadableJob {
  explicit CUnreadableJob(const OS::Recordset& Row);

  // One column as text, empty when it cannot be read.
  static std::string Text(const OS::Recordset& Row, const char* szColumn);
  // One column as a 32-bit number, 0 when it cannot be read.
  static OS::LONG Number(const OS::Recordset& Row, const char* szColumn);

  std::string sPhoneNumber, sData;
  JOBTYPE eType = jtTextMessage;
  CMessageEndpoint Source;
};

}  // namespace Norvale
