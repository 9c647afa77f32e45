// Configuration of the camera's USB device and the recovery requests, against the host's bus.
#include "tests/usb/camera_fixture.h"

namespace kscam::test {
namespace {

using usb::FaultAction;
using usb::RequestRecord;
using usb::ScriptedDevice;

std::vector<uint8_t> ConfigWith(std::vector<std::vector<uint8_t>> parts, uint8_t interfaces = 1) {
  std::vector<uint8_t> d = {9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
  for (auto& p : parts) d.insert(d.end(), p.begin(), p.end());
  d[2] = uint8_t(d.size());
  d[3] = uint8_t(d.size() >> 8);
  return d;
}
std::vector<uint8_t> Interface(uint8_t number, uint8_t endpoints, uint8_t alternate = 0) {
  return {9, 4, number, alternate, endpoints, 0xFF, 0, 0, 0};
}
std::vector<uint8_t> Endpoint(uint8_t address, uint8_t type = 2) { return {7, 5, address, type, 0x00, 0x02, 0}; }

std::vector<RequestRecord> DescriptorRequests(usb::UsbPort& port, uint8_t type) {
  std::vector<RequestRecord> out;
  for (auto& r : port.Log()) {
    if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.descriptor_type == type) out.push_back(r);
  }
  return out;
}

TEST(UsbSetup, ConfiguresTheCameraAndKeepsWhatTheRestOfTheTransportNeeds) {
  TestCamera t;
  ASSERT_EQ(t.Configure(), STATUS_SUCCESS);
  UsbTransport* usb = t.usb();
  const std::vector<uint8_t> expected = t.device().ConfigurationDescriptor();
  ASSERT_NE(usb->config_descriptor, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(usb->config_descriptor, usb->config_descriptor + expected.size()), expected);

  ASSERT_NE(usb->interface_info, nullptr);
  ASSERT_EQ(usb->interface_info->NumberOfPipes, 3u);
  const uint8_t endpoints[] = {kCommandEndpoint, kReplyEndpoint, kFrameEndpoint};
  for (ULONG i = 0; i < 3; ++i) {
    PUSBD_PIPE_INFORMATION pipe = PipeAt(usb, i);
    EXPECT_EQ(pipe->EndpointAddress, endpoints[i]);
    EXPECT_EQ(pipe->PipeType, UsbdPipeTypeBulk);
    EXPECT_NE(pipe->PipeHandle, nullptr);
    EXPECT_EQ(pipe->MaximumTransferSize, 0xFFFFFFFFu);
  }
  ASSERT_NE(usb->pipe_flags, nullptr);
  EXPECT_EQ(usb->pipe_flags[0] | usb->pipe_flags[1] | usb->pipe_flags[2], 0);
  EXPECT_EQ(t.device().Configuration(), 1);
  EXPECT_TRUE(t.port().Configuration().configured);

  // With every flag clear nothing is aborted; a marked pipe is aborted and its flag cleared.
  t.port().ClearLog();
  t.camera()->AbortPipes();
  EXPECT_EQ(t.CountUrbs(URB_FUNCTION_ABORT_PIPE), 0u);
  usb->pipe_flags[2] = 1;
  t.camera()->AbortPipes();
  ASSERT_EQ(t.CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u);
  EXPECT_EQ(t.port().Log().back().endpoint, kFrameEndpoint);
  EXPECT_EQ(usb->pipe_flags[2], 0);

  // Stop: the blocks go, the device is unconfigured.
  ReleaseUsbConfiguration(usb);
  DeconfigureUsbDevice(usb);
  EXPECT_EQ(usb->config_descriptor, nullptr);
  EXPECT_EQ(t.device().Configuration(), 0);
  EXPECT_FALSE(t.port().Configuration().configured);
  EXPECT_TRUE(t.port().Log().back().unconfigure);
}

TEST(UsbSetup, SecondDescriptorRequestAsksForExactlyTheTotalLength) {
  auto device = std::make_shared<ScriptedDevice>();
  // 34 bytes: configuration, interface, a 2-byte class descriptor, two endpoints.
  device->SetConfigurationDescriptor(ConfigWith({Interface(0, 2), {2, 0x24}, Endpoint(0x01), Endpoint(0x81)}));
  TestCamera t(device);
  ASSERT_EQ(t.Configure(), STATUS_SUCCESS);
  auto requests = DescriptorRequests(t.port(), USB_CONFIGURATION_DESCRIPTOR_TYPE);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].length, 9u);
  EXPECT_EQ(requests[1].length, 34u);
  EXPECT_EQ(std::vector<uint8_t>(t.usb()->config_descriptor, t.usb()->config_descriptor + 34),
            device->ConfigurationDescriptor());
  EXPECT_EQ(t.usb()->interface_info->NumberOfPipes, 2u);
}

