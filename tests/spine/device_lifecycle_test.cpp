// Device Add, Start, Stop, QueryCapabilities and removal, driven through the host.
#include <cstring>

#include "host/kernel/verifier.h"
#include "driver/pool_tags.h"
#include "host/registry/device_keys.h"
#include "stream/capture_thread.h"
#include "tests/spine/spine_fixture.h"

namespace kscam::testing {
namespace {

using host::ks::DeviceState;

TEST_F(SpineTest, AddCreatesTheCameraWithDefaultSettings) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  CameraDevice* cam = Cam();
  ASSERT_NE(cam, nullptr);
  PKSDEVICE ks = device().ks_device();
  EXPECT_EQ(cam->ks_device, ks);
  EXPECT_EQ(cam->usb.physical_device, ks->PhysicalDeviceObject);
  EXPECT_EQ(cam->usb.lower_device, ks->NextDeviceObject);
  EXPECT_EQ(cam->usb.functional_device, ks->FunctionalDeviceObject);
  EXPECT_EQ(cam->usb.config_descriptor, nullptr);
  EXPECT_EQ(cam->usb.chunks, nullptr);
  EXPECT_EQ(KeReadStateEvent(&cam->usb.frame_done), 0);

  const CameraSettings& s = cam->settings;
  EXPECT_EQ(s.ex_trigger, 0u);
  EXPECT_EQ(s.timeout_ms, 3000);
  EXPECT_EQ(s.exposure, 0u);
  EXPECT_EQ(s.global_gain, 0u);
  EXPECT_EQ(s.flip_h, 0u);
  EXPECT_EQ(s.flip_v, 0u);
  EXPECT_EQ(s.color_enable, 1u);
  EXPECT_EQ(s.white_balance, 0u);
  EXPECT_EQ(s.red_gain, 128u);
  EXPECT_EQ(s.green_gain, 128u);
  EXPECT_EQ(s.blue_gain, 128u);
  EXPECT_EQ(s.color_correction, 1u);
  EXPECT_EQ(s.brightness, 255u);
  EXPECT_EQ(s.contrast, 10u);
  EXPECT_EQ(s.saturation, 10u);
  EXPECT_EQ(s.hue, 0u);
  EXPECT_EQ(s.sub_sample, 0);
  EXPECT_EQ(s.roi_x, 0);
  EXPECT_EQ(s.roi_y, 0);
  EXPECT_EQ(s.roi_w, 4608);
  EXPECT_EQ(s.roi_h, 3288);
  EXPECT_EQ(s.bayer_phase, 0u);
  EXPECT_EQ(s.clock, 2u);
  EXPECT_EQ(s.agc, 0u);
  EXPECT_EQ(s.aec, 0u);
  EXPECT_EQ(s.dot, 0u);
  EXPECT_EQ(s.dot_threshold, 30u);

