// The two USBD library helpers drivers call to build a select-configuration request.
#include <cstring>

#include "host/usb/usb_bus.h"
#include "platform/usb.h"

namespace {

// Bytes of the configuration descriptor that a walk may look at: wTotalLength, or nothing when
// even the 9-byte header is not there.
size_t DescriptorSpan(const USB_CONFIGURATION_DESCRIPTOR* config) {
  if (config == nullptr || config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  return config->wTotalLength;
}

}  // namespace

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  const size_t span = DescriptorSpan(ConfigurationDescriptor);
  if (span == 0) return nullptr;
  auto* base = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
  auto* end = base + span;
  auto* p = static_cast<UCHAR*>(StartPosition);
  if (p < base || p >= end) return nullptr;
  // A descriptor shorter than its own two header bytes, or one that runs past the end, ends
  // the walk: nothing after it can be located reliably.
  while (end - p >= 2) {
    const UCHAR length = p[0];
    if (length < 2 || length > end - p) return nullptr;
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
      if ((InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
          (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
          (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
          (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
          (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol)) {
        return d;
      }
    }
    p += length;
  }
  return nullptr;
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  size_t size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t interfaces = 0;
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  // The request must still hold one interface record, and its length must fit the header.
  if (interfaces == 0) size = sizeof(_URB_SELECT_CONFIGURATION);
  if (size > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kscam::usb::kUsbdPoolTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const auto* d = e->InterfaceDescriptor;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
  }
  return urb;
}
