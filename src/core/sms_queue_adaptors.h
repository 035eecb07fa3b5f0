// CSMSQueueAdaptors: fetches one received message or one notification, from
// a queue table or from the engine, into an internal record.
#pragma once

#include "core/velquor_client_core_internal.h"
#include "core/velquor_server_connection.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"

namespace Norvale {

class CSMSQueueAdaptors {
 public:
  virtual ~CSMSQueueAdaptors() = default;

  // Queue path when bIncomingQueueEnable, the engine otherwise (false while
  // the engine does not run).
  bool GetMessage(CVelquorServerConnection& connection, CIncomingQueue& IncomingQueue, Handsets eHandset,
                  bool bIncomingQueueEnable, VelquorClientCoreInternal::SMSMessage& Message);
  // Notifications exist only in the queue: false when it is disabled.
  bool GetNotification(CNotificationQueue& NotificationQueue, Handsets eHandset, SourceTypes eSourceType,
                       bool bIncomingQueueEnable, VelquorClientCoreInternal::SMSNotification& Notification);
};

}  // namespace Norvale
