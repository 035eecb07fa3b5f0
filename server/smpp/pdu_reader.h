// A cursor over the octets of one received PDU that never reads past its
// end. Every read checks the remaining length first and throws
// PduReadError, which names the field, the octet offset and the
// command_status a request with this fault is answered with.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "smpp/pdu_error.h"

namespace Norvale::Smpp {

class PduReadError : public std::runtime_error {
 public:
  PduReadError(EDecodeError eKind, uint32_t nAnswerStatus, const std::string& sDetail)
      : std::runtime_error(sDetail), m_eKind(eKind), m_nAnswerStatus(nAnswerStatus) {}
  EDecodeError Kind() const { return m_eKind; }
  uint32_t AnswerStatus() const { return m_nAnswerStatus; }

 private:
  EDecodeError m_eKind;
  uint32_t m_nAnswerStatus;
};

class CPduReader {
 public:
  explicit CPduReader(std::span<const uint8_t> Data) : m_Data(Data) {}

  uint8_t U8(const char* sField);
  uint16_t U16(const char* sField);
  uint32_t U32(const char* sField);
  // A C-octet string of at most nMax octets with its NUL. No NUL within
  // nMax octets is InvalidField (answered with nStatusIfInvalid); the body
  // ending before a NUL is Truncated.
  std::string CString(const char* sField, size_t nMax, uint32_t nStatusIfInvalid);
  std::vector<uint8_t> Octets(const char* sField, size_t nCount);
  std::span<const uint8_t> View(const char* sField, size_t nCount);

  size_t Offset() const { return m_nPos; }
  size_t Remaining() const { return m_Data.size() - m_nPos; }
  bool AtEnd() const { return m_nPos == m_Data.size(); }

 private:
  void Need(const char* sField, size_t nCount) const;

  std::span<const uint8_t> m_Data;
  size_t m_nPos = 0;
};

}  // namespace Norvale::Smpp
