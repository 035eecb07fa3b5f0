#include "norvale/velquor.h"

#include <chrono>
#include <cstdio>
#include <map>

#include "api/dot_net_utils.h"
#include "api/record_conversion.h"
#include "core/velquor_client_core.h"
#include "errors/com_error_raise.h"
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

// The options as the queue stores them, checked: E_INVALIDARG naming the
// field of SendOptions.
CSendOptions CheckedOptions(const SendOptions& options) {
  const auto refuse = [](const char* field, const std::string& problem) {
    RAISE_COM_ERROR(OS::E_INVALIDARG, std::string(field) + ": " + problem);
  };
  const std::int64_t now = SendOptionsNowMs();
  CSendOptions out;
  out.sSender = options.From;
  out.nPriority = options.Priority;
  if (options.SendAt)
    out.nNotBefore = std::chrono::duration_cast<std::chrono::milliseconds>(options.SendAt->time_since_epoch()).count();
  if (options.Validity) {
    if (options.Validity->count() <= 0) refuse("Validity", "is not more than 0 seconds");
    if (options.Validity->count() > SendOptionLimits::kMaxValiditySeconds)
      refuse("Validity", "is longer than 63 weeks, the most a relative validity can say");
    const std::int64_t start = out.nNotBefore && *out.nNotBefore > now ? *out.nNotBefore : now;
    out.nValidUntil = start + options.Validity->count() * 1000;
  }
  out.bReportRequest = options.DeliveryReport;
  out.sClientRef = options.ClientRef;
  CVelquorClientCore::CheckTextArgument(out.sSender, "From");
  CVelquorClientCore::CheckTextArgument(out.sClientRef, "ClientRef");
  if (const auto error = CheckSendOptions(out, now)) {
    static const std::map<std::string, const char*> kNames = {{"sender", "From"},
                                                              {"priority", "Priority"},
                                                              {"not_before", "SendAt"},
                                                              {"validity", "Validity"},
                                                              {"client_ref", "ClientRef"}};
    const auto name = kNames.find(error->sField);
    refuse(name == kNames.end() ? error->sField.c_str() : name->second, error->sProblem);
  }
  return out;
}

CVelquorClientCore& CoreOf(const std::unique_ptr<CVelquorClientCore>& core) {
  if (!core) throw Exception("This Velquor object was moved from");
  return *core;
}

}  // namespace

Velquor::Velquor() : m_pClientCore(std::make_unique<CVelquorClientCore>()) {}

Velquor::~Velquor() = default;
Velquor::Velquor(Velquor&& that) noexcept = default;
Velquor& Velquor::operator=(Velquor&& that) noexcept = default;

std::int32_t Velquor::SendMsg(const std::string& PhoneNumber, const std::string& Message, std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CoreOf(m_pClientCore)
        .SendMessage(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), CDotNetUtils::ConvertStringDNtoSTL(Message),
                     static_cast<OS::DWORD>(WaitTimeout), "", "", id);
    return id;
  });
}

std::int32_t Velquor::SendMsgUnicodeMessage(const std::string& PhoneNumber, const std::string& Message,
                                            std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CVelquorClientCore& core = CoreOf(m_pClientCore);
    // Checked before the conversion, which would replace broken text.
    CVelquorClientCore::CheckTextArgument(PhoneNumber, "The phone number");
    CVelquorClientCore::CheckTextArgument(Message, "The message text");
    core.SendUnicodeMessageHex(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), HexOfUtf16(Message),
                               static_cast<OS::DWORD>(WaitTimeout), "", "", id);
    return id;
  });
}

std::int32_t Velquor::SendMsgUnicodeMessageHex(const std::string& PhoneNumber, const std::string& Message,
                                               std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CoreOf(m_pClientCore)
        .SendUnicodeMessageHex(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber),
                               CDotNetUtils::ConvertStringDNtoSTL(Message), static_cast<OS::DWORD>(WaitTimeout), "", "",
                               id);
    return id;
  });
}

