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
    o.bindTimeout = 10s;
    o.enquireLinkInterval = 30s;
    o.responseTimeout = 5s;
    o.submitWindow = 2;
    o.deliverWindow = 2;
    return o;
  }

  std::vector<Pdu> Written(CSmppServerSession& session) {
    CPduFramer framer;
    auto out = session.PendingOutput();
    framer.Append(out);
    session.ConsumeOutput(out.size());
    std::vector<Pdu> pdus;
    while (auto octets = framer.Next()) {
      auto result = DecodePdu(*octets);
      if (auto* pError = std::get_if<DecodeError>(&result)) {
        ADD_FAILURE() << "the session wrote an undecodable PDU: " << pError->Describe();
        continue;
      }
      pdus.push_back(std::get<Pdu>(result));
    }
    EXPECT_EQ(framer.Buffered(), 0u);
    return pdus;
  }

  Pdu WrittenOne(CSmppServerSession& session) {
    auto pdus = Written(session);
    EXPECT_EQ(pdus.size(), 1u);
    return pdus.empty() ? Pdu{} : pdus[0];
  }

  // The one PDU written must be this command with this status and sequence.
  void ExpectAnswer(CSmppServerSession& session, ECommandId eCommand, uint32_t nStatus, uint32_t nSequence) {
    Pdu answer = WrittenOne(session);
    EXPECT_EQ(answer.nCommandId, Id(eCommand)) << CommandName(answer.nCommandId);
    EXPECT_EQ(answer.nCommandStatus, nStatus) << DescribeStatus(answer.nCommandStatus);
    EXPECT_EQ(answer.nSequence, nSequence);
  }

  void Feed(CSmppServerSession& session, const Pdu& message) { session.Receive(EncodePdu(message), mNow); }

  template <typename T>
  std::vector<T> EventsOf(CSmppServerSession& session) {
    std::vector<T> out;
    for (const auto& e : session.TakeEvents()) {
      if (auto* p = std::get_if<T>(&e)) out.push_back(*p);
    }
    return out;
  }

  static Pdu BindPdu(ECommandId eCommand, uint32_t nSequence, std::string sPassword = "secret1") {
    return Pdu{Id(eCommand), 0, nSequence, BindBody{"acme", std::move(sPassword), "", 0x34, 0, 0, ""}};
  }

  static Pdu Submit(uint32_t nSequence, std::string sText = "hello") {
    ShortMessageBody sm;
    sm.sDestinationAddr = "447700900123";
    sm.ShortMessage.assign(sText.begin(), sText.end());
    return Pdu{Id(ECommandId::SubmitSm), 0, nSequence, sm};
  }

  // Bound as eCommand's kind; no output or events left behind.
  void Bind(CSmppServerSession& session, ECommandId eCommand = ECommandId::BindTransceiver) {
    Feed(session, BindPdu(eCommand, 1));
    auto requests = EventsOf<BindRequestedEvent>(session);
    ASSERT_EQ(requests.size(), 1u);
    session.AcceptBind(requests[0].nSequence, "velquor");
    Written(session);
    ASSERT_EQ(session.State(), EState::Bound);
  }

  Clock::time_point mNow = Clock::time_point() + 1000h;
};

