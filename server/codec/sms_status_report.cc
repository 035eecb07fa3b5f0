#include "codec/sms_status_report.h"

#include "codec/pdu_fields.h"

namespace Norvale::Sms {

namespace {

constexpr uint8_t kMtiStatusReport = 0x02;
constexpr uint8_t kServiceRejected = 0x63;

bool IsReserved(uint8_t n) {
  return n >= 0x80 || (n >= 0x03 && n <= 0x0F) || (n >= 0x26 && n <= 0x2F) || (n >= 0x4A && n <= 0x4F) ||
         (n >= 0x66 && n <= 0x6F);
}

}  // namespace

DeliveryState ClassifyStatus(uint8_t nStatus) {
  if (IsReserved(nStatus)) nStatus = kServiceRejected;
  if (nStatus < 0x20) return DeliveryState::Delivered;
  if (nStatus < 0x40) return DeliveryState::Pending;
  return DeliveryState::Failed;
}

std::string DescribeStatus(uint8_t nStatus) {
  static const char* const kCompleted[] = {"received by the recipient", "forwarded, delivery not confirmed",
                                           "replaced by the SMS centre"};
  static const char* const kTemporary[] = {"congestion",
                                           "recipient busy",
                                           "no response from the recipient",
                                           "service rejected",
                                           "quality of service not available",
                                           "error in the recipient"};
  static const char* const kPermanent[] = {"remote procedure error",
                                           "incompatible destination",
                                           "connection rejected by the recipient",
                                           "not obtainable",
                                           "quality of service not available",
                                           "no interworking available",
                                           "validity period expired",
                                           "deleted by the sender",
                                           "deleted by the SMS centre",
                                           "message does not exist"};
  if (IsReserved(nStatus)) return "reserved status " + std::to_string(nStatus) + ", taken as service rejected";
  if (nStatus < 0x03) return kCompleted[nStatus];
  if (nStatus < 0x20) return "completed (SMS centre specific status)";
  if (nStatus < 0x26) return std::string(kTemporary[nStatus - 0x20]) + ", still trying";
  if (nStatus < 0x40) return "temporary error (SMS centre specific status), still trying";
  if (nStatus < 0x4A) return kPermanent[nStatus - 0x40];
  if (nStatus < 0x60) return "permanent error (SMS centre specific status)";
  if (nStatus < 0x66) return std::string(kTemporary[nStatus - 0x60]) + ", no more attempts";
  return "temporary error (SMS centre specific status), no more attempts";
}

SmsStatusReport DecodeStatusReport(std::span<const uint8_t> Pdu, bool bWithSmsc) {
  CPduReader Reader(Pdu, "SMS-STATUS-REPORT");
  SmsStatusReport Report;
  if (bWithSmsc) Report.sSmsc = ReadSmsc(Reader);
  const uint8_t nFirst = Reader.Octet("first octet");
  if ((nFirst & 0x03) != kMtiStatusReport) Reader.Fail("first octet", "TP-MTI is " + std::to_string(nFirst & 0x03));
  Report.bMoreMessagesToSend = !(nFirst & 0x04);
  Report.bCommandReport = nFirst & 0x20;
  Report.nMessageReference = Reader.Octet("TP-MR");
  Report.Recipient = ReadAddress(Reader, "TP-RA");
  Report.ServiceCentreTime = ReadTimestamp(Reader, "TP-SCTS");
  Report.DischargeTime = ReadTimestamp(Reader, "TP-DT");
  Report.nStatus = Reader.Octet("TP-ST");
  if (Reader.Remaining() == 0) return Report;

  uint8_t nIndicator = Reader.Octet("TP-PI");
  // Further indicator octets (bit 7) name nothing this codec knows.
  for (uint8_t nMore = nIndicator; (nMore & 0x80) && Reader.Remaining() > 0;) nMore = Reader.Octet("TP-PI");
  if (nIndicator & 0x01) Report.nPid = Reader.Octet("TP-PID");
  const uint8_t nDcs = (nIndicator & 0x02) ? Reader.Octet("TP-DCS") : 0x00;
  if (nIndicator & 0x04) Report.UserData = ReadUserData(Reader, nDcs, nFirst & 0x40);
  return Report;
}

EncodedPdu EncodeStatusReport(const SmsStatusReport& Report) {
  EncodedPdu Pdu;
  WriteSmsc(Pdu.Octets, Report.sSmsc);
  const size_t nPrefix = Pdu.Octets.size();
  const bool bUdhi = Report.UserData && !Report.UserData->Udh.empty();
  Pdu.Octets.push_back(static_cast<uint8_t>(kMtiStatusReport | (Report.bMoreMessagesToSend ? 0 : 0x04) |
                                            (Report.bCommandReport ? 0x20 : 0) | (bUdhi ? 0x40 : 0)));
  Pdu.Octets.push_back(Report.nMessageReference);
  WriteAddress(Pdu.Octets, Report.Recipient);
  WriteTimestamp(Pdu.Octets, Report.ServiceCentreTime);
  WriteTimestamp(Pdu.Octets, Report.DischargeTime);
  Pdu.Octets.push_back(Report.nStatus);
  if (Report.nPid || Report.UserData) {
    Pdu.Octets.push_back(static_cast<uint8_t>((Report.nPid ? 0x01 : 0) | (Report.UserData ? 0x06 : 0)));
    if (Report.nPid) Pdu.Octets.push_back(*Report.nPid);
    if (Report.UserData) {
      Pdu.Octets.push_back(Report.UserData->nDcs);
      WriteUserData(Pdu.Octets, *Report.UserData);
    }
  }
  Pdu.nTpduLength = Pdu.Octets.size() - nPrefix;
  return Pdu;
}

}  // namespace Norvale::Sms
