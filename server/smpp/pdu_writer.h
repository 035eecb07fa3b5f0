// Appends one PDU to an output buffer: the header first with a placeholder
// command_length, then the fields, then Finish() writes the length. Strings
// and octet fields are checked against their SMPP limits, so nothing that
// leaves here is malformed; a value that does not fit is
// std::invalid_argument naming the field (the caller's fault, never the
// network's).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace Norvale::Smpp {

class CPduWriter {
 public:
  CPduWriter(std::vector<uint8_t>& Out, uint32_t nCommandId, uint32_t nCommandStatus, uint32_t nSequence);

  void U8(uint8_t n) { m_Out.push_back(n); }
  void U16(uint16_t n);
  void U32(uint32_t n);
  // Text of fewer than nMax octets (nMax counts the NUL) without NUL octets.
  void CString(const char* sField, std::string_view s, size_t nMax);
  void Octets(std::span<const uint8_t> Data) { m_Out.insert(m_Out.end(), Data.begin(), Data.end()); }
  void Tlv(uint16_t nTag, std::span<const uint8_t> Value);
  void TlvU8(uint16_t nTag, uint8_t n);
  void TlvU16(uint16_t nTag, uint16_t n);
  void TlvCString(const char* sField, uint16_t nTag, std::string_view s, size_t nMax);

  // Writes command_length; std::invalid_argument when the PDU exceeds the
  // 32-bit length (never for the PDUs built here).
  void Finish();

 private:
  std::vector<uint8_t>& m_Out;
  size_t m_nStart;
};

}  // namespace Norvale::Smpp
