// The few COM types that reach an application of the Velquor client library.
//
// Failures of the gateway engine and of the queue database reach callers as
// `_com_error`, exactly as the library raised them: an HRESULT and an error
// information object holding a description. `_com_error` deliberately does not
// derive from std::exception, so handlers of the standard family never catch
// it; catch it by its own type.
//
// Wide text is UTF-16 (char16_t); narrow text is UTF-8.
//
// Threading: a `_com_error` may be copied and read on any thread; the error
// information object it shares is immutable once raised.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "norvale/export.h"

namespace Norvale::OS {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BSTR = char16_t*;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return false;
    return true;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// Parses the braced text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} at
// compile time; a malformed text is a compile error where used in a constant.
constexpr GUID MakeGuid(const char (&s)[39]) {
  auto hex = [](char c) -> std::uint32_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    throw "not a hexadecimal digit";
  };
  auto field = [&](int pos, int digits) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = (v << 4) | hex(s[pos + i]);
    return v;
  };
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
    throw "not a braced GUID";
  GUID g{field(1, 8), static_cast<std::uint16_t>(field(10, 4)), static_cast<std::uint16_t>(field(15, 4)), {}};
  g.Data4[0] = static_cast<std::uint8_t>(field(20, 2));
  g.Data4[1] = static_cast<std::uint8_t>(field(22, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<std::uint8_t>(field(25 + 2 * i, 2));
  return g;
}

// The root of every COM interface: reference counting and interface queries.
// An object is destroyed when its count reaches zero, exactly once.
struct IUnknown {
  static constexpr IID kIID = MakeGuid("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Error information: the description and origin of a failure.
struct IErrorInfo : IUnknown {
  static constexpr IID kIID = MakeGuid("{1CF2B120-547D-101B-8E65-08002B2BD119}");
  virtual HRESULT GetGUID(GUID* pGUID) = 0;
  virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
  virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
  virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
  virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;

 protected:
  ~IErrorInfo() = default;
};

// The COM error exception: an HRESULT and, optionally, a shared error
// information object.
class NORVALE_API _com_error {
 public:
  // Takes over the caller's reference to `perrinfo` unless `fAddRef` is true.
  explicit _com_error(HRESULT hr, IErrorInfo* perrinfo = nullptr, bool fAddRef = false) noexcept;
  _com_error(const _com_error& that) noexcept;
  _com_error& operator=(const _com_error& that) noexcept;
  virtual ~_com_error();

  HRESULT Error() const noexcept { return m_hresult; }
  // The error information, with a new reference the caller releases; null
  // when the error carries none.
  IErrorInfo* ErrorInfo() const noexcept;
  // The description of the error information: absent when there is no error
  // information or it has no description; present and possibly empty otherwise.
  std::optional<std::u16string> Description() const;
  // The same description as UTF-8; empty when absent.
  std::string DescriptionA() const;
  // A fixed English text for the HRESULT, such as "Unspecified error".
  const char* ErrorMessage() const noexcept;

 private:
  HRESULT m_hresult;
  IErrorInfo* m_perrinfo;
};

}  // namespace Norvale::OS

namespace Norvale {
using OS::_com_error;
}