TEST_F(SmppServerSessionTest, BindIsCheckedByTheOwnerAndAnsweredOnce) {
  CSmppServerSession session(Options(), mNow);
  // Before a bind: enquire_link is answered, the rest refused.
  Feed(session, Pdu{Id(ECommandId::EnquireLink), 0, 3, {}});
  ExpectAnswer(session, ECommandId::EnquireLinkResp, ESME_ROK, 3);
  Feed(session, Submit(4));
  ExpectAnswer(session, ECommandId::SubmitSmResp, ESME_RINVBNDSTS, 4);
  EXPECT_TRUE(session.TakeEvents().empty());

  // A refused bind leaves the session open for another try.
  Feed(session, BindPdu(ECommandId::BindTransceiver, 5, "wrong"));
  auto requests = EventsOf<BindRequestedEvent>(session);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].eKind, EServerBindKind::Transceiver);
  EXPECT_EQ(requests[0].body.sSystemId, "acme");
  EXPECT_EQ(requests[0].body.sPassword, "wrong");
  Feed(session, BindPdu(ECommandId::BindTransceiver, 6));  // while the first is being checked
  ExpectAnswer(session, ECommandId::BindTransceiverResp, ESME_RALYBND, 6);
  session.RefuseBind(5, ESME_RINVPASWD);
  ExpectAnswer(session, ECommandId::BindTransceiverResp, ESME_RINVPASWD, 5);
  EXPECT_EQ(session.State(), EState::Open);
  EXPECT_FALSE(session.BindKind());

  Feed(session, BindPdu(ECommandId::BindReceiver, 7));
  ASSERT_EQ(EventsOf<BindRequestedEvent>(session).at(0).eKind, EServerBindKind::Receiver);
  session.AcceptBind(6, "velquor");  // not the pending one: ignored
  EXPECT_TRUE(session.PendingOutput().empty());
  session.AcceptBind(7, "velquor");
  Pdu resp = WrittenOne(session);
  EXPECT_EQ(resp, (Pdu{Id(ECommandId::BindReceiverResp), ESME_ROK, 7, BindRespBody{"velquor", 0x34}}));
  EXPECT_EQ(session.State(), EState::Bound);
  EXPECT_EQ(session.BindKind(), EServerBindKind::Receiver);
  EXPECT_EQ(session.SystemId(), "acme");

  Feed(session, BindPdu(ECommandId::BindTransmitter, 8));
  ExpectAnswer(session, ECommandId::BindTransmitterResp, ESME_RALYBND, 8);
  EXPECT_TRUE(session.TakeEvents().empty());
  // A receiver does not submit.
  Feed(session, Submit(9));
  ExpectAnswer(session, ECommandId::SubmitSmResp, ESME_RINVBNDSTS, 9);
  EXPECT_TRUE(session.TakeEvents().empty());
  EXPECT_TRUE(session.CanDeliver());
}

TEST_F(SmppServerSessionTest, NoBindWithinTheTimeOutCloses) {
  CSmppServerSession session(Options(), mNow);
  EXPECT_EQ(session.NextDeadline(), mNow + 10s);
  // A refused bind does not restart the clock.
  mNow += 8s;
  Feed(session, BindPdu(ECommandId::BindTransmitter, 1, "wrong"));
  session.RefuseBind(1, ESME_RINVPASWD);
  session.TakeEvents();
  Written(session);
  EXPECT_EQ(session.NextDeadline(), mNow + 2s);
  session.Tick(mNow + 1999ms);
  EXPECT_EQ(session.State(), EState::Open);
  session.Tick(mNow + 2s);
  EXPECT_EQ(session.State(), EState::Closed);
  EXPECT_EQ(EventsOf<ServerClosedEvent>(session).size(), 1u);
  EXPECT_EQ(session.NextDeadline(), Clock::time_point::max());
  // Nothing more happens on a closed session.
  Feed(session, BindPdu(ECommandId::BindTransmitter, 2));
  session.AcceptBind(1, "velquor");
  EXPECT_TRUE(session.PendingOutput().empty());
  EXPECT_TRUE(session.TakeEvents().empty());
}

TEST_F(SmppServerSessionTest, SubmitWindowThrottlesBeyondItsSize) {
  CSmppServerSession session(Options(), mNow);
  Bind(session, ECommandId::BindTransmitter);
  EXPECT_FALSE(session.CanDeliver());
  Feed(session, Submit(10, "a"));
  Feed(session, Submit(11, "b"));
  Feed(session, Submit(12, "c"));
  auto submits = EventsOf<SubmitRequestedEvent>(session);
  ASSERT_EQ(submits.size(), 2u);
  EXPECT_EQ(submits[0].nSequence, 10u);
  EXPECT_EQ(submits[1].body, std::get<ShortMessageBody>(Submit(11, "b").Body));
  ExpectAnswer(session, ECommandId::SubmitSmResp, ESME_RTHROTTLED, 12);
  EXPECT_EQ(session.SubmitsInFlight(), 2u);

  // Answers in any order free places.
  session.AnswerSubmit(11, ESME_ROK, "4711");
  session.AnswerSubmit(10, ESME_RINVDSTADR, "ignored");
  auto answers = Written(session);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], (Pdu{Id(ECommandId::SubmitSmResp), ESME_ROK, 11, MessageIdBody{"4711"}}));
  EXPECT_EQ(answers[1], (Pdu{Id(ECommandId::SubmitSmResp), ESME_RINVDSTADR, 10, MessageIdBody{}}));
  EXPECT_EQ(session.SubmitsInFlight(), 0u);
  session.AnswerSubmit(10, ESME_ROK, "4712");  // answered already
  EXPECT_TRUE(session.PendingOutput().empty());

  // A client reusing a sequence number gets an answer for each.
  Feed(session, Submit(13));
  Feed(session, Submit(13));
  EXPECT_EQ(EventsOf<SubmitRequestedEvent>(session).size(), 2u);
  session.AnswerSubmit(13, ESME_ROK, "1");
  session.AnswerSubmit(13, ESME_ROK, "2");
  EXPECT_EQ(Written(session).size(), 2u);
}

