#include "smpp/pdu_framer.h"

#include <algorithm>

#include "smpp/pdu.h"

namespace Norvale::Smpp {

namespace {
uint32_t ReadU32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
}  // namespace

CPduFramer::CPduFramer(size_t nMaxPduLength) : m_nMaxPduLength(std::max(nMaxPduLength, kHeaderLength)) {}

void CPduFramer::Append(std::span<const uint8_t> Octets) {
  if (m_bBroken) return;
  if (m_nStart > 0) {
    m_Buffer.erase(m_Buffer.begin(), m_Buffer.begin() + static_cast<std::ptrdiff_t>(m_nStart));
    m_nStart = 0;
  }
  m_Buffer.insert(m_Buffer.end(), Octets.begin(), Octets.end());
}

std::optional<std::span<const uint8_t>> CPduFramer::Next() {
  if (m_bBroken || Buffered() < 4) return std::nullopt;
  uint32_t nLength = ReadU32(m_Buffer.data() + m_nStart);
  if (nLength < kHeaderLength || nLength > m_nMaxPduLength) {
    m_bBroken = true;
    m_sBrokenReason = "command_length " + std::to_string(nLength) + " outside 16.." + std::to_string(m_nMaxPduLength) +
                      ": the stream cannot be split into PDUs any more";
    return std::nullopt;
  }
  if (Buffered() < nLength) return std::nullopt;
  std::span<const uint8_t> Pdu(m_Buffer.data() + m_nStart, nLength);
  m_nStart += nLength;
  return Pdu;
}

std::optional<CPduFramer::Header> CPduFramer::BrokenHeader() const {
  if (!m_bBroken || Buffered() < kHeaderLength) return std::nullopt;
  const uint8_t* p = m_Buffer.data() + m_nStart;
  return Header{ReadU32(p), ReadU32(p + 4), ReadU32(p + 12)};
}

void CPduFramer::Reset() {
  m_Buffer.clear();
  m_nStart = 0;
  m_bBroken = false;
  m_sBrokenReason.clear();
}

}  // namespace Norvale::Smpp
