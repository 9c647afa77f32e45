#include "driver/camera_device.h"

void SetDefaultSettings(CameraSettings* s) {
  RtlZeroMemory(s, sizeof(*s));
  s->timeout_ms = kDefaultFrameTimeout;
  s->color_enable = 1;
  s->red_gain = 128;
  s->green_gain = 128;
  s->blue_gain = 128;
  s->color_correction = 1;
  s->brightness = 255;
  s->contrast = 10;
  s->saturation = 10;
  s->roi_w = 4608;
  s->roi_h = 3288;
  s->clock = 2;
  s->dot_threshold = 30;
}

void CameraDevice::GetFrameSize(PULONG size) { *size = static_cast<ULONG>(frame_bytes); }

void CameraDevice::GetFrameOffset(PULONG offset) { *offset = static_cast<ULONG>(image_offset); }

void CameraDevice::GetFramePitch(PULONG pitch) { *pitch = static_cast<ULONG>(line_stride); }
