#include "server/engine/job_converter.h"

#include <gtest/gtest.h>

using namespace Norvale;

TEST(CJobConverter, ChoosesTheAlphabetAndSplitsLongContent) {
  // The number is parsed here, once, for every driver.
  auto gsm = CJobConverter::Convert("+49 (151) 1234", jtTextMessage, "Hello {world} \xE2\x82\xAC", 7);
  ASSERT_TRUE(gsm.bOk) << gsm.sError;
  ASSERT_TRUE(gsm.Number);
  EXPECT_EQ(gsm.Number->Text(), "+491511234");
  EXPECT_EQ(gsm.Number->GetKind(), Sms::PhoneNumber::Kind::International);
  ASSERT_EQ(gsm.Parts.size(), 1u);
  EXPECT_EQ(gsm.Parts[0].eCoding, Sms::Coding::Gsm7);
  EXPECT_TRUE(gsm.Parts[0].Udh.empty());

  const auto ucs2 = CJobConverter::Convert("+1", jtTextMessage, std::string(68, 'a') + "\xD0\x96", 9);
  ASSERT_TRUE(ucs2.bOk);
  ASSERT_EQ(ucs2.Parts.size(), 1u);  // 69 UCS-2 units fit one message
  EXPECT_EQ(ucs2.Parts[0].eCoding, Sms::Coding::Ucs2);

  const auto split = CJobConverter::Convert("+1", jtTextMessage, std::string(306, 'b') + "x", 9);
  ASSERT_EQ(split.Parts.size(), 3u);  // 153 + 153 + 1
  EXPECT_EQ(split.Parts[0].Udh, (std::vector<std::uint8_t>{0x00, 0x03, 9, 3, 1}));

  const auto hex = CJobConverter::Convert("+1", jtUnicodeMessage, " 0048d83dde00 ", 1);
  ASSERT_TRUE(hex.bOk) << hex.sError;
  EXPECT_EQ(hex.Parts[0].Payload, (std::vector<std::uint8_t>{0x00, 0x48, 0xD8, 0x3D, 0xDE, 0x00}));

  const auto data = CJobConverter::Convert("+1", jtDataMessage, "DCS=F5;UDH=050415811581;UD=CAFE", 1);
  ASSERT_TRUE(data.bOk) << data.sError;
  EXPECT_EQ(data.Parts[0].nDcs, 0xF5);
  EXPECT_EQ(data.Parts[0].Udh, (std::vector<std::uint8_t>{0x05, 0x04, 0x15, 0x81, 0x15, 0x81}));
  EXPECT_EQ(data.Parts[0].Payload, (std::vector<std::uint8_t>{0xCA, 0xFE}));

  const auto plain = CJobConverter::Convert("+1", jtDataMessage, "48656C6C6F", 1);  // the user data alone: DCS 0
  ASSERT_TRUE(plain.bOk) << plain.sError;
  EXPECT_EQ(plain.Parts[0].eCoding, Sms::Coding::Gsm7);

  const auto empty = CJobConverter::Convert("+1", jtTextMessage, " ", 1);  // the queue's blank for empty text
  ASSERT_TRUE(empty.bOk);
  EXPECT_TRUE(empty.Parts[0].Payload.empty());
}

TEST(CJobConverter, FailsWhatCannotBeSentWithTheStatusThatSaysWhy) {
  const std::pair<const char*, EnumJobStatus> numbers[] = {
      {"", jsErrNumberInvalid},        {" ", jsErrNumberInvalid},     {"+", jsErrNumberInvalid},
      {"call me", jsErrNumberInvalid}, {"*100#", jsErrNumberInvalid}, {"123456789012345678901", jsErrNumberInvalid}};
  for (const auto& [number, status] : numbers) {
    const auto job = CJobConverter::Convert(number, jtTextMessage, "x", 1);
    EXPECT_FALSE(job.bOk) << number;
    EXPECT_EQ(job.eFailure, status) << number;
  }
  EXPECT_EQ(CJobConverter::Convert("*100#", jtTextMessage, "x", 1).sError,
            "Invalid phone number \"*100#\" holds '*' or '#': a service code, not an address for an SMS");
  const std::pair<JOBTYPE, const char*> contents[] = {
      {static_cast<JOBTYPE>(0), "x"},    {static_cast<JOBTYPE>(4), "x"},  {jtUnicodeMessage, "004"},
      {jtUnicodeMessage, "DC00"},        {jtUnicodeMessage, "zz00"},      {jtDataMessage, "DCS=04;UDH=0;UD=00"},
      {jtDataMessage, "DCS=100;UD=00"},  {jtDataMessage, "DCS=00;UD=80"}, {jtDataMessage, "DCS=08;UD=004100"},
      {jtTextMessage, "bad \xC3 UTF-8"},
  };
  for (const auto& [type, data] : contents) {
    const auto job = CJobConverter::Convert("+1", type, data, 1);
    EXPECT_FALSE(job.bOk) << data;
    EXPECT_EQ(job.eFailure, jsInvalidJobType) << data;
    EXPECT_FALSE(job.sError.empty());
  }
}
