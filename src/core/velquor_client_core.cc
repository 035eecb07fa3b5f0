#include "core/velquor_client_core.h"

#include <utf8.h>

#include "config/routes.h"
#include "errors/com_error_raise.h"
#include "errors/handler_ladder.h"
#include "platform/event_log.h"
#include "platform/tick_count.h"

namespace Norvale {
using namespace OS;

namespace {

// Runs `attempt` until it reports success, then once a second until
// `WaitTimeout` milliseconds have passed since `start` (0: a single attempt,
// INFINITE: no limit). Elapsed time is the unsigned difference of tick
// counts, so a wrapping counter does not end the wait early.
template <class F>
bool PollOncePerSecond(DWORD start, DWORD WaitTimeout, F&& attempt) {
  while (true) {
    if (attempt()) return true;
    if (WaitTimeout == 0) return false;
    Sleep(CVelquorClientCore::kPollInterval);
    if (WaitTimeout == INFINITE) continue;
    if (GetTickCount() - start >= WaitTimeout) return false;
  }
}

// The first `count` characters (code points) of valid UTF-8 text.
std::string FirstCharacters(const std::string& text, std::size_t count) {
  auto end = text.begin();
  for (std::size_t n = 0; n < count && end != text.end(); ++n) utf8::next(end, text.end());
  return std::string(text.begin(), end);
}

}  // namespace

void CVelquorClientCore::CheckTextArgument(const std::string& sText, const char* sArgument) {
  // Broken text would be stored as it is by SQLite, refused by PostgreSQL
  // with the SQL in the message, and replaced on its way to the engine; a NUL
  // would cut it short. Refused here, the same way for every path.
  if (sText.find('\0') != std::string::npos)
    RAISE_COM_ERROR(E_INVALIDARG, std::string(sArgument) + " contains a NUL character");
  if (!utf8::is_valid(sText.begin(), sText.end()))
    RAISE_COM_ERROR(E_INVALIDARG, std::string(sArgument) + " is not valid UTF-8");
}

CVelquorClientCore::CVelquorClientCore() = default;

CVelquorClientCore::~CVelquorClientCore() = default;

void CVelquorClientCore::SendMessage(const std::string& PhoneNumber, const std::string& Message, DWORD WaitTimeout,
                                     const std::string& sSourceId, const std::string& sSourceName, LONG& MessageId,
                                     const CSendOptions& Options) {
  SendSMS(PhoneNumber, jtTextMessage, Message, WaitTimeout, sSourceId, sSourceName, MessageId, Options);
}

void CVelquorClientCore::SendUnicodeMessageHex(const std::string& sPhoneNumber, const std::string& sMessage,
                                               DWORD WaitTimeout, const std::string& sSourceId,
                                               const std::string& sSourceName, LONG& MessageId,
                                               const CSendOptions& Options) {
  SendSMS(sPhoneNumber, jtUnicodeMessage, sMessage, WaitTimeout, sSourceId, sSourceName, MessageId, Options);
}

void CVelquorClientCore::SendDataMessage(const std::string& sPhoneNumber, LONG DataCodingScheme,
                                         const std::string& UserData, const std::string& sUserDataHeader,
                                         DWORD WaitTimeout, LONG& MessageId, const CSendOptions& Options) {
  CheckTextArgument(sPhoneNumber, "The phone number");
  CheckTextArgument(UserData, "The user data");
  CheckTextArgument(sUserDataHeader, "The user data header");
  SendSMS(sPhoneNumber, jtDataMessage, CJobQueue::EncodeDataMessage(UserData, sUserDataHeader, DataCodingScheme),
          WaitTimeout, "", "", MessageId, Options);
}

void CVelquorClientCore::SendSMS(std::string PhoneNumber, JOBTYPE eJobType, std::string sMessage, DWORD WaitTimeout,
                                 const std::string& sSourceId, const std::string& sSourceName, LONG& MessageId,
                                 const CSendOptions& Options) {
  CheckTextArgument(PhoneNumber, "The phone number");
  CheckTextArgument(sMessage, "The message text");
  CheckTextArgument(sSourceId, "The source identifier");
  CheckTextArgument(sSourceName, "The source name");
  PhoneNumber = FirstCharacters(PhoneNumber, kMaxPhoneNumber);
  if (const std::string blocked = BlockedDestinationProblem(PhoneNumber); !blocked.empty())
    RAISE_COM_ERROR(E_INVALIDARG, blocked);
  const bool queued = m_Context.m_Config.GetOutgoingQueueEnabled();
  _com_ptr_t<SMSServer::ISMSEngine> engine;
  if (queued) {
    const CMessageEndpoint endpoint(m_SourceType, sSourceId, sSourceName);
    MessageId =
        Options.Empty()
            ? m_Context.m_OutgoingQueue.InsertJob(PhoneNumber, eJobType, sMessage, m_ActiveHandset, endpoint)
            : m_Context.m_OutgoingQueue.InsertJob(PhoneNumber, eJobType, sMessage, m_ActiveHandset, endpoint, Options);
  } else {
    engine =
        m_Context.m_ServerConnection.GetRunningServer("Cannot send non-queued message (Velquor Engine not running)");
    if (Options.Empty()) {
      MessageId = engine->SendMessage(_bstr_t(PhoneNumber), _bstr_t(sMessage), eJobType, m_ActiveHandset);
    } else {
      const auto time = [](const std::optional<std::int64_t>& ms) {
        return _bstr_t(ms ? std::to_string(*ms) : std::string());
      };
      MessageId = engine->SendMessageWithOptions(
          _bstr_t(PhoneNumber), _bstr_t(sMessage), eJobType, m_ActiveHandset, _bstr_t(Options.sSender),
          Options.nPriority.value_or(-1), time(Options.nNotBefore), time(Options.nValidUntil),
          Options.bReportRequest ? (*Options.bReportRequest ? 1 : 0) : -1, _bstr_t(Options.sClientRef));
    }
  }
  if (WaitTimeout == 0) return;
  // The message is accepted now, and MessageId is the caller's only handle on
  // it: a failed status query must not turn into a failed send, which the
  // caller would retry and so send the SMS twice. It ends the wait and is
  // logged; GetSendStatus can ask again later.
  bool bWaitFailed = true;
  RunGuarded("CVelquorClientCore::SendSMS", [&] {
    PollOncePerSecond(GetTickCount(), WaitTimeout, [&] {
      const LONG status = queued ? m_Context.m_OutgoingQueue.GetJobStatus(MessageId) : engine->GetSendStatus(MessageId);
      return status != jsPending && status != jsProcessing;
    });
    bWaitFailed = false;
  });
  if (bWaitFailed)
    LogEvent(EVENTLOG_WARNING_TYPE, "CVelquorClientCore::SendSMS",
             "Message " + std::to_string(MessageId) +
                 " was accepted, but its status could not be read; the wait for its outcome ended early. "
                 "GetSendStatus reads the status later.");
}

void CVelquorClientCore::GetSendStatus(LONG MessageId, EnumJobStatus& Status) {
  if (m_Context.m_Config.GetOutgoingQueueEnabled()) {
    Status = m_Context.m_OutgoingQueue.GetJobStatus(MessageId);
    return;
  }
  const auto engine = m_Context.m_ServerConnection.GetRunningServer(
      "Cannot get status non-queued message (Velquor Engine not running)");
  Status = static_cast<EnumJobStatus>(engine->GetSendStatus(MessageId));
}

bool CVelquorClientCore::GetMessage(DWORD WaitTimeout, VelquorClientCoreInternal::SMSMessage& Message) {
  const DWORD start = GetTickCount();
  const bool inbound = m_Context.m_Config.GetInboundQueueEnabled();
  if (!inbound && WaitTimeout < kEngineMinimumWait) WaitTimeout = kEngineMinimumWait;
  return PollOncePerSecond(start, WaitTimeout, [&] {
    return m_Context.m_QueueAdaptors.GetMessage(m_Context.m_ServerConnection, m_Context.m_IncomingQueue,
                                                m_ActiveHandset, inbound, Message);
  });
}

bool CVelquorClientCore::GetNotification(DWORD WaitTimeout, VelquorClientCoreInternal::SMSNotification& Notification) {
  return PollOncePerSecond(GetTickCount(), WaitTimeout, [&] {
    return m_Context.m_QueueAdaptors.GetNotification(m_Context.m_NotificationQueue, m_ActiveHandset, m_SourceType,
                                                     m_Context.m_Config.GetInboundQueueEnabled(), Notification);
  });
}

bool CVelquorClientCore::IsReadyToSend() {
  if (m_Context.m_Config.GetInboundQueueEnabled()) return true;
  return m_Context.m_ServerConnection.GetServerStatus() == SMSServer::esRunning;
}

}  // namespace Norvale
