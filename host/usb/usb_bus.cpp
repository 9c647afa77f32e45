#include "host/usb/usb_bus.h"

#include "host/kernel/host_kernel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <sstream>

namespace kscam::usb {

namespace {

// Pipe handles are opaque tokens that name the port, the configuration generation and the pipe;
// a handle from an earlier configuration never matches a current pipe.
USBD_PIPE_HANDLE MakePipeHandle(int port, uint32_t generation, size_t index) {
  const uintptr_t value = (uintptr_t{0x5B} << 40) | (uintptr_t(port & 0xFF) << 32) |
                          (uintptr_t(generation & 0xFFFFFF) << 8) | uintptr_t(index + 1);
  return reinterpret_cast<USBD_PIPE_HANDLE>(value);
}

USBD_CONFIGURATION_HANDLE MakeConfigurationHandle(int port, uint32_t generation) {
  const uintptr_t value = (uintptr_t{0x5C} << 40) | (uintptr_t(port & 0xFF) << 32) | (uintptr_t(generation) << 8);
  return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(value);
}

// A descriptor walk over bytes the stack holds itself.
struct DescriptorWalk {
  const uint8_t* p;
  const uint8_t* end;
  // The next descriptor, or null at the end or at a malformed one.
  const uint8_t* Next() {
    if (end - p < 2 || p[0] < 2 || p[0] > end - p) return nullptr;
    const uint8_t* d = p;
    p += d[0];
    return d;
  }
};

PVOID TransferBufferOf(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return buffer;
  if (mdl != nullptr) return host::MdlSystemAddress(mdl);
  return nullptr;
}

}  // namespace

const char* PipeTypeName(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeControl: return "control";
    case UsbdPipeTypeIsochronous: return "isochronous";
    case UsbdPipeTypeBulk: return "bulk";
    case UsbdPipeTypeInterrupt: return "interrupt";
  }
  return "unknown";
}

std::string DescribeConfiguration(const ConfigurationView& view) {
  std::ostringstream out;
  char id[32];
  std::snprintf(id, sizeof id, "%04x:%04x", view.vendor_id, view.product_id);
  out << "device " << id << (view.connected ? "" : " (disconnected)") << "\n";
  if (!view.configured) {
    out << "configuration: none selected\n";
    return out.str();
  }
  out << "configuration " << int(view.configuration_value) << "\n";
  for (const InterfaceView& i : view.interfaces) {
    out << "  interface " << int(i.number) << " alternate " << int(i.alternate_setting) << ", " << i.pipes.size()
        << " pipes\n";
    for (size_t k = 0; k < i.pipes.size(); ++k) {
      const PipeView& p = i.pipes[k];
      char ep[8];
      std::snprintf(ep, sizeof ep, "0x%02x", p.endpoint);
      out << "    pipe " << k << ": endpoint " << ep << " " << PipeTypeName(p.type) << " " << (p.in() ? "in" : "out")
          << ", max packet " << p.max_packet << "\n";
    }
  }
  return out.str();
}

// A bulk transfer the port handed to its device.
struct UsbPort::Pending {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  uint8_t endpoint = 0;
  bool short_ok = false;
  bool cancel_requested = false;
  std::shared_ptr<Transfer> transfer;
};

// ---------------------------------------------------------------------------------------------
// Bus

UsbBus::UsbBus() {
  driver_object_ = host::CreateDriverObject(u"\\Driver\\usbhub");
  driver_object_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &UsbPort::DispatchInternalControl;
  thread_ = std::thread([this] { Run(); });
}

