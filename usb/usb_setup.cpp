#include "usb/usb_setup.h"

#include "driver/camera_device.h"

// Requests reach the device as URBs sent to the lower device object; the driver has no URB
// transport yet (the USB subsystem replaces this file), so no device can answer and set-up
// reports failure honestly.
NTSTATUS ReadDeviceDescriptor(UsbTransport* usb) { return STATUS_UNSUCCESSFUL; }

NTSTATUS ConfigureUsbDevice(UsbTransport* usb) { return STATUS_UNSUCCESSFUL; }

// Nothing can have been configured, so there is nothing to undo.
void DeconfigureUsbDevice(UsbTransport* usb) {}

void CameraDevice::AbortPipes() {
  // Pipes exist, and can be marked, only after a configuration was selected, which needs the
  // URB transport: with no interface there is nothing to abort.
  if (!usb.interface_info || !usb.pipe_flags) return;
}
