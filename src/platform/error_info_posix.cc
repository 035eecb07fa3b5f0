#include "platform/error_info.h"

#include <atomic>
#include <optional>
#include <string>

#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/com_ptr.h"

namespace Norvale::OS {
namespace {

std::atomic<HRESULT> g_createErrorInfoFailure{S_OK};

// Absent fields stay absent (GetX returns a null BSTR), so an unset
// description is told apart from an empty one.
class CErrorObject final : public ComObject<CErrorObject, IErrorInfo, ICreateErrorInfo> {
 public:
  HRESULT GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_INVALIDARG;
    *pGUID = m_guid;
    return S_OK;
  }
  HRESULT GetSource(BSTR* p) override { return Get(m_source, p); }
  HRESULT GetDescription(BSTR* p) override { return Get(m_description, p); }
  HRESULT GetHelpFile(BSTR* p) override { return Get(m_helpFile, p); }
  HRESULT GetHelpContext(DWORD* p) override {
    if (!p) return E_INVALIDARG;
    *p = m_helpContext;
    return S_OK;
  }
  HRESULT SetGUID(REFIID rguid) override {
    m_guid = rguid;
    return S_OK;
  }
  HRESULT SetSource(const char16_t* s) override { return Set(m_source, s); }
  HRESULT SetDescription(const char16_t* s) override { return Set(m_description, s); }
  HRESULT SetHelpFile(const char16_t* s) override { return Set(m_helpFile, s); }
  HRESULT SetHelpContext(DWORD c) override {
    m_helpContext = c;
    return S_OK;
  }

 private:
  using Field = std::optional<std::u16string>;
  static HRESULT Get(const Field& f, BSTR* p) {
    if (!p) return E_INVALIDARG;
    *p = f ? SysAllocStringLen(f->data(), static_cast<UINT>(f->size())) : nullptr;
    return S_OK;
  }
  static HRESULT Set(Field& f, const char16_t* s) {
    if (s)
      f = std::u16string(s);
    else
      f.reset();
    return S_OK;
  }

  GUID m_guid{};
  Field m_source, m_description, m_helpFile;
  DWORD m_helpContext = 0;
};

thread_local _com_ptr_t<IErrorInfo> t_errorInfo;

}  // namespace

void SetCreateErrorInfoFailureForTesting(HRESULT hr) { g_createErrorInfoFailure = hr; }

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = nullptr;
  if (const HRESULT hr = g_createErrorInfoFailure.load(); FAILED(hr)) return hr;
  *pperrinfo = static_cast<ICreateErrorInfo*>(CErrorObject::Create());
  return S_OK;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
  t_errorInfo = _com_ptr_t<IErrorInfo>(perrinfo, true);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = t_errorInfo.Detach();
  return *pperrinfo ? S_OK : S_FALSE;
}

// --- _com_error ---------------------------------------------------------

_com_error::_com_error(HRESULT hr, IErrorInfo* perrinfo, bool fAddRef) noexcept : m_hresult(hr), m_perrinfo(perrinfo) {
  if (m_perrinfo && fAddRef) m_perrinfo->AddRef();
}

_com_error::_com_error(const _com_error& that) noexcept : m_hresult(that.m_hresult), m_perrinfo(that.m_perrinfo) {
  if (m_perrinfo) m_perrinfo->AddRef();
}

_com_error& _com_error::operator=(const _com_error& that) noexcept {
  if (this != &that) {
    if (that.m_perrinfo) that.m_perrinfo->AddRef();
    if (m_perrinfo) m_perrinfo->Release();
    m_hresult = that.m_hresult;
    m_perrinfo = that.m_perrinfo;
  }
  return *this;
}

_com_error::~_com_error() {
  if (m_perrinfo) m_perrinfo->Release();
}

IErrorInfo* _com_error::ErrorInfo() const noexcept {
  if (m_perrinfo) m_perrinfo->AddRef();
  return m_perrinfo;
}

std::optional<std::u16string> _com_error::Description() const {
  if (!m_perrinfo) return std::nullopt;
  _bstr_t text;
  if (FAILED(m_perrinfo->GetDescription(text.GetAddress())) || text.IsNull()) return std::nullopt;
  return std::u16string(text.wide());
}

std::string _com_error::DescriptionA() const {
  const auto d = Description();
  return d ? WideToAnsi(*d) : std::string();
}

const char* _com_error::ErrorMessage() const noexcept {
  switch (static_cast<std::uint32_t>(m_hresult)) {
    case 0x00000000u: return "The operation completed successfully.";
    case 0x80004001u: return "Not implemented";
    case 0x80004002u: return "No such interface supported";
    case 0x80004003u: return "Invalid pointer";
    case 0x80004005u: return "Unspecified error";
    case 0x8000FFFFu: return "Catastrophic failure";
    case 0x80070002u: return "The system cannot find the file specified.";
    case 0x80070005u: return "Access is denied.";
    case 0x8007000Eu: return "Not enough memory resources are available to complete this operation.";
    case 0x80070057u: return "The parameter is incorrect.";
    case 0x800700EAu: return "More data is available.";
    case 0x80040154u: return "Class not registered";
    case 0x80010108u: return "The object invoked has disconnected from its clients.";
    case 0x8001011Fu: return "This operation returned because the timeout period expired.";
    case 0x80020005u: return "Type mismatch.";
    case 0x8002000Au: return "Out of present range.";
    default: return "Unknown error";
  }
}

IErrorInfo* MakeErrorInfo(std::u16string_view description) {
  _com_ptr_t<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.ReleaseAndGetAddressOf()))) return nullptr;
  const std::u16string text(description);
  create->SetDescription(text.c_str());
  IErrorInfo* info = nullptr;
  if (FAILED(create->QueryInterface(IErrorInfo::kIID, reinterpret_cast<void**>(&info)))) return nullptr;
  return info;
}

void ThrowComError(HRESULT hr, std::u16string_view description) {
  IErrorInfo* info = MakeErrorInfo(description);
  if (info == nullptr) throw _com_error(hr);
  throw _com_error(hr, info);  // the exception takes over the reference
}

void ThrowComError(HRESULT hr, std::string_view description) { ThrowComError(hr, AnsiToWide(description)); }

}  // namespace Norvale::OS
