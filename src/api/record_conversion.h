// The public records made from the internal ones (time stamp, endpoints and
// job status are not carried over).
#pragma once

#include <memory>

#include "core/velquor_client_core_internal.h"
#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"

namespace Norvale {

inline std::shared_ptr<SMSMessage> ToPublicRecord(const VelquorClientCoreInternal::SMSMessage& m) {
  return std::make_shared<SMSMessage>(m.sPhoneNumber, m.sMessage, m.lHandset, m.eMessageType, m.nDataCodingScheme,
                                      m.sUserDataHeader);
}

inline std::shared_ptr<SMSNotification> ToPublicRecord(const VelquorClientCoreInternal::SMSNotification& n) {
  return std::make_shared<SMSNotification>(n.eType, n.nJobId, n.nErrorCode, ToPublicRecord(n.Message));
}

}  // namespace Norvale
