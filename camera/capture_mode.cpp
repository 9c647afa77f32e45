#include "driver/camera_device.h"

namespace {

// Raw frames are transferred in whole multiples of this many bytes.
constexpr ULONG kFrameGranule = 2048;

}  // namespace

void CameraDevice::ConfigureCaptureMode() {
  // Programming the sensor's window, read mode and timing is command-packet work that the
  // camera-control subsystem adds in front of this; the raw frame layout of the current mode
  // follows from the geometry alone.
  image_offset = 0;
  line_stride = output_width;
  ULONG bytes = static_cast<ULONG>(output_width) * static_cast<ULONG>(output_height);
  bytes = (bytes + kFrameGranule - 1) / kFrameGranule * kFrameGranule;
  frame_bytes = static_cast<LONG>(bytes);
}
