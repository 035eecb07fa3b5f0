#include "smpp/pdu_reader.h"

#include <algorithm>
#include <cstring>

#include "smpp/command_status.h"

namespace Norvale::Smpp {

void CPduReader::Need(const char* sField, size_t nCount) const {
  if (Remaining() < nCount) {
    throw PduReadError(EDecodeError::Truncated, ESME_RINVCMDLEN,
                       std::string(sField) + ": needs " + std::to_string(nCount) + " octets at offset " +
                           std::to_string(m_nPos) + ", " + std::to_string(Remaining()) + " left");
  }
}

uint8_t CPduReader::U8(const char* sField) {
  Need(sField, 1);
  return m_Data[m_nPos++];
}

uint16_t CPduReader::U16(const char* sField) {
  Need(sField, 2);
  uint16_t n = static_cast<uint16_t>(m_Data[m_nPos] << 8 | m_Data[m_nPos + 1]);
  m_nPos += 2;
  return n;
}

uint32_t CPduReader::U32(const char* sField) {
  Need(sField, 4);
  uint32_t n = uint32_t{m_Data[m_nPos]} << 24 | uint32_t{m_Data[m_nPos + 1]} << 16 | uint32_t{m_Data[m_nPos + 2]} << 8 |
               uint32_t{m_Data[m_nPos + 3]};
  m_nPos += 4;
  return n;
}

std::string CPduReader::CString(const char* sField, size_t nMax, uint32_t nStatusIfInvalid) {
  size_t nScan = std::min(nMax, Remaining());
  const uint8_t* pBegin = m_Data.data() + m_nPos;
  const void* pNul = nScan ? std::memchr(pBegin, 0, nScan) : nullptr;
  if (!pNul) {
    if (Remaining() < nMax) {
      throw PduReadError(EDecodeError::Truncated, ESME_RINVCMDLEN,
                         std::string(sField) + ": the PDU ends at offset " + std::to_string(m_Data.size()) +
                             " before the string's NUL");
    }
    throw PduReadError(EDecodeError::InvalidField, nStatusIfInvalid,
                       std::string(sField) + ": no NUL within " + std::to_string(nMax) + " octets at offset " +
                           std::to_string(m_nPos));
  }
  size_t nLength = static_cast<size_t>(static_cast<const uint8_t*>(pNul) - pBegin);
  std::string s(reinterpret_cast<const char*>(pBegin), nLength);
  m_nPos += nLength + 1;
  return s;
}

std::vector<uint8_t> CPduReader::Octets(const char* sField, size_t nCount) {
  auto View_ = View(sField, nCount);
  return {View_.begin(), View_.end()};
}

std::span<const uint8_t> CPduReader::View(const char* sField, size_t nCount) {
  Need(sField, nCount);
  auto Result = m_Data.subspan(m_nPos, nCount);
  m_nPos += nCount;
  return Result;
}

}  // namespace Norvale::Smpp
