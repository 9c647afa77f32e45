#include "host/kernel/handle_table.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace kscam::host {
namespace {

struct Table {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
  uintptr_t next = 4;  // handle values are multiples of four, as on the platform
};

Table& table() {
  static Table* t = new Table;  // never destroyed: handles may be closed during process exit
  return *t;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
  Table& t = table();
  std::lock_guard guard(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
  Table& t = table();
  std::lock_guard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool CloseHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> doomed;  // destroyed outside the lock
  Table& t = table();
  std::lock_guard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) return false;
  doomed = std::move(it->second);
  t.objects.erase(it);
  return true;
}

size_t OpenHandleCount() {
  Table& t = table();
  std::lock_guard guard(t.lock);
  return t.objects.size();
}

}  // namespace kscam::host
