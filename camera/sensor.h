// Bringing the camera's sensor into a known state.
#pragma once

#include "platform/wdm.h"

class CameraDevice;

// Initialise command, sensor program, then the stored settings. Always TRUE: failures of the
// individual commands are not reported.
BOOLEAN InitializeCamera(CameraDevice* camera);
