// The camera's colour mutex, which serialises colour updates and guards the `color` pointer
// outside the conversion. Taken after the control mutex when both are needed, never before.
#pragma once

#include "driver/camera_device.h"

class ColorLock {
 public:
  explicit ColorLock(CameraDevice* camera) : camera_(camera) {
    KeWaitForSingleObject(&camera_->color_mutex, Executive, KernelMode, FALSE, nullptr);
  }
  ~ColorLock() { KeReleaseMutex(&camera_->color_mutex, FALSE); }
  ColorLock(const ColorLock&) = delete;
  ColorLock& operator=(const ColorLock&) = delete;

 private:
  CameraDevice* camera_;
};
