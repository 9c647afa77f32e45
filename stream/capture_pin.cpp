#include "stream/capture_pin.h"

#include <new>

#include "camera/color_lock.h"
#include "camera/region.h"
#include "color/color_processor.h"
#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "stream/capture_thread.h"
#include "stream/video_format.h"

const KSPIN_DISPATCH CapturePinDispatch = {
    PinCreate,
    PinClose,
    PinProcess,
    nullptr,  // Reset
    VideoSetDataFormat,
    PinSetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};

void CapturePin::AttemptProcessing() { KsPinAttemptProcessing(ks_pin, TRUE); }

void FreeCapturePin(PVOID context) {
  if (!context) return;
  static_cast<CapturePin*>(context)->~CapturePin();
  ExFreePoolWithTag(context, kDevicePoolTag);
}

NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CapturePin), kDevicePoolTag);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(CapturePin));
  auto* context = new (block) CapturePin();
  context->ks_pin = pin;
  context->device = CameraFromDevice(KsPinGetDevice(pin));
  CameraDevice* device = context->device;

  // While the pin exists the image size cannot change under it.
  if (device) SetRegionLock(device, 1);

  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreeCapturePin);
  if (!NT_SUCCESS(status)) {
    FreeCapturePin(context);
    if (device) SetRegionLock(device, 0);
    return status;
  }
  pin->Context = context;

  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (format && format->FormatSize > sizeof(KSDATAFORMAT)) {
    ULONG bytes = format->FormatSize - sizeof(KSDATAFORMAT);
    if (bytes > sizeof(context->video_info)) bytes = sizeof(context->video_info);
    RtlCopyMemory(&context->video_info, &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader,
                  bytes);
  }

  // Private copies of the descriptor and its framing, so the frame size can follow this pin's
  // image. A failure here fails the create: the bag then frees the context, and the pin's
  // hold on the region goes with it.
  status = KsEdit(pin, &pin->Descriptor, kStreamPoolTag);
  if (NT_SUCCESS(status)) {
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = KsEdit(pin, &descriptor->AllocatorFraming, kStreamPoolTag);
  }
  if (!NT_SUCCESS(status)) {
    pin->Context = nullptr;
    if (device) SetRegionLock(device, 0);
    return status;
  }

  auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(pin->Descriptor->AllocatorFraming);
  KS_FRAMING_ITEM& item = framing->FramingItem[0];
  const ULONG image_size = context->video_info.bmiHeader.biSizeImage;
  item.Frames = 2;
  item.PhysicalRange.MinFrameSize = image_size;
  item.PhysicalRange.MaxFrameSize = image_size;
  item.PhysicalRange.Stepping = 0;
  item.FramingRange.Range.MinFrameSize = image_size;
  item.FramingRange.Range.MaxFrameSize = image_size;
  item.FramingRange.Range.Stepping = 0;
  return STATUS_SUCCESS;
}

NTSTATUS PinClose(PKSPIN pin, PIRP irp) {
  auto* context = static_cast<CapturePin*>(pin->Context);
  if (context) {
    WriteStride(context, 0);
    if (context->device) SetRegionLock(context->device, 0);
  }
  return STATUS_SUCCESS;
}

