// The native exception family rooted at CGeneralException.
//
// Members carry a description and an HRESULT; CTAPIException and
// CProtocolException carry extra codes. The library raises none of them, but
// every guarded call site catches each one separately, the logging functions
// take them, and the client facade turns them into Norvale::Exception. All
// fields are set at construction and never change, so objects may be read on
// any thread.
#pragma once

#include <exception>
#include <string>

#include "platform/types.h"

namespace Norvale {

using OS::HRESULT;

class CGeneralException : public std::exception {
 public:
  CGeneralException(std::string Description, HRESULT HResult);
  ~CGeneralException() override;

  const char* what() const noexcept override { return m_sDescription.c_str(); }
  virtual std::string GetDescription() const { return m_sDescription; }
  virtual void ReportError() const {}
  HRESULT GetHResult() const { return m_hResult; }

 private:
  std::string m_sDescription;
  HRESULT m_hResult;
};

// TAPI error codes and protocol error codes: plain 32-bit codes.
using TAPIERROR = std::uint32_t;
using PROTOCOLERROR = std::uint32_t;

class CTAPIException : public CGeneralException {
 public:
  CTAPIException(std::string Description, TAPIERROR TAPIError, std::int32_t TAPIResultCode);
  // The description followed by the TAPI result code and error in hexadecimal.
  std::string GetDescription() const override;
  TAPIERROR GetTAPIError() const { return m_eTAPIError; }
  std::int32_t GetTAPIResultCode() const { return m_lTAPIResultCode; }

 private:
  TAPIERROR m_eTAPIError;
  std::int32_t m_lTAPIResultCode;
};

class CProtocolException : public CGeneralException {
 public:
  CProtocolException(std::string Description, HRESULT HResult, PROTOCOLERROR eProtocolError);
  PROTOCOLERROR GetProtocolError() const { return m_eProtocolError; }

 private:
  PROTOCOLERROR m_eProtocolError;
};

class CCommsException : public CGeneralException {
 public:
  CCommsException(std::string Description, HRESULT HResult);
};

class CHTTPException : public CGeneralException {
 public:
  CHTTPException(std::string Description, HRESULT HResult);
};

}  // namespace Norvale
