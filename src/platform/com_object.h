// Implementation helper for COM objects: reference counting and
// QueryInterface over a list of interfaces.
//
//   class CThing : public ComObject<CThing, IThing> { ... };
//   IThing* p = CThing::Create(args...);   // count 1, owned by the caller
//
// The count is atomic, so references may be added and released on any
// thread; the object deletes itself exactly once, when the count reaches 0.
#pragma once

#include <atomic>
#include <utility>

#include "platform/types.h"

namespace Norvale::OS {

template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
 public:
  template <class... Args>
  static Derived* Create(Args&&... args) {
    return new Derived(std::forward<Args>(args)...);
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IUnknown::kIID) {
      *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
    } else if (!Match<First, Rest...>(riid, ppv)) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG left = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

 private:
  template <class I, class... More>
  bool Match(REFIID riid, void** ppv) {
    if (riid == I::kIID) {
      *ppv = static_cast<I*>(this);
      return true;
    }
    if constexpr (sizeof...(More) > 0) return Match<More...>(riid, ppv);
    return false;
  }

  std::atomic<ULONG> m_cRef{1};
};

}  // namespace Norvale::OS
