// The device's colour mutex, which guards the `color` pointer and serialises colour updates.
// Taken after the control mutex when both are needed, never before it.
#pragma once

#include "driver/camera_device.h"

class ColorMutexHold {
 public:
  explicit ColorMutexHold(CameraDevice* camera) : camera_(camera) {
    KeWaitForSingleObject(&camera_->color_mutex, Executive, KernelMode, FALSE, nullptr);
  }
  ~ColorMutexHold() { KeReleaseMutex(&camera_->color_mutex, FALSE); }
  ColorMutexHold(const ColorMutexHold&) = delete;
  ColorMutexHold& operator=(const ColorMutexHold&) = delete;

 private:
  CameraDevice* camera_;
};