  EXPECT_EQ(cam->output_width, 4608);
  EXPECT_EQ(cam->output_height, 3288);
  EXPECT_EQ(cam->image_width, 4608);
  EXPECT_EQ(cam->image_height, 3288);
  EXPECT_EQ(cam->capture, nullptr);
  EXPECT_EQ(cam->color, nullptr);
  EXPECT_EQ(cam->stream_acquired, 0);
  EXPECT_EQ(cam->region_locked, 0);
  for (UCHAR b : cam->register_packet) EXPECT_EQ(b, 0);
  // Only the camera itself is in the bag; no factory before Start.
  EXPECT_EQ(device().object_bag_size(), 1u);
  EXPECT_TRUE(device().filter_factories().empty());
  EXPECT_EQ(camera().Remove(), 0u);
}

TEST_F(SpineTest, StartMakesTheFactoryAndCaptureRecordAndReportsTheUsbOutcome) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  CameraDevice* cam = Cam();
  // No device answers on the slot's bus: Start returns the descriptor request's failure, after
  // the factory and the capture record were made.
  EXPECT_EQ(camera().Start(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(device().state(), DeviceState::Started);
  EXPECT_TRUE(device().ks_device()->Started);

  auto factories = device().filter_factories();
  ASSERT_EQ(factories.size(), 1u);
  EXPECT_EQ(factories[0].reference_string, u"GLOBAL");
  EXPECT_EQ(factories[0].create_item_flags, static_cast<ULONG>(KSCREATE_ITEM_FREEONSTOP));
  EXPECT_EQ(factories[0].descriptor, &cam->filter_descriptor);

  ASSERT_NE(cam->capture, nullptr);
  CaptureThread* record = cam->capture;
  EXPECT_EQ(record->device, cam);
  EXPECT_EQ(record->state, 0);
  EXPECT_EQ(record->thread, nullptr);
  EXPECT_EQ(record->run, 0);
  EXPECT_EQ(record->raw_buffer[0], nullptr);
  EXPECT_EQ(record->buffer_state[1], 0);
  EXPECT_EQ(KeReadStateEvent(&record->done_event), 0);
  EXPECT_EQ(device().object_bag_size(), 2u);
  EXPECT_EQ(cam->usb.config_descriptor, nullptr);
  EXPECT_EQ(cam->usb.interface_info, nullptr);
  EXPECT_EQ(cam->usb.pipe_flags, nullptr);

  // A second Start while started makes neither a second factory nor a second record.
  EXPECT_EQ(camera().Start(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(device().filter_factories().size(), 1u);
  EXPECT_EQ(cam->capture, record);
  EXPECT_EQ(device().object_bag_size(), 2u);
  EXPECT_EQ(camera().Remove(), 0u);
}

TEST_F(SpineTest, ARestartWithoutStopReleasesTheEarlierConfiguration) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  camera().Start();
  CameraDevice* cam = Cam();
  // What a selected configuration keeps, as the USB set-up stores it.
  cam->usb.config_descriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 34, kUsbPoolTag));
  cam->usb.pipe_flags = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 3, kUsbPoolTag));
  camera().Start();
  EXPECT_EQ(cam->usb.config_descriptor, nullptr);
  EXPECT_EQ(cam->usb.pipe_flags, nullptr);
  EXPECT_EQ(camera().Remove(), 0u);
}

TEST_F(SpineTest, StopDropsTheFactoryAndARestartMakesNewOnes) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  camera().Start();
  CameraDevice* cam = Cam();
  CaptureThread* first = cam->capture;
  EXPECT_EQ(camera().Stop(), STATUS_SUCCESS);
  EXPECT_EQ(device().state(), DeviceState::Stopped);
  EXPECT_FALSE(device().ks_device()->Started);
  EXPECT_TRUE(device().filter_factories().empty());
  // Stop leaves the stream objects alone.
  EXPECT_EQ(cam->capture, first);

  camera().Start();
  EXPECT_EQ(device().filter_factories().size(), 1u);
  ASSERT_NE(cam->capture, nullptr);
  EXPECT_NE(cam->capture, first);
  // The earlier record stays in the bag until removal.
  EXPECT_EQ(device().object_bag_size(), 3u);
  EXPECT_EQ(camera().Stop(), STATUS_SUCCESS);
  EXPECT_EQ(camera().Stop(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(camera().Remove(), 0u);
  EXPECT_EQ(device().state(), DeviceState::Absent);
}

TEST_F(SpineTest, QueryCapabilitiesClearsOnlyTheRemovableBit) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  for (int fill : {0xFF, 0x00, 0xA5}) {
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, fill, sizeof(caps));
    caps.Removable = 1;
    DEVICE_CAPABILITIES expected = caps;
    expected.Removable = 0;
    EXPECT_EQ(camera().QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&caps, &expected, sizeof(caps)), 0) << "fill " << fill;
  }
}

TEST_F(SpineTest, RemovalFreesTheBagNewestFirstAndStopsAStartedDevice) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  camera().Start();
  static std::vector<int> order;
  order.clear();
  static int items[3] = {1, 2, 3};
  PKSDEVICE ks = device().ks_device();
  for (int& item : items) {
    ASSERT_EQ(KsAddItemToObjectBag(ks->Bag, &item, [](PVOID p) { order.push_back(*static_cast<int*>(p)); }),
              STATUS_SUCCESS);
  }
  EXPECT_EQ(camera().Remove(), 0u);
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(device().state(), DeviceState::Absent);
}

