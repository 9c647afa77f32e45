#include "usb/usb_setup.h"

#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "usb/usb_request.h"

namespace {

constexpr ULONG kConfigurationHeaderBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR);

// Fills a descriptor request for `length` bytes of descriptor `type` into `buffer`.
void BuildDescriptorRequest(PURB urb, UCHAR type, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
  urb->UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbControlDescriptorRequest.DescriptorType = type;
  urb->UrbControlDescriptorRequest.Index = 0;
  urb->UrbControlDescriptorRequest.LanguageId = 0;
  urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
  urb->UrbControlDescriptorRequest.TransferBufferLength = length;
}

// A request the stack reports as done but whose URB failed did not do its work.
NTSTATUS UrbResult(NTSTATUS status, PURB urb) {
  if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) return STATUS_UNSUCCESSFUL;
  return status;
}

// The descriptor came from the device and is not trusted: its header must be a configuration
// header of exactly `total` bytes, and every descriptor inside must have a length of at least
// two bytes and end within it. Counts the interface descriptors of alternate setting 0.
bool CheckConfigurationDescriptor(const UCHAR* bytes, ULONG total, ULONG* interfaces) {
  if (total < kConfigurationHeaderBytes) return false;
  auto* config = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(bytes);
  if (config->bLength < kConfigurationHeaderBytes || config->bLength > total ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || config->wTotalLength != total) {
    return false;
  }
  ULONG count = 0;
  for (ULONG offset = config->bLength; offset < total;) {
    if (total - offset < 2) return false;
    const UCHAR length = bytes[offset];
    if (length < 2 || length > total - offset) return false;
    if (bytes[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) return false;
      if (reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(bytes + offset)->bAlternateSetting == 0) ++count;
    }
    offset += length;
  }
  *interfaces = count;
  return true;
}

