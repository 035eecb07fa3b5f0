// An in-process stand-in for the engine's IVelquorCore, registered as the
// class object of its class identifier for the life of the object.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "engine/engine_interfaces.h"
#include "errors/com_error_raise.h"
#include "platform/com_object.h"
#include "platform/com_runtime.h"

namespace TestSupport {

using namespace Norvale::OS;

struct CoreState {
  std::map<std::pair<std::string, std::string>, std::string> values;  // (path, name) -> value
  HRESULT failWith = S_OK;
  int calls = 0;
};

class CInProcessCore : public ComObject<CInProcessCore, VELQUORCORESERVICESLib::IVelquorCore> {
 public:
  explicit CInProcessCore(CoreState* state) : m_state(state) {}
  HRESULT raw_GetConfigurationParameter(BSTR Path, BSTR Name, std::int32_t* exists, BSTR* value) override {
    ++m_state->calls;
    if (FAILED(m_state->failWith)) return m_state->failWith;
    const auto it = m_state->values.find({_bstr_t(Path, true).narrow(), _bstr_t(Name, true).narrow()});
    *exists = it != m_state->values.end();
    *value = *exists ? _bstr_t(it->second).Detach() : nullptr;
    return S_OK;
  }

 private:
  CoreState* m_state;
};

class CInProcessCoreFactory : public ComObject<CInProcessCoreFactory, IClassFactory> {
 public:
  explicit CInProcessCoreFactory(CoreState* state) : m_state(state) {}
  HRESULT CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
    auto* core = CInProcessCore::Create(m_state);
    const HRESULT hr = core->QueryInterface(riid, ppv);
    core->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  CoreState* m_state;
};

class RegisteredCore {
 public:
  RegisteredCore() {
    auto* factory = CInProcessCoreFactory::Create(&state);
    CoRegisterClassObject(VELQUORCORESERVICESLib::IVelquorCore::kCLSID, static_cast<IClassFactory*>(factory),
                          CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie);
    factory->Release();
  }
  ~RegisteredCore() { CoRevokeClassObject(m_cookie); }
  CoreState state;

 private:
  DWORD m_cookie = 0;
};

}  // namespace TestSupport
