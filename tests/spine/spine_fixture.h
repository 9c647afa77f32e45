// A host with camera slots and the driver loaded, as the platform would run it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/kscam_client.h"
#include "driver/camera_device.h"

namespace kscam::testing {

// Each host's settings hive is a fresh file of its own (device Stop saves the settings); the
// folders go when the process ends.
inline std::string FreshSettingsFile() {
  static std::vector<std::filesystem::path>* folders = [] {
    auto* list = new std::vector<std::filesystem::path>;
    std::atexit([] {
      std::error_code ec;
      for (auto& f : *folders) std::filesystem::remove_all(f, ec);
    });
    return list;
  }();
  std::string pattern = (std::filesystem::temp_directory_path() / "kscam-spine-XXXXXX").string();
  folders->push_back(::mkdtemp(pattern.data()));
  return (folders->back() / "settings.reg").string();
}

class SpineTest : public ::testing::Test {
 protected:
  explicit SpineTest(int cameras = 1)
      : settings_(FreshSettingsFile()), host_(client::HostOptions{cameras, settings_}) {}

  void SetUp() override { ASSERT_EQ(host_.LoadDriver(), STATUS_SUCCESS); }

  client::Camera& camera(int slot = 0) { return host_.camera(slot); }
  host::ks::Device& device(int slot = 0) { return host_.camera(slot).device(); }
  // The driver's object for the slot's device (null before Add).
  CameraDevice* Cam(int slot = 0) { return CameraFromDevice(device(slot).ks_device()); }

  std::string settings_;
  client::Host host_;
};

}  // namespace kscam::testing
