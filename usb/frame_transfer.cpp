#include "usb/frame_transfer.h"

#include "driver/camera_device.h"
#include "usb/command_packets.h"
#include "usb/usb_request.h"
#include "usb/usb_setup.h"

namespace {

constexpr UCHAR kFramePrepare = 0x02;

// Frees what exists of one chunk's request.
void FreeChunk(FrameChunk* chunk) {
  if (chunk->partial_mdl) {
    if (chunk->irp && chunk->irp->MdlAddress == chunk->partial_mdl) chunk->irp->MdlAddress = nullptr;
    IoFreeMdl(chunk->partial_mdl);
  }
  if (chunk->irp) IoFreeIrp(chunk->irp);
  FreeUsbBlock(chunk->urb);
  chunk->partial_mdl = nullptr;
  chunk->irp = nullptr;
  chunk->urb = nullptr;
}

// Sets frame_done when every chunk passed down has completed. Completions compare against
// chunk_count too; whichever side sees the last of both changes signals (both may; harmless).
void SignalIfAllCompleted(UsbTransport* usb) {
  if (ReadAcquire(&usb->completed_count) >= ReadAcquire(&usb->chunk_count)) {
    KeSetEvent(&usb->frame_done, EVENT_INCREMENT, FALSE);
  }
}

// Whether the completed chain delivered a whole frame: every request and URB succeeded, every
// chunk before the first short one is full, and the first short one reaches the end of the
// image. Sets *pipe_error when a chunk failed for a reason other than cancellation.
bool FrameComplete(const UsbTransport* usb, ULONG n, ULONG image_bytes, bool* pipe_error) {
  const LONG count = usb->chunk_count;
  bool complete = true;
  bool short_seen = false;
  ULONG offset = 0;
  for (LONG i = 0; i < count; ++i) {
    const FrameChunk& chunk = usb->chunks[i];
    if (!chunk.irp || !chunk.urb) return false;
    const NTSTATUS status = chunk.irp->IoStatus.Status;
    if (!NT_SUCCESS(status) || USBD_ERROR(chunk.urb->Hdr.Status)) {
      if (status != STATUS_CANCELLED) *pipe_error = true;
      complete = false;
      continue;
    }
    const ULONG asked = n - offset < kChunkBytes ? n - offset : kChunkBytes;
    const ULONG moved = static_cast<ULONG>(chunk.irp->IoStatus.Information);
    if (moved < asked && !short_seen) {
      short_seen = true;
      if (offset + moved < image_bytes) complete = false;
    }
    offset += asked;
  }
  return complete;
}

}  // namespace

NTSTATUS ChunkCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  if (!irp) return STATUS_SUCCESS;
  auto* chunk = static_cast<FrameChunk*>(context);
  if (!chunk || !chunk->owner || chunk->irp != irp) return irp->IoStatus.Status;

  UsbTransport* usb = chunk->owner;
  irp->IoStatus.Information = NT_SUCCESS(irp->IoStatus.Status) ? chunk->urb->TransferBufferLength : 0;
  InterlockedIncrement(&chunk->completed);
  // The last completion may let the reader free the chunk records: from here on only the
  // transport is touched.
  const LONG k = InterlockedIncrement(&usb->completed_count);
  if (k >= ReadAcquire(&usb->chunk_count)) KeSetEvent(&usb->frame_done, EVENT_INCREMENT, FALSE);
  // The request is the driver's: it stays here and is freed when the chain is released.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReleaseFrameTransfer(UsbTransport* usb) {
  // Taken out under the lock, so a concurrent CancelFrameTransfer either walks the whole chain
  // before this or finds none.
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->transfer_lock);
  FrameChunk* chunks = usb->chunks;
  const LONG count = usb->chunk_count;
  PMDL buffer_mdl = usb->buffer_mdl;
  usb->chunks = nullptr;
  usb->buffer_mdl = nullptr;
  KeReleaseSpinLock(&usb->transfer_lock, irql);

  if (chunks) {
    for (LONG i = 0; i < count; ++i) FreeChunk(&chunks[i]);
    FreeUsbBlock(chunks);
  }
  if (buffer_mdl) IoFreeMdl(buffer_mdl);
}

