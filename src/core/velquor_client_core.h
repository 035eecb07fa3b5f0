// CVelquorClientCore: the native object behind Velquor. It owns a client
// context (the three queues, the client configuration, the database
// connection provider, the engine connection and the queue adaptors; the
// listener core holds one too), and chooses for every call
// between the queue tables and the engine from the two queue switches of the
// configuration. Sends can wait for their outcome and fetches for an arrival,
// polling once a second; a send whose message was accepted returns its
// identifier even when the wait for the outcome fails (the failure is
// logged). Text arguments must be UTF-8 without NUL; a phone number keeps
// its first 50 characters. Configuration problems at construction are
// logged, never thrown. Calls on one object must not overlap; they block the
// calling thread with plain sleeps.
#pragma once

#include <string>

#include "core/client_context.h"
#include "queues/send_options.h"

namespace Norvale {

class CVelquorClientCore {
 public:
  CVelquorClientCore();
  ~CVelquorClientCore();
  CVelquorClientCore(const CVelquorClientCore&) = delete;
  CVelquorClientCore& operator=(const CVelquorClientCore&) = delete;

  // WaitTimeout in milliseconds: 0 no wait, 0xFFFFFFFF no limit. Options
  // that are not empty must have passed CheckSendOptions; through the
  // engine they take its SendMessageWithOptions.
  void SendMessage(const std::string& PhoneNumber, const std::string& Message, OS::DWORD WaitTimeout,
                   const std::string& sSourceId, const std::string& sSourceName, OS::LONG& MessageId,
                   const CSendOptions& Options = {});
  void SendUnicodeMessageHex(const std::string& sPhoneNumber, const std::string& sMessage, OS::DWORD WaitTimeout,
                             const std::string& sSourceId, const std::string& sSourceName, OS::LONG& MessageId,
                             const CSendOptions& Options = {});
  void SendDataMessage(const std::string& sPhoneNumber, OS::LONG DataCodingScheme, const std::string& UserData,
                       const std::string& sUserDataHeader, OS::DWORD WaitTimeout, OS::LONG& MessageId,
                       const CSendOptions& Options = {});
  void GetSendStatus(OS::LONG MessageId, EnumJobStatus& Status);
  bool GetMessage(OS::DWORD WaitTimeout, VelquorClientCoreInternal::SMSMessage& Message);
  bool GetNotification(OS::DWORD WaitTimeout, VelquorClientCoreInternal::SMSNotification& Notification);
  Handsets GetActiveHandset() const { return m_ActiveHandset; }
  void SetActiveHandset(Handsets eHandset) { m_ActiveHandset = eHandset; }
  SourceTypes GetSourceType() const { return m_SourceType; }
  void SetSourceType(SourceTypes eSourceType) { m_SourceType = eSourceType; }
  bool IsReadyToSend();

  // Raises E_INVALIDARG, naming the argument ("The phone number is not valid
  // UTF-8"), when `sText` is not UTF-8 or holds a NUL. Every text argument of
  // the sends goes through it before anything is stored or sent.
  static void CheckTextArgument(const std::string& sText, const char* sArgument);

  static constexpr std::size_t kMaxPhoneNumber = 50;
  static constexpr OS::DWORD kPollInterval = 1000;
  static constexpr OS::DWORD kEngineMinimumWait = 15000;

 private:
  void SendSMS(std::string PhoneNumber, JOBTYPE eJobType, std::string sMessage, OS::DWORD WaitTimeout,
               const std::string& sSourceId, const std::string& sSourceName, OS::LONG& MessageId,
               const CSendOptions& Options);

  Handsets m_ActiveHandset = hsAll;
  SourceTypes m_SourceType = stClientLibrary;
  CClientContext m_Context{"CVelquorClientCore::CVelquorClientCore"};
};

}  // namespace Norvale
