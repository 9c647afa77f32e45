// The settings of one camera: every value the property set, the registry and the camera-control
// operations share. All fields are 32 bits, in the order the rest of the driver relies on.
#pragma once

#include "platform/wdm.h"

struct CameraSettings {
  ULONG ex_trigger;        // 1: frames start on the external trigger input
  LONG timeout_ms;         // frame-read time-out; mirrors the driver-wide FrameTimeout
  ULONG exposure;          // sensor lines 1..16383 (0 until the camera has been programmed)
  ULONG global_gain;       // the sensor receives the low 7 bits
  ULONG flip_h;            // always 0: the camera does not mirror
  ULONG flip_v;            // vertical flip on the sensor
  ULONG color_enable;      // 1 colour, 0 grey
  ULONG white_balance;     // nonzero: automatic white balance
  ULONG red_gain;          // 0..512, 128 = 1.0
  ULONG green_gain;
  ULONG blue_gain;
  ULONG color_correction;  // nonzero: apply the colour-correction matrix
  ULONG brightness;        // 0..510, 255 = unchanged
  ULONG contrast;          // 0..20, 10 = unchanged
  ULONG saturation;        // 0..20, 10 = unchanged
  ULONG hue;               // degrees 0..359
  LONG sub_sample;         // 0 region of interest; 1, 2, 3 fixed subsampled modes
  LONG roi_x;
  LONG roi_y;
  LONG roi_w;
  LONG roi_h;
  ULONG bayer_phase;       // derived from the region and the flip
  ULONG clock;             // sensor clock selection 0, 1 or 2
  ULONG agc;               // kept for the property set and the registry only
  ULONG aec;
  ULONG dot;               // nonzero: defect-dot correction on
  ULONG dot_threshold;
};
static_assert(sizeof(CameraSettings) == 27 * 4, "27 settings of 32 bits");

// The values a camera has after Add, before the stored settings are loaded.
void SetDefaultSettings(CameraSettings* settings);
