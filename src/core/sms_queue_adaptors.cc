#include "core/sms_queue_adaptors.h"

#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

bool CSMSQueueAdaptors::GetMessage(CVelquorServerConnection& connection, CIncomingQueue& IncomingQueue,
                                   Handsets eHandset, bool bIncomingQueueEnable,
                                   VelquorClientCoreInternal::SMSMessage& Message) {
  if (bIncomingQueueEnable) {
    Handsets handset = eHandset;
    JOBTYPE type = static_cast<JOBTYPE>(0);
    std::string phone, data, stamp;
    CMessageEndpoint dest;
    if (!IncomingQueue.GetMessage(handset, type, phone, data, stamp, dest)) return false;
    Message.Initialise(phone, data, handset, static_cast<MessageTypes>(type), stamp, dest);
    return true;
  }
  if (connection.GetServerStatus() != SMSServer::esRunning) return false;
  const auto engine = connection.GetServer();
  if (!engine) RAISE_COM_ERROR(E_FAIL, "Cannot receive non-queued message (Velquor Engine not running)");
  _bstr_t phone, text, stamp;
  std::int32_t type = 0, handset = 0;
  engine->GetMessage(eHandset, phone.GetAddress(), text.GetAddress(), &type, &handset, stamp.GetAddress());
  if (text.length() == 0) return false;
  Message.Initialise(phone.narrow(), text.narrow(), handset, static_cast<MessageTypes>(type), stamp.narrow(),
                     CMessageEndpoint(stUnspecified, "", ""));
  return true;
}

bool CSMSQueueAdaptors::GetNotification(CNotificationQueue& NotificationQueue, Handsets eHandset,
                                        SourceTypes eSourceType, bool bIncomingQueueEnable,
                                        VelquorClientCoreInternal::SMSNotification& Notification) {
  if (!bIncomingQueueEnable) return false;
  const auto n = NotificationQueue.TakeNotification(eHandset, eSourceType);
  if (!n) return false;
  VelquorClientCoreInternal::SMSMessage message;
  message.Initialise(n->sPhoneNumber, n->sData, n->eHandset, static_cast<MessageTypes>(n->eJobType), n->sTimeStamp,
                     n->Source);
  Notification.Initialise(n->eType, n->nJobId, n->nErrorCode, message, n->eJobStatus, n->Source);
  return true;
}

}  // namespace Norvale
