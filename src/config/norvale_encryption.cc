#include "config/norvale_encryption.h"

#include "config/base64.h"

namespace Norvale {

// Only the first eight characters of each text are key bytes: the slash, the
// x and the digit characters themselves.
const uint8* const CNorvaleEncryption::m_lpKey1 = reinterpret_cast<const uint8*>("/x3C/x91/x5E/x07/xB2/x6D/xE8/x14");
const uint8* const CNorvaleEncryption::m_lpKey2 = reinterpret_cast<const uint8*>("/x7A/x0F/xC3/x58/x21/x9B/x46/xD0");

std::string CNorvaleEncryption::EncryptString(const std::string& StringIn) {
  const size_t n = std::strlen(StringIn.c_str());  // up to the first zero byte
  if (n == 0) return std::string();
  TqbDESImpl<0> des;
  des.TqbSetKey1(m_lpKey1);
  des.TqbSetKey2(m_lpKey2);
  if (!des.TqbDoDES(reinterpret_cast<const uint8*>(StringIn.data()), static_cast<OS::DWORD>(n), true))
    return std::string();
  return CBase64::Encode(des.TqbGetCryptogram(), des.TqbGetCryptogramSize());
}

std::string CNorvaleEncryption::DecryptString(const std::string& StringIn) {
  if (StringIn.empty()) return std::string();
  const std::string bytes = CBase64::Decode(StringIn);
  if (bytes.size() < 16) return std::string();
  TqbDESImpl<0> des;
  des.TqbSetKey1(m_lpKey1);
  des.TqbSetKey2(m_lpKey2);
  if (!des.TqbDoDES(reinterpret_cast<const uint8*>(bytes.data()), static_cast<OS::DWORD>(bytes.size()), false))
    return std::string();
  const char* text = reinterpret_cast<const char*>(des.TqbGetPlainText());
  return std::string(text, strnlen(text, des.TqbGetOutputSize()));
}

}  // namespace Norvale
