// VARIANT: a tagged value, and the OLE Automation conversions between the
// types the library uses: VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_I8, VT_R8,
// VT_BOOL and VT_BSTR. Other types are refused with DISP_E_BADVARTYPE.
//
// Conversion results are OLE's: text that is no number gives
// DISP_E_TYPEMISMATCH, a value outside the target's range DISP_E_OVERFLOW,
// NULL converts to nothing but NULL and EMPTY (DISP_E_TYPEMISMATCH), EMPTY
// converts to 0, false or empty text, fractions round half to even, true is
// -1. Numbers in text are read and written in the invariant form (a point as
// decimal separator). A VARIANT belongs to one thread at a time.
#pragma once

#include <string>

#include "platform/bstr.h"
#include "platform/types.h"

namespace Norvale::OS {

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_BOOL = 11,
  VT_I8 = 20,
};

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
// VariantChangeType flag: booleans become "True"/"False" instead of "-1"/"0".
constexpr WORD VARIANT_ALPHABOOL = 0x2;

struct VARIANT {
  VARTYPE vt;
  union {
    SHORT iVal;
    LONG lVal;
    LONGLONG llVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
  };
};

void VariantInit(VARIANT* pvarg);
HRESULT VariantClear(VARIANT* pvarg);
HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);
// Converts `pvarSrc` into `pvargDest` (which may be the same variant). On
// failure the destination is left as it was.
HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, WORD wFlags, VARTYPE vt);

// An owned VARIANT; conversions raise _com_error with the conversion's
// HRESULT, as the compiler support class does.
class _variant_t : public VARIANT {
 public:
  _variant_t() noexcept { VariantInit(this); }
  _variant_t(const _variant_t& o) : _variant_t() { Check(VariantCopy(this, &o)); }
  _variant_t(_variant_t&& o) noexcept : VARIANT(o) { VariantInit(&o); }
  explicit _variant_t(const VARIANT& v) : _variant_t() { Check(VariantCopy(this, &v)); }
  _variant_t(LONG v) noexcept : _variant_t() { vt = VT_I4, lVal = v; }
  _variant_t(LONGLONG v) noexcept : _variant_t() { vt = VT_I8, llVal = v; }
  _variant_t(double v) noexcept : _variant_t() { vt = VT_R8, dblVal = v; }
  _variant_t(bool v) noexcept : _variant_t() { vt = VT_BOOL, boolVal = v ? VARIANT_TRUE : VARIANT_FALSE; }
  _variant_t(std::string_view narrow) : _variant_t() { vt = VT_BSTR, bstrVal = _bstr_t(narrow).Detach(); }
  _variant_t(const char* narrow) : _variant_t(std::string_view(narrow)) {}
  ~_variant_t() { VariantClear(this); }
  _variant_t& operator=(_variant_t o) noexcept {
    std::swap(static_cast<VARIANT&>(*this), static_cast<VARIANT&>(o));
    return *this;
  }
  static _variant_t Null() {
    _variant_t v;
    v.vt = VT_NULL;
    return v;
  }

  void ChangeType(VARTYPE type) { Check(VariantChangeType(this, this, 0, type)); }
  LONG ToLong() const { return Converted(VT_I4).lVal; }
  LONGLONG ToLongLong() const { return Converted(VT_I8).llVal; }
  double ToDouble() const { return Converted(VT_R8).dblVal; }
  std::string ToString() const { return _bstr_t(Converted(VT_BSTR).bstrVal, true).narrow(); }

 private:
  _variant_t Converted(VARTYPE type) const {
    _variant_t out;
    Check(VariantChangeType(&out, this, 0, type));
    return out;
  }
  static void Check(HRESULT hr) {
    if (FAILED(hr)) throw _com_error(hr);
  }
};

}  // namespace Norvale::OS
