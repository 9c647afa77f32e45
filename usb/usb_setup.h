// Configuration of the camera's USB device and the recovery requests other parts call.
#pragma once

#include "platform/usb.h"
#include "usb/usb_transport.h"

// Reads the device descriptor: proves that the device answers.
NTSTATUS ReadDeviceDescriptor(UsbTransport* usb);
// Reads the whole configuration descriptor, keeps it, and selects the configuration.
NTSTATUS ConfigureUsbDevice(UsbTransport* usb);
// Selects the configuration the descriptor describes; keeps the first interface's information
// and a zeroed pipe-flag byte per pipe.
NTSTATUS SelectConfiguration(UsbTransport* usb, PUSB_CONFIGURATION_DESCRIPTOR config);
// Sends the unconfigure request; the result is not reported.
void DeconfigureUsbDevice(UsbTransport* usb);
// Frees the configuration descriptor, interface information and pipe flags the device holds.
void ReleaseUsbConfiguration(UsbTransport* usb);

// Resets the frame pipe (clears a stall).
NTSTATUS ResetFramePipe(UsbTransport* usb);
// Resets the port when the device is connected but its port is disabled.
NTSTATUS ResetPort(UsbTransport* usb);

// Sets or clears the flag that makes frame reads stop submitting and waiting; taken under
// transfer_lock so a read sees it at its next check.
void SetFrameReadCancel(UsbTransport* usb, bool cancel);
