#include "server/drivers/driver_settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "errors/com_error_raise.h"

namespace Norvale {
using namespace OS;

bool CNoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

CSettingsReader::CSettingsReader(int nHandset, const char* szDriver, const CSettingValues& Values)
    : m_sWhere(HandsetKeyPath(nHandset)), m_Values(Values), m_pDriver(FindDeclaredDriver(szDriver)) {
  if (!m_pDriver) RAISE_COM_ERROR(E_UNEXPECTED, std::string("no declared driver ") + szDriver);
}

const CDeclaredValue& CSettingsReader::Declared(const char* szName, EValueType eType) const {
  const CDeclaredValue* declared = m_pDriver ? FindHandsetValue(*m_pDriver, szName) : nullptr;
  const bool text = eType == EValueType::Text &&
                    (declared && (declared->eType == EValueType::Choice || declared->eType == EValueType::Secret));
  if (!declared || (declared->eType != eType && !text))
    RAISE_COM_ERROR(E_UNEXPECTED, m_sWhere + "\\" + szName + ": read as a value its driver does not declare so");
  return *declared;
}

std::int64_t CSettingsReader::GetNumber(const char* szName) const {
  const CDeclaredValue& v = Declared(szName, EValueType::Number);
  std::int64_t fallback = 0;
  if (v.szDefault) std::from_chars(v.szDefault, v.szDefault + std::strlen(v.szDefault), fallback);
  return GetNumber(szName, fallback, v.nMin, v.nMax);
}

bool CSettingsReader::GetBool(const char* szName) const {
  const CDeclaredValue& v = Declared(szName, EValueType::Flag);
  return GetBool(szName, v.szDefault && std::strcmp(v.szDefault, "1") == 0);
}

std::string CSettingsReader::GetText(const char* szName) const {
  const CDeclaredValue& v = Declared(szName, EValueType::Text);
  const std::string text = GetText(szName, v.szDefault ? v.szDefault : "");
  if (v.eType != EValueType::Secret && Has(szName))
    if (const std::string problem = ValueProblem(v, text); !problem.empty()) Fail(szName, problem);
  return text;
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
