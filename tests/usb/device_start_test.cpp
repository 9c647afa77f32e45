// Device Start and Stop through the KS host, with the camera on the host's USB bus below the
// device: Start configures USB for real, Stop releases and unconfigures it.
#include <gtest/gtest.h>

#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "emulator/camera.h"
#include "host/ks/ks_host.h"
#include "host/usb/usb_bus.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

namespace kscam::test {
namespace {

using usb::FaultAction;
using usb::RequestRecord;

class DeviceStart : public ::testing::Test {
 protected:
  void SetUp() override {
    camera = std::make_shared<emulator::EmulatedCamera>();
    port = &bus.Attach(camera);
    host = std::make_unique<host::ks::Host>(
        host::ks::HostOptions{1, {kDevicePoolTag, kUsbPoolTag, kStreamPoolTag, kColorPoolTag}});
    ASSERT_EQ(host->LoadDriver(DriverEntry), STATUS_SUCCESS);
    device().SetPhysicalDevice(port->DeviceObject());
    ASSERT_EQ(device().Add(), STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(device().Remove(), 0u);
    host.reset();
  }
  host::ks::Device& device() { return host->device(0); }
  CameraDevice* Cam() { return CameraFromDevice(device().ks_device()); }
  size_t Count(uint16_t function) {
    size_t n = 0;
    for (auto& r : port->Log()) n += r.kind == RequestRecord::Kind::Urb && r.function == function;
    return n;
  }

  usb::UsbBus bus;
  std::shared_ptr<emulator::EmulatedCamera> camera;
  usb::UsbPort* port = nullptr;
  std::unique_ptr<host::ks::Host> host;
};

TEST_F(DeviceStart, StartConfiguresAndStopUnconfigures) {
  ASSERT_EQ(device().Start(), STATUS_SUCCESS);
  CameraDevice* cam = Cam();
  ASSERT_NE(cam->usb.interface_info, nullptr);
  EXPECT_EQ(cam->usb.interface_info->NumberOfPipes, 3u);
  EXPECT_EQ(camera->Configuration(), 1);
  EXPECT_TRUE(port->Configuration().configured);

  ASSERT_EQ(device().Stop(), STATUS_SUCCESS);
  EXPECT_EQ(cam->usb.config_descriptor, nullptr);
  EXPECT_EQ(cam->usb.interface_info, nullptr);
  EXPECT_EQ(cam->usb.pipe_flags, nullptr);
  EXPECT_EQ(camera->Configuration(), 0);
  EXPECT_TRUE(port->Log().back().unconfigure);

  // A second start configures again; nothing of the first is left behind (Remove checks).
  ASSERT_EQ(device().Start(), STATUS_SUCCESS);
  EXPECT_EQ(camera->Configuration(), 1);
}

TEST_F(DeviceStart, DeviceThatDoesNotAnswerFailsStartWithItsStatus) {
  port->SetFaultHook([](const RequestRecord& r) -> std::optional<FaultAction> {
    if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      return FaultAction{FaultAction::Kind::Fail, STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING};
    }
    return std::nullopt;
  });
  EXPECT_EQ(device().Start(), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Cam()->usb.interface_info, nullptr);
  EXPECT_EQ(Count(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
  EXPECT_EQ(device().Stop(), STATUS_SUCCESS);
}

TEST_F(DeviceStart, StartTwiceKeepsOneConfiguration) {
  ASSERT_EQ(device().Start(), STATUS_SUCCESS);
  ASSERT_EQ(device().Start(), STATUS_SUCCESS);
  EXPECT_EQ(Count(URB_FUNCTION_SELECT_CONFIGURATION), 2u);
  // Remove in TearDown finds no leaked configuration blocks.
}

TEST_F(DeviceStart, SilentCameraStillStarts) {
  camera->DropReplies();
  EXPECT_EQ(device().Start(), STATUS_SUCCESS);
  EXPECT_EQ(device().Stop(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kscam::test
