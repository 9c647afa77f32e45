#include "usb/usb_request.h"

#include "driver/pool_tags.h"

namespace {

NTSTATUS SendAndWait(UsbTransport* usb, ULONG io_control_code, PVOID argument) {
  KEVENT event;
  IO_STATUS_BLOCK io_status;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  io_status.Status = STATUS_SUCCESS;
  io_status.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(io_control_code, usb->lower_device, nullptr, 0, nullptr, 0, TRUE, &event,
                                           &io_status);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
  NTSTATUS status = IofCallDriver(usb->lower_device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io_status.Status;
  }
  return status;
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The request is the driver's own: it stays with the driver, which frees it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

PVOID AllocateUsbBlock(SIZE_T bytes) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, bytes, kUsbPoolTag);
  if (block) RtlZeroMemory(block, bytes);
  return block;
}

void FreeUsbBlock(PVOID block) {
  if (block) ExFreePoolWithTag(block, kUsbPoolTag);
}

NTSTATUS SubmitUrb(UsbTransport* usb, PURB urb) { return SendAndWait(usb, IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

NTSTATUS SendInternalRequest(UsbTransport* usb, ULONG io_control_code, PVOID argument) {
  return SendAndWait(usb, io_control_code, argument);
}

NTSTATUS SubmitUrbWithin(UsbTransport* usb, PURB urb, ULONG timeout_ms) {
  PIRP irp = IoAllocateIrp(usb->lower_device->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);

  // Whatever the call returns, the completion routine runs once the stack is done with it.
  IofCallDriver(usb->lower_device, irp);
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(timeout_ms) * 10000;
  bool cancelled = false;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    cancelled = true;
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  // A request that ended only because it was cancelled here timed out; one that completed on
  // its own meanwhile keeps its result.
  if (cancelled && status == STATUS_CANCELLED) status = STATUS_IO_TIMEOUT;
  return status;
}

PUSBD_PIPE_INFORMATION PipeAt(UsbTransport* usb, ULONG index) {
  PUSBD_INTERFACE_INFORMATION info = usb->interface_info;
  if (!info || index >= info->NumberOfPipes) return nullptr;
  PUSBD_PIPE_INFORMATION pipes = info->Pipes;
  return &pipes[index];
}
