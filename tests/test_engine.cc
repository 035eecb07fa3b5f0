// velquor-test-engine: a small engine for tests. It runs as the
// "VelquorServer" service (the test registers it), serves ISMSEngine and
// IVelquorCore on the service's socket and follows a script kept in the
// registry key HKEY_LOCAL_MACHINE\SOFTWARE\Norvale\TestEngine, read at every
// call:
//   Status          what GetStatus answers (default 2, running)
//   SendStatus      what GetSendStatus answers (default 2, sent)
//   FailHResult     hexadecimal HRESULT with which SendMessage, GetMessage and
//   FailDescription GetSendStatus fail, and the description that goes with it
//   DelayMs         a pause before every answer (a slow or hung engine)
//   Inbox\<n>       held messages, "phone<TAB>text<TAB>type<TAB>handset<TAB>stamp",
//                   handed out oldest name first by GetMessage
//   Outbox\<id>     what SendMessage received, written by the engine
// Configuration reads answer from HKEY_LOCAL_MACHINE\SOFTWARE\Norvale\Velquor.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_marshal.h"
#include "errors/com_error_raise.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/error_info.h"
#include "platform/registry.h"
#include "platform/service_control.h"

using namespace Norvale;
using namespace Norvale::OS;

namespace {

constexpr const char* kScriptKey = "SOFTWARE\\Norvale\\TestEngine";
std::mutex g_lock;  // calls arrive on one thread per client

std::string Script(const char* name, const std::string& fallback = "") {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScriptKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return fallback;
  char data[1000];
  DWORD size = sizeof data;
  const LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::string(data, size) : fallback;
}

HRESULT Fail(HRESULT hr, const std::string& description) {
  _com_ptr_t<ICreateErrorInfo> create;
  CreateErrorInfo(create.ReleaseAndGetAddressOf());
  create->SetDescription(AnsiToWide(description).c_str());
  _com_ptr_t<IErrorInfo> info(create);
  SetErrorInfo(0, info.GetInterfacePtr());
  return hr;
}

// The scripted pause and failure every engine call goes through.
HRESULT Scripted() {
  if (const long delay = std::atol(Script("DelayMs", "0").c_str()); delay > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  const std::string hr = Script("FailHResult");
  if (!hr.empty()) return Fail(static_cast<HRESULT>(std::strtoul(hr.c_str(), nullptr, 16)), Script("FailDescription"));
  return S_OK;
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0, tab;
  while ((tab = s.find('\t', start)) != std::string::npos) {
    parts.push_back(s.substr(start, tab - start));
    start = tab + 1;
  }
  parts.push_back(s.substr(start));
  return parts;
}

class CTestEngine final : public ComObject<CTestEngine, SMSServer::ISMSEngine> {
 public:
  HRESULT raw_Start() override {
    m_stopped = false;
    return S_OK;
  }
  HRESULT raw_Stop() override {
    m_stopped = true;
    return S_OK;
  }
  HRESULT raw_GetStatus(std::int32_t* status) override {
    if (const long delay = std::atol(Script("DelayMs", "0").c_str()); delay > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    *status = m_stopped ? SMSServer::esStopped : std::atoi(Script("Status", "2").c_str());
    return S_OK;
  }
  HRESULT raw_SendMessage(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType, std::int32_t HandsetNumber,
                          std::int32_t* id) override {
    return Record(PhoneNumber, Message, MessageType, HandsetNumber, "", id);
  }
  // The options follow the handset in the record, tab-separated as passed.
  HRESULT raw_SendMessageWithOptions(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType,
                                     std::int32_t HandsetNumber, BSTR Sender, std::int32_t Priority, BSTR NotBefore,
                                     BSTR ValidUntil, std::int32_t ReportRequest, BSTR ClientRef,
                                     std::int32_t* id) override {
    const std::string options = "\t" + _bstr_t(Sender, true).narrow() + "\t" + std::to_string(Priority) + "\t" +
                                _bstr_t(NotBefore, true).narrow() + "\t" + _bstr_t(ValidUntil, true).narrow() + "\t" +
                                std::to_string(ReportRequest) + "\t" + _bstr_t(ClientRef, true).narrow();
    return Record(PhoneNumber, Message, MessageType, HandsetNumber, options, id);
  }
  HRESULT Record(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType, std::int32_t HandsetNumber,
                 const std::string& options, std::int32_t* id) {
    if (const HRESULT hr = Scripted(); FAILED(hr)) return hr;
    std::lock_guard guard(g_lock);
    HKEY outbox = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kScriptKey) + "\\Outbox").c_str(), 0, nullptr, 0,
                    KEY_READ | KEY_WRITE, nullptr, &outbox, nullptr);
    *id = ++m_lastId + 1000;
    const std::string record = _bstr_t(PhoneNumber, true).narrow() + "\t" + _bstr_t(Message, true).narrow() + "\t" +
                               std::to_string(MessageType) + "\t" + std::to_string(HandsetNumber) + options;
    RegSetValueExA(outbox, std::to_string(*id).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(record.data()),
                   static_cast<DWORD>(record.size()));
    RegCloseKey(outbox);
    return S_OK;
  }
  HRESULT raw_GetMessage(std::int32_t RequiredHandsetNbr, BSTR* PhoneNumber, BSTR* Message, std::int32_t* MessageType,
                         std::int32_t* HandsetNumber, BSTR* TimeStamp) override {
    *PhoneNumber = *Message = *TimeStamp = nullptr;
    *MessageType = *HandsetNumber = 0;
    if (const HRESULT hr = Scripted(); FAILED(hr)) return hr;
    std::lock_guard guard(g_lock);
    HKEY inbox = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kScriptKey) + "\\Inbox").c_str(), 0, KEY_READ | KEY_WRITE,
                      &inbox) != ERROR_SUCCESS)
      return S_OK;
    for (DWORD i = 0;; ++i) {
      char name[100], data[1000];
      DWORD cch = sizeof name, size = sizeof data;
      if (RegEnumValueA(inbox, i, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        break;
      const auto parts = Split(std::string(data, size));
      if (parts.size() < 5) continue;
      const int handset = std::atoi(parts[3].c_str());
      if (RequiredHandsetNbr != 0 && handset != RequiredHandsetNbr) continue;
      *PhoneNumber = _bstr_t(parts[0]).Detach();
      *Message = _bstr_t(parts[1]).Detach();
      *MessageType = std::atoi(parts[2].c_str());
      *HandsetNumber = handset;
      *TimeStamp = _bstr_t(parts[4]).Detach();
      RegDeleteValueA(inbox, name);
      break;
    }
    RegCloseKey(inbox);
    return S_OK;
  }
  HRESULT raw_GetSendStatus(std::int32_t, std::int32_t* status) override {
    if (const HRESULT hr = Scripted(); FAILED(hr)) return hr;
    *status = std::atoi(Script("SendStatus", "2").c_str());
    return S_OK;
  }

 private:
  bool m_stopped = false;
  int m_lastId = 0;
};