TEST(UsbSetup, FailedRequestsLeaveTheDeviceUnconfiguredWithTheStacksStatus) {
  {
    TestCamera t;
    int seen = 0;
    t.port().SetFaultHook([&](const RequestRecord& r) -> std::optional<FaultAction> {
      if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.descriptor_type == 2 && ++seen == 2) {
        return FaultAction{FaultAction::Kind::Fail, STATUS_IO_DEVICE_ERROR, USBD_STATUS_STALL_PID};
      }
      return std::nullopt;
    });
    EXPECT_EQ(t.Configure(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(t.usb()->config_descriptor, nullptr);
    EXPECT_EQ(t.usb()->interface_info, nullptr);
    EXPECT_EQ(t.usb()->pipe_flags, nullptr);
  }
  {
    // A device that does not answer the device-descriptor request.
    TestCamera t;
    t.port().SetFaultHook([](const RequestRecord& r) -> std::optional<FaultAction> {
      if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        return FaultAction{FaultAction::Kind::Fail, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
      }
      return std::nullopt;
    });
    EXPECT_EQ(ReadDeviceDescriptor(t.usb()), STATUS_DEVICE_NOT_CONNECTED);
  }
  {
    // Selecting the configuration fails: the descriptor stays (Stop frees it), nothing else.
    TestCamera t;
    t.port().SetFaultHook([](const RequestRecord& r) -> std::optional<FaultAction> {
      if (r.function == URB_FUNCTION_SELECT_CONFIGURATION) {
        return FaultAction{FaultAction::Kind::Fail, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED};
      }
      return std::nullopt;
    });
    EXPECT_EQ(t.Configure(), STATUS_UNSUCCESSFUL);
    EXPECT_NE(t.usb()->config_descriptor, nullptr);
    EXPECT_EQ(t.usb()->interface_info, nullptr);
    EXPECT_EQ(t.usb()->pipe_flags, nullptr);
  }
}

TEST(UsbSetup, UntrustedConfigurationDescriptorsFailCleanly) {
  const std::vector<std::vector<uint8_t>> bad = {
      {9, 2, 5, 0, 1, 1, 0, 0x80, 50},                                                        // wTotalLength 5
      {9, 2, 0, 0, 1, 1, 0, 0x80, 50},                                                        // wTotalLength 0
      ConfigWith({Interface(0, 1), {0, 5, 0x01, 2, 0, 2, 0}}),                                // zero bLength inside
      ConfigWith({Interface(0, 1), {1, 5}}),                                                  // bLength 1
      ConfigWith({Interface(0, 1), {40, 5, 0x01, 2, 0, 2, 0}}),                               // runs past the end
      ConfigWith({Endpoint(0x01)}),                                                           // no interface
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    auto device = std::make_shared<ScriptedDevice>();
    device->SetConfigurationDescriptor(bad[i]);
    TestCamera t(device);
    EXPECT_FALSE(NT_SUCCESS(t.Configure()));
    EXPECT_EQ(t.usb()->interface_info, nullptr);
    EXPECT_EQ(t.usb()->pipe_flags, nullptr);
    EXPECT_FALSE(t.port().Configuration().configured);
  }
  {
    // The device returns fewer bytes than its header promised.
    auto device = std::make_shared<ScriptedDevice>();
    auto d = device->ConfigurationDescriptor();
    d[2] = uint8_t(d.size() + 10);
    device->SetConfigurationDescriptor(d);
    TestCamera t(device);
    EXPECT_EQ(t.Configure(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(t.usb()->config_descriptor, nullptr);
  }
}

TEST(UsbSetup, InterfaceSearchIsBoundedAndFindsSparseNumbers) {
  {
    // Interface number 7 only, while the header claims three interfaces: the search ends once
    // the one interface present is found.
    auto device = std::make_shared<ScriptedDevice>(std::vector<ScriptedDevice::Endpoint>{{0x01}, {0x81}, {0x82}});
    device->SetConfigurationDescriptor(ConfigWith({Interface(7, 3), Endpoint(0x01), Endpoint(0x81), Endpoint(0x82)}, 3));
    TestCamera t(device);
    ASSERT_EQ(t.Configure(), STATUS_SUCCESS);
    EXPECT_EQ(t.usb()->interface_info->InterfaceNumber, 7);
    EXPECT_EQ(t.usb()->interface_info->NumberOfPipes, 3u);
  }
  {
    // Only an alternate setting 1: nothing to select.
    auto device = std::make_shared<ScriptedDevice>();
    device->SetConfigurationDescriptor(ConfigWith({Interface(0, 1, 1), Endpoint(0x01)}));
    TestCamera t(device);
    EXPECT_EQ(t.Configure(), STATUS_DEVICE_DATA_ERROR);
  }
}

TEST(UsbSetup, PortIsResetOnlyWhenConnectedButDisabled) {
  TestCamera t;
  ASSERT_EQ(t.Configure(), STATUS_SUCCESS);
  for (ULONG status : {0x2u, 0x3u, 0x1u, 0x0u}) {
    SCOPED_TRACE(status);
    t.port().OverridePortStatus(status);
    t.port().ClearLog();
    EXPECT_EQ(ResetPort(t.usb()), STATUS_SUCCESS);
    size_t resets = 0;
    for (auto& r : t.port().Log()) resets += r.kind == RequestRecord::Kind::ResetPort;
    EXPECT_EQ(resets, status == 0x2 ? 1u : 0u);
  }
  t.port().OverridePortStatus(std::nullopt);
  // A real disabled port: reset, and it is enabled again.
  const int before = t.device().PortResetCount();
  t.port().DisablePort();
  EXPECT_EQ(ResetPort(t.usb()), STATUS_SUCCESS);
  EXPECT_EQ(t.device().PortResetCount(), before + 1);
  EXPECT_EQ(ResetPort(t.usb()), STATUS_SUCCESS);
  EXPECT_EQ(t.device().PortResetCount(), before + 1);
}

TEST(UsbSetup, OperationsWithoutConfigurationFail) {
  TestCamera t;
  t.camera()->AbortPipes();
  t.camera()->CancelFrameTransfer();
  EXPECT_EQ(ResetFramePipe(t.usb()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(t.port().Log().empty());
}

TEST(UsbSetup, PoolShortagesFailWithoutLeaks) {
  // Every allocation the set-up makes, failed in turn; the verifier checks that each path
  // freed what it had.
  for (uint64_t n = 1; n <= 12; ++n) {
    SCOPED_TRACE(n);
    TestCamera t;
    host::verifier::FailNthAllocation(n);
    NTSTATUS status = t.Configure();
    host::verifier::ResetFaultInjection();
    if (!NT_SUCCESS(status)) EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  }
}

}  // namespace
}  // namespace kscam::test