UsbBus::~UsbBus() {
  // Every request still held is cancelled and completed before the thread goes away, so no
  // caller is left waiting and no device calls back into a destroyed port.
  std::vector<UsbPort*> ports = Ports();
  for (UsbPort* port : ports) port->CancelAll();
  for (;;) {
    Drain();
    size_t outstanding = 0;
    for (UsbPort* port : ports) outstanding += port->OutstandingTransfers();
    if (outstanding == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard lock(queue_mu_);
    stop_ = true;
  }
  queue_cv_.notify_all();
  thread_.join();
  ports_.clear();
  host::DeleteDriverObject(driver_object_);
}

UsbPort& UsbBus::Attach(std::shared_ptr<UsbDevice> device) {
  std::lock_guard lock(ports_mu_);
  const int number = static_cast<int>(ports_.size()) + 1;
  ports_.push_back(std::unique_ptr<UsbPort>(new UsbPort(this, number, std::move(device), driver_object_)));
  return *ports_.back();
}

std::vector<UsbPort*> UsbBus::Ports() const {
  std::lock_guard lock(ports_mu_);
  std::vector<UsbPort*> out;
  for (const auto& p : ports_) out.push_back(p.get());
  return out;
}

UsbPort* UsbBus::PortOf(PDEVICE_OBJECT device_object) const {
  std::lock_guard lock(ports_mu_);
  for (const auto& p : ports_) {
    if (p->DeviceObject() == device_object) return p.get();
  }
  return nullptr;
}

void UsbBus::Post(std::function<void()> work) {
  // Signalled under the lock: a device thread that posts a transfer's last completion must be
  // done with the bus before the destructor, which waits for that completion, can destroy it.
  std::lock_guard lock(queue_mu_);
  queue_.push_back(std::move(work));
  queue_cv_.notify_one();
}

void UsbBus::Drain() {
  std::unique_lock lock(queue_mu_);
  idle_cv_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void UsbBus::Run() {
  std::unique_lock lock(queue_mu_);
  for (;;) {
    queue_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) {
      if (stop_) break;
      continue;
    }
    std::function<void()> work = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    // Completion context: DISPATCH_LEVEL, as a host controller's deferred procedure runs.
    host::RunAtDispatchLevel(work);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_cv_.notify_all();
  }
}

// ---------------------------------------------------------------------------------------------
// Port

UsbPort::UsbPort(UsbBus* bus, int number, std::shared_ptr<UsbDevice> device, PDRIVER_OBJECT driver)
    : bus_(bus), number_(number), device_(std::move(device)) {
  // The extension holds the port the device object belongs to.
  device_object_ = host::CreateDeviceObject(driver, sizeof(UsbPort*), 1, FILE_DEVICE_USB);
  *static_cast<UsbPort**>(device_object_->DeviceExtension) = this;
}

UsbPort::~UsbPort() { host::DeleteDeviceObject(device_object_); }

ConfigurationView UsbPort::Configuration() const {
  ConfigurationView view;
  view.connected = device_->Connected();
  const std::vector<uint8_t> d = device_->DeviceDescriptor();
  if (d.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
    USB_DEVICE_DESCRIPTOR dd;
    std::memcpy(&dd, d.data(), sizeof dd);
    view.vendor_id = dd.idVendor;
    view.product_id = dd.idProduct;
    view.bcd_usb = dd.bcdUSB;
  }
  std::lock_guard lock(mu_);
  view.configured = configuration_value_ != 0;
  view.configuration_value = configuration_value_;
  view.interfaces = interfaces_;
  return view;
}

std::vector<RequestRecord> UsbPort::Log() const {
  std::lock_guard lock(mu_);
  return log_;
}

void UsbPort::ClearLog() {
  std::lock_guard lock(mu_);
  log_.clear();
}

void UsbPort::SetFaultHook(FaultHook hook) {
  std::lock_guard lock(mu_);
  fault_hook_ = std::move(hook);
}

void UsbPort::DisablePort() {
  std::lock_guard lock(mu_);
  enabled_ = false;
}

void UsbPort::OverridePortStatus(std::optional<ULONG> status) {
  std::lock_guard lock(mu_);
  port_status_override_ = status;
}

size_t UsbPort::OutstandingTransfers() const {
  std::lock_guard lock(mu_);
  return pending_.size();
}

bool UsbPort::PortConnected() const { return device_->Connected(); }

std::optional<UsbPort::Pipe> UsbPort::FindPipe(USBD_PIPE_HANDLE handle) const {
  std::lock_guard lock(mu_);
  for (const Pipe& p : pipes_) {
    if (p.handle == handle) return p;
  }
  return std::nullopt;
}

void UsbPort::CancelAll() {
  std::lock_guard lock(mu_);
  for (auto& [irp, pending] : pending_) {
    pending->cancel_requested = true;
    device_->Cancel(pending->transfer.get());
  }
}

NTSTATUS UsbPort::DispatchInternalControl(PDEVICE_OBJECT device_object, PIRP irp) {
  return (*static_cast<UsbPort**>(device_object->DeviceExtension))->Dispatch(irp);
}

RequestRecord UsbPort::Describe(PIRP irp) {
  RequestRecord r;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  r.io_control_code = stack->Parameters.DeviceIoControl.IoControlCode;
  switch (r.io_control_code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: r.kind = RequestRecord::Kind::GetPortStatus; return r;
    case IOCTL_INTERNAL_USB_RESET_PORT: r.kind = RequestRecord::Kind::ResetPort; return r;
    case IOCTL_INTERNAL_USB_SUBMIT_URB: break;
    default: return r;
  }
  r.kind = RequestRecord::Kind::Urb;
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb == nullptr) return r;
  r.function = urb->UrbHeader.Function;
  switch (r.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      if (urb->UrbHeader.Length >= sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
        r.descriptor_type = urb->UrbControlDescriptorRequest.DescriptorType;
        r.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
      }
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      r.unconfigure = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
      break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      if (urb->UrbHeader.Length >= sizeof(_URB_PIPE_REQUEST)) {
        if (auto pipe = FindPipe(urb->UrbPipeRequest.PipeHandle)) r.endpoint = pipe->view.endpoint;
      }
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      if (urb->UrbHeader.Length >= sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
        const auto& t = urb->UrbBulkOrInterruptTransfer;
        if (auto pipe = FindPipe(t.PipeHandle)) r.endpoint = pipe->view.endpoint;
        r.length = t.TransferBufferLength;
        r.in = USBD_TRANSFER_DIRECTION_FLAG(t.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        r.short_ok = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        r.uses_mdl = t.TransferBuffer == nullptr && t.TransferBufferMDL != nullptr;
        auto* data = static_cast<const uint8_t*>(TransferBufferOf(t.TransferBuffer, t.TransferBufferMDL));
        if (!r.in && data != nullptr) r.data.assign(data, data + std::min<uint32_t>(t.TransferBufferLength, 64));
      }
      break;
    default: break;
  }
  return r;
}

void UsbPort::CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information, USBD_STATUS usbd_status) {
  bus_->Post([irp, status, information, usbd_status] {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
      auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
      if (urb != nullptr) urb->UrbHeader.Status = usbd_status;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  });
}

