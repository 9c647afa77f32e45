// The host's USB stack seen from below a function driver: URBs and port requests sent as IRPs
// to a port's device object, completed asynchronously on the bus thread.
#include <gtest/gtest.h>

#include <cstring>

#include "host/kernel/host_kernel.h"
#include "host/usb/scripted_device.h"
#include "host/usb/usb_bus.h"
#include "platform/usb.h"

namespace kscam::usb {
namespace {

// One request in flight: its own IRP, a completion routine that records the IRQL it ran at.
class Request {
 public:
  explicit Request(PDEVICE_OBJECT target, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB, PVOID argument = nullptr)
      : target_(target) {
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp_, &Request::Completed, this, TRUE, TRUE, TRUE);
  }
  ~Request() { IoFreeIrp(irp_); }

  NTSTATUS Send() { return returned_ = IofCallDriver(target_, irp_); }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    return irp_->IoStatus.Status;
  }
  NTSTATUS SendAndWait() {
    Send();
    return Wait();
  }
  bool Done() { return KeReadStateEvent(&done_) != 0; }
  PIRP irp() { return irp_; }
  KIRQL completion_irql() const { return irql_; }
  NTSTATUS returned() const { return returned_; }

 private:
  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* self = static_cast<Request*>(context);
    self->irql_ = KeGetCurrentIrql();
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  PDEVICE_OBJECT target_;
  PIRP irp_;
  KEVENT done_;
  KIRQL irql_ = 0xFF;
  NTSTATUS returned_ = STATUS_SUCCESS;
};

struct Urbs {
  static _URB_CONTROL_DESCRIPTOR_REQUEST Descriptor(UCHAR type, void* buffer, ULONG length) {
    _URB_CONTROL_DESCRIPTOR_REQUEST u{};
    u.Hdr.Length = sizeof u;
    u.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    u.DescriptorType = type;
    u.TransferBuffer = buffer;
    u.TransferBufferLength = length;
    return u;
  }
  static _URB_BULK_OR_INTERRUPT_TRANSFER Bulk(USBD_PIPE_HANDLE pipe, bool in, void* buffer, ULONG length,
                                              bool short_ok = true) {
    _URB_BULK_OR_INTERRUPT_TRANSFER u{};
    u.Hdr.Length = sizeof u;
    u.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    u.PipeHandle = pipe;
    u.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : 0) | (short_ok ? USBD_SHORT_TRANSFER_OK : 0);
    u.TransferBuffer = buffer;
    u.TransferBufferLength = length;
    return u;
  }
  static _URB_PIPE_REQUEST Pipe(USHORT function, USBD_PIPE_HANDLE pipe) {
    _URB_PIPE_REQUEST u{};
    u.Hdr.Length = sizeof u;
    u.Hdr.Function = function;
    u.PipeHandle = pipe;
    return u;
  }
};

class UsbBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = std::make_shared<ScriptedDevice>();
    port = &bus.Attach(device);
  }
  void TearDown() override {
    if (select) ExFreePool(select);
  }
  PDEVICE_OBJECT target() { return port->DeviceObject(); }

  // Selects the device's configuration through the USBD helpers, as a driver does.
  NTSTATUS Configure() {
    config = device->ConfigurationDescriptor();
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    select = USBD_CreateConfigurationRequestEx(cd, list);
    interface_info = list[0].Interface;
    Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, select);
    return r.SendAndWait();
  }
  USBD_PIPE_HANDLE Pipe(int i) {
    PUSBD_PIPE_INFORMATION pipes = interface_info->Pipes;
    return pipes[i].PipeHandle;
  }

  UsbBus bus;
  std::shared_ptr<ScriptedDevice> device;
  UsbPort* port = nullptr;
  std::vector<uint8_t> config;
  PURB select = nullptr;
  PUSBD_INTERFACE_INFORMATION interface_info = nullptr;
};

TEST_F(UsbBusTest, DescriptorsAreCopiedUpToTheLengthAsked) {
  uint8_t buffer[64];
  std::memset(buffer, 0xCC, sizeof buffer);
  auto urb = Urbs::Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, buffer, 64);
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
  EXPECT_EQ(r.Send(), STATUS_PENDING);
  EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r.completion_irql(), DISPATCH_LEVEL);
  EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.TransferBufferLength, 18u);
  EXPECT_EQ(buffer[0], 18);
  EXPECT_EQ(buffer[18], 0xCC);

  auto partial = Urbs::Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, 9);
  Request r2(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &partial);
  EXPECT_EQ(r2.SendAndWait(), STATUS_SUCCESS);
  EXPECT_EQ(partial.TransferBufferLength, 9u);
  EXPECT_EQ(buffer[2] | buffer[3] << 8, int(device->ConfigurationDescriptor().size()));

  auto strings = Urbs::Descriptor(USB_STRING_DESCRIPTOR_TYPE, buffer, 64);
  Request r3(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &strings);
  EXPECT_FALSE(NT_SUCCESS(r3.SendAndWait()));
  EXPECT_TRUE(USBD_ERROR(strings.Hdr.Status));
}

