#include "config/config_reg.h"

#include <climits>
#include <cstring>

#include "config/norvale_encryption.h"
#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/event_log.h"
#include "util/string_utils.h"

namespace Norvale {
using namespace OS;

namespace {

constexpr DWORD kReadBuffer = 1000;

// atoi rules without undefined behaviour: blanks, an optional sign, digits
// up to the first non-digit; a value beyond 32 bits saturates.
LONG AtoiRules(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<LONG>(v);
}

// Reads a value with the fixed buffer; returns the Win32 result.
LONG QueryText(HKEY hKey, const char* szName, std::string* out) {
  char buf[kReadBuffer];
  DWORD size = kReadBuffer;
  DWORD type = 0;
  const LONG rc = RegQueryValueExA(hKey, szName, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size);
  if (rc == ERROR_SUCCESS) *out = RegistryText(buf, size);
  return rc;
}

}  // namespace

std::string RegistryText(const char* data, DWORD size) { return std::string(data, strnlen(data, size)); }

CConfigReg::CConfigReg(std::string* sErrorMessage) : m_psErrorMessage(sErrorMessage) {}

CConfigReg::~CConfigReg() {
  if (m_hRootKey) {
    RegCloseKey(m_hRootKey);
    m_hRootKey = nullptr;
  }
}

void CConfigReg::ReadConfiguration() { CloseRootKey(); }

std::string CConfigReg::GetParameter(HKEY hKey, const char* szName, bool bSuppressErrors,
                                     const std::string& sDefaultValue, bool bLogError) {
  std::string result;
  if (hKey == nullptr) RAISE_COM_ERROR(E_FAIL, "Reg key not open");
  const LONG rc = QueryText(hKey, szName, &result);
  if (rc == ERROR_SUCCESS) return result;
  if (bLogError)
    CEventLogger::LogEvent(EVENTLOG_ERROR_TYPE, std::string("Could not find reg value: ") + szName, "VelquorServer",
                           EVENT_CONFIGURATION);
  if (!bSuppressErrors)
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), std::string("Could not open ") + szName + " string value");
  return sDefaultValue;
}

std::string CConfigReg::GetParameter(const char* szName, bool bSuppressErrors, const std::string& sDefaultValue,
                                     bool bLogError) {
  return GetParameter(m_hRootKey, szName, bSuppressErrors, sDefaultValue, bLogError);
}

void CConfigReg::SetParameter(HKEY hKey, const char* szName, const char* szValue) {
  if (m_bReadOnly) RAISE_COM_ERROR(E_FAIL, "Insufficent rights to write to the registry");
  if (hKey == nullptr) RAISE_COM_ERROR(E_FAIL, "Reg key not open");
  const LONG rc = RegSetValueExA(hKey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szValue),
                                 static_cast<DWORD>(std::strlen(szValue)));
  if (rc != ERROR_SUCCESS)
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), std::string("Could not set ") + szName + " string value");
}

void CConfigReg::SetParameter(const char* szName, const char* szValue) { SetParameter(m_hRootKey, szName, szValue); }

void CConfigReg::DeleteParameter(HKEY hKey, const char* szName, bool bSuppressErrors) {
  if (m_bReadOnly) RAISE_COM_ERROR(E_FAIL, "Insufficent rights to delete value in the registry");
  if (hKey == nullptr) RAISE_COM_ERROR(E_FAIL, "Reg key not open");
  const LONG rc = RegDeleteValueA(hKey, szName);
  if (rc != ERROR_SUCCESS && !bSuppressErrors)
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), std::string("Could not delete ") + szName + " string value");
}

bool CConfigReg::ParameterExists(HKEY hKey, const char* szName) {
  if (hKey == nullptr) RAISE_COM_ERROR(E_FAIL, "Reg key not open");
  DWORD type = 0;
  return RegQueryValueExA(hKey, szName, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS;
}

void CConfigReg::GetListOfSubKeys(HKEY hKey, std::vector<std::string>& List) {
  for (DWORD index = 0;; ++index) {
    char name[kReadBuffer];
    DWORD size = kReadBuffer;
    const LONG rc = RegEnumKeyExA(hKey, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      // Converted like every other registry failure: the bare Win32 code would
      // read as a success code (6, a bad handle, is not negative).
      if (rc != static_cast<LONG>(ERROR_NO_MORE_ITEMS))
        RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "Could not enumerate transports");
      return;
    }
    List.emplace_back(name, size);
  }
}

