#include "codec/sms_address.h"

#include <stdexcept>

#include "codec/gsm_alphabet.h"

namespace Norvale::Sms {

namespace {

bool IsDialDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || c == '*' || c == '#' || c == 'a' || c == 'b' || c == 'c')) return false;
  return true;
}

}  // namespace

PhoneAddress ParseAddress(std::string_view sText) {
  if (sText.empty()) throw std::invalid_argument("address is empty");
  PhoneAddress Address{std::string(sText), kToaUnknown};
  std::string_view sDigits = sText;
  if (sText.front() == '+' && IsDialDigits(sText.substr(1))) {
    Address.nType = kToaInternational;
    sDigits.remove_prefix(1);
  } else if (!IsDialDigits(sText)) {
    Address.nType = kToaAlphanumeric;
    std::vector<uint8_t> Septets;
    try {
      Septets = Utf8ToGsm7(sText);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("alphanumeric address \"" + Address.sValue + "\": " + e.what());
    }
    if (Septets.size() > 11)
      throw std::invalid_argument("alphanumeric address \"" + Address.sValue + "\" is longer than 11 characters");
    return Address;
  }
  if (sDigits.size() > 20) throw std::invalid_argument("address \"" + Address.sValue + "\" has more than 20 digits");
  return Address;
}

}  // namespace Norvale::Sms
