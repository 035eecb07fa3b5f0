// _com_ptr_t: a counted smart pointer to a COM interface.
//
// Copying adds a reference, destruction and reassignment release one, so a
// reference is released on every path. Constructing from a pointer of another
// interface queries for I. One object may be used by one thread at a time;
// different smart pointers to one COM object may live on different threads.
#pragma once

#include <utility>

#include "platform/types.h"

namespace Norvale::OS {

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

template <class I>
class _com_ptr_t {
 public:
  _com_ptr_t() noexcept = default;
  _com_ptr_t(std::nullptr_t) noexcept {}
  // Adds a reference (fAddRef true) or takes over the caller's.
  _com_ptr_t(I* p, bool fAddRef = true) noexcept : m_p(p) {
    if (m_p && fAddRef) m_p->AddRef();
  }
  _com_ptr_t(const _com_ptr_t& o) noexcept : _com_ptr_t(o.m_p, true) {}
  _com_ptr_t(_com_ptr_t&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  // Queries another interface for I; null when it is not supported.
  template <class J>
  explicit _com_ptr_t(const _com_ptr_t<J>& other) noexcept {
    if (other) other->QueryInterface(I::kIID, reinterpret_cast<void**>(&m_p));
  }
  ~_com_ptr_t() { Release(); }

  _com_ptr_t& operator=(_com_ptr_t o) noexcept {
    std::swap(m_p, o.m_p);
    return *this;
  }
  _com_ptr_t& operator=(std::nullptr_t) noexcept {
    Release();
    return *this;
  }

  HRESULT CreateInstance(REFCLSID clsid, IUnknown* outer = nullptr, DWORD ctx = 0x17) noexcept {
    Release();
    return CoCreateInstance(clsid, outer, ctx, I::kIID, reinterpret_cast<void**>(&m_p));
  }

  void Attach(I* p) noexcept {
    Release();
    m_p = p;
  }
  I* Detach() noexcept { return std::exchange(m_p, nullptr); }
  void Release() noexcept {
    if (I* p = std::exchange(m_p, nullptr)) p->Release();
  }
  // Releases what is held and gives the address for an out parameter.
  I** ReleaseAndGetAddressOf() noexcept {
    Release();
    return &m_p;
  }

  I* GetInterfacePtr() const noexcept { return m_p; }
  I* operator->() const noexcept { return m_p; }
  I& operator*() const noexcept { return *m_p; }
  explicit operator bool() const noexcept { return m_p != nullptr; }
  friend bool operator==(const _com_ptr_t& a, std::nullptr_t) noexcept { return a.m_p == nullptr; }

 private:
  I* m_p = nullptr;
};

}  // namespace Norvale::OS
