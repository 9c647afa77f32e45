#include "settings/settings_store.h"

#include <cstddef>

#include "camera/controls.h"
#include "camera/region.h"
#include "camera/color_lock.h"
#include "color/color_processor.h"
#include "driver/camera_device.h"

namespace {

// The stored values, in the order they are read and written.
enum ValueIndex : ULONG {
  kTimeout, kExposure, kGlobalGain, kFlipH, kFlipV, kColorEnable, kWhiteBalance, kColorCorrection,
  kBrightness, kContrast, kSaturation, kHue, kRedGain, kGreenGain, kBlueGain, kAgc, kAec, kClock,
  kExTrigger, kSubSample, kRoiX, kRoiY, kRoiW, kRoiH, kDot, kDotThreshold, kValueCount,
};

constexpr PCWSTR kValueNames[kValueCount] = {
    KSCAM_WTEXT("Timeout"),     KSCAM_WTEXT("Exposure"),  KSCAM_WTEXT("GlobalGain"),   KSCAM_WTEXT("FlipH"),
    KSCAM_WTEXT("FlipV"),       KSCAM_WTEXT("ColorEnable"), KSCAM_WTEXT("WhiteBalance"), KSCAM_WTEXT("ColorCorrection"),
    KSCAM_WTEXT("Brightness"),  KSCAM_WTEXT("Contrast"),  KSCAM_WTEXT("Saturation"),   KSCAM_WTEXT("Hue"),
    KSCAM_WTEXT("RedGain"),     KSCAM_WTEXT("GreenGain"), KSCAM_WTEXT("BlueGain"),     KSCAM_WTEXT("AGC"),
    KSCAM_WTEXT("AEC"),         KSCAM_WTEXT("Clock"),     KSCAM_WTEXT("ExTrigger"),    KSCAM_WTEXT("SubSample"),
    KSCAM_WTEXT("RoiX"),        KSCAM_WTEXT("RoiY"),      KSCAM_WTEXT("RoiW"),         KSCAM_WTEXT("RoiH"),
    KSCAM_WTEXT("Dot"),         KSCAM_WTEXT("DotThreshold"),
};

// Values a Timeout must lie strictly between to be taken.
constexpr LONG kTimeoutAbove = 500;
constexpr LONG kTimeoutBelow = 10000;

// A value query gets the partial-information header and at most this many data bytes; longer
// values count as missing.
constexpr ULONG kQueryDataBytes = 8;

class RegistryKeys {
 public:
  // Opens the device's driver key and its "Settings" subkey, creating the subkey if needed.
  explicit RegistryKeys(CameraDevice* camera) {
    HANDLE device_key = nullptr;
    if (IoOpenDeviceRegistryKey(camera->usb.physical_device, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device_key) !=
            STATUS_SUCCESS ||
        !device_key) {
      return;
    }
    device_key_ = device_key;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KSCAM_WTEXT("Settings"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, device_key_, nullptr);
    HANDLE settings_key = nullptr;
    if (NT_SUCCESS(ZwCreateKey(&settings_key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr))) {
      settings_key_ = settings_key;
    }
  }
  ~RegistryKeys() {
    if (settings_key_) ZwClose(settings_key_);
    if (device_key_) ZwClose(device_key_);
  }
  RegistryKeys(const RegistryKeys&) = delete;
  RegistryKeys& operator=(const RegistryKeys&) = delete;

  HANDLE settings() const { return settings_key_; }

 private:
  HANDLE device_key_ = nullptr;
  HANDLE settings_key_ = nullptr;
};

// Reads a value over its default: the first four data bytes of whatever type it has, fewer
// bytes zero-extended; a missing, empty or too long value leaves the default.
void ReadValue(HANDLE key, PCWSTR name, ULONG* value) {
  UNICODE_STRING value_name;
  RtlInitUnicodeString(&value_name, name);
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + kQueryDataBytes];
  } buffer;
  RtlZeroMemory(&buffer, sizeof(buffer));
  ULONG result_length = 0;
  if (!NT_SUCCESS(ZwQueryValueKey(key, &value_name, KeyValuePartialInformation, &buffer,
                                  sizeof(buffer.bytes), &result_length))) {
    return;
  }
  ULONG length = buffer.info.DataLength;
  if (length == 0 || length > kQueryDataBytes) return;
  if (length > sizeof(ULONG)) length = sizeof(ULONG);
  ULONG read = 0;
  RtlCopyMemory(&read, buffer.info.Data, length);
  *value = read;
}

void WriteValue(HANDLE key, PCWSTR name, ULONG value) {
  UNICODE_STRING value_name;
  RtlInitUnicodeString(&value_name, name);
  ZwSetValueKey(key, &value_name, 0, REG_DWORD, &value, sizeof(value));
}

// Signed limits: a negative stored value becomes the lower bound.
ULONG Limit(ULONG value, LONG low, LONG high) {
  const LONG v = static_cast<LONG>(value);
  if (v < low) return static_cast<ULONG>(low);
  if (v > high) return static_cast<ULONG>(high);
  return value;
}

