#include "usb/camera_control.h"

#include "driver/camera_device.h"

CameraControlLock::CameraControlLock(CameraDevice* camera) : camera_(camera) {
  KeWaitForSingleObject(&camera->control_mutex, Executive, KernelMode, FALSE, nullptr);
  // A new outermost operation starts with a clean slate.
  if (camera->usb.control_depth++ == 0) camera->usb.control_timed_out = 0;
}

CameraControlLock::~CameraControlLock() {
  if (--camera_->usb.control_depth == 0) camera_->usb.control_timed_out = 0;
  KeReleaseMutex(&camera_->control_mutex, FALSE);
}
