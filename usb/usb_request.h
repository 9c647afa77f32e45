// How requests reach the USB stack: URBs and port requests sent to the lower device object.
#pragma once

#include "platform/usb.h"
#include "usb/usb_transport.h"

// Positions of the camera's pipes in the selected interface.
constexpr ULONG kCommandPipe = 0;
constexpr ULONG kReplyPipe = 1;
constexpr ULONG kFramePipe = 2;

// Sends the URB to the lower device and waits, without a time-out, until the stack completes
// it. Returns the request's status; the URB's own status is left to the caller.
NTSTATUS SubmitUrb(UsbTransport* usb, PURB urb);

// Sends an internal I/O control request with `argument` as its first argument and waits for it.
NTSTATUS SendInternalRequest(UsbTransport* usb, ULONG io_control_code, PVOID argument);

// Sends the URB on a request of the driver's own and waits at most `timeout_ms` for it. A
// request still pending then is cancelled and awaited (the URB and anything it points to stay
// in use until then), and the result is STATUS_IO_TIMEOUT.
NTSTATUS SubmitUrbWithin(UsbTransport* usb, PURB urb, ULONG timeout_ms);

// The pipe of the selected interface at `index`, or null (no interface, or index too large).
PUSBD_PIPE_INFORMATION PipeAt(UsbTransport* usb, ULONG index);

// Allocates `bytes` of zeroed non-paged pool under the USB tag.
PVOID AllocateUsbBlock(SIZE_T bytes);
void FreeUsbBlock(PVOID block);