NTSTATUS UsbPort::Dispatch(PIRP irp) {
  RequestRecord record = Describe(irp);
  FaultHook hook;
  {
    std::lock_guard lock(mu_);
    log_.push_back(record);
    hook = fault_hook_;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (hook) {
    if (std::optional<FaultAction> fault = hook(record)) {
      if (fault->kind == FaultAction::Kind::Refuse) {
        if (record.kind == RequestRecord::Kind::Urb && stack->Parameters.Others.Argument1 != nullptr) {
          static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Status = fault->usbd_status;
        }
        irp->IoStatus.Status = fault->status;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return fault->status;
      }
      IoMarkIrpPending(irp);
      CompleteLater(irp, fault->status, 0, fault->usbd_status);
      return STATUS_PENDING;
    }
  }

  IoMarkIrpPending(irp);
  switch (record.kind) {
    case RequestRecord::Kind::GetPortStatus: {
      auto* out = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (out == nullptr) {
        CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, 0);
        break;
      }
      ULONG status = 0;
      {
        std::lock_guard lock(mu_);
        const bool connected = PortConnected();
        if (!connected) enabled_ = false;
        status = (connected ? USBD_PORT_CONNECTED : 0) | (connected && enabled_ ? USBD_PORT_ENABLED : 0);
        if (port_status_override_) status = *port_status_override_;
      }
      // The status lands in the caller's word when the request completes, not before.
      bus_->Post([this, irp, out, status] {
        *out = status;
        CompleteLater(irp, STATUS_SUCCESS, 0, 0);
      });
      break;
    }
    case RequestRecord::Kind::ResetPort:
      bus_->Post([this, irp] {
        if (!PortConnected()) {
          CompleteLater(irp, STATUS_DEVICE_NOT_CONNECTED, 0, 0);
          return;
        }
        device_->PortReset();
        {
          std::lock_guard lock(mu_);
          enabled_ = true;
        }
        CompleteLater(irp, STATUS_SUCCESS, 0, 0);
      });
      break;
    case RequestRecord::Kind::Urb: {
      auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
      if (urb == nullptr) {
        CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, 0);
        break;
      }
      if (!PortConnected()) {
        CompleteLater(irp, STATUS_DEVICE_NOT_CONNECTED, 0, USBD_STATUS_DEVICE_GONE);
        break;
      }
      if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return SubmitTransfer(irp, urb);
      bus_->Post([this, irp, urb] { HandleUrb(irp, urb); });
      break;
    }
    case RequestRecord::Kind::Unknown:
      CompleteLater(irp, STATUS_INVALID_DEVICE_REQUEST, 0, 0);
      break;
  }
  return STATUS_PENDING;
}

