// Raising COM errors with a description.
//
// RAISE_COM_ERROR builds an error information object holding the description
// (and nothing else) and throws _com_error with it; the thread's error
// information is left alone. RETHROW_COM_ERROR raises a new error with the
// HRESULT of a caught one and the context put in front of its description.
// Both never return. Any thread may call them.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace Norvale {

[[noreturn]] void RAISE_COM_ERROR(OS::HRESULT hr, std::u16string_view bstrDescription);
[[noreturn]] void RAISE_COM_ERROR(OS::HRESULT hr, std::string_view sDescription);
[[noreturn]] inline void RAISE_COM_ERROR(OS::HRESULT hr, const char* sDescription) {
  RAISE_COM_ERROR(hr, std::string_view(sDescription));
}
[[noreturn]] inline void RAISE_COM_ERROR(OS::HRESULT hr, const std::string& sDescription) {
  RAISE_COM_ERROR(hr, std::string_view(sDescription));
}

[[noreturn]] void RETHROW_COM_ERROR(const OS::_com_error& e, std::u16string_view bstrContext);

}  // namespace Norvale
