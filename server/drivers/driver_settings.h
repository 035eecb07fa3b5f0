// What a driver is given: the values of its handset's key Handsets\<n>, and
// typed reads of them that name the value in every failure.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "config/handset_values.h"

namespace Norvale {

// Case-insensitive, like registry names.
struct CNoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using CSettingValues = std::map<std::string, std::string, CNoCaseLess>;

// Typed reads of a set of values, each failure raised as _com_error
// (E_INVALIDARG) whose description names the value: "<where>\<name>: ...".
class CSettingsReader {
 public:
  CSettingsReader(std::string sWhere, const CSettingValues& Values) : m_sWhere(std::move(sWhere)), m_Values(Values) {}
  // The values of handset n's key, read as the driver of that name declares
  // them (config/handset_values.h): the reads below by name alone take the
  // default and range from its declaration.
  CSettingsReader(int nHandset, const char* szDriver, const CSettingValues& Values);
  std::int64_t GetNumber(const char* szName, std::int64_t nDefault, std::int64_t nMin, std::int64_t nMax) const;
  bool GetBool(const char* szName, bool bDefault) const;
  std::string GetText(const char* szName, const std::string& sDefault) const;
  // A declared value: a number, a flag, or a text, choice or secret (as
  // stored, still encrypted). Absent without a default: 0, false, "".
  std::int64_t GetNumber(const char* szName) const;
  bool GetBool(const char* szName) const;
  std::string GetText(const char* szName) const;
  bool Has(const char* szName) const { return m_Values.count(szName) != 0; }
  [[noreturn]] void Fail(const char* szName, const std::string& sProblem) const;

 private:
  const CDeclaredValue& Declared(const char* szName, EValueType eType) const;

  std::string m_sWhere;
  const CSettingValues& m_Values;
  const CDeclaredDriver* m_pDriver = nullptr;
};

struct CHandsetSettings {
  int nNumber = 0;
  std::string sDriver;  // empty: the key has no Driver value and is skipped
  bool bEnabled = true;
  bool bDeliveryReports = true;  // ask the network for delivery reports
  CSettingValues Values;         // every value of the key, for the driver
};

}  // namespace Norvale
