#include "smpp/incoming_message.h"

#include "codec/data_coding.h"
#include "codec/pdu_error.h"

namespace Norvale::Smpp {

namespace {

void AddWarning(std::string& sWarning, const std::string& s) {
  if (!sWarning.empty()) sWarning += "; ";
  sWarning += s;
}

// Latin-1 (and ASCII, its lower half) as UTF-16BE.
std::vector<uint8_t> Latin1ToUcs2(const std::vector<uint8_t>& Octets) {
  std::vector<uint8_t> Out;
  Out.reserve(Octets.size() * 2);
  for (uint8_t n : Octets) {
    Out.push_back(0);
    Out.push_back(n);
  }
  return Out;
}

bool AllSeptets(const std::vector<uint8_t>& Octets) {
  for (uint8_t n : Octets) {
    if (n > 0x7F) return false;
  }
  return true;
}

// Sets Part's coding and payload from data_coding.
void TypePayload(uint8_t nDataCoding, std::vector<uint8_t> Payload, Sms::UserDataPart& Part, std::string& sWarning,
                 bool bDefaultIsLatin1) {
  auto AsText16 = [&](std::vector<uint8_t> Ucs2) {
    Part.eCoding = Sms::Coding::Ucs2;
    Part.nDcs = 0x08;
    Part.Payload = std::move(Ucs2);
  };
  auto AsGsm = [&](uint8_t nDcs) {
    if (!AllSeptets(Payload)) {
      AddWarning(sWarning, "GSM 7-bit text with octets above 0x7F, read as Latin-1");
      AsText16(Latin1ToUcs2(Payload));
      return;
    }
    Part.eCoding = Sms::Coding::Gsm7;
    Part.nDcs = nDcs;
    Part.Payload = std::move(Payload);
  };
  auto AsData = [&](uint8_t nDcs) {
    Part.eCoding = Sms::Coding::Data8;
    Part.nDcs = nDcs;
    Part.Payload = std::move(Payload);
  };
  switch (nDataCoding) {
    case 0x00:
      if (bDefaultIsLatin1) {
        AsText16(Latin1ToUcs2(Payload));
      } else {
        AsGsm(0x00);
      }
      return;
    case 0x01:
    case 0x03: AsText16(Latin1ToUcs2(Payload)); return;
    case 0x08:
      Part.eCoding = Sms::Coding::Ucs2;
      Part.nDcs = 0x08;
      Part.Payload = std::move(Payload);
      return;
    case 0x02:
    case 0x04: AsData(0x04); return;
    default: break;
  }
  if (nDataCoding < 0x10) {
    AddWarning(sWarning, "data_coding " + std::to_string(nDataCoding) + " (a national alphabet) kept as 8-bit data");
    AsData(0x04);
    return;
  }
  Sms::DcsInfo Dcs = Sms::ClassifyDcs(nDataCoding);
  switch (Dcs.UnitCoding()) {
    case Sms::Coding::Gsm7: AsGsm(nDataCoding); return;
    case Sms::Coding::Ucs2:
      Part.eCoding = Sms::Coding::Ucs2;
      Part.nDcs = nDataCoding;
      Part.Payload = std::move(Payload);
      return;
    case Sms::Coding::Data8: AsData(nDataCoding); return;
  }
}

}  // namespace

IncomingMessage ReadIncomingMessage(const ShortMessageBody& Body, std::string& sWarning, bool bDefaultIsLatin1) {
  IncomingMessage Message;
  Message.Source = {Body.nSourceTon, Body.nSourceNpi, Body.sSourceAddr};
  Message.Destination = {Body.nDestTon, Body.nDestNpi, Body.sDestinationAddr};
  Message.nDataCoding = Body.nDataCoding;
  Message.nEsmClass = Body.nEsmClass;
  Message.nProtocolId = Body.nProtocolId;

  const std::vector<uint8_t>& UserData = Body.MessagePayload ? *Body.MessagePayload : Body.ShortMessage;
  if (Body.MessagePayload && !Body.ShortMessage.empty()) {
    AddWarning(sWarning, "both short_message and message_payload given; message_payload read");
  }

  std::vector<uint8_t> Payload;
  std::vector<Sms::InformationElement> Elements;
  bool bHeaderRead = false;
  if (Body.nEsmClass & kEsmUdhi) {
    size_t nUdhl = UserData.empty() ? 0 : UserData[0];
    if (UserData.empty() || 1 + nUdhl > UserData.size()) {
      AddWarning(sWarning, "UDHI set but the header length runs past the user data; kept as 8-bit data");
    } else {
      try {
        std::span<const uint8_t> Udh(UserData.data() + 1, nUdhl);
        Elements = Sms::ParseUdh(Udh);
        Message.Part.Udh.assign(Udh.begin(), Udh.end());
        Payload.assign(UserData.begin() + 1 + static_cast<std::ptrdiff_t>(nUdhl), UserData.end());
        bHeaderRead = true;
      } catch (const Sms::PduError& e) {
        AddWarning(sWarning, std::string("user-data header unreadable (") + e.what() + "); kept as 8-bit data");
      }
    }
    if (!bHeaderRead) {
      Message.Part.eCoding = Sms::Coding::Data8;
      Message.Part.nDcs = 0x04;
      Message.Part.Payload = UserData;
      return Message;
    }
  } else {
    Payload = UserData;
  }
  TypePayload(Body.nDataCoding, std::move(Payload), Message.Part, sWarning, bDefaultIsLatin1);

  Message.Concat = Sms::FindConcatenation(Elements);
  bool bAnySar = Body.nSarMsgRefNum || Body.nSarTotalSegments || Body.nSarSegmentSeqnum;
  if (!Message.Concat && bAnySar) {
    if (Body.nSarMsgRefNum && Body.nSarTotalSegments && Body.nSarSegmentSeqnum && *Body.nSarTotalSegments >= 1 &&
        *Body.nSarSegmentSeqnum >= 1 && *Body.nSarSegmentSeqnum <= *Body.nSarTotalSegments) {
      Sms::Concatenation Concat{*Body.nSarMsgRefNum, *Body.nSarTotalSegments, *Body.nSarSegmentSeqnum, true};
      Message.Concat = Concat;
      Sms::InformationElement Ie = Sms::MakeConcatenationIe(Concat);
      Message.Part.Udh.push_back(Ie.nIei);
      Message.Part.Udh.push_back(static_cast<uint8_t>(Ie.Data.size()));
      Message.Part.Udh.insert(Message.Part.Udh.end(), Ie.Data.begin(), Ie.Data.end());
    } else {
      AddWarning(sWarning, "incomplete or impossible SAR parameters ignored");
    }
  }
  return Message;
}

}  // namespace Norvale::Smpp
