#include "codec/phone_number.h"

#include <gtest/gtest.h>

namespace Norvale::Sms {
namespace {

using Kind = PhoneNumber::Kind;
using std::string_literals::operator""s;

struct Accepted {
  std::string sText;
  Kind eKind;
  const char* szNormalised;
};

struct Refused {
  std::string sText;
  NumberRefusal eWhy;
};

// Every form a destination may take, and the drivers' view of it: the
// GSM 03.40 type of address follows the kind.
TEST(PhoneNumber, AcceptedDestinations) {
  const Accepted forms[] = {
      {"+491511234567", Kind::International, "+491511234567"},
      {"+49 (151) 1234567", Kind::International, "+491511234567"},
      {"+44 7700 900-123", Kind::International, "+447700900123"},
      {"+1.202.555.0143", Kind::International, "+12025550143"},
      {"(+49) 151\t1234567", Kind::International, "+491511234567"},
      {"  +49 151 1234567  ", Kind::International, "+491511234567"},
      {"+1", Kind::International, "+1"},
      {"+" + std::string(15, '9'), Kind::International, "+999999999999999"},
      {"01511234567", Kind::National, "01511234567"},
      {"0151-1234567", Kind::National, "01511234567"},
      {"(555) 123-4567", Kind::National, "5551234567"},
      {"00491511234567", Kind::National, "00491511234567"},  // "00" stays digits
      {"0800", Kind::National, "0800"},
      {std::string(20, '7'), Kind::National, "77777777777777777777"},
      {"1234567", Kind::National, "1234567"},
      {"12345", Kind::ShortCode, "12345"},
      {"112", Kind::ShortCode, "112"},
      {"999 999", Kind::ShortCode, "999999"},
  };
  for (const auto& f : forms) {
    const auto parsed = PhoneNumber::Parse(f.sText);
    ASSERT_TRUE(parsed) << f.sText << ": " << parsed.Explain(f.sText);
    EXPECT_EQ(parsed.number->GetKind(), f.eKind) << f.sText;
    EXPECT_EQ(parsed.number->Text(), f.szNormalised) << f.sText;
    const PhoneAddress pdu = parsed.number->ToPduAddress();
    EXPECT_EQ(pdu.nType, f.eKind == Kind::International ? kToaInternational : kToaUnknown) << f.sText;
    EXPECT_EQ(pdu.sValue, f.szNormalised) << f.sText;
  }
}

TEST(PhoneNumber, RefusedDestinationsWithTheirReason) {
  const Refused forms[] = {
      {"", NumberRefusal::Empty},
      {" \t- ", NumberRefusal::Empty},
      {"+", NumberRefusal::NoDigits},
      {"+ ()", NumberRefusal::NoDigits},
      {"*100#", NumberRefusal::ServiceCode},
      {"0170*#1", NumberRefusal::ServiceCode},
      {"#31#0151", NumberRefusal::ServiceCode},
      {"12+3", NumberRefusal::MisplacedPlus},
      {"++44", NumberRefusal::MisplacedPlus},
      {"call me", NumberRefusal::NotANumber},
      {"Velquor", NumberRefusal::NotANumber},  // a destination is never a name
      {"+49 151 not a number", NumberRefusal::NotANumber},
      {"0151/1234567", NumberRefusal::NotANumber},
      {"1\n2", NumberRefusal::NotANumber},
      {"12\0"
       "34"s,
       NumberRefusal::NulCharacter},
      {"\xD9\xA1\xD9\xA2\xD9\xA3", NumberRefusal::NotAscii},  // Arabic-Indic 1 2 3
      {"\xEF\xBC\x91\xEF\xBC\x92", NumberRefusal::NotAscii},  // fullwidth 1 2
      {"0151\xC2\xA0"
       "1234567",
       NumberRefusal::NotAscii},  // a no-break space
      {"+" + std::string(16, '1'), NumberRefusal::TooLong},
      {std::string(21, '1'), NumberRefusal::TooLong},
      {"+12345678901234567890", NumberRefusal::TooLong},
  };
  for (const auto& f : forms) {
    const auto parsed = PhoneNumber::Parse(f.sText);
    ASSERT_FALSE(parsed) << f.sText << " as " << parsed.number->Text();
    EXPECT_EQ(parsed.eRefusal, f.eWhy) << f.sText << ": " << parsed.Explain(f.sText);
  }
  // The explanation names the text without its control characters.
  EXPECT_EQ(PhoneNumber::Parse("1\n2").Explain("1\n2"),
            "phone number \"1?2\" holds a character that is not part of a number");
}

TEST(PhoneNumber, SendersAreNumbersOrNamesOfElevenGsmCharacters) {
  const Accepted forms[] = {
      {"Velquor", Kind::Alphanumeric, "Velquor"},
      {"Shop 24", Kind::Alphanumeric, "Shop 24"},
      {"ElevenChars", Kind::Alphanumeric, "ElevenChars"},
      {"Caf\xC3\xA9 Ol\xC3\xA9", Kind::Alphanumeric, "Caf\xC3\xA9 Ol\xC3\xA9"},  // é is in the GSM alphabet
      {"+44 1234 5678", Kind::International, "+4412345678"},
      {"12345", Kind::ShortCode, "12345"},
  };
  for (const auto& f : forms) {
    const auto parsed = PhoneNumber::ParseSender(f.sText);
    ASSERT_TRUE(parsed) << f.sText << ": " << parsed.Explain(f.sText);
    EXPECT_EQ(parsed.number->GetKind(), f.eKind) << f.sText;
    EXPECT_EQ(parsed.number->Text(), f.szNormalised) << f.sText;
  }
  EXPECT_EQ(PhoneNumber::ParseSender("Velquor").number->ToPduAddress(), (PhoneAddress{"Velquor", kToaAlphanumeric}));
  const Refused refused[] = {
      {"", NumberRefusal::Empty},
      {"TwelveChars!", NumberRefusal::NameTooLong},
      {"Ten{chars}", NumberRefusal::NameTooLong},               // braces take two septets each
      {"\xD0\x9F\xD1\x80\xD0\xB8", NumberRefusal::NameNotGsm},  // Cyrillic
      {"Shop\n24", NumberRefusal::NameNotGsm},
      {"Shop\0"
       "24"s,
       NumberRefusal::NulCharacter},
      {"+" + std::string(16, '4'), NumberRefusal::TooLong},
  };
  for (const auto& f : refused) {
    const auto parsed = PhoneNumber::ParseSender(f.sText);
    ASSERT_FALSE(parsed) << f.sText;
    EXPECT_EQ(parsed.eRefusal, f.eWhy) << f.sText;
  }
}

}  // namespace
}  // namespace Norvale::Sms
