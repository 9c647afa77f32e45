#include "camera/controls.h"

#include "camera/sensor_registers.h"
#include "camera/color_lock.h"
#include "color/color_processor.h"
#include "driver/camera_device.h"
#include "usb/camera_control.h"
#include "usb/command_packets.h"

namespace {

constexpr ULONG kMaximumExposure = 0x3FFF;
constexpr USHORT kGainBase = 0x1100;
constexpr ULONG kGainCodeMask = 0x7F;
constexpr USHORT kVerticalFlipBit = 0x8000;

// Controller register 11 and its values.
constexpr UCHAR kTriggerRegister = 11;
constexpr UCHAR kTriggerOn = 0x25;
constexpr UCHAR kTriggerOff = 0x00;

}  // namespace

BOOLEAN SetExternalTrigger(CameraDevice* camera, UCHAR on) {
  CameraControlLock lock(camera);
  // The trigger input is set up the same way whichever way the switch goes.
  WriteSensorRegister(camera, kRegTriggerSetup1, 0x0000);
  WriteSensorRegister(camera, kRegTriggerSetup2, 0x0020);
  WriteSensorRegister(camera, kRegTriggerSetup3, 0x009F);
  WriteControllerRegister(camera, kTriggerRegister, on ? kTriggerOn : kTriggerOff);
  camera->settings.ex_trigger = on ? 1 : 0;
  return TRUE;
}

BOOLEAN SetExposure(CameraDevice* camera, ULONG lines) {
  CameraControlLock lock(camera);
  ULONG value = lines;
  if (value == 0) value = 1;
  if (value > kMaximumExposure) value = kMaximumExposure;
  if (!WriteSensorRegister(camera, kRegExposure, static_cast<USHORT>(value))) return FALSE;
  camera->settings.exposure = value;
  return TRUE;
}

BOOLEAN SetGlobalGain(CameraDevice* camera, ULONG gain) {
  CameraControlLock lock(camera);
  const USHORT value = static_cast<USHORT>(kGainBase | (gain & kGainCodeMask));
  if (!WriteSensorRegister(camera, kRegGlobalGain, value)) return FALSE;
  camera->settings.global_gain = gain;
  return TRUE;
}

void SetVerticalFlip(CameraDevice* camera, ULONG on) {
  CameraControlLock lock(camera);
  camera->settings.flip_v = on ? 1 : 0;
  ULONG read_mode = 0;
  if (!ReadSensorRegister(camera, kRegReadMode, &read_mode)) return;
  read_mode = on ? (read_mode | kVerticalFlipBit) : (read_mode & ~static_cast<ULONG>(kVerticalFlipBit));
  if (!WriteSensorRegister(camera, kRegReadMode, static_cast<USHORT>(read_mode))) return;
  const ULONG phase = UpdateBayerPhase(camera);
  ColorLock color_lock(camera);
  if (camera->color) SetBayerPhase(camera->color, static_cast<LONG>(phase));
}

ULONG UpdateBayerPhase(CameraDevice* camera) {
  CameraSettings& s = camera->settings;
  const ULONG phase = (s.flip_v != 0 && (s.roi_h & 1) == 0) ? 1 : 0;
  s.bayer_phase = phase;
  return phase;
}

void SetClock(CameraDevice* camera, ULONG mode) {
  CameraControlLock lock(camera);
  USHORT divider = 2;
  if (mode == 1) divider = 4;
  if (mode == 2) divider = 1;
  WriteSensorRegister(camera, kRegVtSysClockDivider, divider);
  WriteSensorRegister(camera, kRegOpSysClockDivider, divider);
  camera->settings.clock = mode;
}

ULONG GetClock(CameraDevice* camera) {
  CameraControlLock lock(camera);
  ULONG divider = 0;
  if (ReadSensorRegister(camera, kRegVtSysClockDivider, &divider)) {
    camera->settings.clock = divider == 1 ? 2 : divider == 4 ? 1 : 0;
  }
  return camera->settings.clock;
}

void SetWhiteBalanceMode(CameraDevice* camera, ULONG mode) {
  CameraControlLock lock(camera);
  CameraSettings& s = camera->settings;
  s.white_balance = mode;
  ColorLock color_lock(camera);
  ColorProcessor* color = camera->color;
  if (!color) return;
  SetWhiteBalance(color, static_cast<LONG>(mode));
  if (mode != 0) return;
  // The gains the measurement settled on stay in force as the manual gains.
  s.red_gain = static_cast<ULONG>(ReadAcquire(&color->RedGain));
  s.green_gain = static_cast<ULONG>(ReadAcquire(&color->GreenGain));
  s.blue_gain = static_cast<ULONG>(ReadAcquire(&color->BlueGain));
}
