#include "engine/engine_marshal.h"

#include <mutex>

#include "platform/com_object.h"
#include "platform/com_ptr.h"
#include "platform/error_info.h"
#include "platform/service_control.h"

namespace Norvale {
using namespace OS;
using SMSServer::ISMSEngine;
using VELQUORCORESERVICESLib::IVelquorCore;

namespace {

constexpr const char* kEnginePath = "/com/norvale/SMSServer/SMSEngine";
constexpr const char* kEngineInterface = "com.norvale.SMSServer.ISMSEngine";
constexpr const char* kCorePath = "/com/norvale/VELQUORCORESERVICESLib/VelquorCore";
constexpr const char* kCoreInterface = "com.norvale.VELQUORCORESERVICESLib.IVelquorCore";

// Number, message, type, handset, then sender, priority, not-before,
// valid-until, report request and client reference.
constexpr const char* kSendWithOptionsSignature = "ssiisissis";

std::string Text(BSTR b) { return _bstr_t(b, true).narrow(); }
BSTR NewBstr(const DBusValue& v) { return _bstr_t(std::get<std::string>(v)).Detach(); }
std::int32_t Int(const DBusValue& v) { return std::get<std::int32_t>(v); }

class CSMSEngineProxy final : public ComObject<CSMSEngineProxy, ISMSEngine> {
 public:
  explicit CSMSEngineProxy(std::shared_ptr<DBusClient> client) : m_client(std::move(client)) {}

  HRESULT raw_Start() override { return Call("Start", "", {}, "", nullptr); }
  HRESULT raw_Stop() override { return Call("Stop", "", {}, "", nullptr); }
  HRESULT raw_GetStatus(std::int32_t* status) override {
    DBusValues out;
    const HRESULT hr = Call("GetStatus", "", {}, "i", &out);
    if (SUCCEEDED(hr)) *status = Int(out[0]);
    return hr;
  }
  HRESULT raw_SendMessage(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType, std::int32_t HandsetNumber,
                          std::int32_t* id) override {
    DBusValues out;
    const HRESULT hr =
        Call("SendMessage", "ssii", {Text(PhoneNumber), Text(Message), MessageType, HandsetNumber}, "i", &out);
    if (SUCCEEDED(hr)) *id = Int(out[0]);
    return hr;
  }
  HRESULT raw_SendMessageWithOptions(BSTR PhoneNumber, BSTR Message, std::int32_t MessageType,
                                     std::int32_t HandsetNumber, BSTR Sender, std::int32_t Priority, BSTR NotBefore,
                                     BSTR ValidUntil, std::int32_t ReportRequest, BSTR ClientRef,
                                     std::int32_t* id) override {
    DBusValues out;
    const HRESULT hr = Call("SendMessageWithOptions", kSendWithOptionsSignature,
                            {Text(PhoneNumber), Text(Message), MessageType, HandsetNumber, Text(Sender), Priority,
                             Text(NotBefore), Text(ValidUntil), ReportRequest, Text(ClientRef)},
                            "i", &out);
    if (SUCCEEDED(hr)) *id = Int(out[0]);
    return hr;
  }
  HRESULT raw_GetMessage(std::int32_t RequiredHandsetNbr, BSTR* PhoneNumber, BSTR* Message, std::int32_t* MessageType,
                         std::int32_t* HandsetNumber, BSTR* TimeStamp) override {
    DBusValues out;
    const HRESULT hr = Call("GetMessage", "i", {RequiredHandsetNbr}, "ssiis", &out);
    if (SUCCEEDED(hr)) {
      *PhoneNumber = NewBstr(out[0]);
      *Message = NewBstr(out[1]);
      *MessageType = Int(out[2]);
      *HandsetNumber = Int(out[3]);
      *TimeStamp = NewBstr(out[4]);
    }
    return hr;
  }
  HRESULT raw_GetSendStatus(std::int32_t MessageId, std::int32_t* status) override {
    DBusValues out;
    const HRESULT hr = Call("GetSendStatus", "i", {MessageId}, "i", &out);
    if (SUCCEEDED(hr)) *status = Int(out[0]);
    return hr;
  }

 private:
  HRESULT Call(const char* method, const char* inSig, const DBusValues& in, const char* outSig, DBusValues* out) {
    return m_client->Call(kEnginePath, kEngineInterface, method, inSig, in, outSig, out);
  }
  std::shared_ptr<DBusClient> m_client;
};

class CVelquorCoreProxy final : public ComObject<CVelquorCoreProxy, IVelquorCore> {
 public:
  explicit CVelquorCoreProxy(std::shared_ptr<DBusClient> client) : m_client(std::move(client)) {}

  HRESULT raw_GetConfigurationParameter(BSTR Path, BSTR Name, std::int32_t* ParameterExists, BSTR* value) override {
    DBusValues out;
    const HRESULT hr = m_client->Call(kCorePath, kCoreInterface, "GetConfigurationParameter", "ss",
                                      {Text(Path), Text(Name)}, "is", &out);
    if (SUCCEEDED(hr)) {
      *ParameterExists = Int(out[0]);
      *value = NewBstr(out[1]);
    }
    return hr;
  }

