// Kernel handles of the host: one table for every kind of object a handle can name (system
// threads, registry keys), so ZwClose works on all of them.
#pragma once

#include <memory>

#include "platform/wdm.h"

namespace kscam::host {

// An object that a kernel handle can refer to. Closing the last handle drops the table's
// reference; the object lives on while anyone else holds it.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
};

// Inserts the object and returns a new, never-null handle for it.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);

// The object a handle names, or null for an unknown or closed handle.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Removes the handle; false when it was not open.
bool CloseHandle(HANDLE handle);

// Handles currently open (for leak checks).
size_t OpenHandleCount();

}  // namespace kscam::host
