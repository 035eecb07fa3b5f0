// CConfigReg: the registry configuration store, base of every configuration
// object. It keeps one open root key and reads, writes and deletes string
// values under it or under any key the caller passes. Booleans ("1"/"0"),
// 32-bit numbers (decimal text), wide strings and encrypted strings are
// layered over string values. The virtual explicit-key operations are the
// seam where the proxy (CConfigVelquorProxyClientSupport) redirects reads
// through the engine; the root-key forms and every typed accessor go through
// them. Failures are raised as _com_error. One owner uses a store from one
// thread at a time.
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"
#include "util/mutex.h"

namespace Norvale {

class CConfigReg {
 public:
  explicit CConfigReg(std::string* sErrorMessage);
  virtual ~CConfigReg();
  CConfigReg(const CConfigReg&) = delete;
  CConfigReg& operator=(const CConfigReg&) = delete;

  virtual void ReadConfiguration();
  virtual std::string GetParameter(OS::HKEY hKey, const char* szName, bool bSuppressErrors,
                                   const std::string& sDefaultValue, bool bLogError);
  virtual std::string GetParameter(const char* szName, bool bSuppressErrors, const std::string& sDefaultValue,
                                   bool bLogError);
  virtual void SetParameter(OS::HKEY hKey, const char* szName, const char* szValue);
  virtual void SetParameter(const char* szName, const char* szValue);
  virtual void DeleteParameter(OS::HKEY hKey, const char* szName, bool bSuppressErrors);
  virtual bool ParameterExists(OS::HKEY hKey, const char* szName);
  virtual void GetListOfSubKeys(OS::HKEY hKey, std::vector<std::string>& List);
  virtual void OpenRootKeyWithBestPermisions(OS::HKEY hParent, const std::string& sSubKey);
  virtual void CloseRootKey();
  virtual void CloseRegKey(OS::HKEY hKey);

  OS::HKEY GetRootKey() const { return m_hRootKey; }
  bool IsReadOnly() const { return m_bReadOnly; }

  bool GetParameterBOOL(OS::HKEY hKey, const char* szName, bool bSuppressErrors, bool bDefaultValue, bool bLogError);
  void SetParameterBOOL(OS::HKEY hKey, const char* szName, bool bValue);
  OS::DWORD GetParameterDWORD(OS::HKEY hKey, const char* szName, bool bSuppressErrors, OS::DWORD dwDefaultValue,
                              bool bLogError);
  void SetParameterDWORD(OS::HKEY hKey, const char* szName, OS::DWORD dwValue);
  std::u16string GetParameterWSTRING(OS::HKEY hKey, const char* szName, bool bSuppressErrors,
                                     const std::u16string& sDefaultValue, bool bLogError);
  void SetParameterWSTRING(OS::HKEY hKey, const char* szName, const char16_t* szValue);
  // The stored text is the Base64 cryptogram of CNorvaleEncryption; the
  // default stands for stored cipher text and is decrypted like a value.
  std::string GetParameterEncrypted(OS::HKEY hKey, const char* szName, bool bSuppressErrors,
                                    const std::string& sDefaultValue, bool bLogError);
  void SetParameterEncrypted(OS::HKEY hKey, const char* szName, const char* szValue);

 protected:
  OS::HKEY m_hRootKey = nullptr;
  bool m_bReadOnly = false;
  CMutex m_Mutex;
  std::string* m_psErrorMessage;
};

// Opens (creating where allowed) a key with read and write access, else for
// reading only (setting *bReadyOnly). A key that cannot be opened at all
// raises "Could not open <sSubKey> key" with the converted code, or gives
// null with bSuppressErrors.
OS::HKEY RUOpenKeyWithBestPermisions(OS::HKEY hParent, const std::string& sSubKey, bool* bReadyOnly,
                                     bool bSuppressErrors);
std::string RUQueryValue(OS::HKEY hKey, const std::string& sValueName, bool bSuppressErrors);
// The text of a value of the product's key SOFTWARE\\Norvale\\Velquor, or
// sFallback where the key or the value is missing, empty or unreadable. Opens
// the key for reading only, so it never creates one: a program that only
// reads its configuration leaves the registry as it found it.
std::string RUProductValue(const std::string& sValueName, const std::string& sFallback = "");
void RUSetValue(OS::HKEY hParent, const std::string& sValueName, const std::string& sValue, bool bSuppressErrors);

// The text of a value read with a 1000-byte buffer: up to its first zero
// byte, or all of it.
std::string RegistryText(const char* data, OS::DWORD size);

}  // namespace Norvale