TEST_F(SmppServerSessionTest, EnquireLinkBothWays) {
  CSmppServerSession session(Options(), mNow);
  Bind(session);
  Feed(session, Pdu{Id(ECommandId::EnquireLink), 0, 20, {}});
  ExpectAnswer(session, ECommandId::EnquireLinkResp, ESME_ROK, 20);

  // Traffic from the client defers ours.
  EXPECT_EQ(session.NextDeadline(), mNow + 30s);
  mNow += 20s;
  Feed(session, Pdu{Id(ECommandId::EnquireLink), 0, 21, {}});
  Written(session);
  session.Tick(mNow + 29s);
  EXPECT_TRUE(session.PendingOutput().empty());
  mNow += 30s;
  session.Tick(mNow);
  Pdu ours = WrittenOne(session);
  EXPECT_EQ(ours.Command(), ECommandId::EnquireLink);
  EXPECT_EQ(session.NextDeadline(), mNow + 5s);
  Feed(session, Pdu{Id(ECommandId::EnquireLinkResp), 0, ours.nSequence, {}});
  session.Tick(mNow + 10s);
  EXPECT_EQ(session.State(), EState::Bound);

  // Unanswered: the client is gone.
  mNow += 30s;
  session.Tick(mNow);
  EXPECT_EQ(WrittenOne(session).Command(), ECommandId::EnquireLink);
  session.Tick(mNow + 4999ms);
  EXPECT_EQ(session.State(), EState::Bound);
  session.Tick(mNow + 5s);
  EXPECT_EQ(session.State(), EState::Closed);
  EXPECT_NE(EventsOf<ServerClosedEvent>(session).at(0).sReason.find("enquire_link"), std::string::npos);
}

TEST_F(SmppServerSessionTest, ClientUnbindIsAnsweredAfterItsSubmits) {
  CSmppServerSession idle(Options(), mNow);
  Bind(idle);
  Feed(idle, Pdu{Id(ECommandId::Unbind), 0, 30, {}});
  ExpectAnswer(idle, ECommandId::UnbindResp, ESME_ROK, 30);
  EXPECT_EQ(idle.State(), EState::Closed);

  // The submits in flight are answered first, so the client learns their
  // message_ids; nothing new is taken meanwhile.
  CSmppServerSession busy(Options(), mNow);
  Bind(busy);
  Feed(busy, Submit(31));
  Feed(busy, Pdu{Id(ECommandId::Unbind), 0, 32, {}});
  EXPECT_TRUE(busy.PendingOutput().empty());
  EXPECT_EQ(busy.State(), EState::Unbinding);
  Feed(busy, Submit(33));
  ExpectAnswer(busy, ECommandId::SubmitSmResp, ESME_RINVBNDSTS, 33);
  EXPECT_EQ(EventsOf<SubmitRequestedEvent>(busy).size(), 1u);
  busy.AnswerSubmit(31, ESME_ROK, "99");
  auto out = Written(busy);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Command(), ECommandId::SubmitSmResp);
  EXPECT_EQ(out[1], (Pdu{Id(ECommandId::UnbindResp), ESME_ROK, 32, {}}));
  EXPECT_EQ(busy.State(), EState::Closed);

  // An owner that never answers does not hold the session open.
  CSmppServerSession stuck(Options(), mNow);
  Bind(stuck);
  Feed(stuck, Submit(34));
  Feed(stuck, Pdu{Id(ECommandId::Unbind), 0, 35, {}});
  EXPECT_EQ(stuck.NextDeadline(), mNow + 5s);
  stuck.Tick(mNow + 5s);
  ExpectAnswer(stuck, ECommandId::UnbindResp, ESME_ROK, 35);
  EXPECT_EQ(stuck.State(), EState::Closed);
}

