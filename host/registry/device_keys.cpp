#include "host/registry/device_keys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

#include "host/kernel/handle_table.h"

namespace kscam::host::registry {
namespace {

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ULONG kMaxValueData = 1 << 20;
constexpr size_t kMaxLevelChars = 255;
constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

class KeyObject final : public HandleObject {
 public:
  KeyObject(std::shared_ptr<Hive> h, std::string p, ACCESS_MASK a) : hive(std::move(h)), path(std::move(p)), access(a) {}
  const std::shared_ptr<Hive> hive;
  const std::string path;
  const ACCESS_MASK access;
};

struct Binding {
  std::shared_ptr<Hive> hive;
  std::string driver_key;
};

struct Bindings {
  std::mutex lock;
  std::unordered_map<PDEVICE_OBJECT, Binding> devices;
};

Bindings& bindings() {
  static Bindings* b = new Bindings;  // never destroyed: devices may go away during process exit
  return *b;
}

ACCESS_MASK MapGeneric(ACCESS_MASK access) {
  if (access & (kGenericAll | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
  if (access & kGenericRead) access |= KEY_READ;
  if (access & kGenericWrite) access |= KEY_WRITE;
  if (access & kGenericExecute) access |= KEY_READ;
  return access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
}

NTSTATUS LookupKey(HANDLE handle, std::shared_ptr<KeyObject>* key) {
  std::shared_ptr<HandleObject> object = LookupHandle(handle);
  if (!object) return STATUS_INVALID_HANDLE;
  *key = std::dynamic_pointer_cast<KeyObject>(object);
  return *key ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

// A counted name as UTF-8; false when the record is malformed or not valid UTF-16.
bool NameOf(const UNICODE_STRING* name, std::string* out) {
  out->clear();
  if (!name || name->Length == 0) return true;
  if (name->Length % 2 != 0 || !name->Buffer) return false;
  return Utf16ToUtf8(std::u16string_view(name->Buffer, name->Length / 2), out);
}

template <typename F>
NTSTATUS Guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
}

}  // namespace

std::string DriverKeyPath(unsigned slot) {
  char instance[8];
  std::snprintf(instance, sizeof instance, "%04u", slot % 10000);
  return std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                     "{6BDD1FC6-810F-11D0-BEC7-08002BE2EF00}\\") +
         instance;
}

NTSTATUS AttachDeviceKey(PDEVICE_OBJECT physical_device, std::shared_ptr<Hive> hive, unsigned slot) {
  if (!physical_device || !hive || slot > 9999) return STATUS_INVALID_PARAMETER;
  Bindings& b = bindings();
  std::lock_guard guard(b.lock);
  b.devices[physical_device] = Binding{std::move(hive), DriverKeyPath(slot)};
  return STATUS_SUCCESS;
}

void DetachDeviceKey(PDEVICE_OBJECT physical_device) {
  Binding doomed;  // released outside the lock
  Bindings& b = bindings();
  std::lock_guard guard(b.lock);
  auto it = b.devices.find(physical_device);
  if (it == b.devices.end()) return;
  doomed = std::move(it->second);
  b.devices.erase(it);
}

std::optional<std::string> KeyHandlePath(HANDLE handle) {
  std::shared_ptr<KeyObject> key;
  if (!NT_SUCCESS(LookupKey(handle, &key))) return std::nullopt;
  return key->path;
}

}  // namespace kscam::host::registry

using kscam::host::InsertHandle;
using namespace kscam::host::registry;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey) {
  return Guarded([&]() -> NTSTATUS {
    if (!DeviceRegKey) return STATUS_INVALID_PARAMETER;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
    Binding binding;
    {
      Bindings& b = bindings();
      std::lock_guard guard(b.lock);
      auto it = b.devices.find(DeviceObject);
      if (it == b.devices.end()) return STATUS_INVALID_DEVICE_REQUEST;
      binding = it->second;
    }
    *DeviceRegKey = InsertHandle(
        std::make_shared<KeyObject>(std::move(binding.hive), std::move(binding.driver_key), MapGeneric(DesiredAccess)));
    return STATUS_SUCCESS;
  });
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  return Guarded([&]() -> NTSTATUS {
    if (!KeyHandle || !ObjectAttributes || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
      return STATUS_INVALID_PARAMETER;
    if (CreateOptions != REG_OPTION_NON_VOLATILE) return STATUS_INVALID_PARAMETER;
    if (!ObjectAttributes->RootDirectory) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::shared_ptr<KeyObject> parent;
    NTSTATUS status = LookupKey(ObjectAttributes->RootDirectory, &parent);
    if (!NT_SUCCESS(status)) return status;

    std::string relative;
    if (!NameOf(ObjectAttributes->ObjectName, &relative)) return STATUS_OBJECT_NAME_INVALID;
    if (!relative.empty()) {
      if (!ValidKeyPath(relative)) return STATUS_OBJECT_NAME_INVALID;
      std::u16string_view wide(ObjectAttributes->ObjectName->Buffer, ObjectAttributes->ObjectName->Length / 2);
      for (size_t start = 0; start <= wide.size();) {
        size_t end = wide.find(u'\\', start);
        if (end == std::u16string_view::npos) end = wide.size();
        if (end - start > kMaxLevelChars) return STATUS_OBJECT_NAME_INVALID;
        start = end + 1;
      }
    }
    bool created = false;
    status = parent->hive->CreateKey(parent->path, relative, &created);
    if (!NT_SUCCESS(status)) return status;
    std::string path = relative.empty() ? parent->path : parent->path + "\\" + relative;
    *KeyHandle = InsertHandle(std::make_shared<KeyObject>(parent->hive, std::move(path), MapGeneric(DesiredAccess)));
    if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
  });
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  return Guarded([&]() -> NTSTATUS {
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = LookupKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!(key->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    if (KeyValueInformationClass != KeyValuePartialInformation || !ValueName || !ResultLength ||
        (Length > 0 && !KeyValueInformation))
      return STATUS_INVALID_PARAMETER;
    std::string name;
    if (!NameOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;

    Value value;
    status = key->hive->QueryValue(key->path, name, &value);
    if (!NT_SUCCESS(status)) return status;
    ULONG size = static_cast<ULONG>(value.data.size());
    *ResultLength = kPartialHeader + size;
    if (Length < kPartialHeader) return STATUS_BUFFER_TOO_SMALL;
    // The header fields are copied bytewise: the caller's buffer need not be aligned here.
    auto* out = static_cast<UCHAR*>(KeyValueInformation);
    ULONG header[3] = {0, value.type, size};
    std::memcpy(out, header, sizeof header);
    static_assert(sizeof header == kPartialHeader);
    // Too small for the data: as much as fits, and the size needed.
    ULONG fits = std::min(size, Length - kPartialHeader);
    if (fits) std::memcpy(out + kPartialHeader, value.data.data(), fits);
    return fits < size ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  });
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  return Guarded([&]() -> NTSTATUS {
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = LookupKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!(key->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
    if (!ValueName || (DataSize > 0 && !Data) || DataSize > kMaxValueData) return STATUS_INVALID_PARAMETER;
    std::string name;
    if (!NameOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
    return key->hive->SetValue(key->path, name, Type,
                               std::span<const uint8_t>(static_cast<const uint8_t*>(Data), DataSize));
  });
}
