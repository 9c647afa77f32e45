#include "settings/settings_store.h"

#include "driver/camera_device.h"

// The registry store is not part of the driver yet: the device's key cannot be opened, so
// nothing is loaded or saved and both operations report it. The settings subsystem replaces
// this file.
BOOLEAN LoadSettings(CameraDevice* camera) { return FALSE; }

BOOLEAN SaveSettings(CameraDevice* camera) { return FALSE; }
