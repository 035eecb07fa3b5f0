#include "codec/sms_split.h"

#include <stdexcept>

#include "codec/gsm_alphabet.h"
#include "codec/hex.h"
#include "codec/septet_packing.h"
#include "codec/udh.h"
#include "codec/unicode.h"

namespace Norvale::Sms {

namespace {

constexpr size_t kConcatIeOctets = 5;  // 00 03 ref total seq

// Payload units making up the character that starts at i: an escape takes
// its extension septet along, a high surrogate its low one.
size_t CharUnits(Coding eCoding, std::span<const uint8_t> Payload, size_t i) {
  if (eCoding == Coding::Gsm7) return Payload[i] == kGsm7Escape ? 2 : 1;
  if (eCoding == Coding::Ucs2) {
    const bool bPair = i + 3 < Payload.size() && (Payload[i] & 0xFC) == 0xD8 && (Payload[i + 2] & 0xFC) == 0xDC;
    return bPair ? 4 : 2;
  }
  return 1;
}

std::vector<UserDataPart> Split(Coding eCoding, uint8_t nDcs, std::span<const uint8_t> Udh,
                                std::span<const uint8_t> Payload, uint8_t nReference) {
  if (Udh.size() + 1 > kMaxUserDataOctets)
    throw std::invalid_argument("user-data header of " + std::to_string(Udh.size()) + " octets leaves no room");
  const auto Elements = ParseUdh(Udh);
  if (Payload.size() <= PayloadCapacity(eCoding, Udh.size()))
    return {UserDataPart{eCoding, nDcs, {Udh.begin(), Udh.end()}, {Payload.begin(), Payload.end()}}};

  if (FindConcatenation(Elements))
    throw std::invalid_argument("the user-data header already holds a concatenation element, but the data needs " +
                                std::string("several messages"));
  const size_t nMax = PayloadCapacity(eCoding, Udh.size() + kConcatIeOctets);
  if (nMax < 4)
    throw std::invalid_argument("user-data header of " + std::to_string(Udh.size()) +
                                " octets leaves no room for concatenated parts");
  std::vector<size_t> Starts{0};
  for (size_t i = 0; i < Payload.size();) {
    const size_t n = std::min(CharUnits(eCoding, Payload, i), Payload.size() - i);
    if (i + n - Starts.back() > nMax) Starts.push_back(i);
    i += n;
  }
  if (Starts.size() > 255)
    throw std::invalid_argument("content needs " + std::to_string(Starts.size()) +
                                " messages, at most 255 can be concatenated");
  Starts.push_back(Payload.size());

  std::vector<UserDataPart> Parts;
  const auto nTotal = static_cast<uint8_t>(Starts.size() - 1);
  for (size_t k = 0; k + 1 < Starts.size(); ++k) {
    UserDataPart& Part = Parts.emplace_back();
    Part.eCoding = eCoding;
    Part.nDcs = nDcs;
    const InformationElement Concat = MakeConcatenationIe({nReference, nTotal, static_cast<uint8_t>(k + 1), false});
    Part.Udh.assign(Udh.begin(), Udh.end());
    Part.Udh.push_back(Concat.nIei);
    Part.Udh.push_back(static_cast<uint8_t>(Concat.Data.size()));
    Part.Udh.insert(Part.Udh.end(), Concat.Data.begin(), Concat.Data.end());
    Part.Payload.assign(Payload.begin() + Starts[k], Payload.begin() + Starts[k + 1]);
  }
  return Parts;
}

std::vector<UserDataPart> SplitUtf16(std::u16string_view sText, uint8_t nReference) {
  const std::vector<uint8_t> Octets = Utf16ToBe(sText);
  return Split(Coding::Ucs2, MakeDcs(Coding::Ucs2), {}, Octets, nReference);
}

}  // namespace

size_t PayloadCapacity(Coding eCoding, size_t nUdhOctets) {
  const size_t nHeader = nUdhOctets == 0 ? 0 : nUdhOctets + 1;
  if (eCoding == Coding::Gsm7) {
    const size_t nUsed = HeaderSeptets(nHeader);
    return nUsed >= kMaxSeptets ? 0 : kMaxSeptets - nUsed;
  }
  return nHeader >= kMaxUserDataOctets ? 0 : kMaxUserDataOctets - nHeader;
}

std::vector<UserDataPart> SplitText(std::string_view sUtf8, uint8_t nReference) {
  const std::u32string sText = Utf8ToUtf32(sUtf8);
  if (const auto Septets = TryUtf32ToGsm7(sText))
    return Split(Coding::Gsm7, MakeDcs(Coding::Gsm7), {}, *Septets, nReference);
  return SplitUtf16(Utf8ToUtf16(sUtf8), nReference);
}

std::vector<UserDataPart> SplitUcs2Hex(std::string_view sHex, uint8_t nReference) {
  if (sHex.size() % 4 != 0)
    throw std::invalid_argument("Unicode hex text must have 4 digits per character, got " +
                                std::to_string(sHex.size()) + " digits");
  const std::u16string sText = Utf16FromBe(FromHex(sHex));
  CheckUtf16(sText, "Unicode hex text");
  return SplitUtf16(sText, nReference);
}

std::vector<UserDataPart> SplitData(uint8_t nDcs, std::span<const uint8_t> Udh, std::span<const uint8_t> Ud,
                                    uint8_t nReference) {
  const Coding eCoding = ClassifyDcs(nDcs).UnitCoding();
  if (eCoding == Coding::Gsm7) {
    for (size_t i = 0; i < Ud.size(); ++i)
      if (Ud[i] > 0x7F)
        throw std::invalid_argument("DCS " + ToHex(std::span(&nDcs, 1)) + " says GSM 7-bit, but user data octet " +
                                    std::to_string(i) + " is " + ToHex(Ud.subspan(i, 1)) + ", not a septet");
  } else if (eCoding == Coding::Ucs2 && Ud.size() % 2 != 0) {
    throw std::invalid_argument("DCS " + ToHex(std::span(&nDcs, 1)) + " says UCS-2, but the user data has an odd " +
                                "number of octets (" + std::to_string(Ud.size()) + ")");
  }
  return Split(eCoding, nDcs, Udh, Ud, nReference);
}

std::string PartsToUtf8(std::span<const UserDataPart> Parts) {
  // Each part may have its own coding; runs of one coding are joined.
  std::string sText;
  for (size_t i = 0; i < Parts.size();) {
    const Coding eCoding = Parts[i].eCoding;
    if (eCoding == Coding::Data8) throw std::invalid_argument("8-bit data has no text");
    std::vector<uint8_t> Joined;
    for (; i < Parts.size() && Parts[i].eCoding == eCoding; ++i)
      Joined.insert(Joined.end(), Parts[i].Payload.begin(), Parts[i].Payload.end());
    sText += eCoding == Coding::Gsm7 ? Gsm7ToUtf8(Joined) : Utf16BeToUtf8(Joined);
  }
  return sText;
}

}  // namespace Norvale::Sms
