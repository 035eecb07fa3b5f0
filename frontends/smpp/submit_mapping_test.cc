// MapSubmit: what each coding, UDH, SAR and payload form of submit_sm queues,
// checked against the job forms the engine's converter splits, and every
// refusal.
#include "submit_mapping.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/hex.h"
#include "codec/sms_split.h"
#include "codec/udh.h"
#include "queues/job_queue.h"
#include "smpp/command_status.h"

namespace VelquorSmpp {
namespace {

using namespace Norvale::Smpp;
namespace Sms = Norvale::Sms;

std::vector<uint8_t> Octets(const std::string& text) { return {text.begin(), text.end()}; }
std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ShortMessageBody Body(const std::vector<uint8_t>& message, uint8_t nDataCoding = 1) {
  ShortMessageBody body;
  body.sSourceAddr = "Shop";
  body.sDestinationAddr = "4915112345678";
  body.nDataCoding = nDataCoding;
  body.ShortMessage = message;
  return body;
}

Norvale::CApiAccount Account(std::vector<int> handsets = {}) {
  Norvale::CApiAccount account;
  account.sName = "acme";
  account.handsets = std::move(handsets);
  return account;
}

SubmitJob Mapped(const ShortMessageBody& body, const Norvale::CApiAccount& account = Account()) {
  auto result = MapSubmit(body, account, 1234);
  if (const auto* status = std::get_if<uint32_t>(&result)) {
    ADD_FAILURE() << "refused with " << DescribeStatus(*status);
    return {};
  }
  return std::get<SubmitJob>(result);
}

uint32_t Refusal(const ShortMessageBody& body) {
  auto result = MapSubmit(body, Account(), 0);
  return std::holds_alternative<uint32_t>(result) ? std::get<uint32_t>(result) : ESME_ROK;
}

// The parts the engine makes of a data job.
std::vector<Sms::UserDataPart> Parts(const Norvale::COutgoingJobRow& row) {
  std::string ud, udh;
  Norvale::OS::LONG dcs = 0;
  Norvale::CJobQueue::DecodeDataMessage(row.sData, ud, udh, dcs);
  return Sms::SplitData(static_cast<uint8_t>(dcs), Sms::FromHex(udh), Sms::FromHex(ud), 0);
}

TEST(SubmitMapping, TextCodingsBecomeUtf8TextJobsAndTheRecordKeepsWhatAReceiptNeeds) {
  // 0: GSM septets, one an octet: "@" is 00, "€" the escape 1B 65.
  auto body = Body(Sms::FromHex("48690020001B65"), 0);
  body.nRegisteredDelivery = 0x11;  // a final receipt and intermediate ones: the latter ignored
  body.nDestTon = 1;
  SubmitJob job = Mapped(body);
  EXPECT_EQ(job.row.eJobType, Norvale::jtTextMessage);
  EXPECT_EQ(job.row.sData, "Hi@ @€");
  EXPECT_EQ(job.row.sPhoneNumber, "+4915112345678");  // international TON
  EXPECT_EQ(job.row.eHandset, Norvale::hsAll);
  EXPECT_EQ(job.record.sSystemId, "acme");
  EXPECT_EQ(job.record.sSourceAddr, "Shop");
  EXPECT_EQ(job.record.sDestAddr, "4915112345678");  // as the client wrote it, for the receipt
  EXPECT_EQ(job.record.nRegisteredDelivery, 1);
  EXPECT_EQ(job.record.nSubmitTimeMs, 1234);
  EXPECT_EQ(job.record.sTextStart, "Hi@ @€");

  // 1: ASCII; the text start is 20 characters, line breaks as blanks.
  body = Body(Octets("Line one\nline two and more"));
  body.sDestinationAddr = "+447700900123";
  job = Mapped(body);
  EXPECT_EQ(job.row.sData, "Line one\nline two and more");
  EXPECT_EQ(job.row.sPhoneNumber, "+447700900123");
  EXPECT_EQ(job.record.sTextStart, "Line one line two an");

  // 3: Latin-1.
  job = Mapped(Body(Sms::FromHex("4772FCDF65"), 3));
  EXPECT_EQ(job.row.sData, "Grüße");

  // message_payload stands for short_message: longer than one message.
  body = Body({});
  body.MessagePayload = Octets(std::string(300, 'x'));
  job = Mapped(body);
  EXPECT_EQ(job.row.eJobType, Norvale::jtTextMessage);
  EXPECT_EQ(job.row.sData, std::string(300, 'x'));
}

TEST(SubmitMapping, Ucs2BinaryAndGsmDcsCodings) {
  SubmitJob job = Mapped(Body(Sms::FromHex("04160436D83DDE00"), 8));
  EXPECT_EQ(job.row.eJobType, Norvale::jtUnicodeMessage);
  EXPECT_EQ(job.row.sData, "04160436D83DDE00");
  EXPECT_EQ(job.record.sTextStart, "Жж\U0001F600");
  // A NUL code unit is kept in the job, a blank in the text start.
  EXPECT_EQ(Mapped(Body(Sms::FromHex("00410000"), 8)).record.sTextStart, "A ");

  for (const uint8_t coding : {2, 4}) {
    job = Mapped(Body(Sms::FromHex("00FF0102030405060708090A0B"), coding));
    EXPECT_EQ(job.row.eJobType, Norvale::jtDataMessage);
    EXPECT_EQ(job.row.sData, "DCS=04;UDH=;UD=00FF0102030405060708090A0B") << int(coding);
    EXPECT_EQ(job.record.sTextStart, "00FF0102030405060708");
  }
  // A GSM DCS as it is: 8-bit class 1, UCS-2 flash, 7-bit flash.
  EXPECT_EQ(Mapped(Body({0xCA, 0xFE}, 0xF5)).row.sData, "DCS=F5;UDH=;UD=CAFE");
  job = Mapped(Body(Sms::FromHex("0416"), 0x18));
  EXPECT_EQ(job.row.sData, "DCS=18;UDH=;UD=0416");
  EXPECT_EQ(job.record.sTextStart, "Ж");
  job = Mapped(Body(Sms::FromHex("4869"), 0xF0));
  EXPECT_EQ(job.row.sData, "DCS=F0;UDH=;UD=4869");
  EXPECT_EQ(job.record.sTextStart, "Hi");
  EXPECT_EQ(Parts(job.row).at(0).eCoding, Sms::Coding::Gsm7);
}

TEST(SubmitMapping, AUdhMakesADataJobWithTheHeaderWithoutItsLength) {
  // UDHI: 05 00 03 A7 02 01, then the user data.
  auto body = Body(Sms::FromHex("050003A702014869"), 0);
  body.nEsmClass = kEsmUdhi;
  SubmitJob job = Mapped(body);
  EXPECT_EQ(job.row.eJobType, Norvale::jtDataMessage);
  EXPECT_EQ(job.row.sData, "DCS=00;UDH=0003A70201;UD=4869");
  EXPECT_EQ(job.record.sTextStart, "Hi");
  auto parts = Parts(job.row);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(Sms::FindConcatenation(Sms::ParseUdh(parts[0].Udh)), (Sms::Concatenation{0xA7, 2, 1, false}));

  // ASCII and Latin-1 behind a UDH go as septets when they fit, else UCS-2.
  body = Body(Join(Sms::FromHex("050003A70202"), Octets("a[")), 1);
  body.nEsmClass = kEsmUdhi | 0x03;  // store and forward
  EXPECT_EQ(Mapped(body).row.sData, "DCS=00;UDH=0003A70202;UD=611B3C");
  body = Body(Sms::FromHex("050003A70202D5"), 3);  // Õ is not in the GSM alphabet
  body.nEsmClass = kEsmUdhi;
  job = Mapped(body);
  EXPECT_EQ(job.row.sData, "DCS=08;UDH=0003A70202;UD=00D5");
  EXPECT_EQ(job.record.sTextStart, "Õ");

  body = Body(Sms::FromHex("06050415811581CAFE"), 4);  // ports
  body.nEsmClass = kEsmUdhi;
  EXPECT_EQ(Mapped(body).row.sData, "DCS=04;UDH=050415811581;UD=CAFE");
  body = Body(Sms::FromHex("050003A7020104160436"), 8);
  body.nEsmClass = kEsmUdhi;
  EXPECT_EQ(Mapped(body).row.sData, "DCS=08;UDH=0003A70201;UD=04160436");
}

TEST(SubmitMapping, SarTlvsBecomeAConcatenationElement) {
  auto body = Body(Octets("part two"), 1);
  body.nSarMsgRefNum = 0x2A;
  body.nSarTotalSegments = 3;
  body.nSarSegmentSeqnum = 2;
  SubmitJob job = Mapped(body);
  EXPECT_EQ(job.row.sData, "DCS=00;UDH=00032A0302;UD=706172742074776F");
  ASSERT_EQ(Parts(job.row).size(), 1u);
  // A reference of 16 bits; after the client's own elements.
  body.nSarMsgRefNum = 0x1234;
  EXPECT_EQ(Parts(Mapped(body).row).at(0).Udh, Sms::FromHex("080412340302"));
  body.ShortMessage = Join(Sms::FromHex("06050415811581"), Octets("x"));
  body.nEsmClass = kEsmUdhi;
  EXPECT_EQ(Mapped(body).row.sData, "DCS=00;UDH=050415811581080412340302;UD=78");
}

TEST(SubmitMapping, AnAccountLimitedToHandsetsSendsThroughItsFirst) {
  EXPECT_EQ(Mapped(Body(Octets("x")), Account({3, 5})).row.eHandset, Norvale::hsHandset3);
  EXPECT_EQ(Mapped(Body(Octets("x")), Account({7})).row.eHandset, Norvale::hsHandset7);
}

TEST(SubmitMapping, SourceAddrIsTheSenderOnlyForAnAccountThatMaySetOne) {
  ShortMessageBody body = Body(Octets("x"));
  EXPECT_EQ(Mapped(body).row.options.sSender, "");  // the handset's own, as before
  EXPECT_EQ(Mapped(body).record.sSourceAddr, "Shop");
  Norvale::CApiAccount sets = Account();
  sets.bSmppSender = true;
  struct Case {
    const char* source;
    uint8_t ton;
    const char* sender;  // nullptr: ESME_RINVSRCADR
  };
  for (const Case& c : {Case{"Shop", 5, "Shop"}, Case{"+4930123", 1, "+4930123"}, Case{"4930123", 1, "+4930123"},
                        Case{"030123", 0, "030123"}, Case{"", 0, ""}, Case{"Eleven Char", 5, "Eleven Char"},
                        Case{"TwelveChars!", 5, nullptr}, Case{"a`b", 5, nullptr}, Case{"+", 1, nullptr},
                        Case{"+1234567890123456", 1, nullptr}, Case{"123456789012345678901", 0, nullptr}}) {
    body.sSourceAddr = c.source;
    body.nSourceTon = c.ton;
    auto result = MapSubmit(body, sets, 0);
    if (!c.sender) {
      EXPECT_EQ(std::get_if<uint32_t>(&result) ? *std::get_if<uint32_t>(&result) : ESME_ROK, ESME_RINVSRCADR)
          << c.source;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<SubmitJob>(result)) << c.source;
    EXPECT_EQ(std::get<SubmitJob>(result).row.options.sSender, c.sender) << c.source;
  }
}

TEST(SubmitMapping, PriorityReceiptScheduleAndValidityBecomeTheJobsOptions) {
  // 2026-03-10 13:30:00 UTC.
  constexpr std::int64_t kNow = 1773149400000;
  ShortMessageBody body = Body(Octets("x"));
  Norvale::CSendOptions plain = Mapped(body).row.options;
  EXPECT_TRUE(plain.Empty());

  body.nPriorityFlag = 3;
  body.nRegisteredDelivery = 0x02;                  // a receipt on failure only: still a report from the network
  body.sScheduleDeliveryTime = "260310143000004+";  // 13:30 UTC: due now, sent now
  body.sValidityPeriod = "000000020000000R";
  auto result = MapSubmit(body, Account(), kNow);
  ASSERT_TRUE(std::holds_alternative<SubmitJob>(result));
  Norvale::CSendOptions options = std::get<SubmitJob>(result).row.options;
  EXPECT_EQ(options.nPriority, 1);
  EXPECT_EQ(options.bReportRequest, true);
  EXPECT_EQ(options.nNotBefore, std::nullopt);
  EXPECT_EQ(options.nValidUntil, kNow + 2 * 3600 * 1000);

  body.nPriorityFlag = 0;
  body.nRegisteredDelivery = 0;
  body.sScheduleDeliveryTime = "000000003000000R";  // in 30 minutes
  body.sValidityPeriod = "260310160000000+";        // 16:00 UTC
  result = MapSubmit(body, Account(), kNow);
  ASSERT_TRUE(std::holds_alternative<SubmitJob>(result));
  options = std::get<SubmitJob>(result).row.options;
  EXPECT_EQ(options.nPriority, std::nullopt);
  EXPECT_EQ(options.bReportRequest, std::nullopt);
  EXPECT_EQ(options.nNotBefore, kNow + 30 * 60 * 1000);
  EXPECT_EQ(options.nValidUntil, kNow + 150 * 60 * 1000);

  struct Case {
    const char* schedule;
    const char* validity;
    uint32_t status;
  };
  for (const Case& c : {Case{"2603101330", "", ESME_RINVSCHED}, Case{"261310133000000+", "", ESME_RINVSCHED},
                        Case{"260310132800000+", "", ESME_RINVSCHED},  // two minutes past
                        Case{"", "000000000000000R", ESME_RINVEXPIRY}, Case{"", "260310133000000+", ESME_RINVEXPIRY},
                        Case{"", "26031013300000R", ESME_RINVEXPIRY}, Case{"", "260310133000049+", ESME_RINVEXPIRY},
                        Case{"000000020000000R", "000000010000000R", ESME_RINVEXPIRY}}) {
    body.sScheduleDeliveryTime = c.schedule;
    body.sValidityPeriod = c.validity;
    result = MapSubmit(body, Account(), kNow);
    EXPECT_EQ(std::get_if<uint32_t>(&result) ? *std::get_if<uint32_t>(&result) : ESME_ROK, c.status)
        << c.schedule << " " << c.validity;
  }
}

TEST(SubmitMapping, RefusesWhatCannotBeQueuedWithItsStatus) {
  struct Case {
    const char* what;
    std::function<void(ShortMessageBody&)> change;
    uint32_t status;
  };
  const std::vector<uint8_t> udhConcat = Sms::FromHex("050003A70201");
  const std::vector<Case> cases = {
      {"no destination", [](auto& b) { b.sDestinationAddr = ""; }, ESME_RINVDSTADR},
      {"a '+' alone", [](auto& b) { b.sDestinationAddr = "+"; }, ESME_RINVDSTADR},
      {"letters", [](auto& b) { b.sDestinationAddr = "49151abc"; }, ESME_RINVDSTADR},
      {"a blank", [](auto& b) { b.sDestinationAddr = "49 151"; }, ESME_RINVDSTADR},
      {"'+' inside", [](auto& b) { b.sDestinationAddr = "49+151"; }, ESME_RINVDSTADR},
      {"21 digits", [](auto& b) { b.sDestinationAddr = std::string(21, '1'); }, ESME_RINVDSTADR},
      {"16 digits after '+'", [](auto& b) { b.sDestinationAddr = "+" + std::string(16, '1'); }, ESME_RINVDSTADR},
      {"16 digits of TON 1", [](auto& b) { b.sDestinationAddr = std::string(16, '1'), b.nDestTon = 1; },
       ESME_RINVDSTADR},
      {"source not ASCII", [](auto& b) { b.sSourceAddr = "Caf\xE9"; }, ESME_RINVSRCADR},
      {"source with a line break", [](auto& b) { b.sSourceAddr = "a\nb"; }, ESME_RINVSRCADR},
      {"datagram mode", [](auto& b) { b.nEsmClass = 0x01; }, ESME_RINVESMCLASS},
      {"forward mode", [](auto& b) { b.nEsmClass = 0x02; }, ESME_RINVESMCLASS},
      {"receipt type", [](auto& b) { b.nEsmClass = kEsmTypeReceipt; }, ESME_RINVESMCLASS},
      {"SME acknowledgement", [](auto& b) { b.nEsmClass = kEsmTypeSmeAck; }, ESME_RINVESMCLASS},
      {"priority 4", [](auto& b) { b.nPriorityFlag = 4; }, ESME_RINVPRTFLG},
      {"registered_delivery 3", [](auto& b) { b.nRegisteredDelivery = 0x13; }, ESME_RINVREGDLVFLG},
      {"empty", [](auto& b) { b.ShortMessage.clear(); }, ESME_RINVMSGLEN},
      {"empty payload", [](auto& b) { b.ShortMessage.clear(), b.MessagePayload.emplace(); }, ESME_RINVMSGLEN},
      {"payload and short_message", [](auto& b) { b.MessagePayload = Octets("x"); }, ESME_RINVMSGLEN},
      {"UDH longer than the message",
       [](auto& b) { b.nEsmClass = kEsmUdhi, b.ShortMessage = Sms::FromHex("05000300"); }, ESME_RINVMSGLEN},
      {"UDH with a cut element", [](auto& b) { b.nEsmClass = kEsmUdhi, b.ShortMessage = Sms::FromHex("030003A741"); },
       ESME_RINVMSGLEN},
      {"a part that needs two messages",
       [&](auto& b) {
         b.nEsmClass = kEsmUdhi;
         b.ShortMessage = Join(udhConcat, Octets(std::string(154, 'x')));
         b.nDataCoding = 0;
       },
       ESME_RINVMSGLEN},
      {"a SAR part that needs two messages",
       [](auto& b) {
         b.ShortMessage = Octets(std::string(154, 'x'));
         b.nSarMsgRefNum = 1, b.nSarTotalSegments = 2, b.nSarSegmentSeqnum = 1;
       },
       ESME_RINVMSGLEN},
      {"more than 255 messages",
       [](auto& b) { b.ShortMessage.clear(), b.MessagePayload = Octets(std::string(153 * 255 + 1, 'x')); },
       ESME_RINVMSGLEN},
      {"SAR without its total", [](auto& b) { b.nSarMsgRefNum = 1, b.nSarSegmentSeqnum = 1; }, ESME_RMISSINGOPTPARAM},
      {"SAR segment 0", [](auto& b) { b.nSarMsgRefNum = 1, b.nSarTotalSegments = 2, b.nSarSegmentSeqnum = 0; },
       ESME_RINVOPTPARAMVAL},
      {"SAR segment past the total",
       [](auto& b) { b.nSarMsgRefNum = 1, b.nSarTotalSegments = 2, b.nSarSegmentSeqnum = 3; }, ESME_RINVOPTPARAMVAL},
      {"SAR total 0", [](auto& b) { b.nSarMsgRefNum = 1, b.nSarTotalSegments = 0, b.nSarSegmentSeqnum = 1; },
       ESME_RINVOPTPARAMVAL},
      {"SAR beside a concatenation UDH",
       [&](auto& b) {
         b.nEsmClass = kEsmUdhi, b.ShortMessage = Join(udhConcat, Octets("x"));
         b.nSarMsgRefNum = 1, b.nSarTotalSegments = 2, b.nSarSegmentSeqnum = 1;
       },
       ESME_RINVOPTPARAMVAL},
      {"JIS", [](auto& b) { b.nDataCoding = 5; }, kEsmeRInvDcs},
      {"pictograms", [](auto& b) { b.nDataCoding = 9; }, kEsmeRInvDcs},
      {"KS C 5601", [](auto& b) { b.nDataCoding = 0x0E; }, kEsmeRInvDcs},
      {"a GSM reserved group", [](auto& b) { b.nDataCoding = 0x80; }, kEsmeRInvDcs},
      {"an octet above 0x7F in septets",
       [](auto& b) {
         b.nDataCoding = 0, b.ShortMessage = {0x41, 0x80};
       },
       kEsmeRInvDcs},
      {"an octet above 0x7F in GSM DCS F0", [](auto& b) { b.nDataCoding = 0xF0, b.ShortMessage = {0xC1}; },
       kEsmeRInvDcs},
      {"non-ASCII in ASCII",
       [](auto& b) {
         b.ShortMessage = {0x41, 0xE9};
       },
       kEsmeRInvDcs},
      {"a NUL in ASCII",
       [](auto& b) {
         b.ShortMessage = {0x41, 0x00};
       },
       kEsmeRInvDcs},
      {"a NUL in Latin-1",
       [](auto& b) {
         b.nDataCoding = 3, b.ShortMessage = {0x41, 0x00};
       },
       kEsmeRInvDcs},
      {"odd UCS-2",
       [](auto& b) {
         b.nDataCoding = 8, b.ShortMessage = {0x00, 0x41, 0x00};
       },
       ESME_RINVMSGLEN},
      {"a lone surrogate", [](auto& b) { b.nDataCoding = 8, b.ShortMessage = Sms::FromHex("0041D800"); }, kEsmeRInvDcs},
  };
  for (const Case& c : cases) {
    ShortMessageBody body = Body(Octets("Hello"));
    c.change(body);
    EXPECT_EQ(Refusal(body), c.status) << c.what << ": " << DescribeStatus(Refusal(body));
  }
  // The accepted neighbours of some of them.
  ShortMessageBody body = Body(Octets("Hello"));
  body.sDestinationAddr = std::string(20, '1');
  body.nPriorityFlag = 3;
  body.nEsmClass = 0x80 | 0x03;  // reply path ignored, store and forward
  body.sSourceAddr = "";
  EXPECT_EQ(Refusal(body), ESME_ROK);
  body = Body(Octets(std::string(153 * 255, 'x')));
  body.MessagePayload = body.ShortMessage;
  body.ShortMessage.clear();
  EXPECT_EQ(Refusal(body), ESME_ROK);
}

}  // namespace
}  // namespace VelquorSmpp
