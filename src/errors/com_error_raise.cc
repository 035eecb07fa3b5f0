#include "errors/com_error_raise.h"

#include <string>

#include "platform/bstr.h"
#include "platform/error_info.h"

namespace Norvale {
using namespace OS;

void RAISE_COM_ERROR(HRESULT hr, std::u16string_view bstrDescription) { ThrowComError(hr, bstrDescription); }

void RAISE_COM_ERROR(HRESULT hr, std::string_view sDescription) { RAISE_COM_ERROR(hr, AnsiToWide(sDescription)); }

void RETHROW_COM_ERROR(const _com_error& e, std::u16string_view bstrContext) {
  const auto description = e.Description();
  std::string text = WideToAnsi(bstrContext);
  text += " - ";
  text += description ? WideToAnsi(*description) : std::string("Error description was not available");
  RAISE_COM_ERROR(e.Error(), text);
}

}  // namespace Norvale
