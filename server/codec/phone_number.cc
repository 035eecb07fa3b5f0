#include "codec/phone_number.h"

#include <stdexcept>
#include <vector>

#include "codec/gsm_alphabet.h"

namespace Norvale::Sms {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '-' || c == '.' || c == '(' || c == ')'; }

PhoneNumberParse Refused(NumberRefusal e) { return PhoneNumberParse{std::nullopt, e}; }

}  // namespace

const char* Describe(NumberRefusal eRefusal) {
  switch (eRefusal) {
    case NumberRefusal::Empty: return "is empty";
    case NumberRefusal::NulCharacter: return "holds a NUL character";
    case NumberRefusal::NotAscii: return "holds a character outside ASCII (only 0-9 are digits)";
    case NumberRefusal::NotANumber: return "holds a character that is not part of a number";
    case NumberRefusal::ServiceCode: return "holds '*' or '#': a service code, not an address for an SMS";
    case NumberRefusal::MisplacedPlus: return "has a '+' that does not lead the number";
    case NumberRefusal::NoDigits: return "has no digits";
    case NumberRefusal::TooLong: return "has more digits than a number can have (15 after '+', else 20)";
    case NumberRefusal::NameTooLong: return "is a name longer than 11 characters";
    case NumberRefusal::NameNotGsm: return "is a name the GSM 7-bit alphabet cannot hold";
  }
  return "is not a phone number";
}

std::string PhoneNumberParse::Explain(std::string_view sText) const {
  if (number) return "phone number \"" + number->Text() + "\"";
  // A NUL or a control character would cut or break the line it is shown in.
  std::string shown;
  for (const char c : sText) shown += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  return "phone number \"" + shown + "\" " + Describe(eRefusal);
}

PhoneNumberParse PhoneNumber::ParseNumber(std::string_view sText) {
  std::string digits;
  bool plus = false;
  bool any = false;  // anything but separators
  for (const char c : sText) {
    if (IsDigit(c)) {
      digits += c;
      any = true;
    } else if (IsSeparator(c)) {
      continue;
    } else if (c == '+') {
      if (plus || !digits.empty()) return Refused(NumberRefusal::MisplacedPlus);
      plus = any = true;
    } else if (c == '\0') {
      return Refused(NumberRefusal::NulCharacter);
    } else if (static_cast<unsigned char>(c) >= 0x80) {
      return Refused(NumberRefusal::NotAscii);
    } else if (c == '*' || c == '#') {
      return Refused(NumberRefusal::ServiceCode);
    } else {
      return Refused(NumberRefusal::NotANumber);
    }
  }
  if (!any) return Refused(NumberRefusal::Empty);
  if (digits.empty()) return Refused(NumberRefusal::NoDigits);
  if (digits.size() > (plus ? kMaxInternationalDigits : kMaxDigits)) return Refused(NumberRefusal::TooLong);
  if (plus) return {PhoneNumber(Kind::International, "+" + digits), {}};
  const bool shortCode = digits.size() <= kMaxShortCodeDigits && digits[0] != '0';
  return {PhoneNumber(shortCode ? Kind::ShortCode : Kind::National, std::move(digits)), {}};
}

PhoneNumberParse PhoneNumber::ParseName(std::string_view sText) {
  for (const char c : sText) {
    if (c == '\0') return Refused(NumberRefusal::NulCharacter);
    if (static_cast<unsigned char>(c) < 0x20) return Refused(NumberRefusal::NameNotGsm);
  }
  std::vector<uint8_t> septets;
  try {
    septets = Utf8ToGsm7(sText);
  } catch (const std::invalid_argument&) {
    return Refused(NumberRefusal::NameNotGsm);
  }
  if (septets.size() > kMaxNameCharacters) return Refused(NumberRefusal::NameTooLong);
  return {PhoneNumber(Kind::Alphanumeric, std::string(sText)), {}};
}

PhoneNumberParse PhoneNumber::Parse(std::string_view sText) { return ParseNumber(sText); }

PhoneNumberParse PhoneNumber::ParseSender(std::string_view sText) {
  for (const char c : sText)
    if (!IsDigit(c) && !IsSeparator(c) && c != '+') return ParseName(sText);
  return ParseNumber(sText);
}

PhoneNumber PhoneNumber::FromText(std::string_view sText) {
  PhoneNumberParse parsed = Parse(sText);
  if (!parsed) throw std::invalid_argument(parsed.Explain(sText));
  return std::move(*parsed.number);
}

PhoneAddress PhoneNumber::ToPduAddress() const {
  switch (m_eKind) {
    case Kind::International: return PhoneAddress{m_sText, kToaInternational};
    case Kind::Alphanumeric: return PhoneAddress{m_sText, kToaAlphanumeric};
    case Kind::National:
    case Kind::ShortCode: break;
  }
  return PhoneAddress{m_sText, kToaUnknown};
}

}  // namespace Norvale::Sms
