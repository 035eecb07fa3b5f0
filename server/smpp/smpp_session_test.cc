#include "smpp/smpp_session.h"

#include <gtest/gtest.h>

#include "smpp/command_status.h"
#include "smpp/pdu_codec.h"
#include "smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using namespace std::chrono_literals;
using Clock = CSmppSession::Clock;
using Test::Bytes;
using Test::Hex;

// Plays the SMS centre: reads what the session wrote, answers with PDUs
// built by the codec or with raw octets.
class SmppSessionTest : public ::testing::Test {
 protected:
  SessionSettings Settings() {
    SessionSettings s;
    s.sSystemId = "velquor";
    s.sPassword = "secret";
    s.nWindowSize = 2;
    s.EnquireLinkInterval = 30s;
    s.ResponseTimeout = 5s;
    return s;
  }

  // The PDUs the session has written since the last call.
  std::vector<Pdu> Written(CSmppSession& Session) {
    CPduFramer Framer;
    auto Out = Session.PendingOutput();
    Framer.Append(Out);
    Session.ConsumeOutput(Out.size());
    std::vector<Pdu> Pdus;
    while (auto Octets = Framer.Next()) {
      auto Result = DecodePdu(*Octets);
      if (auto* pError = std::get_if<DecodeError>(&Result)) {
        ADD_FAILURE() << "the session wrote an undecodable PDU: " << pError->Describe();
        continue;
      }
      Pdus.push_back(std::get<Pdu>(Result));
    }
    EXPECT_EQ(Framer.Buffered(), 0u);
    return Pdus;
  }

  Pdu WrittenOne(CSmppSession& Session) {
    auto Pdus = Written(Session);
    EXPECT_EQ(Pdus.size(), 1u);
    return Pdus.empty() ? Pdu{} : Pdus[0];
  }

  void Feed(CSmppSession& Session, const Pdu& Message, Clock::time_point At) {
    Session.Receive(EncodePdu(Message), At);
  }

  template <typename T>
  std::vector<T> EventsOf(const std::vector<SessionEvent>& Events) {
    std::vector<T> Out;
    for (const auto& e : Events) {
      if (auto* p = std::get_if<T>(&e)) Out.push_back(*p);
    }
    return Out;
  }

  // Opens and binds; leaves no output or events behind.
  void Bind(CSmppSession& Session) {
    Session.Open(m_Now);
    Pdu BindPdu = WrittenOne(Session);
    Feed(Session, Pdu{ResponseOf(BindPdu.nCommandId), ESME_ROK, BindPdu.nSequence, BindRespBody{"SMSC", 0x34}}, m_Now);
    ASSERT_EQ(Session.State(), ESessionState::Bound);
    Session.TakeEvents();
  }

  ShortMessageBody Message(std::string sText = "hello") {
    ShortMessageBody Sm;
    Sm.nDestTon = 1;
    Sm.nDestNpi = 1;
    Sm.sDestinationAddr = "447700900123";
    Sm.ShortMessage.assign(sText.begin(), sText.end());
    return Sm;
  }

  Clock::time_point m_Now = Clock::time_point() + 1000h;
};

TEST_F(SmppSessionTest, BindsAsTransceiverAndReportsTheSmsc) {
  CSmppSession Session(Settings());
  Session.Open(m_Now);
  EXPECT_EQ(Session.State(), ESessionState::Binding);
  Pdu BindPdu = WrittenOne(Session);
  EXPECT_EQ(BindPdu.Command(), ECommandId::BindTransceiver);
  EXPECT_EQ(std::get<BindBody>(BindPdu.Body), (BindBody{"velquor", "secret", "", 0x34, 0, 0, ""}));
  EXPECT_EQ(Session.Submit(Message(), 1, m_Now), ESubmitAdmission::NotBound);

  Feed(Session, Pdu{Id(ECommandId::BindTransceiverResp), 0, BindPdu.nSequence, BindRespBody{"SMSC-1", 0x34}}, m_Now);
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(std::get<BoundEvent>(Events[0]).sSmscSystemId, "SMSC-1");
  EXPECT_EQ(Session.State(), ESessionState::Bound);
}

