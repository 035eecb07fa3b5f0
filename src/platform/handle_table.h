// The process's table of kernel-object handles (mutexes, event sources).
//
// A handle is a small non-zero number standing for a shared object; closing
// it drops the table's reference while operations in progress keep theirs.
// Every function is thread-safe.
#pragma once

#include <memory>

#include "platform/types.h"

namespace Norvale::OS {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
};

namespace HandleTable {
HANDLE Insert(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> Lookup(HANDLE h);
// Removes the handle; false when it names nothing.
bool Remove(HANDLE h);

template <class T>
std::shared_ptr<T> Get(HANDLE h) {
  return std::dynamic_pointer_cast<T>(Lookup(h));
}
}  // namespace HandleTable

BOOL CloseHandle(HANDLE hObject);

}  // namespace Norvale::OS
