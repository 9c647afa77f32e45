// The camera settings kept in the registry: subkey "Settings" of the device's driver key.
#pragma once

#include "platform/wdm.h"

class CameraDevice;

// Loads the stored settings and applies them; FALSE when the key could not be opened (nothing
// changed).
BOOLEAN LoadSettings(CameraDevice* camera);

// Stores the current settings; FALSE when the key could not be opened.
BOOLEAN SaveSettings(CameraDevice* camera);