TEST_F(SmppSessionTest, RefusedOrUnansweredBindIsClassifiedAndCloses) {
  CSmppSession Refused(Settings());
  Refused.Open(m_Now);
  Pdu BindPdu = WrittenOne(Refused);
  ASSERT_EQ(BindPdu.nSequence, 1u);
  Refused.Receive(Bytes("00000010 80000009 0000000E 000000"), m_Now);  // incomplete: waits
  EXPECT_TRUE(Refused.TakeEvents().empty());
  Refused.Receive(Bytes("01"), m_Now);
  auto Events = Refused.TakeEvents();
  ASSERT_EQ(Events.size(), 2u);
  auto Failed = std::get<BindFailedEvent>(Events[0]);
  EXPECT_EQ(Failed.nCommandStatus, ESME_RINVPASWD);
  EXPECT_EQ(Failed.eClass, EBindFailure::Rejected);
  EXPECT_NE(Failed.sDetail.find("ESME_RINVPASWD"), std::string::npos);
  EXPECT_EQ(std::get<CloseEvent>(Events[1]).eReason, ECloseReason::BindFailed);
  EXPECT_EQ(Refused.State(), ESessionState::Closed);

  CSmppSession Silent(Settings());
  Silent.Open(m_Now);
  EXPECT_EQ(Silent.NextDeadline(), m_Now + 5s);
  Silent.Tick(m_Now + 4999ms);
  EXPECT_TRUE(Silent.TakeEvents().empty());
  Silent.Tick(m_Now + 5s);
  Events = Silent.TakeEvents();
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_EQ(std::get<BindFailedEvent>(Events[0]).eClass, EBindFailure::Temporary);
  EXPECT_EQ(std::get<CloseEvent>(Events[1]).eReason, ECloseReason::BindFailed);

  // The session can be opened again on a new connection.
  Silent.Open(m_Now + 10s);
  EXPECT_EQ(WrittenOne(Silent).Command(), ECommandId::BindTransceiver);
}

TEST_F(SmppSessionTest, TransmitterAndReceiverPairShareTheWork) {
  SessionSettings Tx = Settings();
  Tx.eBindMode = EBindMode::Transmitter;
  SessionSettings Rx = Settings();
  Rx.eBindMode = EBindMode::Receiver;
  CSmppSession Transmitter(Tx), Receiver(Rx);
  Transmitter.Open(m_Now);
  Receiver.Open(m_Now);
  Pdu TxBind = WrittenOne(Transmitter);
  Pdu RxBind = WrittenOne(Receiver);
  EXPECT_EQ(TxBind.Command(), ECommandId::BindTransmitter);
  EXPECT_EQ(RxBind.Command(), ECommandId::BindReceiver);
  Feed(Transmitter, Pdu{Id(ECommandId::BindTransmitterResp), 0, TxBind.nSequence, BindRespBody{"S", {}}}, m_Now);
  Feed(Receiver, Pdu{Id(ECommandId::BindReceiverResp), 0, RxBind.nSequence, BindRespBody{"S", {}}}, m_Now);
  EXPECT_EQ(std::get<BoundEvent>(Transmitter.TakeEvents().at(0)).eMode, EBindMode::Transmitter);
  EXPECT_EQ(std::get<BoundEvent>(Receiver.TakeEvents().at(0)).eMode, EBindMode::Receiver);

  EXPECT_EQ(Receiver.Submit(Message(), 1, m_Now), ESubmitAdmission::NotBound);
  EXPECT_EQ(Transmitter.Submit(Message(), 1, m_Now), ESubmitAdmission::Sent);

  // A deliver_sm on the transmitter's connection is refused, not lost silently.
  Feed(Transmitter, Pdu{Id(ECommandId::DeliverSm), 0, 77, Message("mo")}, m_Now);
  auto Pdus = Written(Transmitter);
  ASSERT_EQ(Pdus.size(), 2u);  // the submit_sm, then the refusal
  EXPECT_EQ(Pdus[1].Command(), ECommandId::DeliverSmResp);
  EXPECT_EQ(Pdus[1].nCommandStatus, ESME_RINVBNDSTS);
  EXPECT_EQ(Pdus[1].nSequence, 77u);
  EXPECT_EQ(EventsOf<WarningEvent>(Transmitter.TakeEvents()).size(), 1u);

  Feed(Receiver, Pdu{Id(ECommandId::DeliverSm), 0, 78, Message("mo")}, m_Now);
  EXPECT_EQ(EventsOf<MessageReceivedEvent>(Receiver.TakeEvents()).size(), 1u);
  Pdu Resp = WrittenOne(Receiver);
  EXPECT_EQ(Resp.nCommandStatus, ESME_ROK);
  EXPECT_EQ(Resp.nSequence, 78u);
}

