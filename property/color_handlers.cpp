#include "color/color_processor.h"
#include "property/property_handlers.h"
#include "camera/color_lock.h"

namespace {

struct ColorItem {
  ULONG CameraSettings::*field;
  volatile LONG ColorProcessor::*live;
  LONG high;  // clamped to 0..high
  void (*update)(ColorProcessor*, LONG);  // rebuilds its stage only when the value changed
};

// Get: the processor's value while one exists (copied into the setting), else the setting.
// Set: clamp, store, then update the processor if one exists. Both under the colour mutex.
NTSTATUS HandleColorItem(PIRP irp, PKSIDENTIFIER request, PVOID data, const ColorItem& item) {
  if (!request || !data) return STATUS_UNSUCCESSFUL;
  CameraDevice* camera = CameraOfRequest(irp);
  if (!camera) return STATUS_UNSUCCESSFUL;
  auto* record = static_cast<CameraPropertyValue*>(data);
  ULONG& field = camera->settings.*item.field;
  ColorLock hold(camera);
  if (request->Flags == KSPROPERTY_TYPE_SET) {
    LONG value = record->Value;
    if (value < 0) value = 0;
    if (value > item.high) value = item.high;
    field = static_cast<ULONG>(value);
    if (camera->color) item.update(camera->color, value);
    return STATUS_SUCCESS;
  }
  if (camera->color) field = static_cast<ULONG>(ReadColorValue(&(camera->color->*item.live)));
  record->Value = static_cast<LONG>(field);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS BrightnessHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandleColorItem(irp, request, data,
                         {&CameraSettings::brightness, &ColorProcessor::Brightness, 510, UpdateBrightness});
}

NTSTATUS ContrastHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandleColorItem(irp, request, data, {&CameraSettings::contrast, &ColorProcessor::Contrast, 20, UpdateContrast});
}

NTSTATUS SaturationHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandleColorItem(irp, request, data,
                         {&CameraSettings::saturation, &ColorProcessor::Saturation, 20, UpdateSaturation});
}

NTSTATUS HueHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return HandleColorItem(irp, request, data, {&CameraSettings::hue, &ColorProcessor::Hue, 359, UpdateHue});
}
