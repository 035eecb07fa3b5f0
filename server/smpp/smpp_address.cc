#include "smpp/smpp_address.h"

#include "smpp/pdu.h"

namespace Norvale::Smpp {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

}  // namespace

SmppAddress DestinationAddress(const Sms::PhoneNumber& Number, ENationalNumbers eNational) {
  static_assert(Sms::PhoneNumber::kMaxDigits < kMaxAddress, "a parsed number fits destination_addr");
  const std::string sDigits(Number.Digits());
  switch (Number.GetKind()) {
    case Sms::PhoneNumber::Kind::International: return {kTonInternational, kNpiIsdn, sDigits};
    case Sms::PhoneNumber::Kind::National:
      if (eNational == ENationalNumbers::National && sDigits.size() > 1 && sDigits[0] == '0' && sDigits[1] != '0')
        return {kTonNational, kNpiIsdn, sDigits.substr(1)};
      return {kTonUnknown, kNpiIsdn, sDigits};
    case Sms::PhoneNumber::Kind::ShortCode: return {kTonUnknown, kNpiIsdn, sDigits};
    case Sms::PhoneNumber::Kind::Alphanumeric: break;
  }
  throw InvalidAddress("destination " + Quoted(Number.Text()) + " is a name, not a number");
}

SmppAddress SourceAddress(std::string_view sSource) {
  if (sSource.empty()) return {kTonUnknown, kNpiUnknown, ""};  // the SMSC fills in the account's default
  bool bDigits = true;
  for (size_t i = 0; i < sSource.size(); ++i) {
    if (!IsDigit(sSource[i]) && !(i == 0 && sSource[i] == '+' && sSource.size() > 1)) bDigits = false;
  }
  if (bDigits) {
    bool bPlus = sSource[0] == '+';
    std::string sDigits(sSource.substr(bPlus ? 1 : 0));
    if (sDigits.size() >= kMaxAddress) throw InvalidAddress("source " + Quoted(sSource) + " has more than 20 digits");
    return {bPlus ? kTonInternational : kTonUnknown, kNpiIsdn, sDigits};
  }
  if (sSource.size() > kMaxAlphanumericSender) {
    throw InvalidAddress("alphanumeric source " + Quoted(sSource) + " is longer than 11 characters");
  }
  for (char c : sSource) {
    if (c < 0x20 || c > 0x7E)
      throw InvalidAddress("alphanumeric source " + Quoted(sSource) + " is not printable ASCII");
  }
  return {kTonAlphanumeric, kNpiUnknown, std::string(sSource)};
}

SmppAddress SourceAddress(std::string_view sSource, uint8_t nTon, uint8_t nNpi) {
  if (sSource.size() >= kMaxAddress || sSource.find('\0') != std::string_view::npos) {
    throw InvalidAddress("source " + Quoted(sSource) + " does not fit source_addr (at most 20 octets)");
  }
  return {nTon, nNpi, std::string(sSource)};
}

}  // namespace Norvale::Smpp
