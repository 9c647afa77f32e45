// The pin's Process: converts the oldest frame read and delivers it in the client's frame.
#include "driver/camera_device.h"
#include "stream/capture_pin.h"
#include "stream/capture_thread.h"

namespace {

constexpr ULONG kFrameHeaderBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

// Copies the converted image into the client's frame bottom row first, rows `pitch` bytes
// apart, never past FrameExtent. Returns the bytes of the frame the image now covers.
ULONG CopyImage(const CameraDevice* device, const CaptureThread* capture, ULONG stride, PKSSTREAM_HEADER header) {
  if (!header->Data || device->image_width <= 0 || device->image_height <= 0) return 0;
  const SIZE_T row_bytes = static_cast<SIZE_T>(device->image_width) * 4;
  const SIZE_T source_pitch = static_cast<SIZE_T>(device->output_width) * 4;
  // A wider row pitch comes only from a format change (stride); compared signed.
  const LONG packed = static_cast<LONG>(row_bytes);
  const SIZE_T pitch = static_cast<LONG>(stride) > packed ? stride : row_bytes;
  const SIZE_T extent = header->FrameExtent;

  auto* frame = static_cast<PUCHAR>(header->Data);
  SIZE_T used = 0;
  for (LONG k = 0; k < device->image_height; ++k) {
    const SIZE_T offset = static_cast<SIZE_T>(k) * pitch;
    if (offset + row_bytes > extent) break;
    const LONG source_row = device->image_height - 1 - k;
    RtlCopyMemory(frame + offset, capture->rgb_buffer + static_cast<SIZE_T>(source_row) * source_pitch, row_bytes);
    used = offset + row_bytes;
  }
  return static_cast<ULONG>(used);
}

void DeliverFrame(CapturePin* pin, const CaptureThread* capture, PKSSTREAM_HEADER header, ULONG sequence) {
  const ULONG used = CopyImage(pin->device, capture, ReadStride(pin), header);
  header->DataUsed = used;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->Duration = pin->video_info.AvgTimePerFrame;
  if (!pin->ref_clock) {
    header->PresentationTime.Time = 0;
    return;
  }
  LONGLONG system_time = 0;
  header->PresentationTime.Time = pin->ref_clock->GetCorrelatedTime(&system_time);
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  if (header->Size >= kFrameHeaderBytes) {
    auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    info->PictureNumber = sequence;
    info->DropCount = 0;
  }
}

}  // namespace

NTSTATUS PinProcess(PKSPIN pin) {
  auto* context = static_cast<CapturePin*>(pin->Context);
  if (!context || !context->device || !context->device->capture) return STATUS_PENDING;
  CaptureThread* capture = context->device->capture;

  // Nothing read yet since the stream started.
  if (ReadAcquire(&capture->ready_count) == 0) return STATUS_PENDING;

  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ULONG sequence = 0;
  const bool converted = ConvertReadyFrame(capture, &sequence);
  if (pointer) {
    if (converted) DeliverFrame(context, capture, pointer->StreamHeader, sequence);
    // A frame only leaves with a picture in it; otherwise it waits for the next one.
    KsStreamPointerUnlock(pointer, converted ? TRUE : FALSE);
  }

  InterlockedExchange(&capture->busy, 0);
  KeSetEvent(&capture->done_event, EVENT_INCREMENT, FALSE);
  return STATUS_PENDING;
}