TEST_F(SmppSessionTest, WindowLimitsUnansweredSubmitsAndResponsesPairBySequence) {
  CSmppSession Session(Settings());
  Bind(Session);
  EXPECT_EQ(Session.Submit(Message("a"), 101, m_Now), ESubmitAdmission::Sent);
  EXPECT_EQ(Session.Submit(Message("b"), 102, m_Now), ESubmitAdmission::Sent);
  EXPECT_FALSE(Session.CanSubmit(m_Now));
  EXPECT_EQ(Session.Submit(Message("c"), 103, m_Now), ESubmitAdmission::WindowFull);
  auto Submits = Written(Session);
  ASSERT_EQ(Submits.size(), 2u);
  EXPECT_NE(Submits[0].nSequence, Submits[1].nSequence);
  EXPECT_EQ(Submits[1].Body, PduBody(Message("b")));

  // Answers out of order.
  Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), 0, Submits[1].nSequence, MessageIdBody{"MSG-B"}}, m_Now);
  Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), ESME_RINVDSTADR, Submits[0].nSequence, MessageIdBody{}}, m_Now);
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 2u);
  auto Accepted = std::get<SubmitAcceptedEvent>(Events[0]);
  EXPECT_EQ(Accepted.nTag, 102u);
  EXPECT_EQ(Accepted.sMessageId, "MSG-B");
  auto Failed = std::get<SubmitFailedEvent>(Events[1]);
  EXPECT_EQ(Failed.nTag, 101u);
  EXPECT_EQ(Failed.nCommandStatus, ESME_RINVDSTADR);
  EXPECT_EQ(Failed.Class.eClass, EFailureClass::InvalidNumber);
  EXPECT_FALSE(Failed.Class.bTemporary);
  EXPECT_EQ(Failed.eReason, ESubmitFailReason::Refused);
  EXPECT_EQ(Session.UnansweredSubmits(), 0u);
  EXPECT_EQ(Session.Submit(Message("c"), 103, m_Now), ESubmitAdmission::Sent);

  // generic_nack for a submit fails it with the nack's status.
  Pdu Third = WrittenOne(Session);
  Feed(Session, Pdu{Id(ECommandId::GenericNack), ESME_RINVCMDLEN, Third.nSequence, {}}, m_Now);
  auto Nacked = EventsOf<SubmitFailedEvent>(Session.TakeEvents()).at(0);
  EXPECT_EQ(Nacked.eReason, ESubmitFailReason::GenericNack);
  EXPECT_EQ(Nacked.nCommandStatus, ESME_RINVCMDLEN);
}

