// A host with camera slots and the driver loaded, as the platform would run it.
#pragma once

#include <gtest/gtest.h>

#include "client/kscam_client.h"
#include "driver/camera_device.h"

namespace kscam::testing {

// A settings hive nobody writes: the driver does not store settings in these tests.
inline constexpr const char* kTestSettings = "/nonexistent/kscam-test-settings.reg";

class SpineTest : public ::testing::Test {
 protected:
  explicit SpineTest(int cameras = 1) : host_(client::HostOptions{cameras, kTestSettings}) {}

  void SetUp() override { ASSERT_EQ(host_.LoadDriver(), STATUS_SUCCESS); }

  client::Camera& camera(int slot = 0) { return host_.camera(slot); }
  host::ks::Device& device(int slot = 0) { return host_.camera(slot).device(); }
  // The driver's object for the slot's device (null before Add).
  CameraDevice* Cam(int slot = 0) { return CameraFromDevice(device(slot).ks_device()); }

  client::Host host_;
};

}  // namespace kscam::testing
