// The registry as a driver sees it: each camera's physical device object is bound to its
// driver key in a hive, and IoOpenDeviceRegistryKey, ZwCreateKey, ZwQueryValueKey and
// ZwSetValueKey work on handles in the host's kernel handle table (ZwClose closes them).
//
// Camera slot N's driver key is the N-th instance key of the imaging device class:
//   HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{6BDD1FC6-810F-11D0-BEC7-08002BE2EF00}\NNNN
// (0000 for the first camera, 0001 for the second, ...), the key the platform gives a
// driver for PLUGPLAY_REGKEY_DRIVER. Only keys below a bound device's driver key are
// reachable: there is no absolute \Registry\... name space.
//
// What the calls check, as the platform does: handles (STATUS_INVALID_HANDLE for unknown or
// closed ones, STATUS_OBJECT_TYPE_MISMATCH for handles of other objects), each handle's
// granted access (a query needs KEY_QUERY_VALUE, a write KEY_SET_VALUE; generic rights map
// to the key rights), names (malformed or empty levels are STATUS_OBJECT_NAME_INVALID).
// Values are copied out exactly: ZwQueryValueKey writes the 12-byte header and DataLength
// data bytes, nothing past them; a buffer too small for the data gets the header and what
// fits (STATUS_BUFFER_OVERFLOW), one too small for the header nothing
// (STATUS_BUFFER_TOO_SMALL); both report the size needed. Volatile keys (create options other than 0) and
// information classes other than KeyValuePartialInformation are refused with
// STATUS_INVALID_PARAMETER; value data is limited to 1 MiB.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/registry/hive.h"
#include "platform/wdm.h"

namespace kscam::host::registry {

// The driver key path of camera slot `slot` (0..9999).
std::string DriverKeyPath(unsigned slot);

// Binds the physical device object to camera slot `slot`'s driver key in `hive`, replacing an
// earlier binding of that object. STATUS_INVALID_PARAMETER for a null object or hive, or a
// slot above 9999.
NTSTATUS AttachDeviceKey(PDEVICE_OBJECT physical_device, std::shared_ptr<Hive> hive, unsigned slot);

// Removes the binding. Key handles already open stay valid until closed.
void DetachDeviceKey(PDEVICE_OBJECT physical_device);

// The key path a registry key handle names (for tests and diagnostics).
std::optional<std::string> KeyHandlePath(HANDLE handle);

}  // namespace kscam::host::registry