TEST_F(SmppSessionTest, ThrottlingHoldsSubmitsBackLongerEachTime) {
  SessionSettings s = Settings();
  s.ThrottlePause = 1s;
  s.ThrottlePauseMax = 3s;
  CSmppSession Session(s);
  Bind(Session);
  auto Throttle = [&](Clock::time_point At) {
    EXPECT_EQ(Session.Submit(Message(), 1, At), ESubmitAdmission::Sent);
    Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), ESME_RTHROTTLED, WrittenOne(Session).nSequence, MessageIdBody{}},
         At);
    auto Failed = EventsOf<SubmitFailedEvent>(Session.TakeEvents()).at(0);
    EXPECT_TRUE(Failed.Class.bThrottle);
    EXPECT_TRUE(Failed.Class.bTemporary);
  };
  Throttle(m_Now);
  EXPECT_EQ(Session.Submit(Message(), 2, m_Now + 999ms), ESubmitAdmission::Throttled);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 1s);
  EXPECT_EQ(Session.NextDeadline(), m_Now + 1s);  // the driver wakes to submit again
  Session.Tick(m_Now + 1s);
  EXPECT_TRUE(Session.CanSubmit(m_Now + 1s));
  EXPECT_EQ(Session.NextDeadline(), m_Now + 30s);  // only the enquire_link left: no busy wake-ups

  Throttle(m_Now + 1s);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 3s);  // doubled
  Throttle(m_Now + 3s);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 6s);  // capped at 3 s

  // Success ends the slow-down.
  EXPECT_EQ(Session.Submit(Message(), 3, m_Now + 6s), ESubmitAdmission::Sent);
  Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), 0, WrittenOne(Session).nSequence, MessageIdBody{"x"}}, m_Now + 6s);
  Throttle(m_Now + 6s);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 7s);
}

TEST_F(SmppSessionTest, ThrottlingAnswersToAWindowInFlightCountAsOne) {
  SessionSettings s = Settings();
  s.nWindowSize = 4;
  s.ThrottlePause = 1s;
  s.ThrottlePauseMax = 30s;
  CSmppSession Session(s);
  Bind(Session);
  // Four out at once, all throttled: one pause of ThrottlePause, not 8 s.
  std::vector<uint32_t> Sequences;
  for (uint64_t nTag = 1; nTag <= 4; ++nTag) {
    EXPECT_EQ(Session.Submit(Message(), nTag, m_Now), ESubmitAdmission::Sent);
    Sequences.push_back(WrittenOne(Session).nSequence);
  }
  for (size_t i = 0; i < 3; ++i)
    Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), ESME_RTHROTTLED, Sequences[i], MessageIdBody{}}, m_Now + 10ms);
  EXPECT_EQ(EventsOf<SubmitFailedEvent>(Session.TakeEvents()).size(), 3u);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 10ms + 1s);
  // The fourth, sent before the pause began, is accepted: that does not show
  // the SMSC takes messages again, so the next throttling doubles the pause.
  Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), 0, Sequences[3], MessageIdBody{"x"}}, m_Now + 20ms);
  EXPECT_EQ(Session.Submit(Message(), 5, m_Now + 1010ms), ESubmitAdmission::Sent);
  Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), ESME_RMSGQFUL, WrittenOne(Session).nSequence, MessageIdBody{}},
       m_Now + 1100ms);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 1100ms + 2s);
}

TEST_F(SmppSessionTest, RateLimitSpacesSubmits) {
  SessionSettings s = Settings();
  s.nWindowSize = 10;
  s.dMaxSubmitsPerSecond = 10;
  CSmppSession Session(s);
  Bind(Session);
  EXPECT_EQ(Session.Submit(Message(), 1, m_Now), ESubmitAdmission::Sent);
  EXPECT_EQ(Session.Submit(Message(), 2, m_Now + 50ms), ESubmitAdmission::Throttled);
  EXPECT_EQ(Session.Submit(Message(), 2, m_Now + 100ms), ESubmitAdmission::Sent);
  EXPECT_EQ(Session.NextSubmitTime(), m_Now + 200ms);
}

