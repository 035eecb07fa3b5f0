#include "platform/com_runtime.h"

#include <map>
#include <mutex>

namespace Norvale::OS {
namespace {

struct Registration {
  CLSID clsid;
  _com_ptr_t<IClassFactory> factory;
  DWORD context;
};

struct Registry {
  std::mutex lock;
  std::map<DWORD, Registration> classes;
  DWORD nextCookie = 1;
  LocalServerActivator activator;
};

Registry& TheRegistry() {
  static Registry r;
  return r;
}

}  // namespace

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD, LPDWORD lpdwRegister) {
  if (!pUnk || !lpdwRegister) return E_INVALIDARG;
  _com_ptr_t<IClassFactory> factory;
  if (FAILED(pUnk->QueryInterface(IClassFactory::kIID, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()))))
    return E_NOINTERFACE;
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  const DWORD cookie = r.nextCookie++;
  r.classes.emplace(cookie, Registration{rclsid, std::move(factory), dwClsContext});
  *lpdwRegister = cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  _com_ptr_t<IClassFactory> released;  // released outside the lock
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  const auto it = r.classes.find(dwRegister);
  if (it == r.classes.end()) return E_INVALIDARG;
  released = std::move(it->second.factory);
  r.classes.erase(it);
  return S_OK;
}

void SetLocalServerActivator(LocalServerActivator activator) {
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  r.activator = std::move(activator);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  _com_ptr_t<IClassFactory> factory;
  LocalServerActivator activator;
  {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    for (const auto& [cookie, reg] : r.classes) {
      if (reg.clsid == rclsid && (reg.context & dwClsContext) != 0) {
        factory = reg.factory;
        break;
      }
    }
    if (!factory) activator = r.activator;
  }
  if (factory) return factory->CreateInstance(nullptr, riid, ppv);
  if ((dwClsContext & CLSCTX_LOCAL_SERVER) && activator) return activator(rclsid, riid, ppv);
  return REGDB_E_CLASSNOTREG;
}

}  // namespace Norvale::OS

#include "platform/error_info.h"

namespace Norvale::OS {
void _com_issue_errorex(HRESULT hr, IUnknown*, REFIID) {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK) info = nullptr;
  throw _com_error(hr, info);
}
}  // namespace Norvale::OS
