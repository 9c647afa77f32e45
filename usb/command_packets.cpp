#include "usb/command_packets.h"

#include "driver/camera_device.h"
#include "usb/camera_control.h"
#include "usb/usb_request.h"

namespace {

// A reply the camera still owes for an earlier request shows up at once when it exists; the
// drain waits this long for each before it concludes there is none.
constexpr ULONG kDrainTimeoutMs = 25;
// At most this many owed replies are remembered (a camera that never answers owes them all).
constexpr LONG kMaxStaleReplies = 8;

constexpr UCHAR kSensorWrite = 0x04;
constexpr UCHAR kSensorRead = 0x0C;
constexpr UCHAR kControllerWrite = 0x25;
constexpr UCHAR kRawCommand = 0x40;
constexpr UCHAR kMemoryRead = 0x41;
constexpr UCHAR kFramePrepare = 0x02;
constexpr UCHAR kFrameGo = 0x03;

NTSTATUS TransferPacketWithin(CameraDevice* camera, ULONG pipe_index, PUCHAR buffer, PULONG moved, ULONG timeout_ms) {
  *moved = 0;
  UsbTransport* usb = &camera->usb;
  if (!usb->interface_info) return STATUS_UNSUCCESSFUL;
  PUSBD_PIPE_INFORMATION pipe = PipeAt(usb, pipe_index);
  if (!pipe) return STATUS_INVALID_PARAMETER;
  if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) return STATUS_INVALID_PARAMETER;
  if (!pipe->PipeHandle) return STATUS_UNSUCCESSFUL;
  if (pipe->MaximumTransferSize < kPacketBytes) return STATUS_INVALID_PARAMETER;

  auto* urb = static_cast<PURB>(AllocateUsbBlock(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.PipeHandle = pipe->PipeHandle;
  transfer.TransferFlags = USBD_SHORT_TRANSFER_OK;
  if (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) transfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
  transfer.TransferBufferLength = kPacketBytes;
  transfer.TransferBuffer = buffer;

  NTSTATUS status = SubmitUrbWithin(usb, urb, timeout_ms);
  if (NT_SUCCESS(status)) {
    if (USBD_ERROR(urb->UrbHeader.Status)) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      *moved = transfer.TransferBufferLength;
    }
  }
  FreeUsbBlock(urb);
  return status;
}

// A packet of the current camera-control operation; the caller holds the control lock.
bool ControlPacket(CameraDevice* camera, ULONG pipe_index, PUCHAR buffer, ULONG timeout_ms) {
  if (!buffer || camera->usb.control_timed_out) return false;
  ULONG moved = 0;
  NTSTATUS status = TransferPacketWithin(camera, pipe_index, buffer, &moved, timeout_ms);
  if (status == STATUS_IO_TIMEOUT) camera->usb.control_timed_out = 1;
  return NT_SUCCESS(status) && moved == kPacketBytes;
}

void OweReplies(UsbTransport* usb, LONG count) {
  usb->stale_replies += count;
  if (usb->stale_replies > kMaxStaleReplies) usb->stale_replies = kMaxStaleReplies;
}

// Takes the replies an earlier request left behind off the reply pipe, so that they cannot
// answer the request about to be sent. Stops at the first wait that finds nothing.
void DrainStaleReplies(CameraDevice* camera) {
  UsbTransport* usb = &camera->usb;
  while (usb->stale_replies > 0) {
    ULONG moved = 0;
    NTSTATUS status = TransferPacketWithin(camera, kReplyPipe, camera->register_packet, &moved, kDrainTimeoutMs);
    if (!NT_SUCCESS(status)) break;
    --usb->stale_replies;
  }
}

// Sends a request that the camera answers with two reply packets and reads them into
// register_packet (the second overwrites the first).
bool RequestWithReplies(CameraDevice* camera) {
  UsbTransport* usb = &camera->usb;
  if (!SendPacket(camera, camera->register_packet)) return false;
  OweReplies(usb, 2);
  for (int i = 0; i < 2; ++i) {
    if (!ReceivePacket(camera, camera->register_packet)) return false;
    --usb->stale_replies;
  }
  return true;
}

}  // namespace