TEST_F(SmppSessionTest, EnquireLinkBothWays) {
  CSmppSession Session(Settings());
  Bind(Session);
  // Theirs is answered at once, with their sequence number.
  Feed(Session, Pdu{Id(ECommandId::EnquireLink), 0, 4242, {}}, m_Now + 10s);
  Pdu Resp = WrittenOne(Session);
  EXPECT_EQ(Resp.Command(), ECommandId::EnquireLinkResp);
  EXPECT_EQ(Resp.nSequence, 4242u);

  // Ours goes after 30 s without anything received.
  EXPECT_EQ(Session.NextDeadline(), m_Now + 40s);
  Session.Tick(m_Now + 39s);
  EXPECT_TRUE(Written(Session).empty());
  Session.Tick(m_Now + 40s);
  Pdu Ours = WrittenOne(Session);
  EXPECT_EQ(Ours.Command(), ECommandId::EnquireLink);
  Feed(Session, Pdu{Id(ECommandId::EnquireLinkResp), 0, Ours.nSequence, {}}, m_Now + 41s);
  Session.Tick(m_Now + 50s);
  EXPECT_EQ(Session.State(), ESessionState::Bound);
  EXPECT_TRUE(Session.TakeEvents().empty());

  // Unanswered: the link is dead; a submit in flight fails to be tried again.
  Session.Tick(m_Now + 71s);
  Ours = WrittenOne(Session);
  EXPECT_EQ(Ours.Command(), ECommandId::EnquireLink);
  EXPECT_EQ(Session.Submit(Message(), 9, m_Now + 72s), ESubmitAdmission::Sent);
  Session.Tick(m_Now + 76s);
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 2u);
  auto Failed = std::get<SubmitFailedEvent>(Events[0]);
  EXPECT_EQ(Failed.nTag, 9u);
  EXPECT_EQ(Failed.eReason, ESubmitFailReason::ConnectionClosed);
  EXPECT_EQ(Failed.Class, UnansweredSubmitClass());
  EXPECT_EQ(std::get<CloseEvent>(Events[1]).eReason, ECloseReason::LinkDead);
  EXPECT_EQ(Session.NextDeadline(), Clock::time_point::max());
}

TEST_F(SmppSessionTest, UnansweredSubmitTimesOutAndALateAnswerIsOnlyLogged) {
  CSmppSession Session(Settings());
  Bind(Session);
  Session.Submit(Message(), 5, m_Now);
  Pdu Submit = WrittenOne(Session);
  Session.Tick(m_Now + 5s);
  auto Failed = EventsOf<SubmitFailedEvent>(Session.TakeEvents()).at(0);
  EXPECT_EQ(Failed.eReason, ESubmitFailReason::ResponseTimeout);
  EXPECT_EQ(Failed.Class.eClass, EFailureClass::Timeout);
  EXPECT_EQ(Session.UnansweredSubmits(), 0u);
  Feed(Session, Pdu{Id(ECommandId::SubmitSmResp), 0, Submit.nSequence, MessageIdBody{"late"}}, m_Now + 6s);
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_NE(std::get<WarningEvent>(Events[0]).sText.find("answers nothing outstanding"), std::string::npos);
}

TEST_F(SmppSessionTest, MobileOriginatedPartsAndReceiptsAreHandedOutAndAnswered) {
  CSmppSession Session(Settings());
  Bind(Session);
  ShortMessageBody Part = Message();
  Part.nSourceTon = 1;
  Part.nSourceNpi = 1;
  Part.sSourceAddr = "447700900123";
  Part.nEsmClass = kEsmUdhi;
  Part.ShortMessage = Bytes("05 00 03 11 03 02 'world'");
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 31, Part}, m_Now);

  ShortMessageBody Receipt;
  Receipt.sSourceAddr = "447700900123";
  Receipt.nEsmClass = kEsmTypeReceipt;
  std::string sText = "id:MSG-B sub:001 dlvrd:001 submit date:2401311200 done date:2401311201 stat:DELIVRD err:000";
  Receipt.ShortMessage.assign(sText.begin(), sText.end());
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 32, Receipt}, m_Now);

  ShortMessageBody Useless = Receipt;
  Useless.ShortMessage.clear();
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 33, Useless}, m_Now);

  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 3u);
  auto Mo = std::get<MessageReceivedEvent>(Events[0]).Message;
  EXPECT_EQ(Mo.Source.sAddress, "447700900123");
  EXPECT_EQ(Mo.Concat, (Sms::Concatenation{0x11, 3, 2, false}));
  EXPECT_EQ(std::string(Mo.Part.Payload.begin(), Mo.Part.Payload.end()), "world");
  auto Got = std::get<ReceiptReceivedEvent>(Events[1]);
  EXPECT_EQ(Got.Receipt.sMessageId, "MSG-B");
  EXPECT_EQ(Got.Receipt.eState, EReceiptState::Delivered);
  EXPECT_EQ(Got.sRecipient, "447700900123");
  EXPECT_NE(std::get<WarningEvent>(Events[2]).sText.find("receipt not usable"), std::string::npos);

  // Every deliver_sm answered, the unusable receipt too.
  auto Answers = Written(Session);
  ASSERT_EQ(Answers.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Answers[i].Command(), ECommandId::DeliverSmResp);
    EXPECT_EQ(Answers[i].nSequence, 31 + i);
    EXPECT_EQ(Answers[i].nCommandStatus, ESME_ROK);
  }
}

