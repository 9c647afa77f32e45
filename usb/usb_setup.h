// Configuration of the camera's USB device.
#pragma once

#include "usb/usb_transport.h"

// Reads the device descriptor: proves that the device answers.
NTSTATUS ReadDeviceDescriptor(UsbTransport* usb);
// Reads the configuration descriptor and selects the configuration.
NTSTATUS ConfigureUsbDevice(UsbTransport* usb);
// Sends the unconfigure request; the result is not reported.
void DeconfigureUsbDevice(UsbTransport* usb);
