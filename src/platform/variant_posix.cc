#include "platform/variant.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace Norvale::OS {
namespace {

bool IsSupported(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_R8:
    case VT_BOOL:
    case VT_BSTR: return true;
    default: return false;
  }
}

// Rounds half to even, as OLE Automation does when a fraction becomes an
// integer.
double RoundHalfEven(double d) { return std::nearbyint(d); }

// Reads a number from text: blanks around it, an optional sign, digits with an
// optional fraction and exponent. Anything else is a type mismatch.
HRESULT ParseNumber(std::u16string_view w, double* out, bool* isInteger, LONGLONG* asInteger) {
  const std::string s = WideToAnsi(w);
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  const std::string t = s.substr(b, e - b);
  if (t.empty()) return DISP_E_TYPEMISMATCH;
  size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  size_t digits = 0;
  bool integer = true;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    integer = false;
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    integer = false;
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++expDigits;
    if (expDigits == 0) return DISP_E_TYPEMISMATCH;
  }
  if (i != t.size()) return DISP_E_TYPEMISMATCH;
  *isInteger = false;
  if (integer) {
    errno = 0;
    const long long v = std::strtoll(t.c_str(), nullptr, 10);
    if (errno == 0) {
      *isInteger = true;
      *asInteger = v;
    }
  }
  *out = std::strtod(t.c_str(), nullptr);
  if (std::isinf(*out)) return DISP_E_OVERFLOW;
  return S_OK;
}

std::string FormatDouble(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15G", d);
  std::string s = buf;
  // "%G" writes at least two exponent digits; OLE writes them as needed.
  const auto epos = s.find('E');
  if (epos != std::string::npos) {
    size_t k = epos + 2;
    while (k + 1 < s.size() && s[k] == '0') s.erase(k, 1);
  }
  return s;
}

// The source as an integer or a double, for numeric targets.
struct Numeric {
  bool isInteger;
  LONGLONG i;
  double d;
};

HRESULT ToNumeric(const VARIANT& src, Numeric* n) {
  switch (src.vt) {
    case VT_EMPTY: *n = {true, 0, 0}; return S_OK;
    case VT_I2: *n = {true, src.iVal, 0}; return S_OK;
    case VT_I4: *n = {true, src.lVal, 0}; return S_OK;
    case VT_I8: *n = {true, src.llVal, 0}; return S_OK;
    case VT_BOOL: *n = {true, src.boolVal ? -1 : 0, 0}; return S_OK;
    case VT_R8: *n = {false, 0, src.dblVal}; return S_OK;
    case VT_BSTR: {
      const std::u16string_view w(src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal));
      double d = 0;
      bool isInt = false;
      LONGLONG i = 0;
      if (const HRESULT hr = ParseNumber(w, &d, &isInt, &i); FAILED(hr)) {
        // Text holding a boolean word converts like the boolean.
        if (w == u"True" || w == u"true" || w == u"TRUE") {
          *n = {true, -1, 0};
          return S_OK;
        }
        if (w == u"False" || w == u"false" || w == u"FALSE") {
          *n = {true, 0, 0};
          return S_OK;
        }
        return hr;
      }
      *n = isInt ? Numeric{true, i, 0} : Numeric{false, 0, d};
      return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
}

template <class T>
HRESULT ToInteger(const Numeric& n, T* out) {
  if (n.isInteger) {
    if (n.i < std::numeric_limits<T>::min() || n.i > std::numeric_limits<T>::max()) return DISP_E_OVERFLOW;
    *out = static_cast<T>(n.i);
    return S_OK;
  }
  const double r = RoundHalfEven(n.d);
  if (std::isnan(r) || r < static_cast<double>(std::numeric_limits<T>::min()) ||
      r >= -static_cast<double>(std::numeric_limits<T>::min()))
    return DISP_E_OVERFLOW;
  *out = static_cast<T>(r);
  return S_OK;
}

}  // namespace

void VariantInit(VARIANT* v) {
  v->vt = VT_EMPTY;
  v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!IsSupported(src->vt)) return DISP_E_BADVARTYPE;
  if (dest == src) return S_OK;
  VARIANT copy = *src;
  if (src->vt == VT_BSTR && src->bstrVal) {
    copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  }
  VariantClear(dest);
  *dest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, WORD flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if (!IsSupported(vt) || !IsSupported(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT out;
  VariantInit(&out);
  out.vt = vt;
  if (src->vt == vt) return VariantCopy(dest, src);
  if (src->vt == VT_NULL && vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
  switch (vt) {
    case VT_EMPTY: break;
    case VT_NULL:
      if (src->vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
      break;
    case VT_BSTR: {
      std::string text;
      switch (src->vt) {
        case VT_EMPTY: break;
        case VT_I2: text = std::to_string(src->iVal); break;
        case VT_I4: text = std::to_string(src->lVal); break;
        case VT_I8: text = std::to_string(src->llVal); break;
        case VT_R8: text = FormatDouble(src->dblVal); break;
        case VT_BOOL:
          text = (flags & VARIANT_ALPHABOOL) ? (src->boolVal ? "True" : "False") : (src->boolVal ? "-1" : "0");
          break;
        default: return DISP_E_TYPEMISMATCH;
      }
      out.bstrVal = _bstr_t(text).Detach();
      if (!out.bstrVal) out.bstrVal = SysAllocStringLen(u"", 0);
      break;
    }
    case VT_BOOL: {
      Numeric n{};
      if (const HRESULT hr = ToNumeric(*src, &n); FAILED(hr)) return hr;
      out.boolVal = (n.isInteger ? n.i != 0 : n.d != 0.0) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    case VT_R8: {
      Numeric n{};
      if (const HRESULT hr = ToNumeric(*src, &n); FAILED(hr)) return hr;
      out.dblVal = n.isInteger ? static_cast<double>(n.i) : n.d;
      break;
    }
    default: {
      Numeric n{};
      if (const HRESULT hr = ToNumeric(*src, &n); FAILED(hr)) return hr;
      HRESULT hr = S_OK;
      if (vt == VT_I2)
        hr = ToInteger(n, &out.iVal);
      else if (vt == VT_I4)
        hr = ToInteger(n, &out.lVal);
      else
        hr = ToInteger(n, &out.llVal);
      if (FAILED(hr)) return hr;
      break;
    }
  }
  VariantClear(dest);
  *dest = out;
  return S_OK;
}

}  // namespace Norvale::OS
