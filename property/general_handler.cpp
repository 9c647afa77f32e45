#include "camera/controls.h"
#include "camera/region.h"
#include "camera/sensor.h"
#include "color/color_processor.h"
#include "property/property_handlers.h"
#include "camera/color_lock.h"
#include "usb/camera_control.h"
#include "usb/command_packets.h"

namespace {

constexpr USHORT kExposureRegister = 0x3012;
constexpr USHORT kGlobalGainRegister = 0x305E;
// Mode select (high byte) and image orientation (low byte; bit 1 vertical flip).
constexpr USHORT kModeOrientationRegister = 0x0100;

constexpr ULONG kExposureMask = 0x3FFFF;
constexpr ULONG kGlobalGainMask = 0x7F;
constexpr ULONG kTimeoutFloor = 500;  // a set must exceed this, compared unsigned

LONG Clamp(LONG value, LONG low, LONG high) { return value < low ? low : value > high ? high : value; }

// Reads a sensor register into a setting under the control mutex, so the read and the stored
// field belong to one camera-control operation. A failed read keeps the field.
ULONG ReadBackRegister(CameraDevice* camera, USHORT address, ULONG* field, ULONG (*decode)(ULONG)) {
  CameraControlLock lock(camera);
  ULONG raw = 0;
  if (ReadSensorRegister(camera, address, &raw)) *field = decode(raw);
  return *field;
}

// A colour setting's live value: the processor's while one exists (copied into the field),
// else the field.
ULONG ReadColorSetting(CameraDevice* camera, ULONG* field, const volatile LONG ColorProcessor::*live) {
  ColorLock hold(camera);
  if (camera->color) *field = static_cast<ULONG>(ReadColorValue(&(camera->color->*live)));
  return *field;
}

// A gain set: clamped to 0..512, stored, then passed on to the processor if there is one.
void SetGainSetting(CameraDevice* camera, LONG value, ULONG* field, void (*apply)(ColorProcessor*, LONG)) {
  const LONG gain = Clamp(value, 0, 512);
  ColorLock hold(camera);
  *field = static_cast<ULONG>(gain);
  if (camera->color) apply(camera->color, gain);
}

NTSTATUS Get(CameraDevice* camera, ULONG id, LONG* value) {
  CameraSettings& s = camera->settings;
  switch (id) {
    case kPropExTrigger: *value = s.ex_trigger != 0 ? 1 : 0; break;
    case kPropTimeout: *value = s.timeout_ms; break;
    case kPropExposure:
      *value = static_cast<LONG>(
          ReadBackRegister(camera, kExposureRegister, &s.exposure, [](ULONG raw) { return raw & kExposureMask; }));
      break;
    case kPropExposureMin: *value = 1; break;
    case kPropExposureMax: *value = 0x3FFF; break;
    case kPropExposureDefault: *value = 1200; break;
    case kPropGlobalGain:
      *value = static_cast<LONG>(ReadBackRegister(camera, kGlobalGainRegister, &s.global_gain,
                                                  [](ULONG raw) { return raw & kGlobalGainMask; }));
      break;
    case kPropGlobalGainMin: *value = 0; break;
    case kPropGlobalGainMax: *value = 127; break;
    case kPropGlobalGainDefault: *value = 32; break;
    case kPropFlipH:
      // The camera does not mirror: the setting reads as off and stays off.
      s.flip_h = 0;
      *value = 0;
      break;
    case kPropFlipV:
      *value = static_cast<LONG>(ReadBackRegister(camera, kModeOrientationRegister, &s.flip_v,
                                                  [](ULONG raw) { return (raw >> 1) & 1; }));
      break;
    case kPropColorEnable:
      *value = static_cast<LONG>(ReadColorSetting(camera, &s.color_enable, &ColorProcessor::ColorEnable));
      break;
    case kPropWhiteBalance:
      *value = static_cast<LONG>(ReadColorSetting(camera, &s.white_balance, &ColorProcessor::WhiteBalance));
      break;
    case kPropRedGain: *value = static_cast<LONG>(ReadColorSetting(camera, &s.red_gain, &ColorProcessor::RedGain)); break;
    case kPropGreenGain:
      *value = static_cast<LONG>(ReadColorSetting(camera, &s.green_gain, &ColorProcessor::GreenGain));
      break;
    case kPropBlueGain:
      *value = static_cast<LONG>(ReadColorSetting(camera, &s.blue_gain, &ColorProcessor::BlueGain));
      break;
    case kPropSubSampleMax: *value = 2; break;
    case kPropSubSample: *value = s.sub_sample; break;
    case kPropSensorWidth: *value = GetSensorWidth(); break;
    case kPropSensorHeight: *value = GetSensorHeight(); break;
    case kPropRoiX: *value = s.roi_x; break;
    case kPropRoiY: *value = s.roi_y; break;
    case kPropRoiW: *value = s.roi_w; break;
    case kPropRoiH: *value = s.roi_h; break;
    case kPropRegionLocked: *value = ReadAcquire(&camera->region_locked) != 0 ? 1 : 0; break;
    case kPropColorCorrection:
      *value = static_cast<LONG>(ReadColorSetting(camera, &s.color_correction, &ColorProcessor::ColorCorrection));
      break;
    case kPropClock: *value = static_cast<LONG>(GetClock(camera)); break;
    case kPropReserved34: *value = 1; break;
    case kPropReserved2E:
    case kPropReserved32:
    case kPropReserved33:
    case kPropReserved35:
    case kPropReserved36:
    case kPropReserved3D:
    case kPropReserved3E:
    case kPropReserved3F:
    case kPropReserved40:
    case kPropReserved41:
    case kPropReserved42:
    case kPropReserved44: *value = 0; break;
    case kPropAgc: *value = static_cast<LONG>(s.agc); break;
    case kPropAec: *value = static_cast<LONG>(s.aec); break;
    case kPropSensorRegister: {
      CameraControlLock lock(camera);
      ULONG raw = 0;
      *value = ReadSensorRegister(camera, static_cast<USHORT>(camera->access_address), &raw) ? static_cast<LONG>(raw)
                                                                                             : 0;
      break;
    }
    case kPropDot: {
      ColorLock hold(camera);
      *value = static_cast<LONG>(s.dot);
      break;
    }
    case kPropDotThreshold: {
      ColorLock hold(camera);
      *value = static_cast<LONG>(s.dot_threshold);
      break;
    }
    default: return STATUS_UNSUCCESSFUL;  // an item this handler does not serve
  }
  return STATUS_SUCCESS;
}

NTSTATUS Set(CameraDevice* camera, ULONG id, LONG value) {
  CameraSettings& s = camera->settings;
  switch (id) {
    case kPropExTrigger: SetExternalTrigger(camera, value != 0 ? 1 : 0); break;
    case kPropTimeout:
      // Compared unsigned: a negative value is a very long wait, not a short one.
      if (static_cast<ULONG>(value) > kTimeoutFloor) {
        s.timeout_ms = value;
        InterlockedExchange(&FrameTimeout, value);
      }
      break;
    case kPropExposure: SetExposure(camera, static_cast<ULONG>(value)); break;
    case kPropGlobalGain: SetGlobalGain(camera, static_cast<ULONG>(value)); break;
    case kPropFlipV: SetVerticalFlip(camera, static_cast<ULONG>(value)); break;
    case kPropColorEnable: {
      ColorLock hold(camera);
      s.color_enable = static_cast<ULONG>(value);
      if (camera->color) SetColorEnable(camera->color, value);
      break;
    }
    case kPropWhiteBalance: SetWhiteBalanceMode(camera, static_cast<ULONG>(value)); break;
    case kPropRedGain: SetGainSetting(camera, value, &s.red_gain, SetRedGain); break;
    case kPropGreenGain: SetGainSetting(camera, value, &s.green_gain, SetGreenGain); break;
    case kPropBlueGain: SetGainSetting(camera, value, &s.blue_gain, SetBlueGain); break;
    case kPropColorCorrection: {
      ColorLock hold(camera);
      s.color_correction = static_cast<ULONG>(value);
      if (camera->color) UpdateColorCorrection(camera->color, value);
      break;
    }
    case kPropClock: {
      // The stored mode and the sensor programming that uses it form one operation.
      CameraControlLock lock(camera);
      s.clock = static_cast<ULONG>(value);
      camera->ConfigureCaptureMode();
      break;
    }
    case kPropSensorRegister: {
      CameraControlLock lock(camera);
      camera->access_address = static_cast<ULONG>(value);
      break;
    }
    case kPropReinitialize: InitializeCamera(camera); break;
    case kPropDot: {
      ColorLock hold(camera);
      s.dot = static_cast<ULONG>(value);
      if (camera->color) SetActiveDotThreshold(camera->color, value != 0 ? static_cast<LONG>(s.dot_threshold) : 0);
      break;
    }
    case kPropDotThreshold: {
      ColorLock hold(camera);
      s.dot_threshold = static_cast<ULONG>(value);
      if (camera->color && s.dot != 0) SetActiveDotThreshold(camera->color, value);
      break;
    }
    // Accepted and ignored: the camera does not mirror, has no automatic gain or exposure, and
    // the reserved items do nothing.
    case kPropFlipH:
    case kPropAgc:
    case kPropAec:
    case kPropReserved2F:
    case kPropReserved3F:
    case kPropReserved40:
    case kPropReserved41:
    case kPropReserved42: break;
    default: return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

}  // namespace

CameraDevice* CameraOfRequest(PIRP irp) {
  if (!irp) return nullptr;
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (!filter) return nullptr;
  return CameraFromDevice(KsFilterGetDevice(filter));
}

NTSTATUS GeneralPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* camera = CameraOfRequest(irp);
  if (!camera || !request || !data) return STATUS_UNSUCCESSFUL;
  auto* record = static_cast<CameraPropertyValue*>(data);
  if (request->Flags == KSPROPERTY_TYPE_SET) return Set(camera, request->Id, record->Value);
  LONG value = 0;
  const NTSTATUS status = Get(camera, request->Id, &value);
  if (NT_SUCCESS(status)) record->Value = value;
  return status;
}
