// SMSNotification: what became of a sent message (delivery report, delivery
// failure, message sent, send failure), with the message it concerns. A
// plain value like SMSMessage; the message is shared, not copied.
#pragma once

#include <cstdint>
#include <memory>

#include "norvale/enums.h"
#include "norvale/export.h"
#include "norvale/sms_message.h"

namespace Norvale {

class NORVALE_API SMSNotification {
 public:
  SMSNotification(NotificationTypes Type, std::int32_t MessageId, std::int32_t ErrorCode,
                  std::shared_ptr<SMSMessage> Message);
  ~SMSNotification();

  NotificationTypes GetType() const { return m_Type; }
  void SetType(NotificationTypes value) { m_Type = value; }
  // The identifier the send operation returned for the message.
  std::int32_t GetMessageId() const { return m_MessageId; }
  void SetMessageId(std::int32_t value) { m_MessageId = value; }
  std::int32_t GetErrorCode() const { return m_ErrorCode; }
  void SetErrorCode(std::int32_t value) { m_ErrorCode = value; }
  const std::shared_ptr<SMSMessage>& GetMessage() const { return m_Message; }
  void SetMessage(std::shared_ptr<SMSMessage> value) { m_Message = std::move(value); }

 private:
  NotificationTypes m_Type;
  std::int32_t m_MessageId;
  std::int32_t m_ErrorCode;
  std::shared_ptr<SMSMessage> m_Message;
};

}  // namespace Norvale