class CTestCore final : public ComObject<CTestCore, VELQUORCORESERVICESLib::IVelquorCore> {
 public:
  HRESULT raw_GetConfigurationParameter(BSTR Path, BSTR Name, std::int32_t* ParameterExists, BSTR* value) override {
    *ParameterExists = 0;
    *value = nullptr;
    HKEY key = nullptr;
    const std::string path = "SOFTWARE\\Norvale\\Velquor" + _bstr_t(Path, true).narrow();
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return S_OK;
    char data[1000];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, _bstr_t(Name, true).narrow().c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                         &size) == ERROR_SUCCESS) {
      *ParameterExists = 1;
      *value = _bstr_t(std::string(data, size)).Detach();
    }
    RegCloseKey(key);
    return S_OK;
  }
};

}  // namespace

int main() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // the server's threads inherit the mask

  ServiceHost host("VelquorServer");
  if (!host.Lock()) {
    std::fprintf(stderr, "velquor-test-engine: already running\n");
    return 1;
  }
  host.ReportStatus(SERVICE_START_PENDING);
  const std::string socket = ServiceHost::SocketPath("VelquorServer");
  ServiceHost::RegisterLocalServer(SMSServer::ISMSEngine::kCLSID, "unix:path=" + socket);
  ServiceHost::RegisterLocalServer(VELQUORCORESERVICESLib::IVelquorCore::kCLSID, "unix:path=" + socket);
  auto* engine = CTestEngine::Create();
  auto* core = CTestCore::Create();
  {
    DBusServer server;
    PublishEngineObjects(server, engine, core);
    engine->Release();
    core->Release();
    if (!server.Listen(socket)) {
      std::fprintf(stderr, "velquor-test-engine: %s\n", server.ErrorText().c_str());
      return 1;
    }
    host.ReportStatus(SERVICE_RUNNING);
    int signal = 0;
    sigwait(&signals, &signal);
    host.ReportStatus(SERVICE_STOP_PENDING);
  }
  return 0;
}
