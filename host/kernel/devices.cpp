// Device and driver objects for the host's own drivers (the USB stack's bottom device, the
// KS host's device stack).
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;

struct Objects {
  std::mutex lock;
  std::map<PDRIVER_OBJECT, std::u16string> driver_names;
};

Objects& objects() {
  static Objects* o = new Objects;  // never destroyed
  return *o;
}

}  // namespace

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name) {
  auto* driver = new DRIVER_OBJECT{};
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  Objects& o = objects();
  std::lock_guard guard(o.lock);
  std::u16string& stored = o.driver_names[driver];
  stored = name;
  driver->DriverName.Buffer = reinterpret_cast<PWSTR>(stored.data());
  driver->DriverName.Length = static_cast<USHORT>(stored.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return;
  if (driver->DeviceObject != nullptr) {
    verifier::Report(verifier::ViolationKind::ObjectMisuse, "driver object deleted while it still has devices");
  }
  {
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    o.driver_names.erase(driver);
  }
  delete driver;
}

PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extension_size, CCHAR stack_size, ULONG device_type) {
  auto* device = new DEVICE_OBJECT{};
  device->Type = kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
  device->DriverObject = driver;
  device->StackSize = stack_size < 1 ? 1 : stack_size;
  device->DeviceType = device_type;
  device->AlignmentRequirement = 0;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  if (extension_size > 0) {
    size_t n = (extension_size + 15) / 16 * 16;
    device->DeviceExtension = std::aligned_alloc(16, n);
    memset(device->DeviceExtension, 0, n);
  }
  if (driver != nullptr) {
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
  }
  return device;
}

void DeleteDeviceObject(PDEVICE_OBJECT device) {
  if (device == nullptr) return;
  if (device->DriverObject != nullptr) {
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
      if (*link == device) {
        *link = device->NextDevice;
        break;
      }
    }
  }
  std::free(device->DeviceExtension);
  delete device;
}

void AttachDevice(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower) {
  lower->AttachedDevice = upper;
  upper->StackSize = static_cast<CCHAR>(lower->StackSize + 1);
}

}  // namespace kscam::host
