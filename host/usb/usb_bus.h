// The host's USB stack: a bus with devices on ports, each port with the lower device object a
// function driver sends its internal I/O control requests to. URBs are turned into calls on the
// port's UsbDevice; every request answers STATUS_PENDING and is completed later on the bus
// thread at DISPATCH_LEVEL, as a host controller's completion would be.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/usb/usb_device.h"
#include "platform/usb.h"

namespace kscam::usb {

// Pool tag of the select-configuration requests USBD_CreateConfigurationRequestEx builds.
constexpr ULONG kUsbdPoolTag = KSCAM_POOL_TAG('U', 'S', 'B', 'D');

// One request a port received, in arrival order.
struct RequestRecord {
  enum class Kind { Urb, GetPortStatus, ResetPort, Unknown };
  Kind kind = Kind::Unknown;
  uint32_t io_control_code = 0;
  uint16_t function = 0;          // URB function (Kind::Urb)
  uint8_t descriptor_type = 0;    // GET_DESCRIPTOR_FROM_DEVICE
  uint32_t length = 0;            // bytes asked for: descriptor or transfer length
  uint8_t endpoint = 0;           // bulk transfers and pipe requests; 0 when the handle is unknown
  bool in = false;                // bulk transfers: USBD_TRANSFER_DIRECTION_IN was set
  bool short_ok = false;          // bulk transfers: USBD_SHORT_TRANSFER_OK was set
  bool uses_mdl = false;          // bulk transfers: the buffer came from TransferBufferMDL
  bool unconfigure = false;       // select configuration with no descriptor
  std::vector<uint8_t> data;      // host-to-device bulk bytes
};

// What a fault hook makes of a request before the stack looks at it.
struct FaultAction {
  enum class Kind {
    Fail,    // accepted (STATUS_PENDING), then completed with `status` and `usbd_status`
    Refuse,  // completed at once and IofCallDriver returns `status`
  };
  Kind kind = Kind::Fail;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbd_status = USBD_STATUS_DEV_NOT_RESPONDING;
};
using FaultHook = std::function<std::optional<FaultAction>(const RequestRecord&)>;

// The configuration the stack holds for a device, for diagnostics.
struct PipeView {
  uint8_t endpoint = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  uint16_t max_packet = 0;
  uint32_t max_transfer = 0;
  bool in() const { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};
struct InterfaceView {
  uint8_t number = 0;
  uint8_t alternate_setting = 0;
  uint8_t interface_class = 0;
  uint8_t subclass = 0;
  uint8_t protocol = 0;
  std::vector<PipeView> pipes;
};
struct ConfigurationView {
  bool connected = false;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t bcd_usb = 0;
  bool configured = false;
  uint8_t configuration_value = 0;
  std::vector<InterfaceView> interfaces;
};

// Human-readable names for the views ("bulk", "in").
const char* PipeTypeName(USBD_PIPE_TYPE type);
std::string DescribeConfiguration(const ConfigurationView& view);

class UsbBus;

// A port of the bus with the device plugged into it.
class UsbPort {
 public:
  UsbPort(const UsbPort&) = delete;
  UsbPort& operator=(const UsbPort&) = delete;
  ~UsbPort();

  // The device object a function driver attaches above: its next-lower device.
  PDEVICE_OBJECT DeviceObject() const { return device_object_; }
  UsbDevice& Device() const { return *device_; }
  int Number() const { return number_; }

  ConfigurationView Configuration() const;

  // Requests received so far, oldest first; ClearLog forgets them.
  std::vector<RequestRecord> Log() const;
  void ClearLog();

  // Consulted for every request; an empty hook lets everything through.
  void SetFaultHook(FaultHook hook);

  // The port's enable state. A port that is connected but disabled answers GET_PORT_STATUS with
  // USBD_PORT_CONNECTED alone until RESET_PORT enables it again.
  void DisablePort();
  // Replaces the reported port status (tests of the status bits); nullopt restores the real one.
  void OverridePortStatus(std::optional<ULONG> status);

  // Transfers handed to the device and not yet completed.
  size_t OutstandingTransfers() const;

 private:
  friend class UsbBus;
  struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    PipeView view;
  };
  struct Pending;

  UsbPort(UsbBus* bus, int number, std::shared_ptr<UsbDevice> device, PDRIVER_OBJECT driver);

  static NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device_object, PIRP irp);
  static VOID CancelTransfer(PDEVICE_OBJECT device_object, PIRP irp);

  NTSTATUS Dispatch(PIRP irp);
  RequestRecord Describe(PIRP irp);
  // Completes the IRP on the bus thread with the URB status set (when there is a URB).
  void CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information, USBD_STATUS usbd_status);
  void HandleUrb(PIRP irp, PURB urb);
  void GetDescriptor(PIRP irp, PURB urb);
  void SelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS SubmitTransfer(PIRP irp, PURB urb);
  void AbortPipe(PIRP irp, PURB urb);
  void ResetPipe(PIRP irp, PURB urb);
  void TransferDone(const std::shared_ptr<Pending>& pending, TransferStatus status, uint32_t actual);
  std::optional<Pipe> FindPipe(USBD_PIPE_HANDLE handle) const;
  bool PortConnected() const;
  void CancelAll();

  UsbBus* bus_;
  int number_;
  std::shared_ptr<UsbDevice> device_;
  PDEVICE_OBJECT device_object_ = nullptr;

  mutable std::mutex mu_;
  std::vector<Pipe> pipes_;
  std::vector<InterfaceView> interfaces_;
  uint8_t configuration_value_ = 0;
  uint32_t generation_ = 0;
  bool enabled_ = true;
  std::optional<ULONG> port_status_override_;
  std::map<PIRP, std::shared_ptr<Pending>> pending_;
  std::map<uint8_t, size_t> outstanding_;           // per endpoint
  std::map<uint8_t, std::vector<PIRP>> abort_waiters_;
  std::vector<RequestRecord> log_;
  FaultHook fault_hook_;
};

// The bus: owns its ports and the thread that completes their requests.
class UsbBus {
 public:
  UsbBus();
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Plugs a device into the next free port.
  UsbPort& Attach(std::shared_ptr<UsbDevice> device);
  std::vector<UsbPort*> Ports() const;
  // The port whose device object this is, or null.
  UsbPort* PortOf(PDEVICE_OBJECT device_object) const;

  // Runs `work` on the bus thread at DISPATCH_LEVEL, after the work queued before it.
  void Post(std::function<void()> work);
  // Waits until the bus thread has run everything queued so far.
  void Drain();

 private:
  void Run();

  DRIVER_OBJECT* driver_object_ = nullptr;
  mutable std::mutex ports_mu_;
  std::vector<std::unique_ptr<UsbPort>> ports_;

  std::mutex queue_mu_;
  std::condition_variable queue_cv_;
  std::condition_variable idle_cv_;
  std::deque<std::function<void()>> queue_;
  bool running_ = false;
  bool busy_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kscam::usb