TEST_F(SmppSessionTest, MalformedPdusAreAnsweredAsSmppSaysAndLogged) {
  CSmppSession Session(Settings());
  Bind(Session);
  struct Case {
    const char* sName;
    const char* sOctets;
    ECommandId eAnswer;
    uint32_t nStatus;
    uint32_t nSequence;
  };
  const Case Cases[] = {
      {"unknown command_id (data_sm)", "00000014 00000103 00000000 00000051 01020304", ECommandId::GenericNack,
       ESME_RINVCMDID, 0x51},
      {"unknown response id", "00000010 80000103 00000000 00000052", ECommandId::GenericNack, ESME_RINVCMDID, 0x52},
      {"deliver_sm cut short", "0000001A 00000005 00000000 00000053 00 01 01 '4477' 00 00 00", ECommandId::GenericNack,
       ESME_RINVCMDLEN, 0x53},
      {"sm_length 255",
       "00000025 00000005 00000000 00000054 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 FF 41 42 43 44",
       ECommandId::DeliverSmResp, ESME_RINVMSGLEN, 0x54},
      {"truncated TLV",
       "00000026 00000005 00000000 00000055 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0424 0010 41",
       ECommandId::DeliverSmResp, ESME_RINVOPTPARSTREAM, 0x55},
      {"submit_sm from the SMSC",
       "00000021 00000004 00000000 00000056 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
       ECommandId::GenericNack, ESME_RINVCMDID, 0x56},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.sName);
    Session.Receive(Bytes(c.sOctets), m_Now);
    Pdu Answer = WrittenOne(Session);
    EXPECT_EQ(Answer.Command(), c.eAnswer);
    EXPECT_EQ(Answer.nCommandStatus, c.nStatus);
    EXPECT_EQ(Answer.nSequence, c.nSequence);
    auto Events = Session.TakeEvents();
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<WarningEvent>(Events[0]));
    EXPECT_EQ(Session.State(), ESessionState::Bound);
  }

  // An accepted submit whose response lost its message_id: accepted (no
  // second copy), with a warning that its receipt cannot be matched.
  Session.Submit(Message(), 8, m_Now);
  Pdu Submit = WrittenOne(Session);
  std::vector<uint8_t> Resp = Bytes("00000014 80000004 00000000 00000000 'abcd'");
  Resp[15] = static_cast<uint8_t>(Submit.nSequence);
  Session.Receive(Resp, m_Now);
  EXPECT_TRUE(Written(Session).empty());  // a response is never answered
  auto Events = Session.TakeEvents();
  ASSERT_EQ(EventsOf<SubmitAcceptedEvent>(Events).size(), 1u);
  EXPECT_EQ(EventsOf<SubmitAcceptedEvent>(Events)[0].sMessageId, "");
  EXPECT_EQ(EventsOf<WarningEvent>(Events).size(), 2u);

  // A command_length out of bounds: generic_nack, then the stream is given up.
  Session.Receive(Bytes("00000008 00000015 00000000 00000060"), m_Now);
  Pdu Nack = WrittenOne(Session);
  EXPECT_EQ(Nack.Command(), ECommandId::GenericNack);
  EXPECT_EQ(Nack.nCommandStatus, ESME_RINVCMDLEN);
  EXPECT_EQ(Nack.nSequence, 0x60u);
  Events = Session.TakeEvents();
  ASSERT_EQ(EventsOf<CloseEvent>(Events).size(), 1u);
  EXPECT_EQ(EventsOf<CloseEvent>(Events)[0].eReason, ECloseReason::StreamBroken);
  Session.Receive(Bytes("00000010 00000015 00000000 00000061"), m_Now);
  EXPECT_TRUE(Written(Session).empty());
}

