// The SMS codec beside a raw baseline moving the same bytes: encoding an
// SMS-SUBMIT from a job's text to the hex that AT+CMGS takes, and decoding
// an SMS-DELIVER from the hex a modem reports to text. The raw baseline
// copies the text with memcpy and converts the same number of octets to or
// from hex with a plain loop: the least any codec must do. At the end each
// codec/raw pair's ratio is printed.
//
//   build/bench/sms_codec_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "codec/sms_deliver.h"
#include "codec/sms_split.h"
#include "codec/sms_submit.h"

using namespace Norvale::Sms;

namespace {

// Argument 0: 160 characters of GSM 7-bit text; 1: 70 characters of UCS-2.
std::string Text(int64_t nKind) {
  if (nKind == 0) return std::string(150, 'x') + "[€] 12345";
  std::string s;
  for (int i = 0; i < 70; ++i) s += "Ж";
  return s;
}

SmsSubmit Submit(const std::string& sText) {
  SmsSubmit s;
  s.Destination = ParseAddress("+491701234567");
  s.eValidityFormat = ValidityFormat::Relative;
  s.Validity = {RelativeValidity(std::chrono::hours(24))};
  s.UserData = SplitText(sText, 0).front();
  return s;
}

std::string DeliverHex(const std::string& sText) {
  SmsDeliver d;
  d.sSmsc = "+491710760000";
  d.Originator = ParseAddress("+491701234567");
  d.ServiceCentreTime = {2024, 5, 17, 10, 30, 0, 8};
  d.UserData = SplitText(sText, 0).front();
  return EncodeDeliver(d).Hex();
}

// The plain loops of the baseline.
void RawToHex(const uint8_t* pIn, size_t n, char* pOut) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    pOut[2 * i] = kDigits[pIn[i] >> 4];
    pOut[2 * i + 1] = kDigits[pIn[i] & 0x0F];
  }
}

int Nibble(char c) { return c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10; }

void RawFromHex(const char* pIn, size_t n, uint8_t* pOut) {
  for (size_t i = 0; i < n; ++i) pOut[i] = static_cast<uint8_t>(Nibble(pIn[2 * i]) << 4 | Nibble(pIn[2 * i + 1]));
}

void EncodeSubmit_Codec(benchmark::State& state) {
  const std::string sText = Text(state.range(0));
  SmsSubmit s = Submit(sText);
  for (auto _ : state) {
    s.UserData = SplitText(sText, 0).front();
    benchmark::DoNotOptimize(EncodeSubmit(s).Hex());
  }
  state.SetItemsProcessed(state.iterations());
}

void EncodeSubmit_Raw(benchmark::State& state) {
  const std::string sText = Text(state.range(0));
  const size_t nPdu = EncodeSubmit(Submit(sText)).Octets.size();
  std::vector<uint8_t> Octets(nPdu);
  for (auto _ : state) {
    std::memcpy(Octets.data(), sText.data(), std::min(sText.size(), nPdu));
    std::string sHex(2 * nPdu, '\0');
    RawToHex(Octets.data(), nPdu, sHex.data());
    benchmark::DoNotOptimize(sHex);
  }
  state.SetItemsProcessed(state.iterations());
}

void DecodeDeliver_Codec(benchmark::State& state) {
  const std::string sHex = DeliverHex(Text(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeDeliver(FromHex(sHex)).sText);
  state.SetItemsProcessed(state.iterations());
}

void DecodeDeliver_Raw(benchmark::State& state) {
  const std::string sText = Text(state.range(0));
  const std::string sHex = DeliverHex(sText);
  for (auto _ : state) {
    std::vector<uint8_t> Octets(sHex.size() / 2);
    RawFromHex(sHex.data(), Octets.size(), Octets.data());
    std::string sOut(sText.size(), '\0');
    std::memcpy(sOut.data(), Octets.data(), std::min(sOut.size(), Octets.size()));
    benchmark::DoNotOptimize(sOut);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(EncodeSubmit_Codec)->Arg(0)->Arg(1);
BENCHMARK(EncodeSubmit_Raw)->Arg(0)->Arg(1);
BENCHMARK(DecodeDeliver_Codec)->Arg(0)->Arg(1);
BENCHMARK(DecodeDeliver_Raw)->Arg(0)->Arg(1);

// Prints the runs as usual and, at the end, codec time / raw time per pair.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (!run.error_occurred) m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::cout << "\ncodec / raw (memcpy and a hex loop over the same octets):\n";
    for (const auto& [name, time] : m_times) {
      const auto at = name.find("_Codec");
      if (at == std::string::npos) continue;
      const std::string raw = name.substr(0, at) + "_Raw" + name.substr(at + 6);
      if (const auto it = m_times.find(raw); it != m_times.end() && it->second > 0)
        std::cout << "  " << name.substr(0, at) << (name.back() == '0' ? " GSM 7-bit" : " UCS-2") << ": "
                  << time / it->second << "x\n";
    }
  }

 private:
  std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
