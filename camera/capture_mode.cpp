// Programming the sensor for the current capture mode: readout window, read mode, output size
// and timing on top of a freshly loaded sensor program, the frame size for the controller, and
// the settings that live in sensor registers re-applied.
#include "camera/controls.h"
#include "camera/region.h"
#include "camera/sensor.h"
#include "camera/sensor_registers.h"
#include "driver/camera_device.h"
#include "usb/camera_control.h"
#include "usb/command_packets.h"

namespace {

// Raw frames are transferred in whole multiples of this many bytes.
constexpr ULONG kFrameGranule = 2048;

// The active pixels begin at this column and row of the sensor's address space.
constexpr LONG kFirstActiveColumn = 24;
constexpr LONG kFirstActiveRow = 4;

// Line length in pixel clocks is at least the output width plus the horizontal blanking, and
// never below the shortest line the sensor supports; a frame is the output plus a fixed
// vertical blanking.
constexpr LONG kHorizontalBlanking = 312;
constexpr LONG kMinimumLineLength = 2518;
constexpr LONG kVerticalBlanking = 248;

// The read mode bits the driver keeps (flip, mirror, and bits 9, 12, 13); the rest is the
// skipping pattern.
constexpr ULONG kReadModeKeep = 0xF200;
constexpr ULONG kReadModeFull = 0x0041;     // every row and column
constexpr ULONG kReadModeHalf = 0x00C3;     // every second 2 x 2 cell
constexpr ULONG kReadModeQuarter = 0x01C7;  // every fourth 2 x 2 cell

constexpr USHORT kControlStreaming = 0x10DE;

constexpr UCHAR kCommitCommand = 0x0A;
constexpr UCHAR kFrameSizeRegister = 0;  // 0..3, least significant byte first
constexpr UCHAR kFrameFlagsRegister = 14;

LONG RoundUp(LONG value, LONG multiple) { return (value + multiple - 1) / multiple * multiple; }

// First address of the readout window along one axis for a region at `origin` of `size` pixels
// (fitted to the sensor by SetRegion), with the active pixels at first .. first + active - 1.
LONG WindowStart(LONG origin, LONG size, LONG first, LONG active) {
  const LONG start = (origin + first + 3) & ~3;
  const LONG last_start = (first + active - size) & ~3;
  return start < last_start ? start : last_start;
}

}  // namespace

void CameraDevice::ConfigureCaptureMode() {
  CameraControlLock lock(this);
  LoadSensorProgram(this);
  SetClock(this, settings.clock);

  ULONG read_mode = 0;
  if (!ReadSensorRegister(this, kRegReadMode, &read_mode)) read_mode = 0;

  // The window starts on a multiple of 4 in the sensor's addresses, which keeps the colour
  // order of its first 2 x 2 cell fixed: the next one at or after the region's origin, unless
  // that would push the window's far side off the active area (a region touching the right or
  // bottom edge would then end in black columns or rows); it then starts on the last multiple
  // of 4 that keeps the whole window on the active area.
  const LONG x_start = WindowStart(settings.roi_x, settings.roi_w, kFirstActiveColumn, kSensorWidth);
  const LONG x_end = x_start + settings.roi_w - 1;
  const LONG y_start = WindowStart(settings.roi_y, settings.roi_h, kFirstActiveRow, kSensorHeight);
  const LONG y_end = y_start + settings.roi_h - 1;

  // Region and subsampling only ever come from SetRegion, which admits modes 0..2.
  LONG width = settings.roi_w;
  LONG height = settings.roi_h;
  ULONG pattern = kReadModeFull;
  if (settings.sub_sample == 1) {
    width = RoundUp(output_width, 2);
    height = RoundUp(output_height, 2);
    pattern = kReadModeHalf;
  } else if (settings.sub_sample == 2) {
    width = RoundUp(output_width, 4);
    height = RoundUp(output_height, 4);
    pattern = kReadModeQuarter;
  }
  read_mode = (read_mode & kReadModeKeep) | pattern;
  LONG line_length = width + kHorizontalBlanking;
  if (line_length < kMinimumLineLength) line_length = kMinimumLineLength;

  WriteSensorRegister(this, kRegGroupedHold, 1);
  WriteSensorRegister(this, kRegReadMode, static_cast<USHORT>(read_mode));
  WriteSensorRegister(this, kRegXStart, static_cast<USHORT>(x_start));
  WriteSensorRegister(this, kRegXEnd, static_cast<USHORT>(x_end));
  WriteSensorRegister(this, kRegYStart, static_cast<USHORT>(y_start));
  WriteSensorRegister(this, kRegYEnd, static_cast<USHORT>(y_end));
  WriteSensorRegister(this, kRegScalingMode, 0);
  WriteSensorRegister(this, kRegScaleM, 16);
  WriteSensorRegister(this, kRegOutputWidth, static_cast<USHORT>(width));
  WriteSensorRegister(this, kRegOutputHeight, static_cast<USHORT>(height));
  WriteSensorRegister(this, kRegLineLength, static_cast<USHORT>(line_length));
  WriteSensorRegister(this, kRegFrameLength, static_cast<USHORT>(height + kVerticalBlanking));
  WriteSensorRegister(this, kRegRowTiming, 0x0094);
  WriteSensorRegister(this, kRegFineIntegration, 0x03FC);

  // Part of the sensor's start-up sequence; the values read are not used.
  ReadSensorRegister(this, kRegColumnCorrection, nullptr);
  ReadSensorRegister(this, kRegDarkControl, nullptr);
  ReadSensorRegister(this, kRegControl, nullptr);
  WriteSensorRegister(this, kRegControl, kControlStreaming);

  image_offset = 0;
  line_stride = output_width;
  ULONG bytes = static_cast<ULONG>(output_width) * static_cast<ULONG>(output_height);
  bytes = (bytes + kFrameGranule - 1) / kFrameGranule * kFrameGranule;
  frame_bytes = static_cast<LONG>(bytes);

  for (UCHAR i = 0; i < 4; ++i) {
    WriteControllerRegister(this, static_cast<UCHAR>(kFrameSizeRegister + i), static_cast<UCHAR>(bytes >> (8 * i)));
  }
  UCHAR commit[kPacketBytes] = {};
  commit[0] = kCommitCommand;
  commit[1] = 0x01;
  SendPacket(this, commit);
  WriteControllerRegister(this, kFrameFlagsRegister, 0);

  SetExternalTrigger(this, settings.ex_trigger != 0);
  SetExposure(this, settings.exposure);
  SetGlobalGain(this, settings.global_gain);
  SetVerticalFlip(this, settings.flip_v);
  UpdateBayerPhase(this);
}