// Held answers: a deliver_sm is answered when the driver says so, at most
// MaxHeldDeliveries wait, and an answer for a connection that has ended
// never goes out on the next one.
TEST_F(SmppSessionTest, HeldAnswersGoWhenGivenAreBoundedAndDieWithTheConnection) {
  SessionSettings s = Settings();
  s.nMaxHeldDeliveries = 2;
  CSmppSession Session(s);
  Bind(Session);
  ShortMessageBody Receipt;
  Receipt.nEsmClass = kEsmTypeReceipt;
  const std::string sText = "id:M1 sub:001 dlvrd:001 submit date:2401311200 done date:2401311201 stat:DELIVRD err:000";
  Receipt.ShortMessage.assign(sText.begin(), sText.end());
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 41, Message("one")}, m_Now);
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 42, Receipt}, m_Now);
  EXPECT_TRUE(Written(Session).empty());
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_TRUE(std::get<MessageReceivedEvent>(Events[0]).bHeld);
  EXPECT_EQ(std::get<MessageReceivedEvent>(Events[0]).nSequence, 41u);
  EXPECT_EQ(std::get<ReceiptReceivedEvent>(Events[1]).nSequence, 42u);
  EXPECT_EQ(Session.HeldDeliveries(), 2u);

  // Full: the third is told to come later and not handed out.
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 43, Message("three")}, m_Now);
  Pdu Busy = WrittenOne(Session);
  EXPECT_EQ(Busy.nSequence, 43u);
  EXPECT_EQ(Busy.nCommandStatus, ESME_RTHROTTLED);
  EXPECT_TRUE(EventsOf<MessageReceivedEvent>(Session.TakeEvents()).empty());

  EXPECT_TRUE(Session.AnswerDelivery(42, ESME_ROK));
  EXPECT_FALSE(Session.AnswerDelivery(42, ESME_ROK));  // once only
  Pdu Answer = WrittenOne(Session);
  EXPECT_EQ(Answer.Command(), ECommandId::DeliverSmResp);
  EXPECT_EQ(Answer.nSequence, 42u);
  EXPECT_EQ(Answer.nCommandStatus, ESME_ROK);

  // Stopped: refused for later, the held one may still be answered.
  Session.RefuseDeliveries();
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 44, Message("late")}, m_Now);
  EXPECT_EQ(WrittenOne(Session).nCommandStatus, ESME_RX_T_APPN);
  EXPECT_TRUE(Session.TakeEvents().empty());

  // The connection ends: sequence 41 of the next one is not this 41.
  Session.ConnectionLost("test");
  Session.TakeEvents();
  Bind(Session);
  EXPECT_EQ(Session.HeldDeliveries(), 0u);
  EXPECT_FALSE(Session.AnswerDelivery(41, ESME_ROK));
  EXPECT_TRUE(Written(Session).empty());
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 45, Message("again")}, m_Now);  // taken again after Open
  EXPECT_EQ(EventsOf<MessageReceivedEvent>(Session.TakeEvents()).size(), 1u);
}

TEST_F(SmppSessionTest, AcknowledgementsAndAbortsAreAnsweredButNotHandedOutAsMessages) {
  SessionSettings s = Settings();
  s.nMaxHeldDeliveries = 10;
  CSmppSession Session(s);
  Bind(Session);
  uint32_t nSequence = 50;
  for (uint8_t nEsm : {kEsmTypeSmeAck, kEsmTypeUserAck, kEsmTypeAbort}) {
    ShortMessageBody Ack = Message("ack");
    Ack.nEsmClass = nEsm;
    Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, nSequence, Ack}, m_Now);
    Pdu Answer = WrittenOne(Session);
    EXPECT_EQ(Answer.nSequence, nSequence++);
    EXPECT_EQ(Answer.nCommandStatus, ESME_ROK);
    auto Events = Session.TakeEvents();
    ASSERT_EQ(Events.size(), 1u) << int(nEsm);
    EXPECT_NE(std::get<WarningEvent>(Events[0]).sText.find("not a message"), std::string::npos);
  }
  EXPECT_EQ(Session.HeldDeliveries(), 0u);
}

