// The public enumerations of the Velquor client library. Their values are the
// numbers stored in the queue tables and passed to the engine.
#pragma once

#include <cstdint>

namespace Norvale {

// The state of a sent message. jsPending and jsProcessing are the only states
// in which a message is still on its way.
enum EnumJobStatus : std::int32_t {
  jsPending = 0,
  jsProcessing = 1,
  jsSent = 2,
  jsErrNumberInvalid = 3,
  jsErrNetworkFailure = 4,
  jsErrPhoneCommsError = 5,
  jsErrSystemFailure = 6,
  jsErrTimeout = 7,
  jsInvalidJobType = 8,
  jsSentNotConfirmed = 9,
  jsDeliveryFailed = 10,
};

// A handset (a phone device attached to the engine); hsAll places no
// restriction.
enum Handsets : std::int32_t {
  hsAll = 0,
  hsHandset1 = 1,
  hsHandset2 = 2,
  hsHandset3 = 3,
  hsHandset4 = 4,
  hsHandset5 = 5,
  hsHandset6 = 6,
  hsHandset7 = 7,
  hsHandset8 = 8,
};

enum MessageTypes : std::int32_t {
  mtUnknown = 0,
  mtTextMessage = 1,
  mtUnicodeMessage = 2,
  mtDataMessage = 3,
};

enum NotificationTypes : std::int32_t {
  ntDeliveryReport = 0,
  ntDeliveryFailure = 1,
  ntMessageSent = 2,
  ntSendFailure = 3,
};

}  // namespace Norvale
