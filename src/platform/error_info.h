// Error information objects and the per-thread error information.
//
// CreateErrorInfo makes an object whose fields are set through
// ICreateErrorInfo and read through IErrorInfo. SetErrorInfo and GetErrorInfo
// keep one object per thread; GetErrorInfo hands it over and clears it
// (S_FALSE when there is none). Objects are thread-safe to reference count;
// fill one object from one thread only.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace Norvale::OS {

struct ICreateErrorInfo : IUnknown {
  static constexpr IID kIID = MakeGuid("{22F03340-547D-101B-8E65-08002B2BD119}");
  virtual HRESULT SetGUID(REFIID rguid) = 0;
  virtual HRESULT SetSource(const char16_t* szSource) = 0;
  virtual HRESULT SetDescription(const char16_t* szDescription) = 0;
  virtual HRESULT SetHelpFile(const char16_t* szHelpFile) = 0;
  virtual HRESULT SetHelpContext(DWORD dwHelpContext) = 0;

 protected:
  ~ICreateErrorInfo() = default;
};

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

// Makes an error information object that holds `description` and nothing
// else, and returns the caller's reference to its IErrorInfo side; null when
// no object can be made.
IErrorInfo* MakeErrorInfo(std::u16string_view description);

// Throws _com_error(hr) carrying an error information object with
// `description`; the thread's own error information is left alone. When no
// object can be made the exception carries the HRESULT alone. This is how
// the OS layer raises; the layers above use RAISE_COM_ERROR, which comes here.
[[noreturn]] void ThrowComError(HRESULT hr, std::u16string_view description);
[[noreturn]] void ThrowComError(HRESULT hr, std::string_view description);
[[noreturn]] inline void ThrowComError(HRESULT hr, const char* description) {
  ThrowComError(hr, std::string_view(description));
}
[[noreturn]] inline void ThrowComError(HRESULT hr, const std::string& description) {
  ThrowComError(hr, std::string_view(description));
}

// Test seam: makes the next CreateErrorInfo calls of the process fail with
// `hr` (S_OK restores normal behaviour).
void SetCreateErrorInfoFailureForTesting(HRESULT hr);

}  // namespace Norvale::OS
