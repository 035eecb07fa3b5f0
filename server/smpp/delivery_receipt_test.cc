#include "smpp/delivery_receipt.h"

#include <gtest/gtest.h>

namespace Norvale::Smpp {
namespace {

TEST(DeliveryReceipt, ReadsTheCommonTextWithAllFields) {
  auto Receipt = ParseDeliveryReceipt(
      "id:0123456789 sub:001 dlvrd:001 submit date:2401311200 done date:2401311201 stat:DELIVRD err:000 "
      "text:Hello there, how ");
  ASSERT_TRUE(Receipt);
  EXPECT_EQ(*Receipt, (DeliveryReceipt{"0123456789", "001", "001", "2401311200", "2401311201", "DELIVRD", "000",
                                       "Hello there, how"}));
}

TEST(DeliveryReceipt, ToleratesCaseOrderGapsAndVariants) {
  auto a =
      ParseDeliveryReceipt("Id:ab-12 Sub:1 Dlvrd:0 Submit_date:2401311200 Done_Date:2401311201 Stat:undeliv Err:034");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->sId, "ab-12");
  EXPECT_EQ(a->sSubmitDate, "2401311200");
  EXPECT_EQ(a->sDoneDate, "2401311201");
  EXPECT_EQ(a->sStat, "undeliv");
  EXPECT_EQ(a->sText, "");

  auto b = ParseDeliveryReceipt("stat:EXPIRED id:77");  // order, missing fields
  ASSERT_TRUE(b);
  EXPECT_EQ(b->sId, "77");
  EXPECT_EQ(b->sStat, "EXPIRED");

  auto c = ParseDeliveryReceipt("id: sub:001 stat : REJECTD text:id:x stat:DELIVRD");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->sId, "");  // an empty id does not swallow the next field
  EXPECT_EQ(c->sSub, "001");
  EXPECT_EQ(c->sStat, "REJECTD");  // keys inside text: are text
  EXPECT_EQ(c->sText, "id:x stat:DELIVRD");

  // A key must start a word and end in a colon.
  auto d = ParseDeliveryReceipt("paid:5 idle stat:ENROUTE");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->sId, "");

  EXPECT_FALSE(ParseDeliveryReceipt("Hello, this is an ordinary message"));
  EXPECT_FALSE(ParseDeliveryReceipt(""));
}

TEST(DeliveryReceipt, StatesMapToDeliveredFailedPending) {
  using E = EReceiptState;
  EXPECT_EQ(StateFromStat("DELIVRD"), E::Delivered);
  EXPECT_EQ(StateFromStat("delivered"), E::Delivered);
  for (const char* s : {"EXPIRED", "DELETED", "UNDELIV", "UNKNOWN", "REJECTD", "UNDELIVERABLE"}) {
    EXPECT_EQ(StateFromStat(s), E::Failed) << s;
  }
  EXPECT_EQ(StateFromStat("ENROUTE"), E::Pending);
  EXPECT_EQ(StateFromStat("ACCEPTD"), E::Pending);
  EXPECT_FALSE(StateFromStat("FOO"));
  EXPECT_EQ(StateFromMessageState(2), E::Delivered);
  EXPECT_EQ(StateFromMessageState(5), E::Failed);
  EXPECT_EQ(StateFromMessageState(1), E::Pending);
  EXPECT_FALSE(StateFromMessageState(0));
  EXPECT_FALSE(StateFromMessageState(9));
}

ShortMessageBody ReceiptPdu(std::string_view sText) {
  ShortMessageBody Body;
  Body.nEsmClass = kEsmTypeReceipt;
  Body.ShortMessage.assign(sText.begin(), sText.end());
  return Body;
}

TEST(DeliveryReceipt, TlvsWinOverTheText) {
  std::string sProblem;
  auto Text = ReadReceipt(ReceiptPdu("id:111 sub:001 dlvrd:000 stat:UNDELIV err:034 text:x"), sProblem);
  ASSERT_TRUE(Text) << sProblem;
  EXPECT_EQ(*Text, (ReceiptInfo{"111", EReceiptState::Failed, "UNDELIV", 34}));

  ShortMessageBody Both = ReceiptPdu("id:111 stat:UNDELIV err:034");
  Both.sReceiptedMessageId = "6F";
  Both.nMessageState = 2;
  Both.NetworkError = NetworkErrorCode{3, 0};
  auto FromTlvs = ReadReceipt(Both, sProblem);
  ASSERT_TRUE(FromTlvs);
  EXPECT_EQ(*FromTlvs, (ReceiptInfo{"6F", EReceiptState::Delivered, "DELIVERED", 0}));

  // TLVs alone, no text at all; and a receipt in message_payload.
  ShortMessageBody Bare;
  Bare.nEsmClass = kEsmTypeReceipt;
  Bare.sReceiptedMessageId = "x1";
  Bare.nMessageState = 3;
  EXPECT_EQ(ReadReceipt(Bare, sProblem)->eState, EReceiptState::Failed);
  ShortMessageBody Payload;
  Payload.nEsmClass = kEsmTypeReceipt;
  std::string s = "id:p1 stat:DELIVRD";
  Payload.MessagePayload = std::vector<uint8_t>(s.begin(), s.end());
  EXPECT_EQ(ReadReceipt(Payload, sProblem)->sMessageId, "p1");
}

