// Object creation by class identifier.
//
// CoCreateInstance first asks the class objects registered in this process
// (CoRegisterClassObject), then, when the context allows a local server, the
// local-server activator that the out-of-process layer installs. When
// nothing serves the class it returns REGDB_E_CLASSNOTREG. No apartment
// initialisation is needed; every function may be called on any thread.
#pragma once

#include <functional>

#include "platform/com_ptr.h"
#include "platform/types.h"

namespace Norvale::OS {

enum CLSCTX : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL = 0x17,
};

enum REGCLS : DWORD {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
};

struct IClassFactory : IUnknown {
  static constexpr IID kIID = MakeGuid("{00000001-0000-0000-C000-000000000046}");
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Registers `pUnk` (which must provide IClassFactory) as the class object of
// `rclsid` for in-process creation; *lpdwRegister receives the cookie.
HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
HRESULT CoRevokeClassObject(DWORD dwRegister);

// The activator of local servers: given a class and an interface, it yields
// an object or a failed HRESULT (REGDB_E_CLASSNOTREG when it knows no local
// server for the class).
using LocalServerActivator = std::function<HRESULT(REFCLSID, REFIID, void**)>;
void SetLocalServerActivator(LocalServerActivator activator);

}  // namespace Norvale::OS

namespace Norvale::OS {
// Raises _com_error for a failed call of an interface method, with the
// thread's error information (which the callee set) when there is any; the
// interface is named for the record but not consulted.
[[noreturn]] void _com_issue_errorex(HRESULT hr, IUnknown* punk, REFIID riid);
}  // namespace Norvale::OS
