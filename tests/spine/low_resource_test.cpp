// Add and Start when pool runs out: every allocation they make fails once, in turn.
#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "tests/spine/spine_fixture.h"

namespace kscam::testing {
namespace {

namespace verifier = host::verifier;

// Allocation attempts Add and then Start make on a fresh host.
uint64_t CountAllocations(bool with_start) {
  client::Host host(client::HostOptions{1, FreshSettingsFile()});
  EXPECT_EQ(host.LoadDriver(), STATUS_SUCCESS);
  const uint64_t before = verifier::AllocationAttempts();
  EXPECT_EQ(host.camera(0).Add(), STATUS_SUCCESS);
  const uint64_t after_add = verifier::AllocationAttempts();
  if (!with_start) return after_add - before;
  host.camera(0).Start();
  return verifier::AllocationAttempts() - after_add;
}

TEST(LowResourceTest, EachFailingAllocationOfAddIsReportedAndLeavesNothing) {
  const uint64_t count = CountAllocations(false);
  ASSERT_GE(count, 2u);  // the camera and its object-bag entry at least
  for (uint64_t n = 1; n <= count; ++n) {
    SCOPED_TRACE(n);
    client::Host host(client::HostOptions{1, FreshSettingsFile()});
    ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS);
    verifier::FailNthAllocation(n);
    EXPECT_EQ(host.camera(0).Add(), STATUS_INSUFFICIENT_RESOURCES);
    verifier::ResetFaultInjection();
    EXPECT_EQ(host.camera(0).device().state(), host::ks::DeviceState::Absent);
    EXPECT_EQ(host.camera(0).device().ks_device(), nullptr);
    // The slot works again once memory is back.
    EXPECT_EQ(host.camera(0).Add(), STATUS_SUCCESS);
    EXPECT_EQ(host.camera(0).Remove(), 0u);
    EXPECT_TRUE(verifier::TakeViolations().empty());
  }
}

TEST(LowResourceTest, EachFailingAllocationOfStartLeavesNothingBehind) {
  const uint64_t count = CountAllocations(true);
  ASSERT_GE(count, 3u);  // the factory, the capture record and its object-bag entry
  for (uint64_t n = 1; n <= count; ++n) {
    SCOPED_TRACE(n);
    client::Host host(client::HostOptions{1, FreshSettingsFile()});
    ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS);
    client::Camera& camera = host.camera(0);
    ASSERT_EQ(camera.Add(), STATUS_SUCCESS);
    verifier::FailNthAllocation(n);
    const NTSTATUS status = camera.Start();
    verifier::ResetFaultInjection();
    CameraDevice* cam = CameraFromDevice(camera.device().ks_device());
    const auto factories = camera.device().filter_factories();
    if (factories.empty()) {
      // Without its factory the device offers no filter: Start fails, and makes no record.
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(cam->capture, nullptr);
    } else {
      // A missing capture record does not fail Start; the outcome is the USB one (no device
      // answers, or the descriptor request could not be built).
      EXPECT_TRUE(status == STATUS_NO_SUCH_DEVICE || status == STATUS_INSUFFICIENT_RESOURCES) << status;
      EXPECT_EQ(camera.device().object_bag_size(), cam->capture ? 2u : 1u);
    }
    EXPECT_EQ(camera.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(camera.Remove(), 0u);
    EXPECT_TRUE(verifier::TakeViolations().empty());
  }
}

TEST(LowResourceTest, AFailedFilterFactoryFailsTheFirstStart) {
  client::Host host(client::HostOptions{1, FreshSettingsFile()});
  ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS);
  client::Camera& camera = host.camera(0);
  ASSERT_EQ(camera.Add(), STATUS_SUCCESS);
  verifier::FailAllocationsWithTag(host::ks::kFilterFactoryTag);
  EXPECT_EQ(camera.Start(), STATUS_INSUFFICIENT_RESOURCES);
  verifier::ResetFaultInjection();
  EXPECT_TRUE(camera.device().filter_factories().empty());
  EXPECT_EQ(CameraFromDevice(camera.device().ks_device())->capture, nullptr);
  EXPECT_EQ(camera.Remove(), 0u);
}

TEST(LowResourceTest, RandomShortagesAcrossManyLifecyclesLeaveNothing) {
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    client::Host host(client::HostOptions{2, FreshSettingsFile()});
    ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS);
    verifier::FailRandomShare(seed, 0.3);
    for (int round = 0; round < 3; ++round) {
      for (int slot = 0; slot < 2; ++slot) {
        client::Camera& camera = host.camera(slot);
        if (camera.Add() == STATUS_SUCCESS) {
          camera.Start();
          camera.Stop();
          camera.Start();
        }
      }
      for (int slot = 0; slot < 2; ++slot) host.camera(slot).Remove();
    }
    verifier::ResetFaultInjection();
    EXPECT_TRUE(verifier::TakeViolations().empty()) << "seed " << seed;
  }
}

}  // namespace
}  // namespace kscam::testing
