// libFuzzer target for the decoders of untrusted bytes: SMS-DELIVER,
// SMS-STATUS-REPORT and SMS-SUBMIT (with and without the SMSC prefix) and
// the user-data header. Besides memory and undefined-behaviour faults it
// checks that what decodes and can be encoded again decodes to the same,
// and that text survives splitting. Build with clang:
//
//   CXX=clang++ cmake -S server/codec -B build-fuzz -G Ninja -DVELQUOR_BUILD_FUZZERS=ON -DVELQUOR_BUILD_TESTS=OFF
//   ninja -C build-fuzz pdu_fuzz
//   mkdir -p build-fuzz/corpus && build-fuzz/pdu_fuzz -max_total_time=20 build-fuzz/corpus server/codec/pdu_fuzz_seeds
#include <cstdlib>
#include <span>
#include <string_view>

#include "codec/pdu_error.h"
#include "codec/sms_deliver.h"
#include "codec/sms_split.h"
#include "codec/sms_status_report.h"
#include "codec/sms_submit.h"
#include "codec/udh.h"

using namespace Norvale::Sms;

namespace {

void Check(bool bCondition) {
  if (!bCondition) std::abort();
}

// Decode; when the result encodes again, the encoding must decode to the
// same. Encoding may refuse (std::invalid_argument) what a lenient decoder
// let through, e.g. an SMS centre "number" without digits.
template <class T, class Decode, class Encode>
void RoundTrip(std::span<const uint8_t> Pdu, bool bWithSmsc, Decode DecodeFn, Encode EncodeFn) {
  T First;
  try {
    First = DecodeFn(Pdu, bWithSmsc);
  } catch (const PduError&) {
    return;
  }
  EncodedPdu Again;
  try {
    Again = EncodeFn(First);
  } catch (const std::invalid_argument&) {
    return;
  }
  Check(Again.nTpduLength <= Again.Octets.size());
  Check(DecodeFn(Again.Octets, true) == First);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  const std::span<const uint8_t> Data(pData, nSize);
  for (const bool bWithSmsc : {true, false}) {
    RoundTrip<SmsDeliver>(Data, bWithSmsc, DecodeDeliver, EncodeDeliver);
    RoundTrip<SmsStatusReport>(Data, bWithSmsc, DecodeStatusReport, EncodeStatusReport);
    RoundTrip<SmsSubmit>(Data, bWithSmsc, DecodeSubmit, EncodeSubmit);
  }

  try {
    const auto Elements = ParseUdh(Data);
    Check(BuildUdh(Elements) == std::vector<uint8_t>(Data.begin(), Data.end()));
    if (const auto Concat = FindConcatenation(Elements))
      Check(Concat->nSequence >= 1 && Concat->nSequence <= Concat->nTotal);
    FindPorts(Elements);
  } catch (const PduError&) {
  }

  const std::string_view sText(reinterpret_cast<const char*>(pData), nSize);
  try {
    const auto Parts = SplitText(sText, 1);
    Check(PartsToUtf8(Parts) == sText);
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