TEST_F(SmppServerSessionTest, ServerUnbindClosesOnAnswerOrTimeOut) {
  CSmppServerSession answered(Options(), mNow);
  Bind(answered);
  answered.Unbind(mNow);
  Pdu unbind = WrittenOne(answered);
  EXPECT_EQ(unbind.Command(), ECommandId::Unbind);
  EXPECT_EQ(answered.State(), EState::Unbinding);
  EXPECT_FALSE(answered.CanDeliver());
  Feed(answered, Pdu{Id(ECommandId::UnbindResp), 0, unbind.nSequence, {}});
  EXPECT_EQ(answered.State(), EState::Closed);

  CSmppServerSession silent(Options(), mNow);
  Bind(silent);
  silent.Unbind(mNow);
  silent.Tick(mNow + 4s);
  EXPECT_EQ(silent.State(), EState::Unbinding);
  silent.Tick(mNow + 5s);
  EXPECT_EQ(silent.State(), EState::Closed);
}

TEST_F(SmppServerSessionTest, DeliverWindowAndEveryDeliveryAnsweredOnce) {
  CSmppServerSession session(Options(), mNow);
  Bind(session);
  ShortMessageBody receipt;
  receipt.sSourceAddr = "447700900123";
  receipt.nEsmClass = kEsmTypeReceipt;
  receipt.sReceiptedMessageId = "4711";
  receipt.nMessageState = 2;
  session.Deliver(501, receipt, mNow);
  session.Deliver(502, receipt, mNow + 1s);
  EXPECT_FALSE(session.CanDeliver());
  EXPECT_THROW(session.Deliver(503, receipt, mNow), std::logic_error);
  auto sent = Written(session);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].Command(), ECommandId::DeliverSm);
  EXPECT_EQ(sent[0].Body, PduBody(receipt));
  EXPECT_NE(sent[0].nSequence, sent[1].nSequence);

  // Answered with a status; a lone header is an answer too.
  session.Receive(Bytes("00000010 80000005 00000058 00000000"), mNow);
  EXPECT_TRUE(session.TakeEvents().empty());  // answers nothing of ours
  Feed(session, Pdu{Id(ECommandId::DeliverSmResp), ESME_RTHROTTLED, sent[1].nSequence, MessageIdBody{}});
  auto answers = EventsOf<DeliverAnsweredEvent>(session);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].nToken, 502u);
  EXPECT_EQ(answers[0].nStatus, ESME_RTHROTTLED);
  EXPECT_EQ(session.DeliveriesInFlight(), 1u);

  // Unanswered within the time-out: reported without a status.
  session.Tick(mNow + 5s);
  answers = EventsOf<DeliverAnsweredEvent>(session);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].nToken, 501u);
  EXPECT_FALSE(answers[0].nStatus);
  Feed(session, Pdu{Id(ECommandId::DeliverSmResp), ESME_ROK, sent[0].nSequence, MessageIdBody{}});  // too late
  EXPECT_TRUE(session.TakeEvents().empty());

  // A body the codec cannot write is refused before anything is sent.
  ShortMessageBody tooLong = receipt;
  tooLong.sSourceAddr = std::string(21, '1');
  EXPECT_THROW(session.Deliver(503, tooLong, mNow), std::invalid_argument);
  EXPECT_EQ(session.DeliveriesInFlight(), 0u);
  EXPECT_TRUE(session.PendingOutput().empty());

  // An answer whose body is broken still counts by its header; a
  // generic_nack is a refusal even without a status.
  session.Deliver(504, receipt, mNow);
  session.Deliver(505, receipt, mNow);
  sent = Written(session);
  ASSERT_EQ(sent.size(), 2u);
  auto raw = Bytes("00000012 80000005 00000000 00000000 'AA'");
  raw[15] = static_cast<uint8_t>(sent[0].nSequence);
  session.Receive(raw, mNow);
  Feed(session, Pdu{Id(ECommandId::GenericNack), ESME_ROK, sent[1].nSequence, {}});
  EXPECT_TRUE(session.PendingOutput().empty());
  answers = EventsOf<DeliverAnsweredEvent>(session);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].nToken, 504u);
  EXPECT_EQ(answers[0].nStatus, ESME_ROK);
  EXPECT_EQ(answers[1].nToken, 505u);
  EXPECT_EQ(answers[1].nStatus, ESME_RUNKNOWNERR);

  // The account's window, set after the bind, holds from the next delivery.
  session.SetDeliverWindow(3);
  for (std::uint64_t token = 508; token < 511; ++token) session.Deliver(token, receipt, mNow);
  EXPECT_FALSE(session.CanDeliver());
  Written(session);
  session.SetDeliverWindow(0);  // at least one
  EXPECT_EQ(session.DeliverWindow(), 1u);
  session.Receive(Bytes("00000000"), mNow);
  EXPECT_EQ(EventsOf<DeliverAnsweredEvent>(session).size(), 3u);
}

