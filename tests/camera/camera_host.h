// A started camera as the platform runs it: the driver loaded into the KS host, the emulated
// camera on the host's USB bus as the device's physical device, and the device's registry key
// in a settings file of its own. Add and Start have run; the camera answers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/kscam_client.h"
#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "emulator/camera.h"
#include "host/registry/device_keys.h"
#include "host/registry/hive.h"
#include "host/usb/usb_bus.h"

namespace kscam::camera_test {

// A fresh folder, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kscam-camera-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Quiet, defect-free chart by default, so that samples can be compared with what the sensor
// model says; as fast as possible.
inline emulator::CameraOptions QuietCamera() {
  emulator::CameraOptions options;
  options.noise_sigma = 0;
  options.defect_rate = 0;
  return options;
}

class CameraHost {
 public:
  // `settings` holds value lines ("Name"=dword:...) of the device's "Settings" key, written to
  // the settings file before the host opens it.
  explicit CameraHost(emulator::CameraOptions options = QuietCamera(), const std::string& settings = "")
      : settings_written_(WriteSettings(settings_file(), settings)),
        emulated_(std::make_shared<emulator::EmulatedCamera>(options)),
        host_(client::HostOptions{1, settings_file().string(), false}) {
    port_ = &bus_.Attach(emulated_);
    // The host binds the device's driver key in the settings file at Add; this view of the
    // same file is for the tests.
    std::string error;
    hive_ = host::registry::Hive::Open(settings_file(), &error);
    EXPECT_TRUE(hive_) << error;
    EXPECT_EQ(host_.LoadDriver(), STATUS_SUCCESS) << host_.settings_error();
    host_.camera(0).device().SetPhysicalDevice(port_->DeviceObject());
    EXPECT_EQ(host_.camera(0).Add(), STATUS_SUCCESS);
    EXPECT_EQ(host_.camera(0).Start(), STATUS_SUCCESS);
  }
  ~CameraHost() {
    if (host_.camera(0).device().state() != host::ks::DeviceState::Absent) Remove();
  }

  // Stops and removes the device; the verifier must find nothing left behind.
  void Remove() { EXPECT_EQ(host_.camera(0).Remove(), 0u); }

  CameraDevice* cam() { return CameraFromDevice(host_.camera(0).device().ks_device()); }
  emulator::EmulatedCamera& emulated() { return *emulated_; }
  client::Camera& device() { return host_.camera(0); }
  host::registry::Hive& hive() { return *hive_; }
  std::filesystem::path settings_file() const { return folder_.path() / "settings.reg"; }

 private:
  static bool WriteSettings(const std::filesystem::path& file, const std::string& settings) {
    if (settings.empty()) return false;
    std::string text = "Windows Registry Editor Version 5.00\n\n[" + host::registry::DriverKeyPath(0) +
                       "\\Settings]\n" + settings;
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return true;
  }

  TempFolder folder_;
  bool settings_written_;
  usb::UsbBus bus_;
  std::shared_ptr<emulator::EmulatedCamera> emulated_;
  usb::UsbPort* port_ = nullptr;
  std::shared_ptr<host::registry::Hive> hive_;
  client::Host host_;
};

// Reads one raw frame of the camera's current frame size, as the capture thread does. Empty
// when the read failed.
inline std::vector<uint8_t> ReadRawFrame(CameraDevice* cam) {
  const size_t bytes = static_cast<size_t>(cam->frame_bytes);
  auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kStreamPoolTag));
  if (!buffer) return {};
  BOOLEAN success = FALSE;
  cam->ReadFrame(buffer, &success);
  std::vector<uint8_t> frame;
  if (success) frame.assign(buffer, buffer + bytes);
  ExFreePoolWithTag(buffer, kStreamPoolTag);
  return frame;
}

// Programs the capture mode and reads one raw frame, as a stream start and its first frame do.
inline std::vector<uint8_t> CaptureRawFrame(CameraDevice* cam) {
  cam->ConfigureCaptureMode();
  return ReadRawFrame(cam);
}

}  // namespace kscam::camera_test
