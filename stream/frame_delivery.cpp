#include "driver/camera_device.h"
#include "stream/capture_pin.h"

void CameraDevice::NotifyFrameReady() {
  // Only the capture thread writes the count while a stream runs.
  ++picture_count;
  if (active_pin) active_pin->AttemptProcessing();
}