TEST_F(UsbBusTest, SelectConfigurationFillsPipesAndUnconfigureMakesThemStale) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  ASSERT_EQ(interface_info->NumberOfPipes, 3u);
  EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(interface_info->Class, 0xFF);
  PUSBD_PIPE_INFORMATION pipes = interface_info->Pipes;
  EXPECT_EQ(pipes[0].EndpointAddress, 0x01);
  EXPECT_EQ(pipes[1].EndpointAddress, 0x81);
  EXPECT_EQ(pipes[2].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipes[2].MaximumPacketSize, 512);
  EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);

  ConfigurationView view = port->Configuration();
  ASSERT_TRUE(view.configured);
  ASSERT_EQ(view.interfaces.size(), 1u);
  ASSERT_EQ(view.interfaces[0].pipes.size(), 3u);
  EXPECT_TRUE(view.interfaces[0].pipes[2].in());
  const std::string text = DescribeConfiguration(view);
  EXPECT_NE(text.find("pipe 2: endpoint 0x82 bulk in"), std::string::npos) << text;

  _URB_SELECT_CONFIGURATION none{};
  none.Hdr.Length = sizeof none;
  none.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &none);
  EXPECT_EQ(r.SendAndWait(), STATUS_SUCCESS);
  EXPECT_EQ(device->Configuration(), 0);
  EXPECT_FALSE(port->Configuration().configured);

  uint8_t packet[64] = {};
  auto stale = Urbs::Bulk(Pipe(0), false, packet, 64);
  Request r2(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &stale);
  EXPECT_EQ(r2.SendAndWait(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBusTest, BulkTransfersMoveDataBothWaysAndHonourShortTransfers) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t out[64];
  for (int i = 0; i < 64; ++i) out[i] = uint8_t(i);
  auto send = Urbs::Bulk(Pipe(0), false, out, 64);
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &send);
  EXPECT_EQ(r.SendAndWait(), STATUS_SUCCESS);
  ASSERT_EQ(device->OutLog().size(), 1u);
  EXPECT_EQ(device->OutLog()[0].second, std::vector<uint8_t>(out, out + 64));

  // Through an MDL, short transfer allowed.
  std::vector<uint8_t> in(4096, 0);
  PMDL mdl = IoAllocateMdl(in.data(), 4096, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  device->QueueIn(0x82, std::vector<uint8_t>(1000, 0xAB));
  auto read = Urbs::Bulk(Pipe(2), true, nullptr, 4096);
  read.TransferBufferMDL = mdl;
  Request r2(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &read);
  EXPECT_EQ(r2.SendAndWait(), STATUS_SUCCESS);
  EXPECT_EQ(read.TransferBufferLength, 1000u);
  EXPECT_EQ(in[999], 0xAB);
  EXPECT_EQ(in[1000], 0);
  IoFreeMdl(mdl);

  // Short without USBD_SHORT_TRANSFER_OK is an error.
  device->QueueIn(0x82, std::vector<uint8_t>(10, 1));
  auto strict = Urbs::Bulk(Pipe(2), true, in.data(), 64, false);
  Request r3(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &strict);
  EXPECT_FALSE(NT_SUCCESS(r3.SendAndWait()));
  EXPECT_TRUE(USBD_ERROR(strict.Hdr.Status));

  // Direction flag against the endpoint's direction.
  auto wrong = Urbs::Bulk(Pipe(1), false, in.data(), 64);
  Request r4(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &wrong);
  EXPECT_EQ(r4.SendAndWait(), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, CancellingAPendingTransferCompletesItCancelled) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t buffer[64];
  auto read = Urbs::Bulk(Pipe(1), true, buffer, 64);
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &read);
  EXPECT_EQ(r.Send(), STATUS_PENDING);
  EXPECT_FALSE(r.Done());
  EXPECT_EQ(port->OutstandingTransfers(), 1u);
  EXPECT_TRUE(IoCancelIrp(r.irp()));
  EXPECT_EQ(r.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(read.Hdr.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(port->OutstandingTransfers(), 0u);
  EXPECT_EQ(device->WaitingTransfers(), 0u);
}

TEST_F(UsbBusTest, StalledPipeAcceptsThenFailsUntilReset) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  device->Stall(0x82);
  uint8_t buffer[64];
  auto read = Urbs::Bulk(Pipe(2), true, buffer, 64);
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &read);
  EXPECT_EQ(r.Send(), STATUS_PENDING);
  EXPECT_FALSE(NT_SUCCESS(r.Wait()));
  EXPECT_EQ(read.Hdr.Status, USBD_STATUS_STALL_PID);

  auto reset = Urbs::Pipe(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(2));
  Request r2(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &reset);
  EXPECT_EQ(r2.SendAndWait(), STATUS_SUCCESS);
  device->QueueIn(0x82, std::vector<uint8_t>(64, 5));
  auto again = Urbs::Bulk(Pipe(2), true, buffer, 64);
  Request r3(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &again);
  EXPECT_EQ(r3.SendAndWait(), STATUS_SUCCESS);
}