std::int32_t Velquor::SendDataMessage(const std::string& PhoneNumber, std::int32_t DataCodingScheme,
                                      const std::string& UserData, const std::string& UserDataHeader,
                                      std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CoreOf(m_pClientCore)
        .SendDataMessage(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), DataCodingScheme,
                         CDotNetUtils::ConvertStringDNtoSTL(UserData),
                         CDotNetUtils::ConvertStringDNtoSTL(UserDataHeader), static_cast<OS::DWORD>(WaitTimeout), id);
    return id;
  });
}

std::int32_t Velquor::SendMsg(const std::string& PhoneNumber, const std::string& Message, const SendOptions& Options,
                              std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CVelquorClientCore& core = CoreOf(m_pClientCore);
    const CSendOptions options = CheckedOptions(Options);
    core.SendMessage(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), CDotNetUtils::ConvertStringDNtoSTL(Message),
                     static_cast<OS::DWORD>(WaitTimeout), "", "", id, options);
    return id;
  });
}

std::int32_t Velquor::SendMsgUnicodeMessage(const std::string& PhoneNumber, const std::string& Message,
                                            const SendOptions& Options, std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CVelquorClientCore& core = CoreOf(m_pClientCore);
    CVelquorClientCore::CheckTextArgument(PhoneNumber, "The phone number");
    CVelquorClientCore::CheckTextArgument(Message, "The message text");
    const CSendOptions options = CheckedOptions(Options);
    core.SendUnicodeMessageHex(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), HexOfUtf16(Message),
                               static_cast<OS::DWORD>(WaitTimeout), "", "", id, options);
    return id;
  });
}

std::int32_t Velquor::SendMsgUnicodeMessageHex(const std::string& PhoneNumber, const std::string& Message,
                                               const SendOptions& Options, std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CVelquorClientCore& core = CoreOf(m_pClientCore);
    const CSendOptions options = CheckedOptions(Options);
    core.SendUnicodeMessageHex(CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber),
                               CDotNetUtils::ConvertStringDNtoSTL(Message), static_cast<OS::DWORD>(WaitTimeout), "", "",
                               id, options);
    return id;
  });
}

std::int32_t Velquor::SendDataMessage(const std::string& PhoneNumber, std::int32_t DataCodingScheme,
                                      const std::string& UserData, const std::string& UserDataHeader,
                                      const SendOptions& Options, std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&] {
    OS::LONG id = 0;
    CVelquorClientCore& core = CoreOf(m_pClientCore);
    const CSendOptions options = CheckedOptions(Options);
    core.SendDataMessage(
        CDotNetUtils::ConvertStringDNtoSTL(PhoneNumber), DataCodingScheme, CDotNetUtils::ConvertStringDNtoSTL(UserData),
        CDotNetUtils::ConvertStringDNtoSTL(UserDataHeader), static_cast<OS::DWORD>(WaitTimeout), id, options);
    return id;
  });
}

EnumJobStatus Velquor::GetSendStatus(std::int32_t MessageId) {
  return TranslateNativeFailures([&] {
    EnumJobStatus status = jsPending;
    CoreOf(m_pClientCore).GetSendStatus(MessageId, status);
    return status;
  });
}

std::shared_ptr<SMSMessage> Velquor::GetMsg(std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&]() -> std::shared_ptr<SMSMessage> {
    VelquorClientCoreInternal::SMSMessage message;
    if (!CoreOf(m_pClientCore).GetMessage(static_cast<OS::DWORD>(WaitTimeout), message)) return nullptr;
    return ToPublicRecord(message);
  });
}

std::shared_ptr<SMSNotification> Velquor::GetNotification(std::int32_t WaitTimeout) {
  return TranslateNativeFailures([&]() -> std::shared_ptr<SMSNotification> {
    VelquorClientCoreInternal::SMSNotification notification;
    if (!CoreOf(m_pClientCore).GetNotification(static_cast<OS::DWORD>(WaitTimeout), notification)) return nullptr;
    return ToPublicRecord(notification);
  });
}

Handsets Velquor::GetActiveHandset() const {
  return TranslateNativeFailures([&] { return CoreOf(m_pClientCore).GetActiveHandset(); });
}

void Velquor::SetActiveHandset(Handsets value) {
  TranslateNativeFailures([&] { CoreOf(m_pClientCore).SetActiveHandset(value); });
}

}  // namespace Norvale
