// A started camera with its capture filter open, and the property requests an application
// sends to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "color/color_processor.h"
#include "property/camera_property_set.h"
#include "tests/camera/camera_host.h"

namespace kscam::property_test {

using camera_test::CameraHost;

inline KSPROPERTY Header(ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = CameraPropertySet;
  p.Id = id;
  p.Flags = flags;
  return p;
}

class PropertyTest : public ::testing::Test {
 protected:
  PropertyTest() {
    filter_ = host_.device().OpenFilter(&open_status_);
    EXPECT_EQ(open_status_, STATUS_SUCCESS);
  }
  ~PropertyTest() override {
    DropColorProcessor();
    filter_.reset();
    InterlockedExchange(&FrameTimeout, saved_timeout_);
  }

  client::Filter& filter() { return *filter_; }
  CameraDevice* cam() { return host_.cam(); }
  CameraHost& host() { return host_; }

  int32_t Get(ULONG id) {
    int32_t v = -12345;
    EXPECT_EQ(filter_->Get(id, &v), STATUS_SUCCESS) << "item " << id;
    return v;
  }
  void Set(ULONG id, int32_t value) { EXPECT_EQ(filter_->Set(id, value), STATUS_SUCCESS) << "item " << id; }

  // What a stream's ACQUIRE does to the colour state: a processor built from the settings.
  ColorProcessor* MakeColorProcessor() {
    KeWaitForSingleObject(&cam()->color_mutex, Executive, KernelMode, FALSE, nullptr);
    cam()->color = CreateColorProcessor();
    KeReleaseMutex(&cam()->color_mutex, FALSE);
    return cam()->color;
  }
  void DropColorProcessor() {
    KeWaitForSingleObject(&cam()->color_mutex, Executive, KernelMode, FALSE, nullptr);
    DestroyColorProcessor(cam()->color);
    cam()->color = nullptr;
    KeReleaseMutex(&cam()->color_mutex, FALSE);
  }

 private:
  LONG saved_timeout_ = ReadAcquire(&FrameTimeout);
  CameraHost host_;
  NTSTATUS open_status_ = STATUS_PENDING;
  std::unique_ptr<client::Filter> filter_;
};

}  // namespace kscam::property_test