TEST_F(SmppSessionTest, StopUnbindsAndWaitsForTheAnswer) {
  CSmppSession Session(Settings());
  Bind(Session);
  Session.Stop(m_Now);
  EXPECT_EQ(Session.State(), ESessionState::Unbinding);
  Pdu Unbind = WrittenOne(Session);
  EXPECT_EQ(Unbind.Command(), ECommandId::Unbind);
  EXPECT_EQ(Session.Submit(Message(), 1, m_Now), ESubmitAdmission::NotBound);
  Feed(Session, Pdu{Id(ECommandId::UnbindResp), 0, Unbind.nSequence, {}}, m_Now);
  auto Close = EventsOf<CloseEvent>(Session.TakeEvents());
  ASSERT_EQ(Close.size(), 1u);
  EXPECT_EQ(Close[0].eReason, ECloseReason::Stopped);

  // An SMSC that does not answer the unbind is left after the time-out.
  CSmppSession Mute(Settings());
  Bind(Mute);
  Mute.Stop(m_Now);
  Mute.Tick(m_Now + 5s);
  EXPECT_EQ(EventsOf<CloseEvent>(Mute.TakeEvents()).at(0).eReason, ECloseReason::Stopped);
}

TEST_F(SmppSessionTest, UnbindOrLostConnectionFailsWhatIsInFlight) {
  CSmppSession Session(Settings());
  Bind(Session);
  Session.Submit(Message(), 1, m_Now);
  Written(Session);
  Feed(Session, Pdu{Id(ECommandId::Unbind), 0, 900, {}}, m_Now);
  Pdu Resp = WrittenOne(Session);
  EXPECT_EQ(Resp.Command(), ECommandId::UnbindResp);
  EXPECT_EQ(Resp.nSequence, 900u);
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 2u);
  EXPECT_EQ(std::get<SubmitFailedEvent>(Events[0]).eReason, ESubmitFailReason::ConnectionClosed);
  EXPECT_EQ(std::get<CloseEvent>(Events[1]).eReason, ECloseReason::PeerUnbound);

  // Rebind on a new connection, then lose it.
  Bind(Session);
  Session.Submit(Message(), 2, m_Now);
  Session.Submit(Message(), 3, m_Now);
  Session.ConnectionLost("reset by peer");
  Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 3u);
  EXPECT_EQ(std::get<SubmitFailedEvent>(Events[0]).nTag, 2u);
  EXPECT_EQ(std::get<SubmitFailedEvent>(Events[1]).nTag, 3u);
  EXPECT_EQ(std::get<CloseEvent>(Events[2]).eReason, ECloseReason::ConnectionLost);
  Session.ConnectionLost("again");
  EXPECT_TRUE(Session.TakeEvents().empty());
}

TEST_F(SmppSessionTest, OutputCanBeWrittenInPieces) {
  CSmppSession Session(Settings());
  Session.Open(m_Now);
  std::vector<uint8_t> All(Session.PendingOutput().begin(), Session.PendingOutput().end());
  std::vector<uint8_t> Pieces;
  while (!Session.PendingOutput().empty()) {
    auto Out = Session.PendingOutput();
    size_t n = std::min<size_t>(5, Out.size());
    Pieces.insert(Pieces.end(), Out.begin(), Out.begin() + static_cast<std::ptrdiff_t>(n));
    Session.ConsumeOutput(n);
  }
  EXPECT_EQ(Hex(Pieces), Hex(All));
}

}  // namespace
}  // namespace Norvale::Smpp
