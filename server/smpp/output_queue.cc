#include "smpp/output_queue.h"

#include <algorithm>

#include "smpp/pdu_codec.h"

namespace Norvale::Smpp {

void COutputQueue::Append(const Pdu& message) { EncodePdu(message, m_Octets); }

std::span<const uint8_t> COutputQueue::Pending() const { return std::span<const uint8_t>(m_Octets).subspan(m_nStart); }

void COutputQueue::Consume(size_t nOctets) {
  m_nStart += std::min(nOctets, m_Octets.size() - m_nStart);
  if (m_nStart == m_Octets.size()) {
    Clear();
  } else if (m_nStart > 4096 && m_nStart > m_Octets.size() / 2) {
    m_Octets.erase(m_Octets.begin(), m_Octets.begin() + static_cast<std::ptrdiff_t>(m_nStart));
    m_nStart = 0;
  }
}

void COutputQueue::Clear() {
  m_Octets.clear();
  m_nStart = 0;
}

}  // namespace Norvale::Smpp
