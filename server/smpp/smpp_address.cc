#include "smpp/smpp_address.h"

#include "smpp/pdu.h"

namespace Norvale::Smpp {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

}  // namespace

SmppAddress DestinationAddress(std::string_view sNumber, ENationalNumbers eNational) {
  std::string sDigits;
  bool bPlus = false;
  for (size_t i = 0; i < sNumber.size(); ++i) {
    char c = sNumber[i];
    if (IsDigit(c)) {
      sDigits += c;
    } else if (c == '+' && sDigits.empty() && !bPlus) {
      bPlus = true;
    } else if (c == ' ' || c == '-' || c == '.' || c == '(' || c == ')') {
      continue;
    } else {
      throw InvalidAddress("destination " + Quoted(sNumber) + ": '" + std::string(1, c) + "' is not part of a number");
    }
  }
  if (sDigits.empty()) throw InvalidAddress("destination " + Quoted(sNumber) + " has no digits");
  if (bPlus) return {kTonInternational, kNpiIsdn, sDigits};
  if (eNational == ENationalNumbers::National && sDigits.size() > 1 && sDigits[0] == '0' && sDigits[1] != '0') {
    sDigits.erase(0, 1);
    if (sDigits.size() >= kMaxAddress) {
      throw InvalidAddress("destination " + Quoted(sNumber) + " has more than 20 digits");
    }
    return {kTonNational, kNpiIsdn, sDigits};
  }
  if (sDigits.size() >= kMaxAddress)
    throw InvalidAddress("destination " + Quoted(sNumber) + " has more than 20 digits");
  return {kTonUnknown, kNpiIsdn, sDigits};
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
