#include "smpp/submit_builder.h"

#include <stdexcept>

#include "codec/udh.h"

namespace Norvale::Smpp {

ShortMessageBody BuildSubmitSm(const SubmitSettings& Settings, std::string_view sDestination,
                               const Sms::UserDataPart& Part, bool bRequestReceipt) {
  SmppAddress Destination = DestinationAddress(sDestination, Settings.eNationalNumbers);
  if (Part.Udh.size() > 0xFF) throw std::invalid_argument("user-data header longer than 255 octets");

  ShortMessageBody Body;
  Body.sServiceType = Settings.sServiceType;
  Body.nSourceTon = Settings.Source.nTon;
  Body.nSourceNpi = Settings.Source.nNpi;
  Body.sSourceAddr = Settings.Source.sAddress;
  Body.nDestTon = Destination.nTon;
  Body.nDestNpi = Destination.nNpi;
  Body.sDestinationAddr = Destination.sAddress;
  Body.nEsmClass = Part.Udh.empty() ? 0 : kEsmUdhi;
  Body.sValidityPeriod = Settings.sValidityPeriod;
  Body.nRegisteredDelivery = bRequestReceipt ? kRegisteredDeliveryFinal : 0;
  Body.nDataCoding = Part.nDcs;

  std::vector<uint8_t> UserData;
  UserData.reserve(1 + Part.Udh.size() + Part.Payload.size());
  if (!Part.Udh.empty()) {
    UserData.push_back(static_cast<uint8_t>(Part.Udh.size()));
    UserData.insert(UserData.end(), Part.Udh.begin(), Part.Udh.end());
  }
  UserData.insert(UserData.end(), Part.Payload.begin(), Part.Payload.end());

  bool bFitsOneSms = Part.Udh.size() < Sms::kMaxUserDataOctets &&
                     Part.Units() <= Sms::PayloadCapacity(Part.eCoding, Part.Udh.size()) &&
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
