#include "platform/handle_table.h"

#include <mutex>
#include <unordered_map>

namespace Norvale::OS {
namespace {

struct Table {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::uintptr_t next = 1;
};

Table& TheTable() {
  static Table t;
  return t;
}

}  // namespace

namespace HandleTable {

HANDLE Insert(std::shared_ptr<KernelObject> object) {
  Table& t = TheTable();
  std::lock_guard guard(t.lock);
  const std::uintptr_t value = (t.next++) * 4;  // never null, never INVALID_HANDLE_VALUE
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> Lookup(HANDLE h) {
  Table& t = TheTable();
  std::lock_guard guard(t.lock);
  const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
  return it == t.objects.end() ? nullptr : it->second;
}

bool Remove(HANDLE h) {
  std::shared_ptr<KernelObject> released;  // destroyed outside the lock
  Table& t = TheTable();
  std::lock_guard guard(t.lock);
  const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
  if (it == t.objects.end()) return false;
  released = std::move(it->second);
  t.objects.erase(it);
  return true;
}

}  // namespace HandleTable

BOOL CloseHandle(HANDLE hObject) {
  if (HandleTable::Remove(hObject)) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // namespace Norvale::OS
