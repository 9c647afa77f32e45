#include "camera/region.h"

#include "driver/camera_device.h"
#include "stream/video_format.h"

namespace {

// The smallest region side the sensor reads out.
constexpr LONG kMinimumRegionSide = 32;
// The last region origins that still leave a minimum-sized region on the sensor.
constexpr LONG kMaximumRegionX = kSensorWidth - kMinimumRegionSide;
constexpr LONG kMaximumRegionY = kSensorHeight - kMinimumRegionSide;

}  // namespace

void SetRegion(CameraDevice* camera, LONG x, LONG y, LONG width, LONG height, LONG sub_sample) {
  if (ReadAcquire(&camera->region_locked) != 0) return;
  // Mode 3 has no sensor programming and any other value would let unchecked sizes through
  // to the frame geometry: such requests are ignored like a request on a locked region.
  if (sub_sample < 0 || sub_sample > 2) return;

  if (sub_sample == 0) {
    if (x < 0 || x >= kMaximumRegionX) x = 0;
    if (y < 0 || y >= kMaximumRegionY) y = 0;
    if (width < kMinimumRegionSide) width = kMinimumRegionSide;
    if (height < kMinimumRegionSide) height = kMinimumRegionSide;
    // Compared against the room left rather than forming x + width, which can overflow.
    if (width > kSensorWidth - x) width = kSensorWidth - x;
    if (height > kSensorHeight - y) height = kSensorHeight - y;
  }

  CameraSettings& s = camera->settings;
  s.sub_sample = sub_sample;
  s.roi_x = x;
  s.roi_y = y;
  s.roi_w = width;
  s.roi_h = height;
  camera->output_width = width;
  camera->output_height = height;

  if (sub_sample != 0) {
    camera->output_width = sub_sample == 1 ? 2304 : 1152;
    camera->output_height = sub_sample == 1 ? 1644 : 822;
    s.roi_x = 0;
    s.roi_y = 0;
    s.roi_w = kSensorWidth;
    s.roi_h = kSensorHeight;
  }

  camera->image_width = camera->output_width & ~7;
  camera->image_height = camera->output_height;
  UpdateVideoDataRange(&camera->video_data_range, camera->image_width, camera->image_height);
}

void SetRegionLock(CameraDevice* camera, ULONG value) {
  if (value == 1) {
    InterlockedIncrement(&camera->region_locked);
    return;
  }
  if (value != 0) return;
  // Release one hold, never going below zero even if releases outnumber holds.
  LONG current = ReadAcquire(&camera->region_locked);
  while (current > 0) {
    LONG seen = InterlockedCompareExchange(&camera->region_locked, current - 1, current);
    if (seen == current) return;
    current = seen;
  }
}
