#include "errors/managed_boundary.h"

namespace Norvale {

Exception::Exception(const std::string& message) : std::runtime_error(message) {}
Exception::~Exception() = default;

std::string ManagedTextOf(const CGeneralException& e) {
  return "CGeneralException(Description:" + e.GetDescription() + ",HRESULT=" + std::to_string(e.GetHResult()) + ")";
}

std::string ManagedTextOf(const std::exception& e) {
  return std::string("STL exception (Description:") + e.what() + ")";
}

}  // namespace Norvale
