#include "camera/sensor.h"

#include "driver/camera_device.h"
#include "settings/settings_store.h"

BOOLEAN InitializeCamera(CameraDevice* camera) {
  // The initialise command and the sensor program are command packets; they are sent once the
  // camera-control subsystem has the command transport. The stored settings are loaded now.
  LoadSettings(camera);
  return TRUE;
}