TEST_F(SmppServerSessionTest, DeliveriesInFlightAreReportedBeforeTheClose) {
  CSmppServerSession session(Options(), mNow);
  Bind(session);
  ShortMessageBody receipt;
  receipt.sSourceAddr = "447700900123";
  receipt.nEsmClass = kEsmTypeReceipt;
  session.Deliver(506, receipt, mNow);
  session.Deliver(507, receipt, mNow);
  session.Receive(Bytes("00000000"), mNow);
  auto events = session.TakeEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_FALSE(std::get<DeliverAnsweredEvent>(events[0]).nStatus);
  EXPECT_FALSE(std::get<DeliverAnsweredEvent>(events[1]).nStatus);
  EXPECT_TRUE(std::holds_alternative<ServerClosedEvent>(events[2]));
  EXPECT_EQ(session.DeliveriesInFlight(), 0u);
}

// command_length out of bounds: the stream cannot be split any more.
TEST_F(SmppServerSessionTest, CommandLengthOutOfBoundsIsNackedAndCloses) {
  for (const char* szHeader : {"00000000 00000004 00000000 0000002A", "00000005 00000004 00000000 0000002A",
                               "80000000 00000004 00000000 0000002A"}) {
    SCOPED_TRACE(szHeader);
    CSmppServerSession session(Options(), mNow);
    Bind(session);
    session.Receive(Bytes(szHeader), mNow);
    ExpectAnswer(session, ECommandId::GenericNack, ESME_RINVCMDLEN, 42);
    EXPECT_EQ(session.State(), EState::Closed);
    EXPECT_EQ(EventsOf<ServerClosedEvent>(session).size(), 1u);
  }
}

TEST_F(SmppServerSessionTest, UndecodablePduIsAnsweredAndTheSessionGoesOn) {
  CSmppServerSession session(Options(), mNow);
  // A password longer than the field: the bind's own response.
  session.Receive(Bytes("00000024 00000002 00000000 00000001 'acme' 00 'toolong12' 00 00 34 00 00 00"), mNow);
  ExpectAnswer(session, ECommandId::BindTransmitterResp, ESME_RINVPASWD, 1);
  EXPECT_TRUE(session.TakeEvents().empty());
  Bind(session);

  // A submit_sm whose body stops after the service_type.
  session.Receive(Bytes("00000011 00000004 00000000 00000002 00"), mNow);
  ExpectAnswer(session, ECommandId::GenericNack, ESME_RINVCMDLEN, 2);
  // Unknown command ids, data_sm among them.
  session.Receive(Bytes("00000010 00000099 00000000 00000003"), mNow);
  ExpectAnswer(session, ECommandId::GenericNack, ESME_RINVCMDID, 3);
  session.Receive(Bytes("00000014 00000103 00000000 00000004 00000000"), mNow);
  ExpectAnswer(session, ECommandId::GenericNack, ESME_RINVCMDID, 4);
  // deliver_sm goes to the client, not from it.
  Feed(session, Pdu{Id(ECommandId::DeliverSm), 0, 5, std::get<ShortMessageBody>(Submit(5).Body)});
  ExpectAnswer(session, ECommandId::GenericNack, ESME_RINVCMDID, 5);
  // sm_length 255.
  auto bad = EncodePdu(Submit(6, ""));
  bad[bad.size() - 1] = 0xFF;
  session.Receive(bad, mNow);
  ExpectAnswer(session, ECommandId::SubmitSmResp, ESME_RINVMSGLEN, 6);

  EXPECT_TRUE(session.TakeEvents().empty());
  EXPECT_EQ(session.State(), EState::Bound);
  Feed(session, Submit(7));
  EXPECT_EQ(EventsOf<SubmitRequestedEvent>(session).size(), 1u);
}

}  // namespace
}  // namespace Norvale::Smpp
