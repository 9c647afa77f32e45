// The capture region and the frame geometry that follows it.
#pragma once

#include "platform/wdm.h"

class CameraDevice;

constexpr LONG kSensorWidth = 4608;
constexpr LONG kSensorHeight = 3288;

inline LONG GetSensorWidth() { return kSensorWidth; }
inline LONG GetSensorHeight() { return kSensorHeight; }

// Sets the region of interest and subsampling mode (0 region, 1 2304 x 1644, 2 1152 x 822), the
// raw and delivered frame geometry, and rewrites the camera's video data range. Never fails:
// with subsampling 0 the region is fitted to the sensor; a locked region or an unknown mode
// leaves everything unchanged.
void SetRegion(CameraDevice* camera, LONG x, LONG y, LONG width, LONG height, LONG sub_sample);

// 1 takes a hold on the region (a capture pin exists), 0 releases one (never below 0).
void SetRegionLock(CameraDevice* camera, ULONG value);
