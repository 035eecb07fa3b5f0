// From one outgoing message to the submit_sm that carries it.
//
// The content comes as the SMS codec's user-data parts (codec/sms_split.h):
// SplitText, SplitUcs2Hex or SplitData cut a job into parts, each with its
// concatenation element in the UDH. A long job goes to the SMSC in one of
// two ways (ELongMessages):
//   ConcatenatedParts  one submit_sm per part, the UDH in short_message
//   MessagePayload     one submit_sm for the whole job: MergeParts joins the
//                      parts (payloads in order, concatenation element
//                      dropped) and the content goes in the message_payload
//                      TLV; the SMSC cuts it for the air interface
//
// Fields of the submit_sm:
//   data_coding          the part's DCS: 0x00 GSM 7-bit (the SMSC default
//                        alphabet, one septet per octet, unpacked, as nearly
//                        every SMSC expects; Latin-1 for an SMSC whose
//                        default is Latin-1, see bDefaultIsLatin1), 0x08
//                        UCS-2 (UTF-16BE), or the job's own DCS for data
//                        (0x04 8-bit, 0xF5...)
//   esm_class            0x40 (UDHI) when the part has a UDH, else 0
//   short_message        UDHL, UDH, payload, when that fits one SMS;
//                        otherwise empty and the same octets in
//                        message_payload
//   registered_delivery  0x01 when a receipt is wanted
//   source/destination   TON/NPI per smpp_address.h
//   The message's own controls (MessageControls), where it has them:
//   source_addr          its sender instead of the account's: a name
//                        alphanumeric 5/0, "+digits" international 1/1,
//                        other digits the configured SourceTon/SourceNpi
//                        when the handset has them, else unknown 0/1; a
//                        sender that cannot be sent is std::invalid_argument
//   priority_flag        its priority (0 normal, 1 high; at most 3)
//   validity_period      its period as a relative time ("000001000000000R",
//                        smpp_time.h) instead of the handset's
// A destination that is a name is InvalidAddress (job status 3);
// content that cannot be carried is std::invalid_argument (status 8).
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/sms_split.h"
#include "smpp/pdu.h"
#include "smpp/smpp_address.h"

namespace Norvale::Smpp {

enum class ELongMessages { ConcatenatedParts, MessagePayload };

struct SubmitSettings {
  SmppAddress Source;  // SourceAddress(...) of the account's sender
  // The SMSC reads data_coding 0 as Latin-1 rather than the GSM default
  // alphabet: text in GSM 7-bit goes as Latin-1 octets with data_coding 0,
  // or, when it holds a character Latin-1 lacks (the euro sign and ten Greek
  // capitals), as UCS-2 with data_coding 8 if that still fits the part; a
  // part that would not fit is std::invalid_argument.
  bool bDefaultIsLatin1 = false;
  ENationalNumbers eNationalNumbers = ENationalNumbers::Unknown;
  std::string sServiceType;     // empty: the SMSC's default
  std::string sValidityPeriod;  // empty: the SMSC's default; else SMPP time ("000001000000000R")
  // Source's TON and NPI were configured: a message's sender of digits
  // without '+' takes them too.
  bool bConfiguredTonNpi = false;
};

// What one message says about itself; empty: the settings' own.
struct MessageControls {
  std::string sSender;  // "": Settings.Source
  int nPriority = 0;
  std::optional<std::chrono::seconds> Validity;
};

ShortMessageBody BuildSubmitSm(const SubmitSettings& Settings, const Sms::PhoneNumber& Destination,
                               const Sms::UserDataPart& Part, bool bRequestReceipt,
                               const MessageControls& Controls = {});

// The whole content of a job split into Parts, as one part: payloads
// joined, the concatenation element left out of the UDH (other elements,
// such as application ports, stay as the first part has them).
Sms::UserDataPart MergeParts(std::span<const Sms::UserDataPart> Parts);

}  // namespace Norvale::Smpp
