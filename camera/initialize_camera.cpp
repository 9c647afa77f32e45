#include "camera/sensor.h"

#include "driver/camera_device.h"
#include "settings/settings_store.h"
#include "usb/camera_control.h"
#include "usb/command_packets.h"

namespace {

constexpr UCHAR kInitializeCommand = 0x06;

}  // namespace

BOOLEAN InitializeCamera(CameraDevice* camera) {
  CameraControlLock lock(camera);
  UCHAR command[kPacketBytes] = {};
  command[0] = kInitializeCommand;
  SendPacket(camera, command);
  LoadSensorProgram(camera);
  LoadSettings(camera);
  return TRUE;
}
