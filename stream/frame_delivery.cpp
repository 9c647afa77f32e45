// Frames read by the capture thread: counting them and handing them to the pin's Process.
#include "convert/frame_convert.h"
#include "driver/camera_device.h"
#include "stream/capture_pin.h"
#include "stream/capture_thread.h"

namespace {

// Frame numbers wrap; the older of two is the one the other is ahead of.
bool Older(ULONG a, ULONG b) { return static_cast<LONG>(a - b) < 0; }

}  // namespace

void CameraDevice::NotifyFrameReady() {
  // Only the capture thread writes the count while a stream runs.
  ++picture_count;
  if (active_pin) active_pin->AttemptProcessing();
}

bool ConvertReadyFrame(CaptureThread* capture, ULONG* sequence) {
  InterlockedExchange(&capture->busy, 1);
  if (ReadUCharAcquire(&capture->run) == 0) return false;  // the stream is stopping

  // Only Process moves a buffer away from 2, so a filled buffer stays filled until taken.
  LONG taken = -1;
  KeEnterCriticalRegion();
  const bool filled0 = ReadAcquire(&capture->buffer_state[0]) == 2;
  const bool filled1 = ReadAcquire(&capture->buffer_state[1]) == 2;
  if (filled0 && filled1) {
    taken = Older(capture->buffer_sequence[1], capture->buffer_sequence[0]) ? 1 : 0;
  } else if (filled0) {
    taken = 0;
  } else if (filled1) {
    taken = 1;
  }
  if (taken >= 0) WriteRelease(&capture->buffer_state[taken], 3);
  KeLeaveCriticalRegion();
  if (taken < 0) return false;

  *sequence = capture->buffer_sequence[taken];
  CameraDevice* device = capture->device;
  ULONG offset = 0;
  ULONG pitch = 0;
  device->GetFrameOffset(&offset);
  device->GetFramePitch(&pitch);
  const bool converted = capture->converter != nullptr;
  if (converted) ConvertFrame(capture->converter, capture->raw_buffer[taken], offset, pitch);

  KeEnterCriticalRegion();
  WriteRelease(&capture->buffer_state[taken], 0);
  KeLeaveCriticalRegion();
  KeSetEvent(&capture->buffer_freed, IO_NO_INCREMENT, FALSE);
  return converted;
}