void UsbPort::HandleUrb(PIRP irp, PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: GetDescriptor(irp, urb); return;
    case URB_FUNCTION_SELECT_CONFIGURATION: SelectConfiguration(irp, urb); return;
    case URB_FUNCTION_ABORT_PIPE: AbortPipe(irp, urb); return;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: ResetPipe(irp, urb); return;
    default: CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_URB_FUNCTION); return;
  }
}

void UsbPort::GetDescriptor(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  auto& r = urb->UrbControlDescriptorRequest;
  std::vector<uint8_t> bytes;
  if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0) {
    bytes = device_->DeviceDescriptor();
  } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r.Index == 0) {
    bytes = device_->ConfigurationDescriptor();
  } else {
    // The device stalls the control pipe for a descriptor it does not have.
    r.TransferBufferLength = 0;
    CompleteLater(irp, STATUS_UNSUCCESSFUL, 0, USBD_STATUS_STALL_PID);
    return;
  }
  auto* out = static_cast<uint8_t*>(TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL));
  if (out == nullptr && r.TransferBufferLength != 0) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  const uint32_t n = std::min<uint32_t>(r.TransferBufferLength, static_cast<uint32_t>(bytes.size()));
  if (n != 0) std::memcpy(out, bytes.data(), n);
  r.TransferBufferLength = n;
  CompleteLater(irp, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS);
}

void UsbPort::SelectConfiguration(PIRP irp, PURB urb) {
  auto& s = urb->UrbSelectConfiguration;
  if (s.ConfigurationDescriptor == nullptr) {
    // Unconfigure: the device cancels what is pending, and every pipe handle becomes stale.
    if (urb->UrbHeader.Length < sizeof(_URB_HEADER) + sizeof(PVOID)) {
      CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PARAMETER);
      return;
    }
    device_->SetConfiguration(0);
    {
      std::lock_guard lock(mu_);
      pipes_.clear();
      interfaces_.clear();
      configuration_value_ = 0;
      ++generation_;
    }
    CompleteLater(irp, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS);
    return;
  }

  const auto fail = [&](USBD_STATUS usbd) { CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, usbd); };
  const USB_CONFIGURATION_DESCRIPTOR* config = s.ConfigurationDescriptor;
  if (urb->UrbHeader.Length < sizeof(_URB_SELECT_CONFIGURATION) || config->bLength < 9 ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || config->wTotalLength < 9 ||
      config->bNumInterfaces == 0) {
    fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    return;
  }

  // Interface descriptors of the caller's configuration descriptor with their endpoints.
  struct Found {
    const USB_INTERFACE_DESCRIPTOR* iface;
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  };
  std::vector<Found> found;
  {
    const auto* base = reinterpret_cast<const uint8_t*>(config);
    DescriptorWalk walk{base + config->bLength, base + config->wTotalLength};
    const uint8_t* d;
    while ((d = walk.Next()) != nullptr) {
      if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
        found.push_back({reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d), {}});
      } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) && !found.empty()) {
        found.back().endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d));
      }
    }
  }

  // Fill each interface record of the request from the matching interface descriptor.
  std::vector<Pipe> pipes;
  std::vector<InterfaceView> interfaces;
  const uint32_t generation = [&] {
    std::lock_guard lock(mu_);
    return generation_ + 1;
  }();
  auto* info = &s.Interface;
  auto* urb_end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
  // One record per interface the request carries: bNumInterfaces at most, fewer when the
  // caller found fewer in the descriptor.
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    if (i > 0 && reinterpret_cast<uint8_t*>(info) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb_end) break;
    if (reinterpret_cast<uint8_t*>(info) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb_end ||
        info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        reinterpret_cast<uint8_t*>(info) + info->Length > urb_end) {
      fail(USBD_STATUS_BUFFER_TOO_SMALL);
      return;
    }
    const Found* match = nullptr;
    for (const Found& f : found) {
      if (f.iface->bInterfaceNumber == info->InterfaceNumber && f.iface->bAlternateSetting == info->AlternateSetting) {
        match = &f;
        break;
      }
    }
    if (match == nullptr) {
      fail(USBD_STATUS_INTERFACE_NOT_FOUND);
      return;
    }
    const size_t endpoints = match->iface->bNumEndpoints;
    if (match->endpoints.size() < endpoints || info->Length < GET_USBD_INTERFACE_SIZE(endpoints)) {
      fail(USBD_STATUS_BUFFER_TOO_SMALL);
      return;
    }
    InterfaceView view;
    view.number = match->iface->bInterfaceNumber;
    view.alternate_setting = match->iface->bAlternateSetting;
    view.interface_class = match->iface->bInterfaceClass;
    view.subclass = match->iface->bInterfaceSubClass;
    view.protocol = match->iface->bInterfaceProtocol;
    info->Class = view.interface_class;
    info->SubClass = view.subclass;
    info->Protocol = view.protocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        reinterpret_cast<uintptr_t>(MakeConfigurationHandle(number_, generation)) | (i + 1));
    info->NumberOfPipes = static_cast<ULONG>(endpoints);
    PUSBD_PIPE_INFORMATION out = info->Pipes;
    for (size_t k = 0; k < endpoints; ++k) {
      const USB_ENDPOINT_DESCRIPTOR* e = match->endpoints[k];
      Pipe pipe;
      pipe.handle = MakePipeHandle(number_, generation, pipes.size());
      pipe.view.endpoint = e->bEndpointAddress;
      pipe.view.type = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe.view.max_packet = e->wMaxPacketSize;
      pipe.view.max_transfer = out[k].MaximumTransferSize;
      out[k].MaximumPacketSize = e->wMaxPacketSize;
      out[k].EndpointAddress = e->bEndpointAddress;
      out[k].Interval = e->bInterval;
      out[k].PipeType = pipe.view.type;
      out[k].PipeHandle = pipe.handle;
      pipes.push_back(pipe);
      view.pipes.push_back(pipe.view);
    }
    interfaces.push_back(std::move(view));
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(info) + info->Length);
  }

  if (!device_->SetConfiguration(config->bConfigurationValue)) {
    CompleteLater(irp, STATUS_UNSUCCESSFUL, 0, USBD_STATUS_SET_CONFIG_FAILED);
    return;
  }
  {
    std::lock_guard lock(mu_);
    generation_ = generation;
    pipes_ = std::move(pipes);
    interfaces_ = std::move(interfaces);
    configuration_value_ = config->bConfigurationValue;
  }
  s.ConfigurationHandle = MakeConfigurationHandle(number_, generation);
  CompleteLater(irp, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS);
}

