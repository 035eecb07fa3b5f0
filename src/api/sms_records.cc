#include <stdexcept>

#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"
#include "platform/bstr.h"

namespace Norvale {

SMSMessage::SMSMessage(std::string PhoneNumber, std::string Message, std::int32_t Handset, MessageTypes MessageType,
                       std::int32_t DataCodingScheme, std::string UserDataHeader)
    : m_PhoneNumber(std::move(PhoneNumber)),
      m_Message(std::move(Message)),
      m_Handset(Handset),
      m_MessageType(MessageType),
      m_DataCodingScheme(DataCodingScheme),
      m_UserDataHeader(std::move(UserDataHeader)) {}

SMSMessage::~SMSMessage() = default;

std::string SMSMessage::GetMessage() const {
  if (m_MessageType != mtUnicodeMessage) return m_Message;
  std::u16string units;
  const size_t groups = m_Message.size() / 4;
  units.reserve(groups);
  for (size_t i = 0; i < groups; ++i) {
    unsigned value = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = m_Message[4 * i + k];
      unsigned digit;
      if (c >= '0' && c <= '9')
        digit = static_cast<unsigned>(c - '0');
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<unsigned>(c - 'A' + 10);
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<unsigned>(c - 'a' + 10);
      else
        throw std::invalid_argument("not a hexadecimal Unicode group: '" + m_Message.substr(4 * i, 4) + "'");
      value = value * 16 + digit;
    }
    units.push_back(static_cast<char16_t>(value));
  }
  return OS::WideToAnsi(units);
}

SMSNotification::SMSNotification(NotificationTypes Type, std::int32_t MessageId, std::int32_t ErrorCode,
                                 std::shared_ptr<SMSMessage> Message)
    : m_Type(Type), m_MessageId(MessageId), m_ErrorCode(ErrorCode), m_Message(std::move(Message)) {}

SMSNotification::~SMSNotification() = default;

}  // namespace Norvale
