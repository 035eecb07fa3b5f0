#include "norvale/velquor.h"

#include <cstdio>

#include "api/dot_net_utils.h"
#include "api/record_conversion.h"
#include "core/velquor_client_core.h"
#include "errors/managed_boundary.h"
#include "platform/bstr.h"

namespace Norvale {

namespace {

// Four upper-case hex digits per UTF-16 code unit.
std::string HexOfUtf16(const std::string& text) {
  std::string out;
  const std::u16string units = OS::AnsiToWide(text);
  out.reserve(units.size() * 4);
  char group[5];
  for (const char16_t unit : units) {
    std::snprintf(group, sizeof group, "%04X", static_cast<unsigned>(unit));
    out += group;
  }
  return out;
}

}  // namespace

Velquor::Velquor() : m_pClientCore(new CVelquorClientCore) {}

Velquor::~Velquor() {
  delete m_pClientCore;
  m_pClientCore = nullptr;
}

std::int32_t Velquor::SendMsg(const std::string& PhoneNumber, const std::string& Message, std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    m_pClientCore->SendMessage(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber),
                               CDotNetUtils::ConvertStringDNtoSTL(Message), static_cast<OS::DWORD>(WaitTimeout), "", "",
                               id);
    return id;
  });
}

std::int32_t Velquor::SendMsgUnicodeMessage(const std::string& PhoneNumber, const std::string& Message,
                                            std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    // Checked before the conversion, which would replace broken text.
    CVelquorClientCore::CheckTextArgument(PhoneNumber, "The phone number");
    CVelquorClientCore::CheckTextArgument(Message, "The message text");
    m_pClientCore->SendUnicodeMessageHex(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), HexOfUtf16(Message),
                                         static_cast<OS::DWORD>(WaitTimeout), "", "", id);
    return id;
  });
}

std::int32_t Velquor::SendMsgUnicodeMessageHex(const std::string& PhoneNumber, const std::string& Message,
                                               std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    m_pClientCore->SendUnicodeMessageHex(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber),
                                         CDotNetUtils::ConvertStringDNtoSTL(Message),
                                         static_cast<OS::DWORD>(WaitTimeout), "", "", id);
    return id;
  });
}

std::int32_t Velquor::SendDataMessage(const std::string& PhoneNumber, std::int32_t DataCodingScheme,
                                      const std::string& UserData, const std::string& UserDataHeader,
                                      std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    m_pClientCore->SendDataMessage(
        CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), DataCodingScheme, CDotNetUtils::ConvertStringDNtoSTL(UserData),
        CDotNetUtils::ConvertStringDNtoSTL(UserDataHeader), static_cast<OS::DWORD>(WaitTimeout), id);
    return id;
  });
}

EnumJobStatus Velquor::GetSendStatus(std::int32_t MessageId) {
  return TranslateNativeFailures([&] {
    EnumJobStatus status = jsPending;
    m_pClientCore->GetSendStatus(MessageId, status);
    return status;
  });
}

std::shared_ptr<SMSMessage> Velquor::GetMsg(std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&]() -> std::shared_ptr<SMSMessage> {
    VelquorClientCoreInternal::SMSMessage message;
    if (!m_pClientCore->GetMessage(static_cast<OS::DWORD>(WaitTimeout), message)) return nullptr;
    return ToPublicRecord(message);
  });
}

std::shared_ptr<SMSNotification> Velquor::GetNotification(std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&]() -> std::shared_ptr<SMSNotification> {
    VelquorClientCoreInternal::SMSNotification notification;
    if (!m_pClientCore->GetNotification(static_cast<OS::DWORD>(WaitTimeout), notification)) return nullptr;
    return ToPublicRecord(notification);
  });
}

Handsets Velquor::GetActiveHandset() {
  return TranslateNativeFailures([&] { return m_pClientCore->GetActiveHandset(); });
}

void Velquor::SetActiveHandset(Handsets value) {
  TranslateNativeFailures([&] { m_pClientCore->SetActiveHandset(value); });
}

}  // namespace Norvale
