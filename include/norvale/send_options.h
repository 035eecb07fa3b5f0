// SendOptions: what a message may say beyond its number and content, for the
// sends of Velquor that take it. Every field is optional; a default
// SendOptions sends as the calls without it do.
//
//   Norvale::SendOptions options;
//   options.From = "ACME";                                   // the sender
//   options.Priority = 1;                                    // claimed first
//   options.SendAt = std::chrono::system_clock::now() + std::chrono::hours(2);
//   options.Validity = std::chrono::hours(4);                // then failed
//   options.DeliveryReport = true;
//   options.ClientRef = "order-4711";                        // in notifications
//   velquor.SendMsg("+4915112345678", "Your parcel is on its way", options, 0);
//
// A send refuses options that do not hold with a Norvale::_com_error of
// E_INVALIDARG naming the field ("From: is longer than 11 characters ..."),
// before anything is stored or sent:
//   From      an alphanumeric sender of up to 11 characters (ASCII letters,
//             digits, space and the punctuation of the GSM 7-bit default
//             alphabet), or a number of up to 20 digits with an optional
//             leading '+'. Used where the handset lets a message name its
//             sender; empty: the handset's own.
//   Priority  0 (normal) or 1 (high: claimed before normal messages).
//   SendAt    not sent before this time; a time more than a minute past is
//             refused.
//   Validity  how long, from SendAt (or from the send when there is none), the
//             message is worth trying: more than 0 and at most 63 weeks. A
//             message still waiting after it fails with a send failure
//             notification and is never sent late.
//   DeliveryReport  ask for a delivery report (true) or not (false); unset,
//             the handset's setting.
//   ClientRef the sender's own reference, up to 64 characters without control
//             characters, returned in the message's notifications.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace Norvale {

struct SendOptions {
  std::string From;
  std::optional<std::int32_t> Priority;
  std::optional<std::chrono::system_clock::time_point> SendAt;
  std::optional<std::chrono::seconds> Validity;
  std::optional<bool> DeliveryReport;
  std::string ClientRef;
};

}  // namespace Norvale
