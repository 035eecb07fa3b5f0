// BSTR strings and the conversions between narrow and wide text.
//
// A BSTR is UTF-16 text preceded by its length in bytes (32-bit) and followed
// by a zero unit; the pointer addresses the first unit, and a null BSTR is the
// empty string. Narrow text is UTF-8, this platform's system code page. The
// conversions never fail: an invalid UTF-8 sequence becomes U+FFFD, and so
// does a lone surrogate on the way back. Any thread may call every function.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/types.h"

namespace Norvale::OS {

BSTR SysAllocString(const char16_t* psz);
BSTR SysAllocStringLen(const char16_t* strIn, UINT ui);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);

// Narrow (system code page, UTF-8) to wide (UTF-16) and back.
std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);

// An owned BSTR. A default or moved-from _bstr_t is null, which BSTR rules
// treat as empty text; IsNull tells the two apart where that matters.
class _bstr_t {
 public:
  _bstr_t() noexcept = default;
  _bstr_t(std::u16string_view text) : m_b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  _bstr_t(const char16_t* text) : m_b(text ? SysAllocString(text) : nullptr) {}
  _bstr_t(std::string_view narrow) : _bstr_t(std::u16string_view(AnsiToWide(narrow))) {}
  _bstr_t(const char* narrow) : _bstr_t(narrow ? std::string_view(narrow) : std::string_view()) {}
  _bstr_t(const std::string& narrow) : _bstr_t(std::string_view(narrow)) {}
  // Takes over `b` (fCopy false) or copies it.
  _bstr_t(BSTR b, bool fCopy) : m_b(fCopy ? (b ? SysAllocStringLen(b, SysStringLen(b)) : nullptr) : b) {}
  _bstr_t(const _bstr_t& o) : _bstr_t(o.m_b, true) {}
  _bstr_t(_bstr_t&& o) noexcept : m_b(o.m_b) { o.m_b = nullptr; }
  ~_bstr_t() { SysFreeString(m_b); }
  _bstr_t& operator=(_bstr_t o) noexcept {
    std::swap(m_b, o.m_b);
    return *this;
  }

  BSTR GetBSTR() const noexcept { return m_b; }
  operator BSTR() const noexcept { return m_b; }
  BSTR Detach() noexcept { return std::exchange(m_b, nullptr); }
  // Frees what is held and gives the address for an out parameter.
  BSTR* GetAddress() noexcept {
    SysFreeString(std::exchange(m_b, nullptr));
    return &m_b;
  }
  bool IsNull() const noexcept { return m_b == nullptr; }
  UINT length() const noexcept { return SysStringLen(m_b); }
  std::u16string_view wide() const noexcept { return m_b ? std::u16string_view(m_b, length()) : std::u16string_view(); }
  std::string narrow() const { return WideToAnsi(wide()); }

 private:
  BSTR m_b = nullptr;
};

}  // namespace Norvale::OS