// Applies loaded (or default) values to the camera and, while a stream exists, to its colour
// state, in the order the settings depend on each other.
void ApplySettings(CameraDevice* camera, const ULONG (&v)[kValueCount]) {
  CameraSettings& s = camera->settings;
  const LONG timeout = static_cast<LONG>(v[kTimeout]);
  if (timeout > kTimeoutAbove && timeout < kTimeoutBelow) {
    s.timeout_ms = timeout;
    InterlockedExchange(&FrameTimeout, timeout);
  }
  SetExposure(camera, v[kExposure]);
  SetGlobalGain(camera, v[kGlobalGain]);
  {
    ColorLock lock(camera);
    s.color_enable = v[kColorEnable];
    if (camera->color) SetColorEnable(camera->color, static_cast<LONG>(s.color_enable));
  }
  SetWhiteBalanceMode(camera, v[kWhiteBalance]);
  {
    ColorLock lock(camera);
    ColorProcessor* color = camera->color;
    s.color_correction = v[kColorCorrection];
    if (color) UpdateColorCorrection(color, static_cast<LONG>(s.color_correction));
    s.brightness = Limit(v[kBrightness], 0, 510);
    if (color) UpdateBrightness(color, static_cast<LONG>(s.brightness));
    s.contrast = Limit(v[kContrast], 0, 20);
    if (color) UpdateContrast(color, static_cast<LONG>(s.contrast));
    s.saturation = Limit(v[kSaturation], 0, 20);
    if (color) UpdateSaturation(color, static_cast<LONG>(s.saturation));
    s.hue = Limit(v[kHue], 0, 359);
    if (color) UpdateHue(color, static_cast<LONG>(s.hue));
    s.red_gain = Limit(v[kRedGain], 0, 512);
    s.green_gain = Limit(v[kGreenGain], 0, 512);
    s.blue_gain = Limit(v[kBlueGain], 0, 512);
    if (color) {
      SetRedGain(color, static_cast<LONG>(s.red_gain));
      SetGreenGain(color, static_cast<LONG>(s.green_gain));
      SetBlueGain(color, static_cast<LONG>(s.blue_gain));
    }
  }
  SetVerticalFlip(camera, v[kFlipV]);
  {
    ColorLock lock(camera);
    s.dot = v[kDot];
    if (camera->color) SetActiveDotThreshold(camera->color, s.dot != 0 ? static_cast<LONG>(s.dot_threshold) : 0);
    s.dot_threshold = v[kDotThreshold];
    if (camera->color && s.dot != 0) SetActiveDotThreshold(camera->color, static_cast<LONG>(s.dot_threshold));
  }
  SetExternalTrigger(camera, v[kExTrigger] != 0);
  s.clock = v[kClock];
  const ULONG sub_sample = v[kSubSample] <= 2 ? v[kSubSample] : 0;
  const ULONG x = v[kRoiX] < static_cast<ULONG>(kSensorWidth) ? v[kRoiX] : 0;
  const ULONG y = v[kRoiY] < static_cast<ULONG>(kSensorHeight) ? v[kRoiY] : 0;
  const ULONG w = v[kRoiW] < static_cast<ULONG>(kSensorWidth) ? v[kRoiW] : kSensorWidth;
  const ULONG h = v[kRoiH] < static_cast<ULONG>(kSensorHeight) ? v[kRoiH] : kSensorHeight;
  SetRegion(camera, static_cast<LONG>(x), static_cast<LONG>(y), static_cast<LONG>(w), static_cast<LONG>(h),
            static_cast<LONG>(sub_sample));
}

void SetDefaultValues(CameraDevice* camera, ULONG (&v)[kValueCount]) {
  RtlZeroMemory(v, sizeof(v));
  v[kTimeout] = kDefaultFrameTimeout;
  v[kExposure] = 1;
  v[kColorEnable] = 1;
  v[kColorCorrection] = 1;
  v[kBrightness] = 255;
  v[kContrast] = 10;
  v[kSaturation] = 10;
  v[kRedGain] = 128;
  v[kGreenGain] = 128;
  v[kBlueGain] = 128;
  v[kRoiW] = kSensorWidth;
  v[kRoiH] = kSensorHeight;
  v[kDotThreshold] = 30;
  v[kClock] = GetClock(camera);
}

}  // namespace

BOOLEAN LoadSettings(CameraDevice* camera) {
  RegistryKeys keys(camera);
  if (!keys.settings()) return FALSE;
  ULONG values[kValueCount];
  SetDefaultValues(camera, values);
  for (ULONG i = 0; i < kValueCount; ++i) ReadValue(keys.settings(), kValueNames[i], &values[i]);
  ApplySettings(camera, values);
  return TRUE;
}

BOOLEAN SaveSettings(CameraDevice* camera) {
  RegistryKeys keys(camera);
  if (!keys.settings()) return FALSE;
  const CameraSettings& s = camera->settings;
  const ULONG values[kValueCount] = {
      static_cast<ULONG>(s.timeout_ms), s.exposure, s.global_gain, s.flip_h, s.flip_v, s.color_enable,
      s.white_balance, s.color_correction, s.brightness, s.contrast, s.saturation, s.hue, s.red_gain,
      s.green_gain, s.blue_gain, s.agc, s.aec, s.clock, s.ex_trigger, static_cast<ULONG>(s.sub_sample),
      static_cast<ULONG>(s.roi_x), static_cast<ULONG>(s.roi_y), static_cast<ULONG>(s.roi_w),
      static_cast<ULONG>(s.roi_h), s.dot, s.dot_threshold,
  };
  for (ULONG i = 0; i < kValueCount; ++i) WriteValue(keys.settings(), kValueNames[i], values[i]);
  return TRUE;
}