NTSTATUS SendFrameCommand(CameraDevice* camera, bool go) {
  RtlZeroMemory(camera->stream_command, kPacketBytes);
  camera->stream_command[0] = go ? kFrameGo : kFramePrepare;
  PUSBD_PIPE_INFORMATION pipe = PipeAt(&camera->usb, kCommandPipe);
  if (!pipe || !pipe->PipeHandle) return STATUS_UNSUCCESSFUL;
  ULONG moved = 0;
  NTSTATUS status = TransferPacketWithin(camera, kCommandPipe, camera->stream_command, &moved, kPacketTimeoutMs);
  if (NT_SUCCESS(status) && moved != kPacketBytes) status = STATUS_UNSUCCESSFUL;
  return status;
}

NTSTATUS TransferPacket(CameraDevice* camera, ULONG pipe_index, PUCHAR buffer, PULONG moved) {
  return TransferPacketWithin(camera, pipe_index, buffer, moved, kPacketTimeoutMs);
}

bool SendPacket(CameraDevice* camera, PUCHAR buffer) {
  CameraControlLock lock(camera);
  return ControlPacket(camera, kCommandPipe, buffer, kPacketTimeoutMs);
}

bool ReceivePacket(CameraDevice* camera, PUCHAR buffer) {
  CameraControlLock lock(camera);
  return ControlPacket(camera, kReplyPipe, buffer, kPacketTimeoutMs);
}

void SendStreamCommand(CameraDevice* camera, bool go) { SendFrameCommand(camera, go); }

bool WriteSensorRegister(CameraDevice* camera, USHORT address, USHORT value) {
  CameraControlLock lock(camera);
  PUCHAR p = camera->register_packet;
  RtlZeroMemory(p, kPacketBytes);
  p[0] = kSensorWrite;
  p[1] = static_cast<UCHAR>(address >> 8);
  p[2] = static_cast<UCHAR>(address);
  p[3] = static_cast<UCHAR>(value >> 8);
  p[4] = static_cast<UCHAR>(value);
  return SendPacket(camera, p);
}

bool ReadSensorRegister(CameraDevice* camera, USHORT address, PULONG value) {
  CameraControlLock lock(camera);
  if (camera->usb.control_timed_out) return false;
  DrainStaleReplies(camera);
  PUCHAR p = camera->register_packet;
  RtlZeroMemory(p, kPacketBytes);
  p[0] = kSensorRead;
  p[1] = static_cast<UCHAR>(address >> 8);
  p[2] = static_cast<UCHAR>(address);
  p[3] = 0x88;
  p[4] = 0x88;
  if (!RequestWithReplies(camera)) return false;
  if (value) *value = static_cast<ULONG>(p[0]) * 256 + p[1];
  return true;
}

bool WriteControllerRegister(CameraDevice* camera, UCHAR index, UCHAR value) {
  CameraControlLock lock(camera);
  PUCHAR p = camera->register_packet;
  RtlZeroMemory(p, kPacketBytes);
  p[0] = kControllerWrite;
  p[1] = index;
  p[2] = value;
  return SendPacket(camera, p);
}

void ReadDeviceMemoryByte(CameraDevice* camera, PUCHAR value) {
  CameraControlLock lock(camera);
  if (camera->usb.control_timed_out) return;
  DrainStaleReplies(camera);
  PUCHAR p = camera->register_packet;
  RtlZeroMemory(p, kPacketBytes);
  p[0] = kMemoryRead;
  p[1] = 0x51;
  p[2] = 0x02;
  p[3] = 0x01;
  p[4] = static_cast<UCHAR>(camera->access_address >> 8);
  p[5] = static_cast<UCHAR>(camera->access_address);
  if (RequestWithReplies(camera) && value) *value = p[0];
}

void SendRawCommand(CameraDevice* camera, LONG count, const UCHAR* bytes) {
  CameraControlLock lock(camera);
  PUCHAR p = camera->register_packet;
  RtlZeroMemory(p, kPacketBytes);
  p[0] = kRawCommand;
  const LONG n = count < 0 ? 0 : (count > 63 ? 63 : count);
  if (bytes && n > 0) RtlCopyMemory(p + 1, bytes, n);
  SendPacket(camera, p);
}