void UsbPort::AbortPipe(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  std::optional<Pipe> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PIPE_HANDLE);
    return;
  }
  // The abort completes once every transfer of the pipe has come back.
  const uint8_t ep = pipe->view.endpoint;
  device_->AbortPipe(ep);
  std::lock_guard lock(mu_);
  if (outstanding_[ep] == 0) {
    CompleteLater(irp, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS);
  } else {
    abort_waiters_[ep].push_back(irp);
  }
}

void UsbPort::ResetPipe(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  std::optional<Pipe> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, USBD_STATUS_INVALID_PIPE_HANDLE);
    return;
  }
  device_->ResetPipe(pipe->view.endpoint);
  CompleteLater(irp, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS);
}

NTSTATUS UsbPort::SubmitTransfer(PIRP irp, PURB urb) {
  const auto invalid = [&](USBD_STATUS usbd) {
    CompleteLater(irp, STATUS_INVALID_PARAMETER, 0, usbd);
    return STATUS_PENDING;
  };
  if (urb->UrbHeader.Length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) return invalid(USBD_STATUS_INVALID_PARAMETER);
  auto& t = urb->UrbBulkOrInterruptTransfer;
  std::optional<Pipe> pipe = FindPipe(t.PipeHandle);
  if (!pipe) return invalid(USBD_STATUS_INVALID_PIPE_HANDLE);
  if (pipe->view.type != UsbdPipeTypeBulk && pipe->view.type != UsbdPipeTypeInterrupt) {
    return invalid(USBD_STATUS_INVALID_PARAMETER);
  }
  const bool in = USBD_TRANSFER_DIRECTION_FLAG(t.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  if (in != pipe->view.in()) return invalid(USBD_STATUS_INVALID_PARAMETER);
  if (t.TransferBufferLength > pipe->view.max_transfer) return invalid(USBD_STATUS_INVALID_PARAMETER);
  auto* buffer = static_cast<uint8_t*>(TransferBufferOf(t.TransferBuffer, t.TransferBufferMDL));
  if (t.TransferBuffer == nullptr && t.TransferBufferMDL != nullptr &&
      MmGetMdlByteCount(t.TransferBufferMDL) < t.TransferBufferLength) {
    return invalid(USBD_STATUS_BUFFER_TOO_SMALL);
  }
  if (buffer == nullptr && t.TransferBufferLength != 0) return invalid(USBD_STATUS_INVALID_PARAMETER);

  auto pending = std::make_shared<Pending>();
  pending->irp = irp;
  pending->urb = urb;
  pending->endpoint = pipe->view.endpoint;
  pending->short_ok = (t.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  pending->transfer = std::make_shared<Transfer>();
  pending->transfer->endpoint = pipe->view.endpoint;
  pending->transfer->buffer = buffer;
  pending->transfer->length = t.TransferBufferLength;
  pending->transfer->short_ok = pending->short_ok;
  std::weak_ptr<Pending> weak = pending;
  pending->transfer->complete = [this, weak](TransferStatus status, uint32_t actual) {
    bus_->Post([this, weak, status, actual] {
      if (std::shared_ptr<Pending> p = weak.lock()) TransferDone(p, status, actual);
    });
  };

  std::lock_guard lock(mu_);
  pending_[irp] = pending;
  ++outstanding_[pending->endpoint];
  // The cancel flag is read under the cancel lock, which IoCancelIrp holds while it sets it.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const bool cancelled = irp->Cancel;
  if (!cancelled) IoSetCancelRoutine(irp, &UsbPort::CancelTransfer);
  IoReleaseCancelSpinLock(irql);
  if (cancelled) {
    // Cancelled before it reached the device: it never goes there.
    pending->cancel_requested = true;
    bus_->Post([this, pending] { TransferDone(pending, TransferStatus::Cancelled, 0); });
    return STATUS_PENDING;
  }
  // Handed over under the port lock, so a cancel routine that runs from now on finds the
  // transfer already at the device. Devices never complete from inside Submit or Cancel.
  device_->Submit(pending->transfer);
  return STATUS_PENDING;
}

VOID UsbPort::CancelTransfer(PDEVICE_OBJECT device_object, PIRP irp) {
  if (!device_object) device_object = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbPort* port = *static_cast<UsbPort**>(device_object->DeviceExtension);
  std::lock_guard lock(port->mu_);
  auto it = port->pending_.find(irp);
  if (it == port->pending_.end()) return;
  it->second->cancel_requested = true;
  port->device_->Cancel(it->second->transfer.get());
}

void UsbPort::TransferDone(const std::shared_ptr<Pending>& pending, TransferStatus status, uint32_t actual) {
  std::vector<PIRP> aborts;
  {
    std::lock_guard lock(mu_);
    auto it = pending_.find(pending->irp);
    if (it == pending_.end() || it->second != pending) return;  // completed once already
    pending_.erase(it);
    if (--outstanding_[pending->endpoint] == 0) aborts.swap(abort_waiters_[pending->endpoint]);
  }
  PIRP irp = pending->irp;
  // Taking the cancel lock also waits for a cancel routine that took the IRP to let go of it,
  // before the IRP goes back to its owner, who may free it.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(irql);

  const uint32_t asked = pending->transfer->length;
  actual = std::min(actual, asked);
  NTSTATUS nt = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  switch (status) {
    case TransferStatus::Success:
      if (actual < asked && !pending->short_ok) {
        nt = STATUS_UNSUCCESSFUL;
        usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
      }
      break;
    case TransferStatus::Stalled: nt = STATUS_UNSUCCESSFUL; usbd = USBD_STATUS_STALL_PID; break;
    case TransferStatus::Error:
      nt = STATUS_UNSUCCESSFUL;
      usbd = actual < asked && !pending->short_ok ? USBD_STATUS_ERROR_SHORT_TRANSFER : USBD_STATUS_DEV_NOT_RESPONDING;
      break;
    case TransferStatus::Cancelled: nt = STATUS_CANCELLED; usbd = USBD_STATUS_CANCELED; break;
    case TransferStatus::NoDevice: nt = STATUS_DEVICE_NOT_CONNECTED; usbd = USBD_STATUS_DEVICE_GONE; break;
  }
  pending->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = actual;
  pending->urb->UrbHeader.Status = usbd;
  irp->IoStatus.Status = nt;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  for (PIRP abort : aborts) CompleteLater(abort, STATUS_SUCCESS, 0, USBD_STATUS_SUCCESS);
}

}  // namespace kscam::usb