TEST_F(SpineTest, RemovalReportsPoolTheDeviceLeft) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  // A block under the device tag that nothing frees, as a driver bug would leave it.
  void* stray = ExAllocatePoolWithTag(NonPagedPool, 32, kDevicePoolTag);
  ASSERT_NE(stray, nullptr);
  EXPECT_EQ(camera().Remove(), 1u);
  auto violations = host::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].kind, host::verifier::ViolationKind::Leak);
  ExFreePoolWithTag(stray, kDevicePoolTag);
}

TEST_F(SpineTest, WithoutABusTheLowerDeviceFailsEveryRequest) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  PKSDEVICE ks = device().ks_device();
  EXPECT_EQ(ks->FunctionalDeviceObject->StackSize, ks->NextDeviceObject->StackSize + 1);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, ks->NextDeviceObject, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  NTSTATUS status = IoCallDriver(ks->NextDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(iosb.Status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(SpineTest, TheHostCatchesAnUnbalancedDeviceAcquire) {
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  PKSDEVICE ks = device().ks_device();
  KsReleaseDevice(ks);  // never acquired
  EXPECT_EQ(host::verifier::TakeViolations().size(), 1u);
  KsAcquireDevice(ks);  // left held across Start, as a driver bug would
  camera().Start();
  auto violations = host::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("Start returned with the device acquired"), std::string::npos);
  KsReleaseDevice(ks);
  EXPECT_TRUE(host::verifier::TakeViolations().empty());
}

TEST_F(SpineTest, HostRefusesOutOfOrderCalls) {
  EXPECT_EQ(camera().Start(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(camera().Stop(), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(camera().Add(), STATUS_SUCCESS);
  EXPECT_EQ(camera().Add(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(camera().Stop(), STATUS_INVALID_DEVICE_STATE);
}

TEST(DriverEntryTest, ResetsTheFrameTimeoutAndRegistersTheDescriptor) {
  InterlockedExchange(&FrameTimeout, 700);
  client::Host host(client::HostOptions{1, FreshSettingsFile()});
  ASSERT_EQ(host.LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(ReadAcquire(&FrameTimeout), 3000);
  const KSDEVICE_DESCRIPTOR* descriptor = host.ks_host().device_descriptor();
  ASSERT_NE(descriptor, nullptr);
  EXPECT_EQ(descriptor->FilterDescriptorsCount, 0u);
  EXPECT_EQ(descriptor->FilterDescriptors, nullptr);
  const KSDEVICE_DISPATCH* d = descriptor->Dispatch;
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d->Add, nullptr);
  EXPECT_NE(d->Start, nullptr);
  EXPECT_NE(d->Stop, nullptr);
  EXPECT_NE(d->QueryCapabilities, nullptr);
  EXPECT_EQ(d->PostStart, nullptr);
  EXPECT_EQ(d->Remove, nullptr);
  EXPECT_EQ(d->SurpriseRemoval, nullptr);
  EXPECT_EQ(d->QueryInterface, nullptr);
}

}  // namespace
}  // namespace kscam::testing

namespace kscam::testing {
namespace {

class TwoSlotTest : public SpineTest {
 protected:
  TwoSlotTest() : SpineTest(2) {}
};

TEST_F(TwoSlotTest, EachCameraOpensItsOwnDriverKey) {
  ASSERT_EQ(camera(0).Add(), STATUS_SUCCESS);
  ASSERT_EQ(camera(1).Add(), STATUS_SUCCESS);
  for (int slot = 0; slot < 2; ++slot) {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Cam(slot)->usb.physical_device, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(host::registry::KeyHandlePath(key), host::registry::DriverKeyPath(slot));
    ZwClose(key);
  }
  EXPECT_EQ(camera(0).Remove(), 0u);
  EXPECT_EQ(camera(1).Remove(), 0u);
}

}  // namespace
}  // namespace kscam::testing
