// The rows waiting in the three queue tables, for monitoring (velquor-http's
// velquor_queue_depth): SMSOutgoing by its Status, SMSNotifications and
// SMSIncoming in all (their rows carry no status: a row there waits until
// its application takes it), and the pending rows of SMSOutgoing by the
// handset asked for (0: any). Four COUNT queries in one operation, within
// the provider's time-outs; a failure raises as the queues do.
#pragma once

#include <map>

#include "queues/database_access.h"

namespace Norvale {

struct CQueueDepths {
  std::map<long, long> outgoingByStatus;  // Status value: rows
  std::map<long, long> pendingByHandset;  // Handset asked for (0: any): pending rows
  long notifications = 0;
  long incoming = 0;
};

CQueueDepths CountQueueDepths(CDBConnectionDispensor& connections);

}  // namespace Norvale
