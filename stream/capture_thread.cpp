#include "stream/capture_thread.h"

#include <new>

#include "camera/color_lock.h"
#include "camera/controls.h"
#include "color/color_processor.h"
#include "convert/frame_convert.h"
#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "usb/camera_control.h"
#include "usb/usb_setup.h"

CaptureThread* CreateCaptureThread(CameraDevice* device) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CaptureThread), kDevicePoolTag);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(CaptureThread));
  auto* record = new (block) CaptureThread();
  record->device = device;
  KeInitializeEvent(&record->done_event, NotificationEvent, FALSE);
  KeInitializeEvent(&record->buffer_freed, SynchronizationEvent, FALSE);
  return record;
}

void FreeCaptureThread(PVOID record) {
  if (record) ExFreePoolWithTag(record, kDevicePoolTag);
}

namespace {

PUCHAR AllocateStreamBuffer(SIZE_T bytes) {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kStreamPoolTag));
}

void FreeStreamBuffer(PUCHAR* buffer) {
  if (*buffer) ExFreePoolWithTag(*buffer, kStreamPoolTag);
  *buffer = nullptr;
}

}  // namespace

NTSTATUS StartStream(CameraDevice* device) {
  CaptureThread* capture = device->capture;
  if (!capture || !device->color) return STATUS_INSUFFICIENT_RESOURCES;
  ColorProcessor* color = device->color;

  device->picture_count = 0;
  {
    CameraControlLock control(device);
    const ULONG phase = UpdateBayerPhase(device);
    ColorLock lock(device);
    SetBayerPhase(color, static_cast<LONG>(phase));
  }

  const LONG width = device->output_width;
  const LONG height = device->output_height;
  InterlockedExchange(&capture->busy, 0);
  InterlockedExchange(&capture->ready_count, 0);
  capture->converter = color;

  device->ConfigureCaptureMode();

  ULONG frame_size = 0;
  device->GetFrameSize(&frame_size);
  if (frame_size != 0) {
    capture->raw_buffer[0] = AllocateStreamBuffer(frame_size);
    capture->raw_buffer[1] = AllocateStreamBuffer(frame_size);
  }
  if (width > 0 && height > 0) {
    capture->rgb_buffer = AllocateStreamBuffer(static_cast<SIZE_T>(width) * static_cast<SIZE_T>(height) * 4);
  }
  // Without any of them (a frame size of 0 included) frames could not be read or converted.
  if (!capture->raw_buffer[0] || !capture->raw_buffer[1] || !capture->rgb_buffer) {
    FreeStreamBuffers(capture);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  SetFrameSize(color, static_cast<ULONG>(width), static_cast<ULONG>(height));
  if (!NT_SUCCESS(AllocateWorkBuffer(color))) {
    FreeStreamBuffers(capture);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  color->OutputBuffer = capture->rgb_buffer;

  InterlockedExchange(&capture->state, 2);
  NTSTATUS status = StartCaptureThread(capture);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&capture->state, 0);
    FreeStreamBuffers(capture);
    return status;
  }
  return STATUS_SUCCESS;
}

void FreeStreamBuffers(CaptureThread* capture) {
  if (capture->converter) {
    capture->converter->OutputBuffer = nullptr;
    ReleaseWorkBuffer(capture->converter);
    // The processor itself belongs to the claim (ACQUIRE to STOP), not to the stream.
    capture->converter = nullptr;
  }
  FreeStreamBuffer(&capture->rgb_buffer);
  FreeStreamBuffer(&capture->raw_buffer[0]);
  FreeStreamBuffer(&capture->raw_buffer[1]);
}

NTSTATUS StartCaptureThread(CaptureThread* capture) {
  WriteRelease(&capture->buffer_state[0], 0);
  WriteRelease(&capture->buffer_state[1], 0);
  KeClearEvent(&capture->buffer_freed);
  // A stop left frame reads cancelled; this stream reads again.
  SetFrameReadCancel(&capture->device->usb, false);
  WriteUCharRelease(&capture->run, 1);

  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, CaptureLoop, capture);
  if (!NT_SUCCESS(status)) {
    WriteUCharRelease(&capture->run, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  capture->thread = NT_SUCCESS(status) ? thread : nullptr;
  return STATUS_SUCCESS;
}

void StopCaptureThread(CaptureThread* capture) {
  CameraDevice* device = capture->device;
  WriteUCharRelease(&capture->run, 0);

  // A read in progress returns at once and no new one starts; a thread waiting for a free
  // buffer wakes up and sees the stop.
  SetFrameReadCancel(&device->usb, true);
  KeSetEvent(&capture->buffer_freed, IO_NO_INCREMENT, FALSE);
  device->CancelFrameTransfer();
  device->AbortPipes();

  if (capture->thread) {
    KeWaitForSingleObject(capture->thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(capture->thread);
    capture->thread = nullptr;
  }

  // Process marks itself busy before it looks at `run` and clears busy before it signals, so
  // after this a Process call either has finished with the buffers or never touches them.
  KeResetEvent(&capture->done_event);
  if (ReadAcquire(&capture->busy) == 1) {
    KeWaitForSingleObject(&capture->done_event, Executive, KernelMode, FALSE, nullptr);
  }
}

bool FillBuffer(CaptureThread* capture, PUCHAR buffer) {
  if (ReadAcquire(&capture->state) != 2) return false;
  BOOLEAN success = FALSE;
  capture->device->ReadFrame(buffer, &success);
  if (!success) return false;
  InterlockedIncrement(&capture->ready_count);
  return true;
}

void CaptureLoop(PVOID context) {
  auto* capture = static_cast<CaptureThread*>(context);
  CameraDevice* device = capture->device;
  while (ReadUCharAcquire(&capture->run) == 1) {
    // Only this thread moves a buffer away from 0, so a free buffer stays free until taken.
    LONG taken = -1;
    KeEnterCriticalRegion();
    if (ReadAcquire(&capture->buffer_state[0]) == 0) {
      taken = 0;
    } else if (ReadAcquire(&capture->buffer_state[1]) == 0) {
      taken = 1;
    }
    if (taken >= 0) WriteRelease(&capture->buffer_state[taken], 1);
    KeLeaveCriticalRegion();

    if (taken < 0) {
      // Both frames wait for conversion: the camera is not read until Process frees one.
      KeWaitForSingleObject(&capture->buffer_freed, Executive, KernelMode, FALSE, nullptr);
      continue;
    }

    const bool ok = FillBuffer(capture, capture->raw_buffer[taken]);
    // The number the frame gets once NotifyFrameReady has counted it; this thread is the
    // count's only writer.
    if (ok) capture->buffer_sequence[taken] = device->picture_count + 1;

    KeEnterCriticalRegion();
    WriteRelease(&capture->buffer_state[taken], ok ? 2 : 0);
    KeLeaveCriticalRegion();

    if (ok) {
      if (ReadUCharAcquire(&capture->run) == 0) break;
      device->NotifyFrameReady();
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