 private:
  std::shared_ptr<DBusClient> m_client;
};

HRESULT Activate(REFCLSID clsid, REFIID riid, void** ppv) {
  const bool engine = clsid == ISMSEngine::kCLSID;
  if (!engine && clsid != IVelquorCore::kCLSID) return REGDB_E_CLASSNOTREG;
  const std::string address = LocalServerAddress(clsid);
  if (address.empty()) return REGDB_E_CLASSNOTREG;
  std::shared_ptr<DBusClient> client;
  if (const HRESULT hr = DBusClient::Connect(address, &client); FAILED(hr)) return hr;
  IUnknown* proxy = engine ? static_cast<IUnknown*>(static_cast<ISMSEngine*>(CSMSEngineProxy::Create(client)))
                           : static_cast<IUnknown*>(static_cast<IVelquorCore*>(CVelquorCoreProxy::Create(client)));
  const HRESULT hr = proxy->QueryInterface(riid, ppv);
  proxy->Release();
  return hr;
}

// The description a failed call left in the thread's error information.
std::string ErrorDescription() {
  _com_ptr_t<IErrorInfo> info;
  if (GetErrorInfo(0, info.ReleaseAndGetAddressOf()) != S_OK || !info) return std::string();
  _bstr_t text;
  info->GetDescription(text.GetAddress());
  return text.narrow();
}

DBusServer::Handler Stub(std::function<HRESULT(const DBusValues&, DBusValues*)> call) {
  return [call](const DBusValues& in, DBusValues* out, std::string* description) {
    IErrorInfo* stale = nullptr;
    GetErrorInfo(0, &stale);  // start clean: only this call's error counts
    if (stale) stale->Release();
    const HRESULT hr = call(in, out);
    if (FAILED(hr)) *description = ErrorDescription();
    return hr;
  };
}

}  // namespace

void InstallEngineActivation() {
  static std::once_flag once;
  std::call_once(once, [] { SetLocalServerActivator(Activate); });
}

void PublishEngineObjects(DBusServer& server, ISMSEngine* engine, IVelquorCore* core) {
  if (engine) {
    _com_ptr_t<ISMSEngine> e(engine);
    server.AddInterface(
        kEnginePath, kEngineInterface,
        {
            {"Start", "", "", Stub([e](const DBusValues&, DBusValues*) { return e->raw_Start(); })},
            {"Stop", "", "", Stub([e](const DBusValues&, DBusValues*) { return e->raw_Stop(); })},
            {"GetStatus", "", "i", Stub([e](const DBusValues&, DBusValues* out) {
               std::int32_t s = 0;
               const HRESULT hr = e->raw_GetStatus(&s);
               out->emplace_back(s);
               return hr;
             })},
            {"SendMessage", "ssii", "i", Stub([e](const DBusValues& in, DBusValues* out) {
               std::int32_t id = 0;
               const HRESULT hr =
                   e->raw_SendMessage(_bstr_t(std::get<std::string>(in[0])), _bstr_t(std::get<std::string>(in[1])),
                                      Int(in[2]), Int(in[3]), &id);
               out->emplace_back(id);
               return hr;
             })},
            {"SendMessageWithOptions", kSendWithOptionsSignature, "i", Stub([e](const DBusValues& in, DBusValues* out) {
               const auto text = [&](std::size_t i) { return _bstr_t(std::get<std::string>(in[i])); };
               std::int32_t id = 0;
               const HRESULT hr = e->raw_SendMessageWithOptions(text(0), text(1), Int(in[2]), Int(in[3]), text(4),
                                                                Int(in[5]), text(6), text(7), Int(in[8]), text(9), &id);
               out->emplace_back(id);
               return hr;
             })},
            {"GetMessage", "i", "ssiis", Stub([e](const DBusValues& in, DBusValues* out) {
               _bstr_t phone, message, stamp;
               std::int32_t type = 0, handset = 0;
               const HRESULT hr = e->raw_GetMessage(Int(in[0]), phone.GetAddress(), message.GetAddress(), &type,
                                                    &handset, stamp.GetAddress());
               *out = {phone.narrow(), message.narrow(), type, handset, stamp.narrow()};
               return hr;
             })},
            {"GetSendStatus", "i", "i", Stub([e](const DBusValues& in, DBusValues* out) {
               std::int32_t s = 0;
               const HRESULT hr = e->raw_GetSendStatus(Int(in[0]), &s);
               out->emplace_back(s);
               return hr;
             })},
        });
  }
  if (core) {
    _com_ptr_t<IVelquorCore> c(core);
    server.AddInterface(kCorePath, kCoreInterface,
                        {{"GetConfigurationParameter", "ss", "is", Stub([c](const DBusValues& in, DBusValues* out) {
                            std::int32_t exists = 0;
                            _bstr_t value;
                            const HRESULT hr = c->raw_GetConfigurationParameter(_bstr_t(std::get<std::string>(in[0])),
                                                                                _bstr_t(std::get<std::string>(in[1])),
                                                                                &exists, value.GetAddress());
                            *out = {exists, value.narrow()};
                            return hr;
                          })}});
  }
}

}  // namespace Norvale
