#include "codec/udh.h"

#include <stdexcept>
#include <string>

#include "codec/pdu_error.h"

namespace Norvale::Sms {

std::vector<InformationElement> ParseUdh(std::span<const uint8_t> Udh) {
  std::vector<InformationElement> Elements;
  for (size_t i = 0; i < Udh.size();) {
    if (Udh.size() - i < 2)
      throw PduError("user-data header: element at octet " + std::to_string(i) + " has no length octet");
    const size_t nLength = Udh[i + 1];
    if (Udh.size() - i - 2 < nLength)
      throw PduError("user-data header: element " + std::to_string(Udh[i]) + " at octet " + std::to_string(i) +
                     " claims " + std::to_string(nLength) + " octets, " + std::to_string(Udh.size() - i - 2) + " left");
    Elements.push_back({Udh[i], {Udh.begin() + i + 2, Udh.begin() + i + 2 + nLength}});
    i += 2 + nLength;
  }
  return Elements;
}

std::vector<uint8_t> BuildUdh(std::span<const InformationElement> Elements) {
  std::vector<uint8_t> Udh;
  for (const auto& e : Elements) {
    if (e.Data.size() > 255)
      throw std::invalid_argument("user-data header element " + std::to_string(e.nIei) + " has " +
                                  std::to_string(e.Data.size()) + " octets, at most 255 fit");
    Udh.push_back(e.nIei);
    Udh.push_back(static_cast<uint8_t>(e.Data.size()));
    Udh.insert(Udh.end(), e.Data.begin(), e.Data.end());
  }
  return Udh;
}

std::optional<Concatenation> FindConcatenation(std::span<const InformationElement> Elements) {
  std::optional<Concatenation> Found;
  for (const auto& e : Elements) {
    Concatenation c;
    if (e.nIei == kIeConcat8 && e.Data.size() == 3) {
      c = {e.Data[0], e.Data[1], e.Data[2], false};
    } else if (e.nIei == kIeConcat16 && e.Data.size() == 4) {
      c = {static_cast<uint16_t>(e.Data[0] << 8 | e.Data[1]), e.Data[2], e.Data[3], true};
    } else {
      continue;
    }
    if (c.nTotal == 0 || c.nSequence == 0 || c.nSequence > c.nTotal) continue;
    Found = c;
  }
  return Found;
}

InformationElement MakeConcatenationIe(const Concatenation& Concat) {
  if (Concat.bWideReference)
    return {kIeConcat16,
            {static_cast<uint8_t>(Concat.nReference >> 8), static_cast<uint8_t>(Concat.nReference), Concat.nTotal,
             Concat.nSequence}};
  return {kIeConcat8, {static_cast<uint8_t>(Concat.nReference), Concat.nTotal, Concat.nSequence}};
}

std::optional<PortAddressing> FindPorts(std::span<const InformationElement> Elements) {
  std::optional<PortAddressing> Found;
  for (const auto& e : Elements) {
    if (e.nIei == kIePorts8 && e.Data.size() == 2)
      Found = PortAddressing{e.Data[0], e.Data[1], false};
    else if (e.nIei == kIePorts16 && e.Data.size() == 4)
      Found = PortAddressing{static_cast<uint16_t>(e.Data[0] << 8 | e.Data[1]),
                             static_cast<uint16_t>(e.Data[2] << 8 | e.Data[3]), true};
  }
  return Found;
}

InformationElement MakePortsIe(const PortAddressing& Ports) {
  if (Ports.bWide)
    return {kIePorts16,
            {static_cast<uint8_t>(Ports.nDestination >> 8), static_cast<uint8_t>(Ports.nDestination),
             static_cast<uint8_t>(Ports.nSource >> 8), static_cast<uint8_t>(Ports.nSource)}};
  return {kIePorts8, {static_cast<uint8_t>(Ports.nDestination), static_cast<uint8_t>(Ports.nSource)}};
}

}  // namespace Norvale::Sms
