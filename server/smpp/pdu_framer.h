// Cuts a TCP byte stream into PDUs by their command_length (the first four
// octets of every PDU, big-endian, counting the whole PDU).
//
// A command_length below 16 (no room for the header) or above the cap
// (64 KiB by default: no PDU of this gateway comes near, and a huge length
// would make us buffer whatever the peer sends) means the stream can no
// longer be split: the framer turns Broken and the connection has to be
// closed, after answering generic_nack ESME_RINVCMDLEN if the header was
// readable (BrokenHeader()).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Norvale::Smpp {

class CPduFramer {
 public:
  static constexpr size_t kDefaultMaxPduLength = 64 * 1024;

  explicit CPduFramer(size_t nMaxPduLength = kDefaultMaxPduLength);

  // Adds received octets. Spans handed out by Next() before are invalid
  // afterwards. Ignored once the stream is broken.
  void Append(std::span<const uint8_t> Octets);

  // The next whole PDU, header included, valid until the next Append();
  // nothing when more octets are needed or the stream is broken.
  std::optional<std::span<const uint8_t>> Next();

  bool Broken() const { return m_bBroken; }
  const std::string& BrokenReason() const { return m_sBrokenReason; }
  // The 16 header octets of the PDU that broke the stream, when they had
  // arrived (for the generic_nack's sequence number).
  struct Header {
    uint32_t nCommandLength = 0;
    uint32_t nCommandId = 0;
    uint32_t nSequence = 0;
  };
  std::optional<Header> BrokenHeader() const;

  // Octets received but not yet handed out.
  size_t Buffered() const { return m_Buffer.size() - m_nStart; }
  void Reset();

 private:
  size_t m_nMaxPduLength;
  std::vector<uint8_t> m_Buffer;
  size_t m_nStart = 0;
  bool m_bBroken = false;
  std::string m_sBrokenReason;
};

}  // namespace Norvale::Smpp