void CameraDevice::CancelFrameTransfer() {
  ULONG cancelled = 0;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb.transfer_lock);
  if (usb.chunks) {
    const LONG count = ReadAcquire(&usb.chunk_count);
    for (LONG i = 0; i < count; ++i) {
      FrameChunk& chunk = usb.chunks[i];
      if (ReadAcquire(&chunk.completed) == 0 && chunk.irp) {
        IoCancelIrp(chunk.irp);
        ++cancelled;
      }
    }
  }
  KeReleaseSpinLock(&usb.transfer_lock, irql);
  // The completion of the last chunk sets frame_done; waiting makes a blocked read return.
  if (cancelled) KeWaitForSingleObject(&usb.frame_done, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS ReadFrameChunks(CameraDevice* camera, PUCHAR buffer, ULONG n) {
  UsbTransport* usb = &camera->usb;
  if (!usb->interface_info) return STATUS_UNSUCCESSFUL;
  if (usb->interface_info->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
  PUSBD_PIPE_INFORMATION pipe = PipeAt(usb, kFramePipe);
  if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) return STATUS_INVALID_PARAMETER;
  if (!pipe->PipeHandle) return STATUS_UNSUCCESSFUL;
  if (!buffer && n != 0) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_HANDLE handle = pipe->PipeHandle;
  const ULONG flags = USBD_SHORT_TRANSFER_OK |
                      ((pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? USBD_TRANSFER_DIRECTION_IN : 0);
  const ULONG count = n / kChunkBytes + (n % kChunkBytes ? 1 : 0);
  const CCHAR stack_size = static_cast<CCHAR>(usb->lower_device->StackSize + 1);

  // The chain's records and the MDL of the whole buffer.
  FrameChunk* chunks = nullptr;
  PMDL buffer_mdl = nullptr;
  if (count != 0) {
    chunks = static_cast<FrameChunk*>(AllocateUsbBlock(count * sizeof(FrameChunk)));
    buffer_mdl = IoAllocateMdl(buffer, n, FALSE, FALSE, nullptr);
    if (!chunks || !buffer_mdl) {
      FreeUsbBlock(chunks);
      if (buffer_mdl) IoFreeMdl(buffer_mdl);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(buffer_mdl);
  }
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->transfer_lock);
  if (ReadAcquire(&usb->cancel_reads)) {
    KeReleaseSpinLock(&usb->transfer_lock, irql);
    FreeUsbBlock(chunks);
    if (buffer_mdl) IoFreeMdl(buffer_mdl);
    return STATUS_CANCELLED;
  }
  usb->chunks = chunks;
  usb->buffer_mdl = buffer_mdl;
  InterlockedExchange(&usb->completed_count, 0);
  InterlockedExchange(&usb->chunk_count, static_cast<LONG>(count));
  KeResetEvent(&usb->frame_done);
  KeReleaseSpinLock(&usb->transfer_lock, irql);

  SendStreamCommand(camera, false);

  // Every chunk is queued before the camera is told to go, so the pipe never idles between them.
  NTSTATUS status = STATUS_SUCCESS;
  bool refused = false;
  ULONG passed = 0;
  irql = KeAcquireSpinLockRaiseToDpc(&usb->transfer_lock);
  if (ReadAcquire(&usb->cancel_reads)) status = STATUS_CANCELLED;
  for (ULONG offset = 0; NT_SUCCESS(status) && passed < count;) {
    FrameChunk* chunk = &chunks[passed];
    const ULONG length = n - offset < kChunkBytes ? n - offset : kChunkBytes;
    chunk->irp = IoAllocateIrp(stack_size, FALSE);
    // Sized for the chunk's own pages: an MDL for the whole buffer would hold ~29 KB of page
    // entries per chunk of a full frame, ~6.9 MB per read, to use at most 17 of them.
    if (chunk->irp) chunk->partial_mdl = IoAllocateMdl(buffer + offset, length, FALSE, FALSE, chunk->irp);
    if (chunk->partial_mdl) chunk->urb = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(AllocateUsbBlock(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (!chunk->urb) {
      FreeChunk(chunk);
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    IoBuildPartialMdl(buffer_mdl, chunk->partial_mdl, buffer + offset, length);
    offset += length;

    _URB_BULK_OR_INTERRUPT_TRANSFER* urb = chunk->urb;
    urb->Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = handle;
    urb->TransferFlags = flags;
    urb->TransferBuffer = nullptr;
    urb->TransferBufferMDL = chunk->irp->MdlAddress;
    urb->TransferBufferLength = chunk->irp->MdlAddress->ByteCount;
    urb->UrbLink = nullptr;
    chunk->owner = usb;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(chunk->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(chunk->irp, ChunkCompleted, chunk, TRUE, TRUE, TRUE);
    chunk->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    ++passed;
    if (!NT_SUCCESS(IofCallDriver(usb->lower_device, chunk->irp))) {
      refused = true;
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (passed < count) {
    // The chain ended early: it now consists of the chunks passed down, and if those have all
    // completed already nobody else will say so.
    InterlockedExchange(&usb->chunk_count, static_cast<LONG>(passed));
    SignalIfAllCompleted(usb);
  } else if (NT_SUCCESS(status) && ReadAcquire(&usb->cancel_reads)) {
    status = STATUS_CANCELLED;
  }
  KeReleaseSpinLock(&usb->transfer_lock, irql);

  bool timed_out = false;
  if (NT_SUCCESS(status)) {
    // Without the go command no frame comes: waiting for one would only run into the time-out.
    const NTSTATUS go = SendFrameCommand(camera, true);
    if (!NT_SUCCESS(go)) status = go;
    irql = KeAcquireSpinLockRaiseToDpc(&usb->transfer_lock);
    if (NT_SUCCESS(status) && ReadAcquire(&usb->cancel_reads)) status = STATUS_CANCELLED;
    KeReleaseSpinLock(&usb->transfer_lock, irql);
  }
  if (NT_SUCCESS(status)) {
    // Every time-out value the driver accepts is a count of milliseconds, waited in full.
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(static_cast<ULONG>(ReadAcquire(&FrameTimeout))) * 10000;
    if (KeWaitForSingleObject(&usb->frame_done, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
      timed_out = true;
      status = STATUS_TIMEOUT;
    }
  }
  // Whatever ended the read, nothing it queued may stay outstanding once it returns.
  if (!NT_SUCCESS(status) || timed_out) camera->CancelFrameTransfer();
  if (passed != 0) KeWaitForSingleObject(&usb->frame_done, Executive, KernelMode, FALSE, nullptr);

  // Only a whole frame counts; a chunk that failed on the pipe (not by cancellation) also
  // calls for a pipe reset.
  bool pipe_error = refused;
  if (passed != 0) {
    const ULONG pixels = static_cast<ULONG>(camera->output_width) * static_cast<ULONG>(camera->output_height);
    const bool complete = FrameComplete(usb, n, pixels < n ? pixels : n, &pipe_error);
    if (status == STATUS_SUCCESS && !complete) status = STATUS_UNSUCCESSFUL;
  }
  ReleaseFrameTransfer(usb);

  // A pipe that failed a request (a stall, most likely) would fail every later frame too.
  if (pipe_error && !NT_SUCCESS(ResetFramePipe(usb))) ResetPort(usb);
  return status;
}

BOOLEAN CameraDevice::ReadFrame(PUCHAR buffer, PBOOLEAN success) {
  const LONG n = frame_bytes;
  RtlZeroMemory(frame_request_packet, kPacketBytes);
  frame_request_packet[0] = kFramePrepare;
  ULONG moved = 0;
  TransferPacket(this, 0, frame_request_packet, &moved);
  const NTSTATUS status = n < 0 ? STATUS_INVALID_PARAMETER : ReadFrameChunks(this, buffer, static_cast<ULONG>(n));
  const BOOLEAN ok = status == STATUS_SUCCESS ? TRUE : FALSE;
  if (success) *success = ok;
  return ok;
}
