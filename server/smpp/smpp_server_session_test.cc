#include "smpp/smpp_server_session.h"

#include <gtest/gtest.h>

#include "smpp/command_status.h"
#include "smpp/pdu_codec.h"
#include "smpp_test_support.h"

namespace Norvale::Smpp {
namespace {

using namespace std::chrono_literals;
using Clock = CSmppServerSession::Clock;
using EState = CSmppServerSession::EState;
using Test::Bytes;

// Plays the client (the ESME): sends PDUs built by the codec or raw octets,
// reads what the session wrote.
class SmppServerSessionTest : public ::testing::Test {
 protected:
  ServerSessionOptions Options() {
    ServerSessionOptions o;
    o.BindTimeout = 10s;
    o.EnquireLinkInterval = 30s;
    o.ResponseTimeout = 5s;
    o.SubmitWindow = 2;
    o.DeliverWindow = 2;
    return o;
  }

  std::vector<Pdu> Written(CSmppServerSession& Session) {
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

  Pdu WrittenOne(CSmppServerSession& Session) {
    auto Pdus = Written(Session);
    EXPECT_EQ(Pdus.size(), 1u);
    return Pdus.empty() ? Pdu{} : Pdus[0];
  }

  // The one PDU written must be this command with this status and sequence.
  void ExpectAnswer(CSmppServerSession& Session, ECommandId eCommand, uint32_t nStatus, uint32_t nSequence) {
    Pdu Answer = WrittenOne(Session);
    EXPECT_EQ(Answer.nCommandId, Id(eCommand)) << CommandName(Answer.nCommandId);
    EXPECT_EQ(Answer.nCommandStatus, nStatus) << DescribeStatus(Answer.nCommandStatus);
    EXPECT_EQ(Answer.nSequence, nSequence);
  }

  void Feed(CSmppServerSession& Session, const Pdu& Message) { Session.Receive(EncodePdu(Message), m_Now); }

  template <typename T>
  std::vector<T> EventsOf(CSmppServerSession& Session) {
    std::vector<T> Out;
    for (const auto& e : Session.TakeEvents()) {
      if (auto* p = std::get_if<T>(&e)) Out.push_back(*p);
    }
    return Out;
  }

  static Pdu BindPdu(ECommandId eCommand, uint32_t nSequence, std::string sPassword = "secret1") {
    return Pdu{Id(eCommand), 0, nSequence, BindBody{"acme", std::move(sPassword), "", 0x34, 0, 0, ""}};
  }

  static Pdu Submit(uint32_t nSequence, std::string sText = "hello") {
    ShortMessageBody Sm;
    Sm.sDestinationAddr = "447700900123";
    Sm.ShortMessage.assign(sText.begin(), sText.end());
    return Pdu{Id(ECommandId::SubmitSm), 0, nSequence, Sm};
  }

  // Bound as eCommand's kind; no output or events left behind.
  void Bind(CSmppServerSession& Session, ECommandId eCommand = ECommandId::BindTransceiver) {
    Feed(Session, BindPdu(eCommand, 1));
    auto Requests = EventsOf<BindRequestedEvent>(Session);
    ASSERT_EQ(Requests.size(), 1u);
    Session.AcceptBind(Requests[0].nSequence, "velquor");
    Written(Session);
    ASSERT_EQ(Session.State(), EState::Bound);
  }

  Clock::time_point m_Now = Clock::time_point() + 1000h;
};

TEST_F(SmppServerSessionTest, BindIsCheckedByTheOwnerAndAnsweredOnce) {
  CSmppServerSession Session(Options(), m_Now);
  // Before a bind: enquire_link is answered, the rest refused.
  Feed(Session, Pdu{Id(ECommandId::EnquireLink), 0, 3, {}});
  ExpectAnswer(Session, ECommandId::EnquireLinkResp, ESME_ROK, 3);
  Feed(Session, Submit(4));
  ExpectAnswer(Session, ECommandId::SubmitSmResp, ESME_RINVBNDSTS, 4);
  EXPECT_TRUE(Session.TakeEvents().empty());

  // A refused bind leaves the session open for another try.
  Feed(Session, BindPdu(ECommandId::BindTransceiver, 5, "wrong"));
  auto Requests = EventsOf<BindRequestedEvent>(Session);
  ASSERT_EQ(Requests.size(), 1u);
  EXPECT_EQ(Requests[0].eKind, EServerBindKind::Transceiver);
  EXPECT_EQ(Requests[0].Body.sSystemId, "acme");
  EXPECT_EQ(Requests[0].Body.sPassword, "wrong");
  Feed(Session, BindPdu(ECommandId::BindTransceiver, 6));  // while the first is being checked
  ExpectAnswer(Session, ECommandId::BindTransceiverResp, ESME_RALYBND, 6);
  Session.RefuseBind(5, ESME_RINVPASWD);
  ExpectAnswer(Session, ECommandId::BindTransceiverResp, ESME_RINVPASWD, 5);
  EXPECT_EQ(Session.State(), EState::Open);
  EXPECT_FALSE(Session.BindKind());

  Feed(Session, BindPdu(ECommandId::BindReceiver, 7));
  ASSERT_EQ(EventsOf<BindRequestedEvent>(Session).at(0).eKind, EServerBindKind::Receiver);
  Session.AcceptBind(6, "velquor");  // not the pending one: ignored
  EXPECT_TRUE(Session.PendingOutput().empty());
  Session.AcceptBind(7, "velquor");
  Pdu Resp = WrittenOne(Session);
  EXPECT_EQ(Resp, (Pdu{Id(ECommandId::BindReceiverResp), ESME_ROK, 7, BindRespBody{"velquor", 0x34}}));
  EXPECT_EQ(Session.State(), EState::Bound);
  EXPECT_EQ(Session.BindKind(), EServerBindKind::Receiver);
  EXPECT_EQ(Session.SystemId(), "acme");

  Feed(Session, BindPdu(ECommandId::BindTransmitter, 8));
  ExpectAnswer(Session, ECommandId::BindTransmitterResp, ESME_RALYBND, 8);
  EXPECT_TRUE(Session.TakeEvents().empty());
  // A receiver does not submit.
  Feed(Session, Submit(9));
  ExpectAnswer(Session, ECommandId::SubmitSmResp, ESME_RINVBNDSTS, 9);
  EXPECT_TRUE(Session.TakeEvents().empty());
  EXPECT_TRUE(Session.CanDeliver());
}

TEST_F(SmppServerSessionTest, NoBindWithinTheTimeOutCloses) {
  CSmppServerSession Session(Options(), m_Now);
  EXPECT_EQ(Session.NextDeadline(), m_Now + 10s);
  // A refused bind does not restart the clock.
  m_Now += 8s;
  Feed(Session, BindPdu(ECommandId::BindTransmitter, 1, "wrong"));
  Session.RefuseBind(1, ESME_RINVPASWD);
  Session.TakeEvents();
  Written(Session);
  EXPECT_EQ(Session.NextDeadline(), m_Now + 2s);
  Session.Tick(m_Now + 1999ms);
  EXPECT_EQ(Session.State(), EState::Open);
  Session.Tick(m_Now + 2s);
  EXPECT_EQ(Session.State(), EState::Closed);
  EXPECT_EQ(EventsOf<ServerClosedEvent>(Session).size(), 1u);
  EXPECT_EQ(Session.NextDeadline(), Clock::time_point::max());
  // Nothing more happens on a closed session.
  Feed(Session, BindPdu(ECommandId::BindTransmitter, 2));
  Session.AcceptBind(1, "velquor");
  EXPECT_TRUE(Session.PendingOutput().empty());
  EXPECT_TRUE(Session.TakeEvents().empty());
}

TEST_F(SmppServerSessionTest, SubmitWindowThrottlesBeyondItsSize) {
  CSmppServerSession Session(Options(), m_Now);
  Bind(Session, ECommandId::BindTransmitter);
  EXPECT_FALSE(Session.CanDeliver());
  Feed(Session, Submit(10, "a"));
  Feed(Session, Submit(11, "b"));
  Feed(Session, Submit(12, "c"));
  auto Submits = EventsOf<SubmitRequestedEvent>(Session);
  ASSERT_EQ(Submits.size(), 2u);
  EXPECT_EQ(Submits[0].nSequence, 10u);
  EXPECT_EQ(Submits[1].Body, std::get<ShortMessageBody>(Submit(11, "b").Body));
  ExpectAnswer(Session, ECommandId::SubmitSmResp, ESME_RTHROTTLED, 12);
  EXPECT_EQ(Session.SubmitsInFlight(), 2u);

  // Answers in any order free places.
  Session.AnswerSubmit(11, ESME_ROK, "4711");
  Session.AnswerSubmit(10, ESME_RINVDSTADR, "ignored");
  auto Answers = Written(Session);
  ASSERT_EQ(Answers.size(), 2u);
  EXPECT_EQ(Answers[0], (Pdu{Id(ECommandId::SubmitSmResp), ESME_ROK, 11, MessageIdBody{"4711"}}));
  EXPECT_EQ(Answers[1], (Pdu{Id(ECommandId::SubmitSmResp), ESME_RINVDSTADR, 10, MessageIdBody{}}));
  EXPECT_EQ(Session.SubmitsInFlight(), 0u);
  Session.AnswerSubmit(10, ESME_ROK, "4712");  // answered already
  EXPECT_TRUE(Session.PendingOutput().empty());

  // A client reusing a sequence number gets an answer for each.
  Feed(Session, Submit(13));
  Feed(Session, Submit(13));
  EXPECT_EQ(EventsOf<SubmitRequestedEvent>(Session).size(), 2u);
  Session.AnswerSubmit(13, ESME_ROK, "1");
  Session.AnswerSubmit(13, ESME_ROK, "2");
  EXPECT_EQ(Written(Session).size(), 2u);
}

TEST_F(SmppServerSessionTest, EnquireLinkBothWays) {
  CSmppServerSession Session(Options(), m_Now);
  Bind(Session);
  Feed(Session, Pdu{Id(ECommandId::EnquireLink), 0, 20, {}});
  ExpectAnswer(Session, ECommandId::EnquireLinkResp, ESME_ROK, 20);

  // Traffic from the client defers ours.
  EXPECT_EQ(Session.NextDeadline(), m_Now + 30s);
  m_Now += 20s;
  Feed(Session, Pdu{Id(ECommandId::EnquireLink), 0, 21, {}});
  Written(Session);
  Session.Tick(m_Now + 29s);
  EXPECT_TRUE(Session.PendingOutput().empty());
  m_Now += 30s;
  Session.Tick(m_Now);
  Pdu Ours = WrittenOne(Session);
  EXPECT_EQ(Ours.Command(), ECommandId::EnquireLink);
  EXPECT_EQ(Session.NextDeadline(), m_Now + 5s);
  Feed(Session, Pdu{Id(ECommandId::EnquireLinkResp), 0, Ours.nSequence, {}});
  Session.Tick(m_Now + 10s);
  EXPECT_EQ(Session.State(), EState::Bound);

  // Unanswered: the client is gone.
  m_Now += 30s;
  Session.Tick(m_Now);
  EXPECT_EQ(WrittenOne(Session).Command(), ECommandId::EnquireLink);
  Session.Tick(m_Now + 4999ms);
  EXPECT_EQ(Session.State(), EState::Bound);
  Session.Tick(m_Now + 5s);
  EXPECT_EQ(Session.State(), EState::Closed);
  EXPECT_NE(EventsOf<ServerClosedEvent>(Session).at(0).sReason.find("enquire_link"), std::string::npos);
}

TEST_F(SmppServerSessionTest, ClientUnbindIsAnsweredAfterItsSubmits) {
  CSmppServerSession Idle(Options(), m_Now);
  Bind(Idle);
  Feed(Idle, Pdu{Id(ECommandId::Unbind), 0, 30, {}});
  ExpectAnswer(Idle, ECommandId::UnbindResp, ESME_ROK, 30);
  EXPECT_EQ(Idle.State(), EState::Closed);

  // The submits in flight are answered first, so the client learns their
  // message_ids; nothing new is taken meanwhile.
  CSmppServerSession Busy(Options(), m_Now);
  Bind(Busy);
  Feed(Busy, Submit(31));
  Feed(Busy, Pdu{Id(ECommandId::Unbind), 0, 32, {}});
  EXPECT_TRUE(Busy.PendingOutput().empty());
  EXPECT_EQ(Busy.State(), EState::Unbinding);
  Feed(Busy, Submit(33));
  ExpectAnswer(Busy, ECommandId::SubmitSmResp, ESME_RINVBNDSTS, 33);
  EXPECT_EQ(EventsOf<SubmitRequestedEvent>(Busy).size(), 1u);
  Busy.AnswerSubmit(31, ESME_ROK, "99");
  auto Out = Written(Busy);
  ASSERT_EQ(Out.size(), 2u);
  EXPECT_EQ(Out[0].Command(), ECommandId::SubmitSmResp);
  EXPECT_EQ(Out[1], (Pdu{Id(ECommandId::UnbindResp), ESME_ROK, 32, {}}));
  EXPECT_EQ(Busy.State(), EState::Closed);

  // An owner that never answers does not hold the session open.
  CSmppServerSession Stuck(Options(), m_Now);
  Bind(Stuck);
  Feed(Stuck, Submit(34));
  Feed(Stuck, Pdu{Id(ECommandId::Unbind), 0, 35, {}});
  EXPECT_EQ(Stuck.NextDeadline(), m_Now + 5s);
  Stuck.Tick(m_Now + 5s);
  ExpectAnswer(Stuck, ECommandId::UnbindResp, ESME_ROK, 35);
  EXPECT_EQ(Stuck.State(), EState::Closed);
}

TEST_F(SmppServerSessionTest, ServerUnbindClosesOnAnswerOrTimeOut) {
  CSmppServerSession Answered(Options(), m_Now);
  Bind(Answered);
  Answered.Unbind(m_Now);
  Pdu Unbind = WrittenOne(Answered);
  EXPECT_EQ(Unbind.Command(), ECommandId::Unbind);
  EXPECT_EQ(Answered.State(), EState::Unbinding);
  EXPECT_FALSE(Answered.CanDeliver());
  Feed(Answered, Pdu{Id(ECommandId::UnbindResp), 0, Unbind.nSequence, {}});
  EXPECT_EQ(Answered.State(), EState::Closed);

  CSmppServerSession Silent(Options(), m_Now);
  Bind(Silent);
  Silent.Unbind(m_Now);
  Silent.Tick(m_Now + 4s);
  EXPECT_EQ(Silent.State(), EState::Unbinding);
  Silent.Tick(m_Now + 5s);
  EXPECT_EQ(Silent.State(), EState::Closed);
}

TEST_F(SmppServerSessionTest, DeliverWindowAndEveryDeliveryAnsweredOnce) {
  CSmppServerSession Session(Options(), m_Now);
  Bind(Session);
  ShortMessageBody Receipt;
  Receipt.sSourceAddr = "447700900123";
  Receipt.nEsmClass = kEsmTypeReceipt;
  Receipt.sReceiptedMessageId = "4711";
  Receipt.nMessageState = 2;
  Session.Deliver(501, Receipt, m_Now);
  Session.Deliver(502, Receipt, m_Now + 1s);
  EXPECT_FALSE(Session.CanDeliver());
  EXPECT_THROW(Session.Deliver(503, Receipt, m_Now), std::logic_error);
  auto Sent = Written(Session);
  ASSERT_EQ(Sent.size(), 2u);
  EXPECT_EQ(Sent[0].Command(), ECommandId::DeliverSm);
  EXPECT_EQ(Sent[0].Body, PduBody(Receipt));
  EXPECT_NE(Sent[0].nSequence, Sent[1].nSequence);

  // Answered with a status; a lone header is an answer too.
  Session.Receive(Bytes("00000010 80000005 00000058 00000000"), m_Now);
  EXPECT_TRUE(Session.TakeEvents().empty());  // answers nothing of ours
  Feed(Session, Pdu{Id(ECommandId::DeliverSmResp), ESME_RTHROTTLED, Sent[1].nSequence, MessageIdBody{}});
  auto Answers = EventsOf<DeliverAnsweredEvent>(Session);
  ASSERT_EQ(Answers.size(), 1u);
  EXPECT_EQ(Answers[0].nToken, 502u);
  EXPECT_EQ(Answers[0].nStatus, ESME_RTHROTTLED);
  EXPECT_EQ(Session.DeliveriesInFlight(), 1u);

  // Unanswered within the time-out: reported without a status.
  Session.Tick(m_Now + 5s);
  Answers = EventsOf<DeliverAnsweredEvent>(Session);
  ASSERT_EQ(Answers.size(), 1u);
  EXPECT_EQ(Answers[0].nToken, 501u);
  EXPECT_FALSE(Answers[0].nStatus);
  Feed(Session, Pdu{Id(ECommandId::DeliverSmResp), ESME_ROK, Sent[0].nSequence, MessageIdBody{}});  // too late
  EXPECT_TRUE(Session.TakeEvents().empty());

  // A body the codec cannot write is refused before anything is sent.
  ShortMessageBody TooLong = Receipt;
  TooLong.sSourceAddr = std::string(21, '1');
  EXPECT_THROW(Session.Deliver(503, TooLong, m_Now), std::invalid_argument);
  EXPECT_EQ(Session.DeliveriesInFlight(), 0u);
  EXPECT_TRUE(Session.PendingOutput().empty());

  // An answer whose body is broken still counts by its header; a
  // generic_nack is a refusal even without a status.
  Session.Deliver(504, Receipt, m_Now);
  Session.Deliver(505, Receipt, m_Now);
  Sent = Written(Session);
  ASSERT_EQ(Sent.size(), 2u);
  auto Raw = Bytes("00000012 80000005 00000000 00000000 'AA'");
  Raw[15] = static_cast<uint8_t>(Sent[0].nSequence);
  Session.Receive(Raw, m_Now);
  Feed(Session, Pdu{Id(ECommandId::GenericNack), ESME_ROK, Sent[1].nSequence, {}});
  EXPECT_TRUE(Session.PendingOutput().empty());
  Answers = EventsOf<DeliverAnsweredEvent>(Session);
  ASSERT_EQ(Answers.size(), 2u);
  EXPECT_EQ(Answers[0].nToken, 504u);
  EXPECT_EQ(Answers[0].nStatus, ESME_ROK);
  EXPECT_EQ(Answers[1].nToken, 505u);
  EXPECT_EQ(Answers[1].nStatus, ESME_RUNKNOWNERR);

  // Those in flight when the session ends are reported before the close.
  Session.Deliver(506, Receipt, m_Now);
  Session.Deliver(507, Receipt, m_Now);
  Session.Receive(Bytes("00000000"), m_Now);
  auto Events = Session.TakeEvents();
  ASSERT_EQ(Events.size(), 3u);
  EXPECT_FALSE(std::get<DeliverAnsweredEvent>(Events[0]).nStatus);
  EXPECT_FALSE(std::get<DeliverAnsweredEvent>(Events[1]).nStatus);
  EXPECT_TRUE(std::holds_alternative<ServerClosedEvent>(Events[2]));
  EXPECT_EQ(Session.DeliveriesInFlight(), 0u);
}

// command_length out of bounds: the stream cannot be split any more.
TEST_F(SmppServerSessionTest, CommandLengthOutOfBoundsIsNackedAndCloses) {
  for (const char* szHeader : {"00000000 00000004 00000000 0000002A", "00000005 00000004 00000000 0000002A",
                               "80000000 00000004 00000000 0000002A"}) {
    SCOPED_TRACE(szHeader);
    CSmppServerSession Session(Options(), m_Now);
    Bind(Session);
    Session.Receive(Bytes(szHeader), m_Now);
    ExpectAnswer(Session, ECommandId::GenericNack, ESME_RINVCMDLEN, 42);
    EXPECT_EQ(Session.State(), EState::Closed);
    EXPECT_EQ(EventsOf<ServerClosedEvent>(Session).size(), 1u);
  }
}

TEST_F(SmppServerSessionTest, UndecodablePduIsAnsweredAndTheSessionGoesOn) {
  CSmppServerSession Session(Options(), m_Now);
  // A password longer than the field: the bind's own response.
  Session.Receive(Bytes("00000024 00000002 00000000 00000001 'acme' 00 'toolong12' 00 00 34 00 00 00"), m_Now);
  ExpectAnswer(Session, ECommandId::BindTransmitterResp, ESME_RINVPASWD, 1);
  EXPECT_TRUE(Session.TakeEvents().empty());
  Bind(Session);

  // A submit_sm whose body stops after the service_type.
  Session.Receive(Bytes("00000011 00000004 00000000 00000002 00"), m_Now);
  ExpectAnswer(Session, ECommandId::GenericNack, ESME_RINVCMDLEN, 2);
  // Unknown command ids, data_sm among them.
  Session.Receive(Bytes("00000010 00000099 00000000 00000003"), m_Now);
  ExpectAnswer(Session, ECommandId::GenericNack, ESME_RINVCMDID, 3);
  Session.Receive(Bytes("00000014 00000103 00000000 00000004 00000000"), m_Now);
  ExpectAnswer(Session, ECommandId::GenericNack, ESME_RINVCMDID, 4);
  // deliver_sm goes to the client, not from it.
  Feed(Session, Pdu{Id(ECommandId::DeliverSm), 0, 5, std::get<ShortMessageBody>(Submit(5).Body)});
  ExpectAnswer(Session, ECommandId::GenericNack, ESME_RINVCMDID, 5);
  // sm_length 255.
  auto Bad = EncodePdu(Submit(6, ""));
  Bad[Bad.size() - 1] = 0xFF;
  Session.Receive(Bad, m_Now);
  ExpectAnswer(Session, ECommandId::SubmitSmResp, ESME_RINVMSGLEN, 6);

  EXPECT_TRUE(Session.TakeEvents().empty());
  EXPECT_EQ(Session.State(), EState::Bound);
  Feed(Session, Submit(7));
  EXPECT_EQ(EventsOf<SubmitRequestedEvent>(Session).size(), 1u);
}

}  // namespace
}  // namespace Norvale::Smpp
