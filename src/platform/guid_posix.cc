#include "platform/guid.h"

#include <cstdio>

namespace Norvale::OS {

std::string GuidToString(const GUID& g) {
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

HRESULT GuidFromString(std::string_view s, GUID* pGuid) {
  if (pGuid == nullptr) return E_POINTER;
  if (s.size() != 38 || s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
    return E_INVALIDARG;
  auto field = [&](size_t pos, int digits, std::uint32_t* out) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
      const char c = s[pos + static_cast<size_t>(i)];
      std::uint32_t d;
      if (c >= '0' && c <= '9')
        d = static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return false;
      v = (v << 4) | d;
    }
    *out = v;
    return true;
  };
  GUID g{};
  std::uint32_t v = 0;
  if (!field(1, 8, &g.Data1)) return E_INVALIDARG;
  if (!field(10, 4, &v)) return E_INVALIDARG;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!field(15, 4, &v)) return E_INVALIDARG;
  g.Data3 = static_cast<std::uint16_t>(v);
  const size_t pos4[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!field(pos4[i], 2, &v)) return E_INVALIDARG;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  *pGuid = g;
  return S_OK;
}

}  // namespace Norvale::OS
