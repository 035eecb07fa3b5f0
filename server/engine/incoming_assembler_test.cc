#include "server/engine/incoming_assembler.h"

#include <gtest/gtest.h>

#include "codec/sms_split.h"

using namespace Norvale;
using Clock = CIncomingAssembler::Clock;

TEST(CIncomingAssembler, JoinsPartsInAnyOrderAndTypesByCoding) {
  CIncomingAssembler assembler(std::chrono::seconds(60));
  const auto t = Clock::now();
  auto parts = Sms::SplitText(std::string(200, 'z') + "\xE2\x82\xAC", 42);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_TRUE(assembler.Add({"+44", parts[1]}, t).empty());
  const auto whole = assembler.Add({"+44", parts[0]}, t);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].eType, jtTextMessage);
  EXPECT_EQ(whole[0].sData, std::string(200, 'z') + "\xE2\x82\xAC");
  EXPECT_EQ(whole[0].sSender, "+44");

  const auto unicode = assembler.Add({"+1", Sms::SplitText("\xD0\x96!", 1)[0]}, t);
  ASSERT_EQ(unicode.size(), 1u);
  EXPECT_EQ(unicode[0].eType, jtUnicodeMessage);
  EXPECT_EQ(unicode[0].sData, "04160021");

  const std::vector<std::uint8_t> ports = {0x05, 0x04, 0x15, 0x81, 0x00, 0x00};
  const auto data = assembler.Add({"+1", Sms::SplitData(0xF5, ports, std::vector<std::uint8_t>{0xCA, 0xFE}, 1)[0]}, t);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].eType, jtDataMessage);
  EXPECT_EQ(data[0].sData, "DCS=F5;UDH=050415810000;UD=CAFE");

  // A GSM text with a port element is an application's data, not text.
  const auto ported = assembler.Add({"+1", Sms::SplitData(0x00, ports, std::vector<std::uint8_t>{0x41}, 1)[0]}, t);
  EXPECT_EQ(ported[0].eType, jtDataMessage);
  EXPECT_EQ(ported[0].sData, "DCS=00;UDH=050415810000;UD=41");
}

TEST(CIncomingAssembler, GivesBackMissingPartsAsTheyAreAfterTheTimeOutOrAtStop) {
  CIncomingAssembler assembler(std::chrono::milliseconds(500));
  const auto t = Clock::now();
  const auto parts = Sms::SplitText(std::string(400, 'q'), 7);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_TRUE(assembler.Add({"+44", parts[0]}, t).empty());
  EXPECT_TRUE(assembler.Add({"+44", parts[2]}, t).empty());
  EXPECT_TRUE(assembler.Add({"+55", parts[0]}, t + std::chrono::milliseconds(400)).empty());
  EXPECT_EQ(assembler.NextExpiry(), t + std::chrono::milliseconds(500));
  EXPECT_TRUE(assembler.Expire(t + std::chrono::milliseconds(499)).empty());
  const auto late = assembler.Expire(t + std::chrono::milliseconds(500));
  ASSERT_EQ(late.size(), 2u);  // parts 1 and 3 of the first sender, each a fragment
  for (const auto& m : late) {
    EXPECT_EQ(m.eType, jtDataMessage);
    EXPECT_EQ(m.sData.rfind("DCS=00;UDH=000307", 0), 0u) << m.sData;
  }
  EXPECT_NE(late[1].sData.find("UDH=0003070303"), std::string::npos);
  const auto rest = assembler.Flush();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].sSender, "+55");
  EXPECT_EQ(assembler.Pending(), 0u);

  // A header that is not a list of elements is kept as it came.
  Sms::UserDataPart odd = parts[0];
  odd.Udh = {0x00, 0x09, 0x01};
  const auto kept = assembler.Add({"+66", odd}, t);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].sData.rfind("DCS=00;UDH=000901;", 0), 0u);
}

