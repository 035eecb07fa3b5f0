#include "smpp/pdu_writer.h"

#include <stdexcept>
#include <string>

namespace Norvale::Smpp {

CPduWriter::CPduWriter(std::vector<uint8_t>& Out, uint32_t nCommandId, uint32_t nCommandStatus, uint32_t nSequence)
    : m_Out(Out), m_nStart(Out.size()) {
  U32(0);
  U32(nCommandId);
  U32(nCommandStatus);
  U32(nSequence);
}

void CPduWriter::U16(uint16_t n) {
  m_Out.push_back(static_cast<uint8_t>(n >> 8));
  m_Out.push_back(static_cast<uint8_t>(n));
}

void CPduWriter::U32(uint32_t n) {
  m_Out.push_back(static_cast<uint8_t>(n >> 24));
  m_Out.push_back(static_cast<uint8_t>(n >> 16));
  m_Out.push_back(static_cast<uint8_t>(n >> 8));
  m_Out.push_back(static_cast<uint8_t>(n));
}

namespace {
void CheckCString(const char* sField, std::string_view s, size_t nMax) {
  if (s.size() >= nMax) {
    throw std::invalid_argument(std::string(sField) + " is " + std::to_string(s.size()) + " octets; at most " +
                                std::to_string(nMax - 1) + " fit");
  }
  if (s.find('\0') != std::string_view::npos) throw std::invalid_argument(std::string(sField) + " holds a NUL");
}
}  // namespace

void CPduWriter::CString(const char* sField, std::string_view s, size_t nMax) {
  CheckCString(sField, s, nMax);
  m_Out.insert(m_Out.end(), s.begin(), s.end());
  m_Out.push_back(0);
}

void CPduWriter::Tlv(uint16_t nTag, std::span<const uint8_t> Value) {
  if (Value.size() > 0xFFFF) {
    throw std::invalid_argument("TLV " + std::to_string(nTag) + " holds " + std::to_string(Value.size()) +
                                " octets; at most 65535 fit");
  }
  U16(nTag);
  U16(static_cast<uint16_t>(Value.size()));
  Octets(Value);
}

void CPduWriter::TlvU8(uint16_t nTag, uint8_t n) {
  U16(nTag);
  U16(1);
  U8(n);
}

void CPduWriter::TlvU16(uint16_t nTag, uint16_t n) {
  U16(nTag);
  U16(2);
  U16(n);
}

void CPduWriter::TlvCString(const char* sField, uint16_t nTag, std::string_view s, size_t nMax) {
  CheckCString(sField, s, nMax);
  U16(nTag);
  U16(static_cast<uint16_t>(s.size() + 1));
  m_Out.insert(m_Out.end(), s.begin(), s.end());
  m_Out.push_back(0);
}

void CPduWriter::Finish() {
  size_t nLength = m_Out.size() - m_nStart;
  if (nLength > 0xFFFFFFFFu) throw std::invalid_argument("PDU longer than command_length can say");
  m_Out[m_nStart] = static_cast<uint8_t>(nLength >> 24);
  m_Out[m_nStart + 1] = static_cast<uint8_t>(nLength >> 16);
  m_Out[m_nStart + 2] = static_cast<uint8_t>(nLength >> 8);
  m_Out[m_nStart + 3] = static_cast<uint8_t>(nLength);
}

}  // namespace Norvale::Smpp