NTSTATUS SendPipeRequest(UsbTransport* usb, USHORT function, USBD_PIPE_HANDLE handle) {
  auto* urb = static_cast<PURB>(AllocateUsbBlock(sizeof(_URB_PIPE_REQUEST)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = handle;
  NTSTATUS status = UrbResult(SubmitUrb(usb, urb), urb);
  FreeUsbBlock(urb);
  return status;
}

}  // namespace

NTSTATUS ReadDeviceDescriptor(UsbTransport* usb) {
  auto* urb = static_cast<PURB>(AllocateUsbBlock(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
  PVOID buffer = AllocateUsbBlock(sizeof(USB_DEVICE_DESCRIPTOR));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb && buffer) {
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof(USB_DEVICE_DESCRIPTOR));
    status = UrbResult(SubmitUrb(usb, urb), urb);
  }
  FreeUsbBlock(buffer);
  FreeUsbBlock(urb);
  return status;
}

NTSTATUS ConfigureUsbDevice(UsbTransport* usb) {
  auto* urb = static_cast<PURB>(AllocateUsbBlock(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
  auto* header = static_cast<PUCHAR>(AllocateUsbBlock(kConfigurationHeaderBytes));
  if (!urb || !header) {
    FreeUsbBlock(header);
    FreeUsbBlock(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // The 9-byte header first, for the length of the whole descriptor.
  BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, kConfigurationHeaderBytes);
  NTSTATUS status = UrbResult(SubmitUrb(usb, urb), urb);
  if (NT_SUCCESS(status) && urb->UrbControlDescriptorRequest.TransferBufferLength != kConfigurationHeaderBytes) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  const ULONG total = static_cast<ULONG>(header[2]) | (static_cast<ULONG>(header[3]) << 8);
  FreeUsbBlock(header);
  if (!NT_SUCCESS(status)) {
    FreeUsbBlock(urb);
    return status;
  }
  if (total < kConfigurationHeaderBytes) {
    FreeUsbBlock(urb);
    return STATUS_DEVICE_DATA_ERROR;
  }

  auto* config = static_cast<PUCHAR>(AllocateUsbBlock(total));
  if (!config) {
    FreeUsbBlock(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, total);
  status = UrbResult(SubmitUrb(usb, urb), urb);
  ULONG interfaces = 0;
  if (NT_SUCCESS(status) && (urb->UrbControlDescriptorRequest.TransferBufferLength != total ||
                             !CheckConfigurationDescriptor(config, total, &interfaces))) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  FreeUsbBlock(urb);
  if (!NT_SUCCESS(status)) {
    FreeUsbBlock(config);
    return status;
  }

  // A configuration held from an earlier start is replaced, not leaked.
  ReleaseUsbConfiguration(usb);
  usb->config_descriptor = config;
  return SelectConfiguration(usb, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config));
}

NTSTATUS SelectConfiguration(UsbTransport* usb, PUSB_CONFIGURATION_DESCRIPTOR config) {
  ULONG available = 0;
  if (!config || !CheckConfigurationDescriptor(reinterpret_cast<const UCHAR*>(config), config->wTotalLength,
                                               &available)) {
    return STATUS_DEVICE_DATA_ERROR;
  }
  const ULONG wanted = config->bNumInterfaces;
  const ULONG limit = wanted < available ? wanted : available;
  if (limit == 0) return STATUS_DEVICE_DATA_ERROR;

  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocateUsbBlock((wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  // Interface numbers are one byte: the search ends there at the latest, or once every
  // alternate-setting-0 interface the descriptor holds has been found.
  ULONG found = 0;
  for (LONG number = 0; number <= 255 && found < limit; ++number) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
    if (d) {
      list[found].InterfaceDescriptor = d;
      list[found].Interface = nullptr;
      ++found;
    }
  }
  if (found == 0) {
    FreeUsbBlock(list);
    return STATUS_DEVICE_DATA_ERROR;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  if (!urb) {
    FreeUsbBlock(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
  PUSBD_PIPE_INFORMATION pipes = first->Pipes;
  for (ULONG i = 0; i < first->NumberOfPipes; ++i) pipes[i].MaximumTransferSize = 0xFFFFFFFF;

  NTSTATUS status = UrbResult(SubmitUrb(usb, urb), urb);
  if (NT_SUCCESS(status) && first->Length < GET_USBD_INTERFACE_SIZE(first->NumberOfPipes)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status)) {
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateUsbBlock(first->Length));
    if (copy) {
      RtlCopyMemory(copy, first, first->Length);
      FreeUsbBlock(usb->interface_info);
      FreeUsbBlock(usb->pipe_flags);
      usb->pipe_flags = nullptr;
      usb->interface_info = copy;
      if (copy->NumberOfPipes != 0) {
        usb->pipe_flags = static_cast<PUCHAR>(AllocateUsbBlock(copy->NumberOfPipes));
        if (!usb->pipe_flags) status = STATUS_INSUFFICIENT_RESOURCES;
      }
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  FreeUsbBlock(list);
  ExFreePool(urb);
  return status;
}

void DeconfigureUsbDevice(UsbTransport* usb) {
  auto* urb = static_cast<PURB>(AllocateUsbBlock(sizeof(_URB_SELECT_CONFIGURATION)));
  if (!urb) return;
  urb->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  SubmitUrb(usb, urb);
  FreeUsbBlock(urb);
}

void ReleaseUsbConfiguration(UsbTransport* usb) {
  FreeUsbBlock(usb->config_descriptor);
  FreeUsbBlock(usb->interface_info);
  FreeUsbBlock(usb->pipe_flags);
  usb->config_descriptor = nullptr;
  usb->interface_info = nullptr;
  usb->pipe_flags = nullptr;
}

NTSTATUS ResetFramePipe(UsbTransport* usb) {
  PUSBD_PIPE_INFORMATION pipe = PipeAt(usb, kFramePipe);
  if (!pipe || !pipe->PipeHandle) return STATUS_UNSUCCESSFUL;
  return SendPipeRequest(usb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe->PipeHandle);
}

NTSTATUS ResetPort(UsbTransport* usb) {
  ULONG port_status = 0;
  NTSTATUS status = SendInternalRequest(usb, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port_status);
  if (!NT_SUCCESS(status)) return status;
  // Only a device that is connected to a disabled port is reset.
  if ((port_status & USBD_PORT_ENABLED) || !(port_status & USBD_PORT_CONNECTED)) return status;
  return SendInternalRequest(usb, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

void SetFrameReadCancel(UsbTransport* usb, bool cancel) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->transfer_lock);
  WriteRelease(&usb->cancel_reads, cancel ? 1 : 0);
  KeReleaseSpinLock(&usb->transfer_lock, irql);
}

void CameraDevice::AbortPipes() {
  PUSBD_INTERFACE_INFORMATION info = usb.interface_info;
  if (!info || !usb.pipe_flags) return;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    if (!usb.pipe_flags[i]) continue;
    auto* urb = static_cast<PURB>(AllocateUsbBlock(sizeof(_URB_PIPE_REQUEST)));
    if (!urb) return;
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = PipeAt(&usb, i)->PipeHandle;
    NTSTATUS status = SubmitUrb(&usb, urb);
    FreeUsbBlock(urb);
    if (NT_SUCCESS(status)) usb.pipe_flags[i] = 0;
  }
}
