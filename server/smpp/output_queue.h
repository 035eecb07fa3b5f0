// COutputQueue: the octets a session has written and its connection has not
// sent yet. PDUs are appended encoded; the connection takes from the front
// as much as the socket accepts. The space of what was sent is given back
// once all is sent, or once it is both over 4 KiB and over half the buffer,
// so a connection that always lags does not grow the buffer without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "smpp/pdu.h"

namespace Norvale::Smpp {

class COutputQueue {
 public:
  // Encodes the PDU at the end; std::invalid_argument (nothing appended)
  // for a body the codec cannot write.
  void Append(const Pdu& message);
  std::span<const uint8_t> Pending() const;
  void Consume(size_t nOctets);
  void Clear();

 private:
  std::vector<uint8_t> m_Octets;
  size_t m_nStart = 0;
};

}  // namespace Norvale::Smpp
