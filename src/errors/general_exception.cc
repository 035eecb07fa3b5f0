#include "errors/general_exception.h"

#include <sstream>

namespace Norvale {

CGeneralException::CGeneralException(std::string Description, HRESULT HResult)
    : m_sDescription(std::move(Description)), m_hResult(HResult) {}
CGeneralException::~CGeneralException() = default;

CTAPIException::CTAPIException(std::string Description, TAPIERROR TAPIError, std::int32_t TAPIResultCode)
    : CGeneralException(std::move(Description), OS::E_FAIL),
      m_eTAPIError(TAPIError),
      m_lTAPIResultCode(TAPIResultCode) {}

std::string CTAPIException::GetDescription() const {
  std::ostringstream os;
  os << CGeneralException::GetDescription() << " (TAPI Result Code: 0x" << std::hex
     << static_cast<std::uint32_t>(m_lTAPIResultCode) << ", TAPI Error: " << m_eTAPIError << ")";
  return os.str();
}

CProtocolException::CProtocolException(std::string Description, HRESULT HResult, PROTOCOLERROR eProtocolError)
    : CGeneralException(std::move(Description), HResult), m_eProtocolError(eProtocolError) {}

CCommsException::CCommsException(std::string Description, HRESULT HResult)
    : CGeneralException(std::move(Description), HResult) {}

CHTTPException::CHTTPException(std::string Description, HRESULT HResult)
    : CGeneralException(std::move(Description), HResult) {}

}  // namespace Norvale
