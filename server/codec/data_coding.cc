#include "codec/data_coding.h"

namespace Norvale::Sms {

DcsInfo ClassifyDcs(uint8_t nDcs) {
  DcsInfo info;
  const uint8_t nGroup = nDcs >> 4;
  if (nGroup <= 0x7) {
    info.bAutoDelete = (nDcs & 0x40) != 0;
    info.bCompressed = (nDcs & 0x20) != 0;
    if (nDcs & 0x10) info.eClass = static_cast<MessageClass>(nDcs & 0x03);
    switch (nDcs >> 2 & 0x03) {
      case 0: info.eAlphabet = Coding::Gsm7; break;
      case 1: info.eAlphabet = Coding::Data8; break;
      case 2: info.eAlphabet = Coding::Ucs2; break;
      default: info.bReserved = true; break;
    }
  } else if (nGroup <= 0xB) {
    info.bReserved = true;
  } else if (nGroup <= 0xE) {
    info.bMessageWaiting = true;
    info.eAlphabet = nGroup == 0xE ? Coding::Ucs2 : Coding::Gsm7;
  } else {
    info.eAlphabet = (nDcs & 0x04) ? Coding::Data8 : Coding::Gsm7;
    info.eClass = static_cast<MessageClass>(nDcs & 0x03);
  }
  return info;
}

uint8_t MakeDcs(Coding eAlphabet, std::optional<MessageClass> eClass) {
  uint8_t nDcs = eAlphabet == Coding::Gsm7 ? 0x00 : eAlphabet == Coding::Ucs2 ? 0x08 : 0x04;
  if (eClass) nDcs |= 0x10 | static_cast<uint8_t>(*eClass);
  return nDcs;
}

}  // namespace Norvale::Sms
