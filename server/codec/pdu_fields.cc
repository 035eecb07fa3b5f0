#include "codec/pdu_fields.h"

#include <stdexcept>

#include "codec/gsm_alphabet.h"
#include "codec/pdu_error.h"
#include "codec/septet_packing.h"
#include "codec/udh.h"

namespace Norvale::Sms {

namespace {

constexpr size_t kMaxAddressDigits = 20;
constexpr size_t kMaxSmscOctets = 11;  // type and 10 octets of digits
constexpr char kDigits[] = "0123456789*#abc";

int DigitValue(char c) {
  for (int i = 0; i < 15; ++i)
    if (kDigits[i] == c) return i;
  return -1;
}

void WriteDigits(std::vector<uint8_t>& Out, std::string_view sDigits) {
  for (size_t i = 0; i < sDigits.size(); i += 2) {
    const int nLow = DigitValue(sDigits[i]);
    const int nHigh = i + 1 < sDigits.size() ? DigitValue(sDigits[i + 1]) : 0x0F;
    if (nLow < 0 || nHigh < 0)
      throw std::invalid_argument("number \"" + std::string(sDigits) + "\" has a character other than 0-9 * # a b c");
    Out.push_back(static_cast<uint8_t>(nHigh << 4 | nLow));
  }
}

// Semi-octet digits; a filler F ends the number early.
std::string ReadDigits(std::span<const uint8_t> Value, size_t nDigits) {
  std::string sDigits;
  for (size_t i = 0; i < nDigits; ++i) {
    const int n = i % 2 == 0 ? Value[i / 2] & 0x0F : Value[i / 2] >> 4;
    if (n == 0x0F) break;
    sDigits += kDigits[n];
  }
  return sDigits;
}

std::string_view DigitsOf(const PhoneAddress& Address) {
  std::string_view s = Address.sValue;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return s;
}

int Bcd(CPduReader& Reader, uint8_t nOctet, const char* sField) {
  const int nFirst = nOctet & 0x0F, nSecond = nOctet >> 4;
  if (nFirst > 9 || nSecond > 9) Reader.Fail(sField, "digits are not decimal");
  return nFirst * 10 + nSecond;
}

uint8_t SwappedBcd(int n) { return static_cast<uint8_t>((n % 10) << 4 | (n / 10 % 10)); }

}  // namespace

uint8_t CPduReader::Octet(const char* sField) { return Octets(1, sField)[0]; }

std::span<const uint8_t> CPduReader::Octets(size_t nCount, const char* sField) {
  if (Remaining() < nCount)
    Fail(sField, std::to_string(nCount) + " octets needed, " + std::to_string(Remaining()) + " left");
  const auto Field = m_Pdu.subspan(m_nPos, nCount);
  m_nPos += nCount;
  return Field;
}

void CPduReader::Fail(const char* sField, const std::string& sWhy) const {
  throw PduError(std::string(m_sKind) + ": " + sField + " at octet " + std::to_string(m_nPos) + ": " + sWhy);
}

PhoneAddress ReadAddress(CPduReader& Reader, const char* sField) {
  const size_t nLength = Reader.Octet(sField);
  if (nLength > kMaxAddressDigits)
    Reader.Fail(sField, "length of " + std::to_string(nLength) + " semi-octets, at most 20 possible");
  PhoneAddress Address;
  Address.nType = Reader.Octet(sField);
  const auto Value = Reader.Octets((nLength + 1) / 2, sField);
  if (Address.IsAlphanumeric()) {
    Address.sValue = Gsm7ToUtf8(UnpackSeptets(Value, nLength * 4 / 7));
  } else {
    Address.sValue = (Address.IsInternational() ? "+" : "") + ReadDigits(Value, nLength);
  }
  return Address;
}

void WriteAddress(std::vector<uint8_t>& Out, const PhoneAddress& Address) {
  if (Address.IsAlphanumeric()) {
    const auto Septets = Utf8ToGsm7(Address.sValue);
    if (Septets.size() * 7 > kMaxAddressDigits * 4)
      throw std::invalid_argument("alphanumeric address \"" + Address.sValue + "\" is longer than 11 characters");
    Out.push_back(static_cast<uint8_t>((Septets.size() * 7 + 3) / 4));
    Out.push_back(Address.nType);
    const auto Packed = PackSeptets(Septets);
    Out.insert(Out.end(), Packed.begin(), Packed.end());
    return;
  }
  const std::string_view sDigits = DigitsOf(Address);
  if (sDigits.size() > kMaxAddressDigits)
    throw std::invalid_argument("address \"" + Address.sValue + "\" has more than 20 digits");
  Out.push_back(static_cast<uint8_t>(sDigits.size()));
  Out.push_back(Address.nType);
  WriteDigits(Out, sDigits);
}

std::string ReadSmsc(CPduReader& Reader) {
  const size_t nLength = Reader.Octet("SMSC address length");
  if (nLength == 0) return {};
  if (nLength > kMaxSmscOctets)
    Reader.Fail("SMSC address", "length of " + std::to_string(nLength) + " octets, at most 11 possible");
  const uint8_t nType = Reader.Octet("SMSC address type");
  const auto Value = Reader.Octets(nLength - 1, "SMSC address");
  return ((nType & 0x70) == 0x10 ? "+" : "") + ReadDigits(Value, Value.size() * 2);
}

void WriteSmsc(std::vector<uint8_t>& Out, const std::string& sSmsc) {
  if (sSmsc.empty()) {
    Out.push_back(0);
    return;
  }
  const PhoneAddress Address = ParseAddress(sSmsc);
  if (Address.IsAlphanumeric()) throw std::invalid_argument("SMS centre address \"" + sSmsc + "\" is not a number");
  const std::string_view sDigits = DigitsOf(Address);
  Out.push_back(static_cast<uint8_t>(1 + (sDigits.size() + 1) / 2));
  Out.push_back(Address.nType);
  WriteDigits(Out, sDigits);
}

SmsTimestamp ReadTimestamp(CPduReader& Reader, const char* sField) {
  const auto o = Reader.Octets(7, sField);
  SmsTimestamp Time;
  const int nYear = Bcd(Reader, o[0], sField);
  Time.nYear = nYear >= 90 ? 1900 + nYear : 2000 + nYear;
  Time.nMonth = Bcd(Reader, o[1], sField);
  Time.nDay = Bcd(Reader, o[2], sField);
  Time.nHour = Bcd(Reader, o[3], sField);
  Time.nMinute = Bcd(Reader, o[4], sField);
  Time.nSecond = Bcd(Reader, o[5], sField);
  const int nQuarters = Bcd(Reader, o[6] & 0xF7, sField);
  Time.nZoneQuarters = (o[6] & 0x08) ? -nQuarters : nQuarters;
  return Time;
}

void WriteTimestamp(std::vector<uint8_t>& Out, const SmsTimestamp& Time) {
  const int Fields[] = {Time.nYear % 100, Time.nMonth, Time.nDay, Time.nHour, Time.nMinute, Time.nSecond};
  for (int n : Fields) {
    if (n < 0 || n > 99) throw std::invalid_argument("time stamp field " + std::to_string(n) + " is not two digits");
    Out.push_back(SwappedBcd(n));
  }
  const int nQuarters = Time.nZoneQuarters < 0 ? -Time.nZoneQuarters : Time.nZoneQuarters;
  if (nQuarters > 79) throw std::invalid_argument("time zone of " + std::to_string(nQuarters) + " quarter hours");
  Out.push_back(static_cast<uint8_t>(SwappedBcd(nQuarters) | (Time.nZoneQuarters < 0 ? 0x08 : 0)));
}

UserDataPart ReadUserData(CPduReader& Reader, uint8_t nDcs, bool bUdhi) {
  UserDataPart Part;
  Part.nDcs = nDcs;
  Part.eCoding = ClassifyDcs(nDcs).UnitCoding();
  const size_t nUdl = Reader.Octet("TP-UDL");
  const bool bSeptets = Part.eCoding == Coding::Gsm7;
  if (nUdl > (bSeptets ? kMaxSeptets : kMaxUserDataOctets))
    Reader.Fail("TP-UDL", std::to_string(nUdl) + (bSeptets ? " septets, at most 160" : " octets, at most 140"));
  const auto Ud = Reader.Octets(bSeptets ? PackedOctets(nUdl, 0) : nUdl, "TP-UD");
  size_t nHeader = 0;
  if (bUdhi && nUdl > 0) {
    nHeader = 1 + static_cast<size_t>(Ud[0]);
    if (nHeader > Ud.size() || (bSeptets && HeaderSeptets(nHeader) > nUdl))
      Reader.Fail("TP-UD", "user-data header of " + std::to_string(nHeader) + " octets is longer than the user data");
    Part.Udh.assign(Ud.begin() + 1, Ud.begin() + nHeader);
    ParseUdh(Part.Udh);
  } else if (bUdhi) {
    Reader.Fail("TP-UD", "TP-UDHI is set but the user data is empty");
  }
  if (bSeptets) {
    Part.Payload = UnpackSeptets(Ud.subspan(nHeader), nUdl - HeaderSeptets(nHeader), FillBits(nHeader));
  } else {
    Part.Payload.assign(Ud.begin() + nHeader, Ud.end());
  }
  return Part;
}

void WriteUserData(std::vector<uint8_t>& Out, const UserDataPart& Part) {
  if (Part.eCoding != ClassifyDcs(Part.nDcs).UnitCoding())
    throw std::invalid_argument("DCS " + std::to_string(Part.nDcs) + " does not match the coding of the user data");
  const size_t nHeader = Part.Udh.empty() ? 0 : 1 + Part.Udh.size();
  if (Part.Payload.size() > PayloadCapacity(Part.eCoding, Part.Udh.size()) || nHeader > kMaxUserDataOctets)
    throw std::invalid_argument("user data of " + std::to_string(Part.Payload.size()) + " units and a header of " +
                                std::to_string(Part.Udh.size()) + " octets does not fit one message");
  const bool bSeptets = Part.eCoding == Coding::Gsm7;
  Out.push_back(
      static_cast<uint8_t>(bSeptets ? HeaderSeptets(nHeader) + Part.Payload.size() : nHeader + Part.Payload.size()));
  if (nHeader > 0) {
    Out.push_back(static_cast<uint8_t>(Part.Udh.size()));
    Out.insert(Out.end(), Part.Udh.begin(), Part.Udh.end());
  }
  if (bSeptets) {
    for (uint8_t s : Part.Payload)
      if (s > 0x7F) throw std::invalid_argument("GSM 7-bit user data holds a value above 0x7F");
    const auto Packed = PackSeptets(Part.Payload, FillBits(nHeader));
    Out.insert(Out.end(), Packed.begin(), Packed.end());
    // Without text the fill bits after the header still take an octet of
    // their own, as TP-UDL counts them.
    if (Part.Payload.empty() && FillBits(nHeader) > 0) Out.push_back(0);
  } else {
    Out.insert(Out.end(), Part.Payload.begin(), Part.Payload.end());
  }
}

}  // namespace Norvale::Sms
