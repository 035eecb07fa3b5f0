// CClientContext: what every object of the client library that reaches the
// queues holds, the client core behind Velquor as well as the listener core
// behind VelquorListener. The client configuration, read once at
// construction through the engine with direct access as the fallback
// (problems are logged, never thrown); the database connection provider over
// it; the three queues on that provider; the engine connection; the queue
// adaptors that choose between the queues and the engine. The members are
// declared in the order they use each other, so each is built after and
// destroyed before what it points to.
#pragma once

#include <string>

#include "config/config_velquor_client_only.h"
#include "core/sms_queue_adaptors.h"
#include "core/velquor_server_connection.h"
#include "queues/database_access.h"
#include "queues/incoming_queue.h"
#include "queues/notification_queue.h"
#include "queues/outgoing_queue.h"

namespace Norvale {

struct CClientContext {
  // `sOwner` names the constructing routine in the log when the configuration
  // cannot be read.
  explicit CClientContext(const char* sOwner);
  ~CClientContext();
  CClientContext(const CClientContext&) = delete;
  CClientContext& operator=(const CClientContext&) = delete;

  std::string m_sErrorMessage;
  CConfigVelquorClientOnly m_Config;
  CDBConnectionDispensor m_DBConnection;
  COutgoingQueue m_OutgoingQueue;
  CIncomingQueue m_IncomingQueue;
  CNotificationQueue m_NotificationQueue;
  CVelquorServerConnection m_ServerConnection;
  CSMSQueueAdaptors m_QueueAdaptors;
};

}  // namespace Norvale
