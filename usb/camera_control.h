// Serialisation of camera control: one operation at a time talks to the camera.
#pragma once

#include "platform/wdm.h"

class CameraDevice;

// Holds the camera's control mutex for the lifetime of the object. Operations nest: an inner
// operation of the holding thread takes the mutex again (it is recursive) and the outermost one
// defines the operation whose packets give up together after a time-out.
class CameraControlLock {
 public:
  explicit CameraControlLock(CameraDevice* camera);
  ~CameraControlLock();
  CameraControlLock(const CameraControlLock&) = delete;
  CameraControlLock& operator=(const CameraControlLock&) = delete;

 private:
  CameraDevice* camera_;
};