TEST(CIncomingAssembler, ReceiptsTravelWithTheRowStoredLastOfTheirMessage) {
  CIncomingAssembler assembler(std::chrono::milliseconds(500));
  const auto t = Clock::now();
  const auto single = assembler.Add({"+1", Sms::SplitText("one", 1)[0], 11}, t);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].Receipts, std::vector<std::uint64_t>{11});

  auto parts = Sms::SplitText(std::string(400, 'p'), 7);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_TRUE(assembler.Add({"+2", parts[2], 21}, t).empty());
  EXPECT_TRUE(assembler.Add({"+2", parts[2], 22}, t).empty());  // the same part again
  EXPECT_TRUE(assembler.Add({"+2", parts[0], 23}, t).empty());
  const auto whole = assembler.Add({"+2", parts[1], 24}, t);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].Receipts, (std::vector<std::uint64_t>{21, 22, 23, 24}));

  // Incomplete: the fragments are stored one by one, the receipts with the last.
  EXPECT_TRUE(assembler.Add({"+3", parts[0], 31}, t).empty());
  EXPECT_TRUE(assembler.Add({"+3", parts[2], 32}, t).empty());
  const auto fragments = assembler.Expire(t + std::chrono::seconds(1));
  ASSERT_EQ(fragments.size(), 2u);
  EXPECT_TRUE(fragments[0].Receipts.empty());
  EXPECT_EQ(fragments[1].Receipts, (std::vector<std::uint64_t>{31, 32}));
  // Other drivers give no receipts.
  EXPECT_TRUE(assembler.Add({"+4", Sms::SplitText("x", 1)[0]}, t)[0].Receipts.empty());
}

TEST(CIncomingAssembler, AReusedReferenceKeepsEachMessageWithItsOwnPartsAndReceipts) {
  // The old message (parts 1 and 2 of 3) never completes; the sender's next
  // message uses the same reference and comes whole.
  CIncomingAssembler assembler(std::chrono::seconds(60));
  const auto t = Clock::now();
  const auto old = Sms::SplitText(std::string(320, 'o') + "old", 200);
  const auto fresh = Sms::SplitText(std::string(320, 'n') + "new", 200);
  ASSERT_EQ(old.size(), 3u);
  ASSERT_EQ(fresh.size(), 3u);
  EXPECT_TRUE(assembler.Add({"+7", old[0], 1}, t).empty());
  EXPECT_TRUE(assembler.Add({"+7", old[1], 2}, t).empty());
  const auto fragments = assembler.Add({"+7", fresh[0], 3}, t);
  ASSERT_EQ(fragments.size(), 2u);
  for (const auto& m : fragments) EXPECT_EQ(m.eType, jtDataMessage);
  EXPECT_TRUE(fragments[0].Receipts.empty());
  EXPECT_EQ(fragments[1].Receipts, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_TRUE(assembler.Add({"+7", fresh[1], 4}, t).empty());
  const auto whole = assembler.Add({"+7", fresh[2], 5}, t);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].eType, jtTextMessage);
  EXPECT_EQ(whole[0].sData, std::string(320, 'n') + "new");
  EXPECT_EQ(whole[0].Receipts, (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_EQ(assembler.Pending(), 0u);
}

TEST(CIncomingAssembler, TheRecipientGoesWithItsMessageAndKeepsPartsApart) {
  CIncomingAssembler assembler(std::chrono::seconds(60));
  const auto t = Clock::now();
  const auto single = assembler.Add({"+44", Sms::SplitText("hi", 1)[0], 0, "+4915100"}, t);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].sRecipient, "+4915100");
  EXPECT_EQ(single[0].sSender, "+44");
  // Same sender and reference, different recipients: two messages.
  auto parts = Sms::SplitText(std::string(200, 'a'), 7);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_TRUE(assembler.Add({"+44", parts[0], 0, "111"}, t).empty());
  EXPECT_TRUE(assembler.Add({"+44", parts[1], 0, "222"}, t).empty());
  const auto whole = assembler.Add({"+44", parts[1], 0, "111"}, t);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].sData, std::string(200, 'a'));
  EXPECT_EQ(whole[0].sSender, "+44");
  EXPECT_EQ(whole[0].sRecipient, "111");
  const auto rest = assembler.Flush();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].eType, jtDataMessage);
  EXPECT_EQ(rest[0].sSender, "+44");
  EXPECT_EQ(rest[0].sRecipient, "222");
}
