#include "driver/camera_device.h"
#include "driver/device_dispatch.h"

volatile LONG FrameTimeout = kDefaultFrameTimeout;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  // A reload starts from the default time-out, not from what the last load left.
  InterlockedExchange(&FrameTimeout, kDefaultFrameTimeout);
  return KsInitializeDriver(driver, registry_path, &kDeviceDescriptor);
}
