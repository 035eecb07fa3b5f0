#include "server/sms_engine_object.h"

#include "config/config_reg.h"
#include "platform/error_info.h"
#include "platform/registry.h"

namespace Norvale {
using namespace OS;

namespace {

HRESULT Fail(HRESULT hr, const std::string& description) {
  _com_ptr_t<IErrorInfo> info;
  info.Attach(MakeErrorInfo(AnsiToWide(description)));
  if (info) SetErrorInfo(0, info.GetInterfacePtr());
  return hr;
}

// Runs one call of the interface; what it throws becomes the result.
template <class F>
HRESULT Call(F&& work) noexcept {
  try {
    work();
    return S_OK;
  } catch (const _com_error& e) {
    return Fail(e.Error(), e.DescriptionA().empty() ? e.ErrorMessage() : e.DescriptionA());
  } catch (const std::exception& e) {
    return Fail(E_FAIL, e.what());
  } catch (...) {
    return Fail(E_FAIL, "Unknown exception in the engine");
  }
}

}  // namespace

HRESULT CSMSEngineObject::raw_Start() {
  return Call([&] { m_Engine.Start(); });
}

HRESULT CSMSEngineObject::raw_Stop() {
  return Call([&] { m_Engine.Stop(); });
}

HRESULT CSMSEngineObject::raw_GetStatus(std::int32_t* status) {
  if (!status) return E_POINTER;
  *status = m_Engine.GetStatus();
  return S_OK;
}

HRESULT CSMSEngineObject::raw_SendMessage(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType,
                                          std::int32_t HandsetNumber, std::int32_t* id) {
  if (!id) return E_POINTER;
  return Call([&] {
    *id = m_Engine.SendMessage(_bstr_t(PhoneNumber, true).narrow(), _bstr_t(Message, true).narrow(), MessageType,
                               HandsetNumber);
  });
}

HRESULT CSMSEngineObject::raw_GetMessage(std::int32_t RequiredHandsetNbr, BSTR* PhoneNumber, BSTR* Message,
                                         std::int32_t* MessageType, std::int32_t* HandsetNumber, BSTR* TimeStamp) {
  if (!PhoneNumber || !Message || !MessageType || !HandsetNumber || !TimeStamp) return E_POINTER;
  *PhoneNumber = *Message = *TimeStamp = nullptr;
  *MessageType = *HandsetNumber = 0;
  return Call([&] {
    std::string phone, message, stamp;
    LONG type = 0, handset = 0;
    if (!m_Engine.GetMessage(RequiredHandsetNbr, phone, message, type, handset, stamp)) return;
    *PhoneNumber = _bstr_t(phone).Detach();
    *Message = _bstr_t(message).Detach();
    *TimeStamp = _bstr_t(stamp).Detach();
    *MessageType = type;
    *HandsetNumber = handset;
  });
}

HRESULT CSMSEngineObject::raw_GetSendStatus(std::int32_t MessageId, std::int32_t* status) {
  if (!status) return E_POINTER;
  return Call([&] { *status = m_Engine.GetSendStatus(MessageId); });
}

bool CVelquorCoreObject::IsProductPath(const std::string& sPath) {
  if (sPath.empty()) return true;
  if (sPath[0] != '\\') return false;
  size_t start = 1;
  while (true) {
    const size_t end = sPath.find('\\', start);
    const std::string part = sPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

HRESULT CVelquorCoreObject::raw_GetConfigurationParameter(BSTR Path, BSTR Name, std::int32_t* ParameterExists,
                                                          BSTR* value) {
  if (!ParameterExists || !value) return E_POINTER;
  *ParameterExists = 0;
  *value = nullptr;
  const std::string path = _bstr_t(Path, true).narrow(), name = _bstr_t(Name, true).narrow();
  if (!IsProductPath(path))
    return Fail(E_ACCESSDENIED, "Only keys of the product's configuration are served, not '" + path + "'");
  HKEY key = nullptr;
  const LONG rc =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(CConfigVelquor::kRootPath) + path).c_str(), 0, KEY_READ, &key);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND) || rc == static_cast<LONG>(ERROR_PATH_NOT_FOUND)) return S_OK;
  if (rc != ERROR_SUCCESS) return Fail(E_FAIL, "The engine cannot read the configuration key '" + path + "'");
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
    std::string data(size, '\0');
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) ==
        ERROR_SUCCESS) {
      *ParameterExists = 1;
      *value = _bstr_t(RegistryText(data.data(), size)).Detach();
    }
  }
  RegCloseKey(key);
  return S_OK;
}

}  // namespace Norvale
