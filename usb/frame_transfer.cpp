#include "driver/camera_device.h"

BOOLEAN CameraDevice::ReadFrame(PUCHAR buffer, PBOOLEAN success) {
  // Frames arrive over the frame pipe, which the USB subsystem's chunked read drives; without
  // it no frame can be read.
  *success = FALSE;
  return FALSE;
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