void CConfigReg::OpenRootKeyWithBestPermisions(HKEY hParent, const std::string& sSubKey) {
  CloseRootKey();
  m_hRootKey = RUOpenKeyWithBestPermisions(hParent, sSubKey, &m_bReadOnly, false);
}

void CConfigReg::CloseRootKey() {
  if (m_hRootKey != nullptr) {
    RegCloseKey(m_hRootKey);
    m_hRootKey = nullptr;
  }
}

void CConfigReg::CloseRegKey(HKEY hKey) { RegCloseKey(hKey); }

bool CConfigReg::GetParameterBOOL(HKEY hKey, const char* szName, bool bSuppressErrors, bool bDefaultValue,
                                  bool bLogError) {
  return GetParameter(hKey, szName, bSuppressErrors, bDefaultValue ? "1" : "0", bLogError) == "1";
}

void CConfigReg::SetParameterBOOL(HKEY hKey, const char* szName, bool bValue) {
  SetParameter(hKey, szName, bValue ? "1" : "0");
}

DWORD CConfigReg::GetParameterDWORD(HKEY hKey, const char* szName, bool bSuppressErrors, DWORD dwDefaultValue,
                                    bool bLogError) {
  return static_cast<DWORD>(
      AtoiRules(GetParameter(hKey, szName, bSuppressErrors, std::to_string(dwDefaultValue), bLogError)));
}

void CConfigReg::SetParameterDWORD(HKEY hKey, const char* szName, DWORD dwValue) {
  SetParameter(hKey, szName, std::to_string(dwValue).c_str());
}

std::u16string CConfigReg::GetParameterWSTRING(HKEY hKey, const char* szName, bool bSuppressErrors,
                                               const std::u16string& sDefaultValue, bool bLogError) {
  return string2wstring(GetParameter(hKey, szName, bSuppressErrors, wstring2string(sDefaultValue), bLogError));
}

void CConfigReg::SetParameterWSTRING(HKEY hKey, const char* szName, const char16_t* szValue) {
  SetParameter(hKey, szName, wstring2string(std::u16string(szValue)).c_str());
}

std::string CConfigReg::GetParameterEncrypted(HKEY hKey, const char* szName, bool bSuppressErrors,
                                              const std::string& sDefaultValue, bool bLogError) {
  return CNorvaleEncryption().DecryptString(GetParameter(hKey, szName, bSuppressErrors, sDefaultValue, bLogError));
}

void CConfigReg::SetParameterEncrypted(HKEY hKey, const char* szName, const char* szValue) {
  SetParameter(hKey, szName, CNorvaleEncryption().EncryptString(szValue).c_str());
}

HKEY RUOpenKeyWithBestPermisions(HKEY hParent, const std::string& sSubKey, bool* bReadyOnly, bool bSuppressErrors) {
  *bReadyOnly = false;
  HKEY result = nullptr;
  if (RegCreateKeyExA(hParent, sSubKey.c_str(), 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                      nullptr, &result, nullptr) == ERROR_SUCCESS)
    return result;
  const LONG rc = RegOpenKeyExA(hParent, sSubKey.c_str(), 0, KEY_READ, &result);
  if (rc == ERROR_SUCCESS) {
    *bReadyOnly = true;
    return result;
  }
  if (!bSuppressErrors) RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "Could not open " + sSubKey + " key");
  return nullptr;
}

std::string RUQueryValue(HKEY hKey, const std::string& sValueName, bool bSuppressErrors) {
  if (hKey == nullptr) RAISE_COM_ERROR(E_FAIL, "Reg key not open");
  std::string result;
  const LONG rc = QueryText(hKey, sValueName.c_str(), &result);
  if (rc == ERROR_SUCCESS) return result;
  if (bSuppressErrors) return std::string();
  RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "Could not open " + sValueName + " string value");
}

std::string RUProductValue(const std::string& sValueName, const std::string& sFallback) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvale\\Velquor", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return sFallback;
  std::string value;
  const LONG rc = QueryText(key, sValueName.c_str(), &value);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && !value.empty() ? value : sFallback;
}

void RUSetValue(HKEY hParent, const std::string& sValueName, const std::string& sValue, bool bSuppressErrors) {
  const LONG rc = RegSetValueExA(hParent, sValueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(sValue.data()),
                                 static_cast<DWORD>(sValue.size()));
  if (rc != ERROR_SUCCESS && !bSuppressErrors)
    RAISE_COM_ERROR(HRESULT_FROM_WIN32(rc), "Could not set " + sValueName + " string value");
}

}  // namespace Norvale