NTSTATUS AcquireDevice(CameraDevice* device, CapturePin* pin, PKS_VIDEOINFOHEADER header) {
  // One stream at a time: a second claim changes nothing.
  if (InterlockedCompareExchange(&device->stream_acquired, 1, 0) != 0) return STATUS_SHARING_VIOLATION;

  device->active_format = header;
  {
    ColorLock lock(device);
    if (device->color) {
      DestroyColorProcessor(device->color);
      device->color = nullptr;
    }
  }

  if (header->bmiHeader.biBitCount != 32 || header->bmiHeader.biCompression != KS_BI_RGB) {
    ReleaseDevice(device);
    return STATUS_INVALID_PARAMETER;
  }

  ColorProcessor* color = CreateColorProcessor();
  if (!color) {
    ReleaseDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // The settings are read under the colour lock, so a property change either lands in the
  // settings before they are pushed or finds the processor and updates it afterwards.
  {
    ColorLock lock(device);
    const CameraSettings& s = device->settings;
    SetWhiteBalance(color, static_cast<LONG>(s.white_balance));
    SetBayerPhase(color, static_cast<LONG>(s.bayer_phase));
    SetColorEnable(color, static_cast<LONG>(s.color_enable));
    SetRedGain(color, static_cast<LONG>(s.red_gain));
    SetGreenGain(color, static_cast<LONG>(s.green_gain));
    SetBlueGain(color, static_cast<LONG>(s.blue_gain));
    UpdateColorCorrection(color, static_cast<LONG>(s.color_correction));
    UpdateBrightness(color, static_cast<LONG>(s.brightness));
    UpdateContrast(color, static_cast<LONG>(s.contrast));
    UpdateSaturation(color, static_cast<LONG>(s.saturation));
    UpdateHue(color, static_cast<LONG>(s.hue));
    SetActiveDotThreshold(color, s.dot != 0 ? static_cast<LONG>(s.dot_threshold) : 0);
    device->color = color;
  }
  device->active_pin = pin;
  return STATUS_SUCCESS;
}

void ReleaseDevice(CameraDevice* device) {
  {
    ColorLock lock(device);
    if (device->color) {
      DestroyColorProcessor(device->color);
      device->color = nullptr;
    }
  }
  device->active_pin = nullptr;
  device->active_format = nullptr;
  InterlockedExchange(&device->stream_acquired, 0);
}

namespace {

// Stops the thread and releases the stream's buffers: the pin is left without resources.
void EndStream(CapturePin* pin, CaptureThread* capture) {
  if (pin->stream_state == 0) return;
  if (capture) {
    StopCaptureThread(capture);
    InterlockedExchange(&capture->state, 0);
    FreeStreamBuffers(capture);
  }
  pin->stream_state = 0;
}

}  // namespace

NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to_state, KSSTATE from_state) {
  auto* context = static_cast<CapturePin*>(pin->Context);
  if (!context || !context->device) return STATUS_SUCCESS;
  CameraDevice* device = context->device;
  CaptureThread* capture = device->capture;

  switch (to_state) {
    case KSSTATE_STOP:
      EndStream(context, capture);
      if (context->acquired) {
        if (context->ref_clock) {
          context->ref_clock->Release();
          context->ref_clock = nullptr;
        }
        ReleaseDevice(device);
        context->acquired = 0;
      }
      return STATUS_SUCCESS;

    case KSSTATE_ACQUIRE:
      if (from_state == KSSTATE_STOP) {
        NTSTATUS status = AcquireDevice(device, context, &context->video_info);
        if (!NT_SUCCESS(status)) {
          context->acquired = 0;
          return status;
        }
        context->acquired = 1;
        if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &context->ref_clock))) context->ref_clock = nullptr;
        return STATUS_SUCCESS;
      }
      // From PAUSE: the buffers go; the claim and the colour processor stay.
      EndStream(context, capture);
      return STATUS_SUCCESS;

    case KSSTATE_PAUSE:
      if (from_state == KSSTATE_RUN && context->stream_state != 0) {
        // Buffers, converter and camera mode stay for a quick restart.
        if (capture && ReadAcquire(&capture->state) == 2) {
          StopCaptureThread(capture);
          InterlockedExchange(&capture->state, 1);
        }
        context->stream_state = 1;
      }
      return STATUS_SUCCESS;

    case KSSTATE_RUN: {
      if (context->stream_state == 1 && capture && ReadAcquire(&capture->state) == 1) {
        // Restart from PAUSE with the same buffers; the frame numbers continue.
        InterlockedExchange(&capture->state, 2);
        NTSTATUS status = StartCaptureThread(capture);
        if (!NT_SUCCESS(status)) {
          InterlockedExchange(&capture->state, 1);
          return status;
        }
      } else {
        EndStream(context, capture);
        NTSTATUS status = StartStream(device);
        if (!NT_SUCCESS(status)) return status;
      }
      context->stream_state = 2;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_SUCCESS;
}
