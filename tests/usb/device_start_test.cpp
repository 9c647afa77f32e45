// Device Start and Stop through the KS host, with the camera on the host's USB bus below the
// device and the device's registry key in a settings file of its own: Start configures USB for
// real and initialises the camera whatever USB did, Stop releases and unconfigures it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "client/kscam_client.h"
#include "driver/camera_device.h"
#include "emulator/camera.h"
#include "host/registry/device_keys.h"
#include "host/usb/usb_bus.h"
#include "usb/command_packets.h"

namespace kscam::test {
namespace {

using usb::FaultAction;
using usb::RequestRecord;

// The stored brightness the settings file holds; Add leaves 255, so finding it after Start shows
// that the camera initialisation loaded the settings.
constexpr ULONG kStoredBrightness = 300;

class DeviceStart : public ::testing::Test {
 protected:
  DeviceStart() : host(client::HostOptions{1, WriteSettingsFile(), false}) {}
  ~DeviceStart() override {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  void SetUp() override {
    camera = std::make_shared<emulator::EmulatedCamera>();
    port = &bus.Attach(camera);
    ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS) << host.settings_error();
    device().SetPhysicalDevice(port->DeviceObject());
    ASSERT_EQ(device().Add(), STATUS_SUCCESS);
    ASSERT_EQ(Cam()->settings.brightness, 255u);
  }
  void TearDown() override { EXPECT_EQ(device().Remove(), 0u); }

  std::string WriteSettingsFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kscam-usb-XXXXXX").string();
    folder = ::mkdtemp(pattern.data());
    const std::filesystem::path file = folder / "settings.reg";
    char value[16];
    std::snprintf(value, sizeof value, "%08x", unsigned(kStoredBrightness));
    const std::string text = "Windows Registry Editor Version 5.00\n\n[" + host::registry::DriverKeyPath(0) +
                             "\\Settings]\n\"Brightness\"=dword:" + value + "\n";
    FILE* f = std::fopen(file.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    return file.string();
  }

  host::ks::Device& device() { return host.camera(0).device(); }
  CameraDevice* Cam() { return CameraFromDevice(device().ks_device()); }
  size_t Count(uint16_t function) {
    size_t n = 0;
    for (auto& r : port->Log()) n += r.kind == RequestRecord::Kind::Urb && r.function == function;
    return n;
  }
  // Whether the camera initialisation ran: it loads the stored settings.
  bool SettingsLoaded() { return Cam()->settings.brightness == kStoredBrightness; }

  std::filesystem::path folder;
  // Outlives the host, whose device removal still sends USB requests.
  usb::UsbBus bus;
  std::shared_ptr<emulator::EmulatedCamera> camera;
  usb::UsbPort* port = nullptr;
  client::Host host;
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

TEST_F(DeviceStart, DeviceThatDoesNotAnswerFailsStartWithItsStatusYetInitialisesTheCamera) {
  port->SetFaultHook([](const RequestRecord& r) -> std::optional<FaultAction> {
    if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      return FaultAction{FaultAction::Kind::Fail, STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING};
    }
    return std::nullopt;
  });
  EXPECT_EQ(device().Start(), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Cam()->usb.interface_info, nullptr);
  EXPECT_EQ(Count(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 1u);
  EXPECT_EQ(Count(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
  // The initialisation ran; without a configuration its commands failed without being sent.
  EXPECT_TRUE(SettingsLoaded());
  EXPECT_EQ(Count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);
  EXPECT_EQ(device().Stop(), STATUS_SUCCESS);
}

TEST_F(DeviceStart, FailedSecondDescriptorRequestLeavesUsbUnconfiguredYetInitialisesTheCamera) {
  port->SetFaultHook([](const RequestRecord& r) -> std::optional<FaultAction> {
    // The request for the whole configuration descriptor, after its first 9 bytes came.
    if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.descriptor_type == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
        r.length > sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      return FaultAction{FaultAction::Kind::Fail, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    }
    return std::nullopt;
  });
  EXPECT_EQ(device().Start(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Count(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 3u);
  EXPECT_EQ(Count(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
  EXPECT_EQ(Cam()->usb.config_descriptor, nullptr);
  EXPECT_EQ(Cam()->usb.interface_info, nullptr);
  EXPECT_EQ(Cam()->usb.pipe_flags, nullptr);
  EXPECT_EQ(camera->Configuration(), 0);
  EXPECT_TRUE(SettingsLoaded());
  EXPECT_EQ(device().Stop(), STATUS_SUCCESS);
}

TEST_F(DeviceStart, StartTwiceKeepsOneConfiguration) {
  ASSERT_EQ(device().Start(), STATUS_SUCCESS);
  ASSERT_EQ(device().Start(), STATUS_SUCCESS);
  EXPECT_EQ(Count(URB_FUNCTION_SELECT_CONFIGURATION), 2u);
  // Remove in TearDown finds no leaked configuration blocks.
}

TEST_F(DeviceStart, SilentCameraCostsStartOneBoundedWait) {
  // The camera takes every command and never answers a read.
  camera->DropReplies();
  EXPECT_EQ(device().Start(), STATUS_SUCCESS);
  // The initialisation was carried out as far as a camera that takes commands allows.
  auto commands = camera->Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front().packet[0], 0x06);
  EXPECT_FALSE(camera->SensorWrites().empty());
  EXPECT_TRUE(SettingsLoaded());
  // Every reply read is bounded by the packet time-out, and the first one that times out makes
  // the rest of the initialisation give up at once: Start waited for one reply, not for each of
  // its reads, so it ends after about a second. Nothing it asked for is left pending.
  size_t reply_reads = 0;
  for (auto& r : port->Log()) {
    reply_reads += r.kind == RequestRecord::Kind::Urb && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                   r.endpoint == emulator::kReplyEndpoint;
  }
  EXPECT_EQ(reply_reads, 1u);
  bus.Drain();
  EXPECT_EQ(port->OutstandingTransfers(), 0u);
  // The reads made after the start fail the same way, one bounded wait each.
  ULONG value = 0x5555;
  EXPECT_FALSE(ReadSensorRegister(Cam(), 0x3040, &value));
  EXPECT_EQ(value, 0x5555u);
  EXPECT_EQ(device().Stop(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kscam::test
