// Bringing the camera's sensor into a known state: the initialise command, the fixed sensor
// program and the stored settings. Programming a capture mode is CameraDevice's
// ConfigureCaptureMode (capture_mode.cpp).
#pragma once

#include "platform/wdm.h"

class CameraDevice;

// Sensor writes the program makes (besides its pause and its controller write).
constexpr ULONG kSensorProgramWrites = 272;

// Initialise command, sensor program, then the stored settings. Always TRUE: failures of the
// individual commands are not reported.
BOOLEAN InitializeCamera(CameraDevice* camera);

// Resets the sensor and writes its fixed program: 272 register writes, one 100 ms pause after
// the reset and one controller write. Always TRUE; the outcome of each write is ignored.
BOOLEAN LoadSensorProgram(CameraDevice* camera);
