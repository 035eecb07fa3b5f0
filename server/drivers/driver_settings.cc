#include "server/drivers/driver_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

bool CNoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

void CSettingsReader::Fail(const char* szName, const std::string& sProblem) const {
  RAISE_COM_ERROR(E_INVALIDARG, m_sWhere + "\\" + szName + ": " + sProblem);
}

std::int64_t CSettingsReader::GetNumber(const char* szName, std::int64_t nDefault, std::int64_t nMin,
                                        std::int64_t nMax) const {
  const auto it = m_Values.find(szName);
  if (it == m_Values.end()) return nDefault;
  const std::string& text = it->second;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size())
    Fail(szName, "'" + text + "' is not a whole number");
  if (value < nMin || value > nMax)
    Fail(szName, text + " is out of range (" + std::to_string(nMin) + " to " + std::to_string(nMax) + ")");
  return value;
}

bool CSettingsReader::GetBool(const char* szName, bool bDefault) const {
  const auto it = m_Values.find(szName);
  if (it == m_Values.end()) return bDefault;
  if (it->second == "1") return true;
  if (it->second == "0") return false;
  Fail(szName, "'" + it->second + "' is neither 1 nor 0");
}

std::string CSettingsReader::GetText(const char* szName, const std::string& sDefault) const {
  const auto it = m_Values.find(szName);
  return it == m_Values.end() ? sDefault : it->second;
}

}  // namespace Norvale
