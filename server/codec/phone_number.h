// A phone number as the engine sends to it: parsed once from the text of a
// job, then handed to every driver as it is (ParseSender reads a sender's
// address by the same rule).
//
// Kinds and their normalised text:
//   International  "+" and 1 to 15 digits (E.164)        "+491511234567"
//   National       digits as dialled in the network,     "01511234567"
//                  1 to 20 (a "0" or "00" prefix kept)
//   ShortCode      1 to 6 digits not starting with "0"   "12345"
//                  (goes out as a National number does)
//   Alphanumeric   a sender's name: 1 to 11 GSM 7-bit    "Velquor"
//                  characters (a character of the extension table counts
//                  two); never a destination
//
// The rule for the text (Parse):
//   - space, tab, '-', '.', '(' and ')' are separators: left out wherever
//     they stand ("+49 (151) 123-45.67" is "+491511234567");
//   - a '+' may stand only before the first digit, once: international;
//   - a leading "00" is kept as digits (National): it is the international
//     prefix in many networks but not in all (011, 0011, 010, or a carrier
//     code after 00), and the network applies its own dialling rules to a
//     number of unknown type, as it always did;
//   - '*' and '#' are refused: they make supplementary-service and USSD
//     codes ("*100#"), not an address an SMS can go to; an SMSC refuses
//     them in destination_addr and a network does not route a TP-DA that
//     holds them;
//   - digits are ASCII 0-9 only: any other character (letters, a NUL,
//     line breaks, non-ASCII digits or blanks) is refused;
//   - at most 15 digits after '+' (E.164), at most 20 otherwise (SMPP's
//     destination_addr holds 20 characters, GSM 03.40's TP-DA 20 digits);
//   - empty text, or separators only, is refused.
// A sender (ParseSender) follows the same rule when it holds only digits,
// '+' and separators; any other text is a name (Alphanumeric).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "codec/sms_address.h"

namespace Norvale::Sms {

struct PhoneNumberParse;

// Why a text is no phone number.
enum class NumberRefusal {
  Empty,          // nothing, or separators only, where a number must be
  NulCharacter,   // an embedded NUL
  NotAscii,       // a character outside ASCII: only 0-9 are digits
  NotANumber,     // a character that is neither digit, '+' nor separator
  ServiceCode,    // '*' or '#'
  MisplacedPlus,  // '+' after a digit, or twice
  NoDigits,       // '+' without digits
  TooLong,        // more than 15 digits after '+', more than 20 otherwise
  NameTooLong,    // a sender's name of more than 11 GSM 7-bit characters
  NameNotGsm,     // a sender's name the GSM 7-bit alphabet cannot hold
};

const char* Describe(NumberRefusal eRefusal);

class PhoneNumber {
 public:
  enum class Kind { International, National, ShortCode, Alphanumeric };

  static constexpr size_t kMaxInternationalDigits = 15;
  static constexpr size_t kMaxDigits = 20;
  static constexpr size_t kMaxShortCodeDigits = 6;
  static constexpr size_t kMaxNameCharacters = 11;

  // A destination: never Alphanumeric.
  static PhoneNumberParse Parse(std::string_view sText);
  // A sender: a number by the same rule, or a name.
  static PhoneNumberParse ParseSender(std::string_view sText);
  // Parse for a text that must be a number (a constant, a test):
  // std::invalid_argument with the reason when it is not.
  static PhoneNumber FromText(std::string_view sText);

  Kind GetKind() const { return m_eKind; }
  // Normalised: "+" and digits, digits, or the name.
  const std::string& Text() const { return m_sText; }
  // The digits without '+' (the name for Alphanumeric).
  std::string_view Digits() const {
    return m_eKind == Kind::International ? std::string_view(m_sText).substr(1) : std::string_view(m_sText);
  }
  // The GSM 03.40 address (TP-DA, TP-OA): type 0x91 for International,
  // 0x81 (unknown type, ISDN plan) for National and ShortCode, 0xD0 for a
  // name.
  PhoneAddress ToPduAddress() const;

  bool operator==(const PhoneNumber&) const = default;

 private:
  PhoneNumber(Kind eKind, std::string sText) : m_eKind(eKind), m_sText(std::move(sText)) {}
  static PhoneNumberParse ParseNumber(std::string_view sText);
  static PhoneNumberParse ParseName(std::string_view sText);

  Kind m_eKind;
  std::string m_sText;
};

// The outcome of a parse: the number, or why there is none.
struct PhoneNumberParse {
  std::optional<PhoneNumber> number;
  NumberRefusal eRefusal = NumberRefusal::Empty;  // when number is empty
  explicit operator bool() const { return number.has_value(); }
  // "phone number \"<text>\" <why>", for the journal and the job's outcome.
  std::string Explain(std::string_view sText) const;
};

}  // namespace Norvale::Sms
