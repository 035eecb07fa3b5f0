#include "codec/sms_submit.h"

#include <algorithm>
#include <stdexcept>

#include "codec/pdu_fields.h"

namespace Norvale::Sms {

namespace {

constexpr uint8_t kMtiSubmit = 0x01;

size_t ValidityOctets(ValidityFormat eFormat) {
  switch (eFormat) {
    case ValidityFormat::None: return 0;
    case ValidityFormat::Relative: return 1;
    default: return 7;
  }
}

}  // namespace

uint8_t RelativeValidity(std::chrono::minutes Period) {
  const long m = Period.count();
  const auto Up = [](long n, long unit) { return (n + unit - 1) / unit; };
  if (m <= 12 * 60) return static_cast<uint8_t>(std::max(Up(m, 5), 1L) - 1);
  if (m <= 24 * 60) return static_cast<uint8_t>(143 + Up(m - 12 * 60, 30));
  if (m <= 30 * 24 * 60) return static_cast<uint8_t>(std::max(Up(m, 24 * 60), 2L) + 166);
  if (m <= 63 * 7 * 24 * 60) return static_cast<uint8_t>(std::max(Up(m, 7 * 24 * 60), 5L) + 192);
  return 255;
}

std::chrono::minutes RelativeValidityPeriod(uint8_t n) {
  using std::chrono::minutes;
  if (n <= 143) return minutes((n + 1) * 5);
  if (n <= 167) return minutes(12 * 60 + (n - 143) * 30);
  if (n <= 196) return minutes((n - 166) * 24 * 60);
  return minutes((n - 192) * 7 * 24 * 60);
}

EncodedPdu EncodeSubmit(const SmsSubmit& Submit) {
  if (Submit.Validity.size() != ValidityOctets(Submit.eValidityFormat))
    throw std::invalid_argument("validity period of " + std::to_string(Submit.Validity.size()) +
                                " octets does not match its format");
  if (Submit.Destination.sValue.empty()) throw std::invalid_argument("destination address is empty");
  EncodedPdu Pdu;
  WriteSmsc(Pdu.Octets, Submit.sSmsc);
  const size_t nPrefix = Pdu.Octets.size();
  Pdu.Octets.push_back(static_cast<uint8_t>(kMtiSubmit | (Submit.bRejectDuplicates ? 0x04 : 0) |
                                            static_cast<uint8_t>(Submit.eValidityFormat) << 3 |
                                            (Submit.bStatusReportRequest ? 0x20 : 0) |
                                            (Submit.UserData.Udh.empty() ? 0 : 0x40) | (Submit.bReplyPath ? 0x80 : 0)));
  Pdu.Octets.push_back(Submit.nMessageReference);
  WriteAddress(Pdu.Octets, Submit.Destination);
  Pdu.Octets.push_back(Submit.nPid);
  Pdu.Octets.push_back(Submit.UserData.nDcs);
  Pdu.Octets.insert(Pdu.Octets.end(), Submit.Validity.begin(), Submit.Validity.end());
  WriteUserData(Pdu.Octets, Submit.UserData);
  Pdu.nTpduLength = Pdu.Octets.size() - nPrefix;
  return Pdu;
}

SmsSubmit DecodeSubmit(std::span<const uint8_t> Pdu, bool bWithSmsc) {
  CPduReader Reader(Pdu, "SMS-SUBMIT");
  SmsSubmit Submit;
  if (bWithSmsc) Submit.sSmsc = ReadSmsc(Reader);
  const uint8_t nFirst = Reader.Octet("first octet");
  if ((nFirst & 0x03) != kMtiSubmit) Reader.Fail("first octet", "TP-MTI is " + std::to_string(nFirst & 0x03));
  Submit.bRejectDuplicates = nFirst & 0x04;
  Submit.eValidityFormat = static_cast<ValidityFormat>(nFirst >> 3 & 0x03);
  Submit.bStatusReportRequest = nFirst & 0x20;
  Submit.bReplyPath = nFirst & 0x80;
  Submit.nMessageReference = Reader.Octet("TP-MR");
  Submit.Destination = ReadAddress(Reader, "TP-DA");
  Submit.nPid = Reader.Octet("TP-PID");
  const uint8_t nDcs = Reader.Octet("TP-DCS");
  const auto Validity = Reader.Octets(ValidityOctets(Submit.eValidityFormat), "TP-VP");
  Submit.Validity.assign(Validity.begin(), Validity.end());
  Submit.UserData = ReadUserData(Reader, nDcs, nFirst & 0x40);
  return Submit;
}

}  // namespace Norvale::Sms
