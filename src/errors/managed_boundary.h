// The conversion at the public boundary: failures of the CGeneralException
// family and of the standard family become Norvale::Exception with fixed
// texts; anything else, _com_error included, passes unchanged.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "errors/general_exception.h"
#include "norvale/exception.h"

namespace Norvale {

// "CGeneralException(Description:<GetDescription>,HRESULT=<signed decimal>)"
std::string ManagedTextOf(const CGeneralException& e);
// "STL exception (Description:<what>)"
std::string ManagedTextOf(const std::exception& e);

// Runs `work` and translates its failures as described above.
template <class F>
decltype(auto) TranslateNativeFailures(F&& work) {
  try {
    return std::forward<F>(work)();
  } catch (const Norvale::Exception&) {
    throw;  // already a public failure (a record's own argument check)
  } catch (const CGeneralException& e) {
    throw Norvale::Exception(ManagedTextOf(e));
  } catch (const std::exception& e) {
    throw Norvale::Exception(ManagedTextOf(e));
  }
}

}  // namespace Norvale
