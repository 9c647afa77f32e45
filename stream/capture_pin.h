// The context of a capture pin: one per pin, owned by the pin's object bag.
#pragma once

#include "platform/ks.h"

class CameraDevice;

class CapturePin {
 public:
  ~CapturePin() = default;

  // Asks the class driver to run the pin's Process soon, on its own thread.
  virtual void AttemptProcessing();

  PKSPIN ks_pin;
  CameraDevice* device;
  ULONG stream_state;             // 0 no stream resources, 1 paused, 2 running
  PIKSREFERENCECLOCK ref_clock;   // from ACQUIRE to STOP, null when there is none
  KS_VIDEOINFOHEADER video_info;  // the pin's current format header
  BOOLEAN acquired;
  ULONG stride;                   // row pitch asked for by a format change, 0 otherwise
};
