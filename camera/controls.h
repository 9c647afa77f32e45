// The camera settings that reach the sensor or the camera's controller: trigger, exposure,
// gain, vertical flip, clock and the white-balance mode, and the Bayer phase that follows the
// readout. Each operation stores the setting in the camera and sends its register writes at
// once, under the camera's control mutex. Those that reach the stream's colour state take the
// colour mutex inside it: a caller holding the colour mutex must not call them.
#pragma once

#include "platform/wdm.h"

class CameraDevice;

// Sensor trigger set-up and controller register 11 (0x25 on, 0x00 off); ex_trigger follows
// `on` whatever the writes do. Always TRUE.
BOOLEAN SetExternalTrigger(CameraDevice* camera, UCHAR on);

// Exposure in sensor lines, clamped to 1..16383 (compared unsigned); exposure changes only
// when the register write succeeded, which is also the result.
BOOLEAN SetExposure(CameraDevice* camera, ULONG lines);

// Global gain: the sensor takes the low 7 bits; global_gain keeps the whole value, and changes
// only when the register write succeeded, which is also the result.
BOOLEAN SetGlobalGain(CameraDevice* camera, ULONG gain);

// Vertical flip. flip_v follows `on` first; the read mode's flip bit is then changed and the
// Bayer phase updated (also in the stream's colour state). A failed read or write of the read
// mode leaves the phase as it was.
void SetVerticalFlip(CameraDevice* camera, ULONG on);

// The colour order of the first pixel the sensor reads out (0 GRBG, 1 BGGR): the window
// always starts on an even column and row, so only a flipped readout of an even number of
// rows, which starts on the window's odd last row, changes it. Stores bayer_phase.
ULONG UpdateBayerPhase(CameraDevice* camera);

// Clock mode 0, 1 or 2 (sensor dividers 2, 4, 1; any other mode counts as 0). Stores clock;
// the sensor uses it from the next capture-mode programming on.
void SetClock(CameraDevice* camera, ULONG mode);

// The clock mode the sensor's divider shows (1 -> 2, 4 -> 1, anything else -> 0), stored in
// clock; the stored mode when the sensor cannot be read.
ULONG GetClock(CameraDevice* camera);

// Automatic white balance on (nonzero) or off. Turning it off keeps the gains it found.
void SetWhiteBalanceMode(CameraDevice* camera, ULONG mode);
