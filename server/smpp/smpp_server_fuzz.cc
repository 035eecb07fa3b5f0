// libFuzzer target: octets from a hostile SMPP client (an ESME) to the
// server's side of a session.
//
// The input is the client's byte stream, fed in chunks of varying size. Between
// chunks the owner plays velquor-smppd: it accepts most binds and refuses some,
// answers some submits at once and others a chunk later, offers a receipt
// whenever the session can take one, and lets time pass so enquire_link and
// the time-outs fire. At the end it unbinds and lets time run out, or breaks
// the stream.
// Checked throughout: everything the session writes is well-formed SMPP, the
// windows hold, a deadline waits while the session lives, and every deliver_sm
// is answered exactly once (by the client, a time-out or the close).
//
// Build and run (clang only):
//   CXX=clang++ cmake -S server/smpp -B build-fuzz -G Ninja -DVELQUOR_BUILD_FUZZERS=ON -DVELQUOR_BUILD_TESTS=OFF
//   ninja -C build-fuzz smpp_server_fuzz
//   build-fuzz/smpp_server_fuzz -max_total_time=20 -max_len=4096 build-fuzz/corpus-server
//   server/smpp/smpp_server_fuzz_seeds
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
#include <vector>

#include "smpp/command_status.h"
#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"
#include "smpp/smpp_server_session.h"

using namespace Norvale::Smpp;
using namespace std::chrono_literals;

namespace {

void Check(bool b) {
  if (!b) std::abort();
}

class CFuzzOwner {
 public:
  explicit CFuzzOwner(const ServerSessionOptions& options)
      : m_Options(options), m_Session(options, m_Now), m_Framer(options.maxPduLength) {}

  void Run(std::span<const uint8_t> octets) {
    size_t nChunk = 0;
    for (size_t i = 0; i < octets.size(); ++nChunk) {
      size_t nSize = std::min<size_t>(1 + (nChunk * 7) % 31, octets.size() - i);
      m_Session.Receive(octets.subspan(i, nSize), m_Now);
      i += nSize;
      React(nChunk);
    }
    if (octets.size() % 2) {
      // A stream broken at the end: the session closes at once, with
      // whatever is in flight.
      const uint8_t broken[16] = {};
      m_Session.Receive(broken, m_Now);
    } else {
      m_Session.Unbind(m_Now);
    }
    React(0);
    for (int i = 0; i < 4 && m_Session.State() != CSmppServerSession::EState::Closed; ++i) {
      m_Now += 1h;
      m_Session.Tick(m_Now);
      React(1);
    }
    Check(m_Session.State() == CSmppServerSession::EState::Closed);
    Check(m_Delivering.empty());
    Check(m_Session.SubmitsInFlight() == 0 && m_Session.DeliveriesInFlight() == 0);
  }

 private:
  void React(size_t nChunk) {
    bool bClosed = m_Session.State() == CSmppServerSession::EState::Closed;
    // Submits held back from the chunk before.
    for (uint32_t nSequence : m_HeldSubmits) {
      m_Session.AnswerSubmit(nSequence, nSequence % 3 ? ESME_ROK : ESME_RSUBMITFAIL, std::to_string(nSequence));
    }
    m_HeldSubmits.clear();
    for (auto& event : m_Session.TakeEvents()) {
      Check(!m_bSawClose);
      if (auto* pBind = std::get_if<BindRequestedEvent>(&event)) {
        if (pBind->nSequence % 4 == 3) {
          m_Session.RefuseBind(pBind->nSequence, ESME_RINVPASWD);
        } else {
          m_Session.AcceptBind(pBind->nSequence, "velquor-fuzz-long-system-id");
        }
      } else if (auto* pSubmit = std::get_if<SubmitRequestedEvent>(&event)) {
        if (pSubmit->nSequence % 2) {
          m_HeldSubmits.push_back(pSubmit->nSequence);
        } else {
          m_Session.AnswerSubmit(pSubmit->nSequence, ESME_ROK, std::to_string(pSubmit->nSequence));
        }
      } else if (auto* pAnswer = std::get_if<DeliverAnsweredEvent>(&event)) {
        Check(m_Delivering.erase(pAnswer->nToken) == 1);
      } else {
        m_bSawClose = true;
      }
    }
    if (bClosed) Check(m_bSawClose);
    Check(m_Session.SubmitsInFlight() <= m_Options.submitWindow);
    Check(m_Session.DeliveriesInFlight() <= m_Options.deliverWindow);
    Check(m_Session.DeliveriesInFlight() == m_Delivering.size());
    if (m_Session.CanDeliver()) {
      ShortMessageBody receipt;
      receipt.sSourceAddr = "447700900123";
      receipt.nEsmClass = kEsmTypeReceipt;
      receipt.sReceiptedMessageId = std::to_string(m_nNextToken);
      receipt.nMessageState = 2;
      m_Session.Deliver(m_nNextToken, receipt, m_Now);
      m_Delivering.insert(m_nNextToken++);
    }
    CheckOutput();
    Check(m_Session.State() == CSmppServerSession::EState::Closed ||
          m_Session.NextDeadline() != CSmppServerSession::Clock::time_point::max());
    m_Now += std::chrono::seconds(nChunk % 5);
    m_Session.Tick(m_Now);
  }

  // Everything written is whole PDUs that decode; read as the client would,
  // in pieces.
  void CheckOutput() {
    auto out = m_Session.PendingOutput();
    size_t nTake = out.size() > 3 ? out.size() - 3 : out.size();
    m_Framer.Append(out.first(nTake));
    m_Session.ConsumeOutput(nTake);
    while (auto pdu = m_Framer.Next()) Check(std::holds_alternative<struct Pdu>(DecodePdu(*pdu)));
    Check(!m_Framer.Broken());
  }

  ServerSessionOptions m_Options;
  CSmppServerSession::Clock::time_point m_Now = CSmppServerSession::Clock::time_point() + 1000h;
  CSmppServerSession m_Session;
  CPduFramer m_Framer;
  std::vector<uint32_t> m_HeldSubmits;
  std::set<uint64_t> m_Delivering;
  uint64_t m_nNextToken = 1;
  bool m_bSawClose = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  ServerSessionOptions options;
  options.bindTimeout = 20s;
  options.enquireLinkInterval = 7s;
  options.responseTimeout = 10s;
  options.submitWindow = 3;
  options.deliverWindow = 2;
  options.maxPduLength = 4096;
  CFuzzOwner owner(options);
  owner.Run(std::span<const uint8_t>(pData, nSize));
  return 0;
}