TEST_F(UsbBusTest, AbortCompletesAfterThePipesTransfersCameBack) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t a[64], b[64];
  auto ra = Urbs::Bulk(Pipe(2), true, a, 64);
  auto rb = Urbs::Bulk(Pipe(2), true, b, 64);
  Request first(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &ra);
  Request second(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &rb);
  first.Send();
  second.Send();
  auto abort = Urbs::Pipe(URB_FUNCTION_ABORT_PIPE, Pipe(2));
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &abort);
  EXPECT_EQ(r.SendAndWait(), STATUS_SUCCESS);
  EXPECT_TRUE(first.Done());
  EXPECT_TRUE(second.Done());
  EXPECT_EQ(first.Wait(), STATUS_CANCELLED);
}

TEST_F(UsbBusTest, DisconnectedDeviceFailsEverythingAndReportsItsPort) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t buffer[64];
  auto pending = Urbs::Bulk(Pipe(1), true, buffer, 64);
  Request waiting(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &pending);
  waiting.Send();
  device->SetConnected(false);
  EXPECT_EQ(waiting.Wait(), STATUS_DEVICE_NOT_CONNECTED);

  auto read = Urbs::Bulk(Pipe(1), true, buffer, 64);
  Request r(target(), IOCTL_INTERNAL_USB_SUBMIT_URB, &read);
  EXPECT_EQ(r.SendAndWait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(read.Hdr.Status, USBD_STATUS_DEVICE_GONE);

  ULONG status = 0xFF;
  Request port_status(target(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status);
  EXPECT_EQ(port_status.SendAndWait(), STATUS_SUCCESS);
  EXPECT_EQ(status, 0u);
  Request reset(target(), IOCTL_INTERNAL_USB_RESET_PORT);
  EXPECT_EQ(reset.SendAndWait(), STATUS_DEVICE_NOT_CONNECTED);

  // Plugged back in: connected on a disabled port until it is reset.
  device->SetConnected(true);
  Request port_status2(target(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status);
  port_status2.SendAndWait();
  EXPECT_EQ(status, ULONG(USBD_PORT_CONNECTED));
  Request reset2(target(), IOCTL_INTERNAL_USB_RESET_PORT);
  EXPECT_EQ(reset2.SendAndWait(), STATUS_SUCCESS);
  Request port_status3(target(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status);
  port_status3.SendAndWait();
  EXPECT_EQ(status, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
}

TEST(Usbd, ParseFindsInterfacesAndStopsAtMalformedDescriptors) {
  std::vector<uint8_t> d = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                            9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x01, 2, 0, 2, 0,
                            9, 4, 0, 1, 0, 0xFF, 0, 0, 0,
                            9, 4, 3, 0, 0, 0x0E, 1, 0, 0};
  d[2] = uint8_t(d.size());
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  auto* i0 = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
  ASSERT_NE(i0, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(i0) - d.data(), 9);
  auto* alt = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1);
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ(alt->bAlternateSetting, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x0E, -1, -1)->bInterfaceNumber, 3);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), nullptr);

  d[18] = 0;  // the endpoint's bLength: the walk cannot go on past it
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 3, 0, -1, -1, -1), nullptr);
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr);
}

TEST(Usbd, CreateRequestSizesInterfacesByTheirEndpoints) {
  std::vector<uint8_t> d = ScriptedDevice::BuildConfigurationDescriptor(ScriptedDevice::CameraEndpoints());
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, sizeof(_URB_SELECT_CONFIGURATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
  PUSBD_PIPE_INFORMATION pipes = list[0].Interface->Pipes;
  EXPECT_EQ(pipes[2].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  ExFreePool(urb);
}

}  // namespace
}  // namespace kscam::usb
