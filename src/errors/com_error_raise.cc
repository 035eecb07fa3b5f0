#include "errors/com_error_raise.h"

#include <string>

#include "platform/bstr.h"
#include "platform/com_ptr.h"
#include "platform/error_info.h"

namespace Norvale {
using namespace OS;

void RAISE_COM_ERROR(HRESULT hr, std::u16string_view bstrDescription) {
  _com_ptr_t<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.ReleaseAndGetAddressOf()))) throw _com_error(hr);
  const std::u16string text(bstrDescription);
  create->SetDescription(text.c_str());
  IErrorInfo* info = nullptr;
  const HRESULT qi = create->QueryInterface(IErrorInfo::kIID, reinterpret_cast<void**>(&info));
  if (qi == E_NOINTERFACE) throw _com_error(hr);
  if (FAILED(qi)) throw _com_error(qi);
  throw _com_error(hr, info);  // the exception takes over the reference
}

void RAISE_COM_ERROR(HRESULT hr, std::string_view sDescription) { RAISE_COM_ERROR(hr, AnsiToWide(sDescription)); }

void RETHROW_COM_ERROR(const _com_error& e, std::u16string_view bstrContext) {
  const auto description = e.Description();
  std::string text = WideToAnsi(bstrContext);
  text += " - ";
  text += description ? WideToAnsi(*description) : std::string("Error description was not available");
  RAISE_COM_ERROR(e.Error(), text);
}

}  // namespace Norvale