TEST(DeliveryReceipt, UnusableReceiptsSayWhy) {
  std::string sProblem;
  EXPECT_FALSE(ReadReceipt(ReceiptPdu("stat:DELIVRD"), sProblem));
  EXPECT_NE(sProblem.find("names no message"), std::string::npos) << sProblem;
  EXPECT_FALSE(ReadReceipt(ReceiptPdu("id:5 stat:WHATEVER"), sProblem));
  EXPECT_NE(sProblem.find("WHATEVER"), std::string::npos) << sProblem;
}

TEST(DeliveryReceipt, RecognisedByEsmClassOrTlv) {
  ShortMessageBody Mo;
  EXPECT_FALSE(IsReceipt(Mo));
  Mo.nEsmClass = kEsmUdhi;
  EXPECT_FALSE(IsReceipt(Mo));
  Mo.nEsmClass = kEsmUdhi | kEsmTypeReceipt;
  EXPECT_TRUE(IsReceipt(Mo));
  Mo.nEsmClass = kEsmTypeIntermediate;
  EXPECT_TRUE(IsReceipt(Mo));
  ShortMessageBody Tlv;
  Tlv.sReceiptedMessageId = "1";
  EXPECT_TRUE(IsReceipt(Tlv));
}

TEST(DeliveryReceipt, WrittenTextHasEveryFieldAndReadsBack) {
  ReceiptToWrite r;
  r.sId = "4711";
  r.eState = EMessageState::Delivered;
  r.nSubmitTimeMs = 1796834920123;  // 2026-12-09 16:48:40.123 UTC
  r.nDoneTimeMs = 1796835000000;    // 2026-12-09 16:50:00 UTC
  r.sText = "Hello there, how are you today?";
  const std::string text = FormatDeliveryReceipt(r);
  EXPECT_EQ(text,
            "id:4711 sub:001 dlvrd:001 submit date:2612091648 done date:2612091650 stat:DELIVRD err:000 "
            "text:Hello there, how are");
  auto parsed = ParseDeliveryReceipt(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, (DeliveryReceipt{"4711", "001", "001", "2612091648", "2612091650", "DELIVRD", "000",
                                      "Hello there, how are"}));
  EXPECT_EQ(StateFromStat(parsed->sStat), EReceiptState::Delivered);

  // Every state's word is one the reader knows, with the same outcome as
  // its message_state; dlvrd is 001 only for a delivery.
  for (int n = 1; n <= 8; ++n) {
    r.eState = static_cast<EMessageState>(n);
    r.nErrorCode = 69;
    auto back = ParseDeliveryReceipt(FormatDeliveryReceipt(r));
    ASSERT_TRUE(back) << n;
    EXPECT_EQ(StateFromStat(back->sStat), StateFromMessageState(static_cast<uint8_t>(n))) << back->sStat;
    EXPECT_EQ(back->sDlvrd, n == 2 ? "001" : "000") << n;
    EXPECT_EQ(back->sErr, "069");
  }
  EXPECT_EQ(StatWord(EMessageState::Undeliverable), "UNDELIV");
  EXPECT_EQ(StatWord(EMessageState::Expired), "EXPIRED");
  EXPECT_EQ(StatWord(EMessageState::Rejected), "REJECTD");
}

TEST(DeliveryReceipt, WrittenTextKeepsToAsciiAndThreeDigitErrors) {
  ReceiptToWrite r;
  r.sId = "1";
  r.eState = EMessageState::Undeliverable;
  r.nErrorCode = 12345;
  r.sText =
      "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"
      "5\ttab\xF0\x9F\x98\x80 and more text beyond twenty";
  auto back = ParseDeliveryReceipt(FormatDeliveryReceipt(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sErr, "999");
  // One '?' a character (not an octet), twenty characters.
  EXPECT_EQ(back->sText, "?t? ?5?tab? and more");
  r.nErrorCode = -3;
  r.sText = "";
  back = ParseDeliveryReceipt(FormatDeliveryReceipt(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sErr, "000");
  EXPECT_EQ(back->sText, "");
  EXPECT_EQ(back->sStat, "UNDELIV");
}

}  // namespace
}  // namespace Norvale::Smpp
