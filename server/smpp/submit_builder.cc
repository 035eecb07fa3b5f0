#include "smpp/submit_builder.h"

#include <stdexcept>

#include "codec/gsm_alphabet.h"
#include "codec/udh.h"
#include "codec/unicode.h"
#include "smpp/smpp_time.h"

namespace Norvale::Smpp {

namespace {

// A GSM 7-bit part for an SMSC whose data_coding 0 is Latin-1: the same
// text as Latin-1 octets, or as UCS-2 when a character is not in Latin-1.
Sms::UserDataPart ForLatin1Default(const Sms::UserDataPart& Part) {
  const std::u32string text = Sms::Utf8ToUtf32(Sms::Gsm7ToUtf8(Part.Payload));
  Sms::UserDataPart Out = Part;
  Out.Payload.clear();
  bool bLatin1 = true;
  for (const char32_t c : text) bLatin1 = bLatin1 && c <= 0xFF;
  if (bLatin1) {
    for (const char32_t c : text) Out.Payload.push_back(static_cast<uint8_t>(c));
    return Out;
  }
  Out.eCoding = Sms::Coding::Ucs2;
  Out.nDcs = 0x08;
  Out.Payload = Sms::Utf16ToBe(Sms::Utf8ToUtf16(Sms::Utf32ToUtf8(text)));
  if (!Part.Udh.empty() && Out.Units() > Sms::PayloadCapacity(Sms::Coding::Ucs2, Part.Udh.size()))
    throw std::invalid_argument(
        "a part with characters that Latin-1 lacks (such as the euro sign) does not fit one message as UCS-2; "
        "send the text as a Unicode message");
  return Out;
}

// The message's own sender as source_addr.
SmppAddress SenderAddress(const SubmitSettings& Settings, const std::string& sSender) {
  try {
    SmppAddress Address = SourceAddress(sSender);
    if (Settings.bConfiguredTonNpi && Address.nTon == kTonUnknown && Address.nNpi == kNpiIsdn) {
      Address.nTon = Settings.Source.nTon;
      Address.nNpi = Settings.Source.nNpi;
    }
    return Address;
  } catch (const InvalidAddress& e) {
    // Not the destination's fault: the message, not the number, is refused.
    throw std::invalid_argument(std::string("sender: ") + e.what());
  }
}

}  // namespace

ShortMessageBody BuildSubmitSm(const SubmitSettings& Settings, const Sms::PhoneNumber& DestinationNumber,
                               const Sms::UserDataPart& GivenPart, bool bRequestReceipt,
                               const MessageControls& Controls) {
  const bool bConvert = Settings.bDefaultIsLatin1 && GivenPart.eCoding == Sms::Coding::Gsm7 && GivenPart.nDcs == 0x00;
  const Sms::UserDataPart Part = bConvert ? ForLatin1Default(GivenPart) : GivenPart;
  const SmppAddress Destination = DestinationAddress(DestinationNumber, Settings.eNationalNumbers);
  if (Part.Udh.size() > 0xFF) throw std::invalid_argument("user-data header longer than 255 octets");

  ShortMessageBody Body;
  Body.sServiceType = Settings.sServiceType;
  const SmppAddress Source = Controls.sSender.empty() ? Settings.Source : SenderAddress(Settings, Controls.sSender);
  Body.nSourceTon = Source.nTon;
  Body.nSourceNpi = Source.nNpi;
  Body.sSourceAddr = Source.sAddress;
  Body.nDestTon = Destination.nTon;
  Body.nDestNpi = Destination.nNpi;
  Body.sDestinationAddr = Destination.sAddress;
  Body.nEsmClass = Part.Udh.empty() ? 0 : kEsmUdhi;
  Body.sValidityPeriod = Controls.Validity ? RelativeSmppTime(*Controls.Validity) : Settings.sValidityPeriod;
  if (Controls.nPriority < 0 || Controls.nPriority > 3)
    throw std::invalid_argument("priority " + std::to_string(Controls.nPriority) + " is not 0 to 3");
  Body.nPriorityFlag = static_cast<uint8_t>(Controls.nPriority);
  Body.nRegisteredDelivery = bRequestReceipt ? kRegisteredDeliveryFinal : 0;
  Body.nDataCoding = Part.nDcs;

  std::vector<uint8_t> UserData;
  UserData.reserve(1 + Part.Udh.size() + Part.Payload.size());
  if (!Part.Udh.empty()) {
    UserData.push_back(static_cast<uint8_t>(Part.Udh.size()));
    UserData.insert(UserData.end(), Part.Udh.begin(), Part.Udh.end());
  }
  UserData.insert(UserData.end(), Part.Payload.begin(), Part.Payload.end());

  // Latin-1 octets stand for as many septets as the GSM part had.
  const Sms::UserDataPart& Measured = bConvert && Part.eCoding == Sms::Coding::Gsm7 ? GivenPart : Part;
  bool bFitsOneSms = Part.Udh.size() < Sms::kMaxUserDataOctets &&
                     Measured.Units() <= Sms::PayloadCapacity(Measured.eCoding, Measured.Udh.size()) &&
                     UserData.size() <= kMaxShortMessage;
  if (bFitsOneSms) {
    Body.ShortMessage = std::move(UserData);
  } else {
    if (UserData.size() > 0xFFFF) throw std::invalid_argument("content longer than message_payload can carry");
    Body.MessagePayload = std::move(UserData);
  }
  return Body;
}

Sms::UserDataPart MergeParts(std::span<const Sms::UserDataPart> Parts) {
  if (Parts.empty()) throw std::invalid_argument("no parts to merge");
  Sms::UserDataPart Whole;
  Whole.eCoding = Parts[0].eCoding;
  Whole.nDcs = Parts[0].nDcs;
  std::vector<Sms::InformationElement> Kept;
  for (auto& Ie : Sms::ParseUdh(Parts[0].Udh)) {
    if (Ie.nIei != Sms::kIeConcat8 && Ie.nIei != Sms::kIeConcat16) Kept.push_back(std::move(Ie));
  }
  Whole.Udh = Sms::BuildUdh(Kept);
  for (const auto& Part : Parts) {
    if (Part.eCoding != Whole.eCoding) throw std::invalid_argument("parts of one message in different codings");
    Whole.Payload.insert(Whole.Payload.end(), Part.Payload.begin(), Part.Payload.end());
  }
  return Whole;
}

}  // namespace Norvale::Smpp
