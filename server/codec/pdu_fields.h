// Reading and writing the fields that the PDU types share: addresses, time
// stamps, user data. Used by the PDU encoders and decoders of this codec
// only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codec/sms_address.h"
#include "codec/sms_split.h"
#include "codec/sms_timestamp.h"

namespace Norvale::Sms {

// Walks through untrusted octets; every read is checked against the end and
// a failure raises PduError naming the PDU kind, the field and the offset.
class CPduReader {
 public:
  CPduReader(std::span<const uint8_t> Pdu, const char* sKind) : m_Pdu(Pdu), m_sKind(sKind) {}
  uint8_t Octet(const char* sField);
  std::span<const uint8_t> Octets(size_t nCount, const char* sField);
  size_t Remaining() const { return m_Pdu.size() - m_nPos; }
  [[noreturn]] void Fail(const char* sField, const std::string& sWhy) const;

 private:
  std::span<const uint8_t> m_Pdu;
  size_t m_nPos = 0;
  const char* m_sKind;
};

PhoneAddress ReadAddress(CPduReader& Reader, const char* sField);
void WriteAddress(std::vector<uint8_t>& Out, const PhoneAddress& Address);

// The SMS centre prefix; "" for length 00.
std::string ReadSmsc(CPduReader& Reader);
void WriteSmsc(std::vector<uint8_t>& Out, const std::string& sSmsc);

SmsTimestamp ReadTimestamp(CPduReader& Reader, const char* sField);
void WriteTimestamp(std::vector<uint8_t>& Out, const SmsTimestamp& Time);

// TP-UDL and TP-UD, read as the DCS and TP-UDHI say.
UserDataPart ReadUserData(CPduReader& Reader, uint8_t nDcs, bool bUdhi);
// Writes TP-UDL and TP-UD of the part; TP-UDHI is for the caller to set
// when Part.Udh is not empty. std::invalid_argument when the part does not
// fit one message or its coding disagrees with its DCS.
void WriteUserData(std::vector<uint8_t>& Out, const UserDataPart& Part);

}  // namespace Norvale::Sms
