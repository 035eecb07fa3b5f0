#include "codec/sms_deliver.h"

#include "codec/pdu_fields.h"

namespace Norvale::Sms {

SmsDeliver DecodeDeliver(std::span<const uint8_t> Pdu, bool bWithSmsc) {
  CPduReader Reader(Pdu, "SMS-DELIVER");
  SmsDeliver Deliver;
  if (bWithSmsc) Deliver.sSmsc = ReadSmsc(Reader);
  const uint8_t nFirst = Reader.Octet("first octet");
  if ((nFirst & 0x03) != 0) Reader.Fail("first octet", "TP-MTI is " + std::to_string(nFirst & 0x03));
  Deliver.bMoreMessagesToSend = !(nFirst & 0x04);
  Deliver.bStatusReportIndication = nFirst & 0x20;
  Deliver.bReplyPath = nFirst & 0x80;
  Deliver.Originator = ReadAddress(Reader, "TP-OA");
  Deliver.nPid = Reader.Octet("TP-PID");
  const uint8_t nDcs = Reader.Octet("TP-DCS");
  Deliver.ServiceCentreTime = ReadTimestamp(Reader, "TP-SCTS");
  Deliver.UserData = ReadUserData(Reader, nDcs, nFirst & 0x40);
  if (Deliver.UserData.eCoding != Coding::Data8) Deliver.sText = PartsToUtf8(std::span(&Deliver.UserData, 1));
  return Deliver;
}

EncodedPdu EncodeDeliver(const SmsDeliver& Deliver) {
  EncodedPdu Pdu;
  WriteSmsc(Pdu.Octets, Deliver.sSmsc);
  const size_t nPrefix = Pdu.Octets.size();
  Pdu.Octets.push_back(
      static_cast<uint8_t>((Deliver.bMoreMessagesToSend ? 0 : 0x04) | (Deliver.bStatusReportIndication ? 0x20 : 0) |
                           (Deliver.UserData.Udh.empty() ? 0 : 0x40) | (Deliver.bReplyPath ? 0x80 : 0)));
  WriteAddress(Pdu.Octets, Deliver.Originator);
  Pdu.Octets.push_back(Deliver.nPid);
  Pdu.Octets.push_back(Deliver.UserData.nDcs);
  WriteTimestamp(Pdu.Octets, Deliver.ServiceCentreTime);
  WriteUserData(Pdu.Octets, Deliver.UserData);
  Pdu.nTpduLength = Pdu.Octets.size() - nPrefix;
  return Pdu;
}

}  // namespace Norvale::Sms
