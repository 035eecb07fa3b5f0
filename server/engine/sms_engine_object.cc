#include "server/engine/sms_engine_object.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "config/config_reg.h"
#include "config/handset_values.h"
#include "errors/com_error_raise.h"
#include "errors/error_logging.h"
#include "platform/dbus_rpc.h"
#include "platform/error_info.h"
#include "platform/event_log.h"
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

// A value of the product key read directly; empty when absent.
std::string RootValue(const char* szName) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CConfigVelquor::kRootPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char data[1024];
  DWORD size = sizeof data;
  std::string text;
  if (RegQueryValueExA(key, szName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS)
    text = RegistryText(data, size);
  RegCloseKey(key);
  return text;
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

HRESULT CSMSEngineObject::raw_SendMessageWithOptions(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType,
                                                     std::int32_t HandsetNumber, BSTR Sender, std::int32_t Priority,
                                                     BSTR NotBefore, BSTR ValidUntil, std::int32_t ReportRequest,
                                                     BSTR ClientRef, std::int32_t* id) {
  if (!id) return E_POINTER;
  return Call([&] {
    // A time in its decimal form; "" none.
    const auto time = [](BSTR text, const char* field) -> std::optional<std::int64_t> {
      const std::string digits = _bstr_t(text, true).narrow();
      if (digits.empty()) return std::nullopt;
      std::size_t end = 0;
      std::int64_t value = 0;
      try {
        value = std::stoll(digits, &end);
      } catch (const std::exception&) {
        end = 0;
      }
      if (end != digits.size()) RAISE_COM_ERROR(E_INVALIDARG, std::string(field) + ": is no number of milliseconds");
      return value;
    };
    CSendOptions options;
    options.sSender = _bstr_t(Sender, true).narrow();
    if (Priority != -1) options.nPriority = Priority;
    options.nNotBefore = time(NotBefore, "not_before");
    options.nValidUntil = time(ValidUntil, "validity");
    if (ReportRequest != -1) {
      if (ReportRequest != 0 && ReportRequest != 1) RAISE_COM_ERROR(E_INVALIDARG, "report: is -1, 0 or 1");
      options.bReportRequest = ReportRequest == 1;
    }
    options.sClientRef = _bstr_t(ClientRef, true).narrow();
    *id = m_Engine.SendMessage(_bstr_t(PhoneNumber, true).narrow(), _bstr_t(Message, true).narrow(), MessageType,
                               HandsetNumber, options);
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

bool CVelquorCoreObject::IsSecret(const std::string& sName) { return IsSecretValueName(sName); }

bool CVelquorCoreObject::IsGroupMember(uid_t uid, gid_t gid, const std::string& sGroup) {
  if (sGroup.empty()) return false;
  std::vector<char> buffer(16384);
  group g{};
  group* found = nullptr;
  if (getgrnam_r(sGroup.c_str(), &g, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  if (g.gr_gid == gid) return true;
  std::vector<char> userBuffer(16384);
  passwd p{};
  passwd* user = nullptr;
  if (getpwuid_r(uid, &p, userBuffer.data(), userBuffer.size(), &user) != 0 || user == nullptr) return false;
  if (p.pw_gid == g.gr_gid) return true;
  for (char** member = g.gr_mem; member && *member; ++member)
    if (std::strcmp(*member, p.pw_name) == 0) return true;
  return false;
}

HRESULT CVelquorCoreObject::raw_GetConfigurationParameter(BSTR Path, BSTR Name, std::int32_t* ParameterExists,
                                                          BSTR* value) {
  if (!ParameterExists || !value) return E_POINTER;
  *ParameterExists = 0;
  *value = nullptr;
  const std::string path = _bstr_t(Path, true).narrow(), name = _bstr_t(Name, true).narrow();
  if (!IsProductPath(path))
    return Fail(E_ACCESSDENIED, "Only keys of the product's configuration are served, not '" + path + "'");
  const bool secret = IsSecret(name);
  const PeerCredentials peer = DBusServer::CurrentPeer();
  const std::string caller = "uid " + std::to_string(peer.uid) + ", pid " + std::to_string(peer.pid);
  if (secret && !path.empty()) {
    LogEvent(EVENTLOG_WARNING_TYPE, "CVelquorCoreObject::GetConfigurationParameter",
             "Refused the driver secret " + path.substr(1) + "\\" + name + " to " + caller);
    return Fail(E_ACCESSDENIED, "A driver's secrets are not served ('" + name + "')");
  }
  if (secret) {
    const bool allowed =
        peer.uid == 0 || peer.uid == geteuid() || IsGroupMember(peer.uid, peer.gid, RootValue("ClientGroup"));
    if (!allowed) {
      LogEvent(EVENTLOG_WARNING_TYPE, "CVelquorCoreObject::GetConfigurationParameter",
               "Refused the database password (" + name + ") to " + caller +
                   ": neither root, the engine's user nor a member of ClientGroup");
      return Fail(E_ACCESSDENIED,
                  "The database password is served to root, the engine's user and members of the "
                  "group ClientGroup names only");
    }
  }
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
  if (secret)
    LogEvent(EVENTLOG_INFORMATION_TYPE, "CVelquorCoreObject::GetConfigurationParameter",
             "Gave the database password (" + name + ") to " + caller);
  return S_OK;
}

}  // namespace Norvale
