// Velquor: send short messages, follow their state, and fetch received
// messages and notifications.
//
//   Norvale::Velquor velquor;
//   const int32_t id = velquor.SendMsg("+4915112345678", "Hello", 30000);
//   if (auto message = velquor.GetMsg(0)) std::cout << message->GetMessage();
//
// Each call works through the queue tables of the shared database or
// directly through the engine, as the configuration's OutgoingQueueEnabled
// (sends, send status) and IncomingQueueEnabled (messages, notifications)
// say. Strings are UTF-8: a send refuses text that is not valid UTF-8 or
// that holds a NUL with a Norvale::_com_error of E_INVALIDARG naming the
// argument ("The phone number is not valid UTF-8"), before anything is
// stored or sent.
//
// Time-outs are milliseconds: 0 does not wait, -1 waits without limit. A
// send with a time-out blocks the calling thread, polling once a second, until
// the message's state is final or the time passed; it returns the message's
// identifier either way, and also when reading the state fails once the
// message was accepted (the failure is logged; GetSendStatus asks again
// later). GetMsg and GetNotification block until something
// arrives or the time passed and then return an empty pointer; GetMsg from
// the engine always waits at least 15 s.
//
// Failures: Norvale::Exception for the library's own failures; the engine's
// and the database's failures reach the caller unchanged as
// Norvale::_com_error (norvale/com.h), for example "Cannot send non-queued
// message (Velquor Engine not running)". Construction never throws for
// configuration problems: they are logged, and an object whose configuration
// cannot be read goes to the engine.
//
// Threading: one object is used by one thread at a time; separate objects may
// be used on separate threads.
//
// An object is movable, not copyable: moving hands its client core (its
// configuration, connections and active handset) to the new object. A
// moved-from object may be destroyed or assigned to; any other call on it
// throws Norvale::Exception ("This Velquor object was moved from").
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "norvale/com.h"
#include "norvale/enums.h"
#include "norvale/exception.h"
#include "norvale/export.h"
#include "norvale/send_options.h"
#include "norvale/sms_message.h"
#include "norvale/sms_notification.h"

namespace Norvale {

class CVelquorClientCore;

class NORVALE_API Velquor {
 public:
  Velquor();
  ~Velquor();
  Velquor(const Velquor&) = delete;
  Velquor& operator=(const Velquor&) = delete;
  Velquor(Velquor&& that) noexcept;
  Velquor& operator=(Velquor&& that) noexcept;

  // A text message. The number is cut to 50 characters.
  std::int32_t SendMsg(const std::string& PhoneNumber, const std::string& Message, std::int32_t WaitTimeout);
  // A Unicode message: every UTF-16 code unit of the text travels as four
  // upper-case hex digits, so every character survives.
  std::int32_t SendMsgUnicodeMessage(const std::string& PhoneNumber, const std::string& Message,
                                     std::int32_t WaitTimeout);
  // A Unicode message already written as hexadecimal UTF-16 (not checked).
  std::int32_t SendMsgUnicodeMessageHex(const std::string& PhoneNumber, const std::string& Message,
                                        std::int32_t WaitTimeout);
  // A data message with its data coding scheme and user-data header (hex).
  std::int32_t SendDataMessage(const std::string& PhoneNumber, std::int32_t DataCodingScheme,
                               const std::string& UserData, const std::string& UserDataHeader,
                               std::int32_t WaitTimeout);
  // The same four sends with the message's options (norvale/send_options.h):
  // its sender, priority, time to send, validity, delivery report and the
  // caller's reference. Options that do not hold raise E_INVALIDARG naming
  // the field before anything is stored or sent. Through the engine (the
  // outgoing queue switched off) they need an engine of this version or
  // later.
  std::int32_t SendMsg(const std::string& PhoneNumber, const std::string& Message, const SendOptions& Options,
                       std::int32_t WaitTimeout);
  std::int32_t SendMsgUnicodeMessage(const std::string& PhoneNumber, const std::string& Message,
                                     const SendOptions& Options, std::int32_t WaitTimeout);
  std::int32_t SendMsgUnicodeMessageHex(const std::string& PhoneNumber, const std::string& Message,
                                        const SendOptions& Options, std::int32_t WaitTimeout);
  std::int32_t SendDataMessage(const std::string& PhoneNumber, std::int32_t DataCodingScheme,
                               const std::string& UserData, const std::string& UserDataHeader,
                               const SendOptions& Options, std::int32_t WaitTimeout);
  // The state the queue or the engine holds, unchanged.
  EnumJobStatus GetSendStatus(std::int32_t MessageId);
  std::shared_ptr<SMSMessage> GetMsg(std::int32_t WaitTimeout);
  std::shared_ptr<SMSNotification> GetNotification(std::int32_t WaitTimeout);
  // The handset of the next sends and the filter of the next fetches
  // (initially hsAll); stored without validation.
  Handsets GetActiveHandset() const;
  void SetActiveHandset(Handsets value);

 private:
  std::unique_ptr<CVelquorClientCore> m_pClientCore;
};

}  // namespace Norvale
