// libFuzzer target: octets from a hostile SMS centre.
//
// The input, after its first octet, goes one of three ways: as one PDU to
// the decoder (whose result, when it decodes, must encode again and decode
// to the same record), in chunks through the framer, or into a bound
// session, whose every reaction must stay well-formed. Address and
// undefined-behaviour sanitizers catch any read past the end.
//
// Build and run (clang only):
//   CXX=clang++ cmake -S server/smpp -B build-fuzz -G Ninja -DVELQUOR_BUILD_FUZZERS=ON -DVELQUOR_BUILD_TESTS=OFF
//   ninja -C build-fuzz smpp_pdu_fuzz
//   build-fuzz/smpp_pdu_fuzz -max_total_time=20 -max_len=4096 build-fuzz/corpus server/smpp/smpp_pdu_fuzz_seeds
#include <cstdint>
#include <cstdlib>
#include <span>

#include "smpp/pdu_codec.h"
#include "smpp/pdu_framer.h"
#include "smpp/smpp_session.h"

using namespace Norvale::Smpp;

namespace {

void Check(bool b) {
  if (!b) std::abort();
}

void DecodeOne(std::span<const uint8_t> Octets) {
  DecodeResult Result = DecodePdu(Octets);
  if (const Pdu* p = std::get_if<Pdu>(&Result)) {
    // What decodes re-encodes, unless a field holds what our encoder
    // refuses to write (an incoming system_id may be longer than ours).
    std::vector<uint8_t> Again;
    try {
      EncodePdu(*p, Again);
    } catch (const std::invalid_argument&) {
      return;
    }
    DecodeResult Second = DecodePdu(Again);
    const Pdu* q = std::get_if<Pdu>(&Second);
    Check(q != nullptr);
    Pdu a = *p, b = *q;
    // Skipped TLVs are not written again.
    if (auto* pSm = std::get_if<ShortMessageBody>(&a.Body)) pSm->nSkippedTlvs = 0;
    Check(a == b);
  } else {
    const auto& Error = std::get<DecodeError>(Result);
    Check(!Error.Describe().empty());
  }
}

void Frame(std::span<const uint8_t> Octets) {
  CPduFramer Framer(4096);
  size_t nChunk = Octets.empty() ? 1 : Octets[0] % 17 + 1;
  for (size_t i = 0; i < Octets.size(); i += nChunk) {
    Framer.Append(Octets.subspan(i, std::min(nChunk, Octets.size() - i)));
    while (auto Pdu = Framer.Next()) {
      Check(Pdu->size() >= kHeaderLength && Pdu->size() <= 4096);
      DecodeOne(*Pdu);
    }
  }
}

void Session(std::span<const uint8_t> Octets) {
  SessionSettings Settings;
  Settings.sSystemId = "fuzz";
  CSmppSession Session(Settings);
  auto Now = CSmppSession::Clock::time_point() + std::chrono::hours(1);
  Session.Open(Now);
  const uint8_t BindResp[] = {0, 0, 0, 0x15, 0x80, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 1, 'S', 'M', 'S', 'C', 0};
  Session.Receive(BindResp, Now);
  Session.Receive(Octets, Now);
  Session.Tick(Now + std::chrono::minutes(5));
  Session.TakeEvents();
  // Everything the session wrote in answer is well-formed.
  CPduFramer Framer;
  Framer.Append(Session.PendingOutput());
  while (auto Pdu = Framer.Next()) Check(std::holds_alternative<struct Pdu>(DecodePdu(*Pdu)));
  Check(!Framer.Broken() && Framer.Buffered() == 0);
}

}  // namespace

// The first octet picks the way, so each run does one thing and the
// fuzzer learns which inputs reach where.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize == 0) return 0;
  std::span<const uint8_t> Octets(pData + 1, nSize - 1);
  switch (pData[0] % 3) {
    case 0: DecodeOne(Octets); break;
    case 1: Frame(Octets); break;
    default: Session(Octets); break;
  }
  return 0;
}
