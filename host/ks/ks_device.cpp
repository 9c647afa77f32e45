#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/kernel/host_kernel.h"
#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

namespace {

struct Registry {
  std::mutex lock;
  std::unordered_map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> drivers;
  std::unordered_map<PKSDEVICE, Device::Impl*> devices;
  std::unordered_map<PDEVICE_OBJECT, Device::Impl*> functional_devices;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: devices may go during process exit
  return *r;
}

Device::Impl* ImplOfKsDevice(PKSDEVICE device) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto it = r.devices.find(device);
  return it == r.devices.end() ? nullptr : it->second;
}

Device::Impl* ImplOfFunctionalDevice(PDEVICE_OBJECT fdo) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto it = r.functional_devices.find(fdo);
  return it == r.functional_devices.end() ? nullptr : it->second;
}

// The driver of the host's own physical device objects: there is no device behind them.
NTSTATUS FailEveryRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_NO_SUCH_DEVICE;
}

void FreeFactory(const FilterFactoryRecord& record) {
  UnregisterObject(record.factory);
  FreeObjectBag(static_cast<ObjectBag*>(record.factory->Bag));
  ExFreePoolWithTag(record.factory, kFilterFactoryTag);
}

// The device must not be left acquired when a dispatch routine returns.
void CheckReleased(Device::Impl& d, const char* routine) {
  if (int held = d.held.load()) {
    verifier::Report(verifier::ViolationKind::Other,
                     std::string("device ") + routine + " returned with the device acquired " + std::to_string(held) +
                         " time(s) (KsAcquireDevice without KsReleaseDevice)");
  }
}

}  // namespace

const char* StateName(DeviceState state) {
  switch (state) {
    case DeviceState::Absent: return "absent";
    case DeviceState::Added: return "added";
    case DeviceState::Started: return "started";
    case DeviceState::Stopped: return "stopped";
  }
  return "?";
}

// ---- Host ------------------------------------------------------------------------------------

Host::Host(HostOptions options) : options_(std::move(options)) {
  bus_driver_ = CreateDriverObject(u"\\Driver\\kscam-nobus");
  for (auto& entry : bus_driver_->MajorFunction) entry = FailEveryRequest;
  for (int i = 0; i < options_.camera_slots; ++i) devices_.emplace_back(new Device(this, i));
}

Host::~Host() {
  for (auto& device : devices_) {
    if (device->state() != DeviceState::Absent) device->Remove();
  }
  devices_.clear();
  if (driver_) {
    if (driver_->DriverUnload) driver_->DriverUnload(driver_);
    Registry& r = registry();
    {
      std::lock_guard guard(r.lock);
      r.drivers.erase(driver_);
    }
    DeleteDriverObject(driver_);
  }
  DeleteDriverObject(bus_driver_);
}

NTSTATUS Host::LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& registry_path) {
  if (driver_) return STATUS_INVALID_DEVICE_STATE;
  driver_ = CreateDriverObject(u"\\Driver\\kscam");
  std::u16string path = registry_path;
  UNICODE_STRING path_string;
  path_string.Buffer = path.data();
  path_string.Length = static_cast<USHORT>(path.size() * sizeof(char16_t));
  path_string.MaximumLength = path_string.Length;
  NTSTATUS status = entry(driver_, &path_string);

  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto it = r.drivers.find(driver_);
  if (NT_SUCCESS(status) && (it == r.drivers.end() || it->second == nullptr)) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    if (it != r.drivers.end()) r.drivers.erase(it);
    DeleteDriverObject(driver_);
    driver_ = nullptr;
    return status;
  }
  descriptor_ = it->second;
  return status;
}

int Host::present_devices() const {
  int n = 0;
  for (const auto& device : devices_) n += device->state() != DeviceState::Absent;
  return n;
}

// ---- Device ----------------------------------------------------------------------------------

Device::Device(Host* host, int slot) : host_(host), slot_(slot) {}

Device::~Device() = default;

void Device::SetPhysicalDevice(PDEVICE_OBJECT physical_device) {
  if (state_ == DeviceState::Absent) supplied_pdo_ = physical_device;
}

PKSDEVICE Device::ks_device() const { return impl_ ? &impl_->ks : nullptr; }

std::vector<FilterFactoryRecord> Device::filter_factories() const {
  if (!impl_) return {};
  std::lock_guard guard(impl_->lock);
  return impl_->factories;
}

size_t Device::object_bag_size() const { return impl_ ? ObjectBagSize(impl_->bag) : 0; }

NTSTATUS Device::Add() {
  if (!host_->driver_loaded()) return add_status_ = STATUS_NO_SUCH_DEVICE;
  if (state_ != DeviceState::Absent) return add_status_ = STATUS_INVALID_DEVICE_STATE;
  if (host_->present_devices() == 0) host_->leak_since_ = verifier::Checkpoint();

  impl_ = std::make_unique<Impl>();
  Impl& d = *impl_;
  if (supplied_pdo_) {
    d.pdo = supplied_pdo_;
  } else {
    d.pdo = CreateDeviceObject(host_->bus_driver_, 0, 1);
    d.own_pdo = true;
  }
  if (host_->options_.physical_device_added) host_->options_.physical_device_added(slot_, d.pdo);
  d.fdo = CreateDeviceObject(host_->driver_, 0, 1);
  AttachDevice(d.fdo, d.pdo);
  d.bag = CreateObjectBag();

  d.ks.Descriptor = host_->descriptor_;
  d.ks.Bag = d.bag;
  d.ks.Context = nullptr;
  d.ks.FunctionalDeviceObject = d.fdo;
  d.ks.PhysicalDeviceObject = d.pdo;
  d.ks.NextDeviceObject = d.pdo;
  d.ks.Started = FALSE;
  d.ks.SystemPowerState = PowerSystemWorking;
  d.ks.DevicePowerState = PowerDeviceD0;
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.devices[&d.ks] = &d;
    r.functional_devices[d.fdo] = &d;
  }
  RegisterObject(&d.ks, &d.ks);

  state_ = DeviceState::Added;
  const KSDEVICE_DISPATCH* dispatch = d.ks.Descriptor->Dispatch;
  NTSTATUS status = dispatch && dispatch->Add ? dispatch->Add(&d.ks) : STATUS_SUCCESS;
  CheckReleased(d, "Add");
  add_status_ = status;
  start_status_ = STATUS_PENDING;
  if (!NT_SUCCESS(status)) Remove();  // the platform deletes a device whose Add failed
  return status;
}

NTSTATUS Device::Start() {
  if (state_ != DeviceState::Added && state_ != DeviceState::Stopped && state_ != DeviceState::Started) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  Impl& d = *impl_;
  const KSDEVICE_DISPATCH* dispatch = d.ks.Descriptor->Dispatch;
  // The start IRP and resource lists are not modelled: the driver uses none of them.
  NTSTATUS status = dispatch && dispatch->Start ? dispatch->Start(&d.ks, nullptr, nullptr, nullptr) : STATUS_SUCCESS;
  CheckReleased(d, "Start");
  start_status_ = status;
  d.ks.Started = TRUE;
  state_ = DeviceState::Started;
  return status;
}

NTSTATUS Device::Stop() {
  if (state_ != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  Impl& d = *impl_;
  // The platform stops a device only after its last filter closed.
  CloseOpenFilters(d);
  const KSDEVICE_DISPATCH* dispatch = d.ks.Descriptor->Dispatch;
  if (dispatch && dispatch->Stop) dispatch->Stop(&d.ks, nullptr);
  CheckReleased(d, "Stop");
  d.ks.Started = FALSE;
  state_ = DeviceState::Stopped;

  std::vector<FilterFactoryRecord> doomed;
  {
    std::lock_guard guard(d.lock);
    auto keep = std::stable_partition(d.factories.begin(), d.factories.end(), [](const FilterFactoryRecord& f) {
      return (f.create_item_flags & KSCREATE_ITEM_FREEONSTOP) == 0;
    });
    doomed.assign(keep, d.factories.end());
    d.factories.erase(keep, d.factories.end());
  }
  for (const auto& record : doomed) FreeFactory(record);
  return STATUS_SUCCESS;
}

NTSTATUS Device::QueryCapabilities(DEVICE_CAPABILITIES* capabilities) {
  if (state_ == DeviceState::Absent) return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* dispatch = impl_->ks.Descriptor->Dispatch;
  if (!dispatch || !dispatch->QueryCapabilities) return STATUS_SUCCESS;
  return dispatch->QueryCapabilities(&impl_->ks, nullptr, capabilities);
}

size_t Device::Remove() {
  if (state_ == DeviceState::Absent) return 0;
  if (state_ == DeviceState::Started) Stop();
  Impl& d = *impl_;
  CloseOpenFilters(d);
  const KSDEVICE_DISPATCH* dispatch = d.ks.Descriptor->Dispatch;
  // Remove is offered only to a device whose Add succeeded.
  if (NT_SUCCESS(add_status_) && dispatch && dispatch->Remove) dispatch->Remove(&d.ks, nullptr);

  std::vector<FilterFactoryRecord> factories;
  {
    std::lock_guard guard(d.lock);
    factories.swap(d.factories);
  }
  for (auto it = factories.rbegin(); it != factories.rend(); ++it) FreeFactory(*it);
  FreeObjectBag(d.bag);
  d.bag = nullptr;
  d.ks.Bag = nullptr;

  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.devices.erase(&d.ks);
    r.functional_devices.erase(d.fdo);
  }
  UnregisterObject(&d.ks);
  DeleteDeviceObject(d.fdo);
  if (host_->options_.physical_device_removing) host_->options_.physical_device_removing(slot_, d.pdo);
  if (d.own_pdo) DeleteDeviceObject(d.pdo);
  impl_.reset();
  state_ = DeviceState::Absent;
  supplied_pdo_ = nullptr;

  if (host_->present_devices() != 0) return 0;
  std::vector<ULONG> tags = host_->options_.device_pool_tags;
  tags.push_back(kObjectBagTag);
  tags.push_back(kFilterFactoryTag);
  tags.push_back(kFilterTag);
  tags.push_back(kPinTag);
  tags.push_back(kClockTag);
  return verifier::CheckLeaks("camera device " + std::to_string(slot_) + " at removal", host_->leak_since_, tags);
}

std::vector<std::vector<uint8_t>> PinDataRanges(const FilterFactoryRecord& factory, ULONG pin_id) {
  std::vector<std::vector<uint8_t>> ranges;
  const KSFILTER_DESCRIPTOR* filter = factory.descriptor;
  if (!filter || pin_id >= filter->PinDescriptorsCount || !filter->PinDescriptors) return ranges;
  const auto* pin = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const uint8_t*>(filter->PinDescriptors) + size_t{pin_id} * filter->PinDescriptorSize);
  for (ULONG i = 0; i < pin->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = pin->PinDescriptor.DataRanges[i];
    const auto* bytes = reinterpret_cast<const uint8_t*>(range);
    ranges.emplace_back(bytes, bytes + range->FormatSize);
  }
  return ranges;
}

}  // namespace kscam::host::ks

// ---- Class-driver calls --------------------------------------------------------------------

using namespace kscam::host;

extern "C" NTSTATUS KsInitializeDriver(PDRIVER_OBJECT driver, PUNICODE_STRING, const KSDEVICE_DESCRIPTOR* descriptor) {
  if (!driver) return STATUS_INVALID_PARAMETER;
  auto& r = ks::registry();
  std::lock_guard guard(r.lock);
  r.drivers[driver] = descriptor;
  return STATUS_SUCCESS;
}

extern "C" void KsAcquireDevice(PKSDEVICE device) {
  ks::Device::Impl* d = ks::ImplOfKsDevice(device);
  if (!d) {
    verifier::Report(verifier::ViolationKind::Other, "KsAcquireDevice: unknown device");
    return;
  }
  d->lock.lock();
  d->held.fetch_add(1);
}

extern "C" void KsReleaseDevice(PKSDEVICE device) {
  ks::Device::Impl* d = ks::ImplOfKsDevice(device);
  if (!d) {
    verifier::Report(verifier::ViolationKind::Other, "KsReleaseDevice: unknown device");
    return;
  }
  if (d->held.load() <= 0) {
    verifier::Report(verifier::ViolationKind::Other, "KsReleaseDevice: the device is not acquired");
    return;
  }
  d->held.fetch_sub(1);
  d->lock.unlock();
}

extern "C" NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT device_object, const KSFILTER_DESCRIPTOR* descriptor,
                                          PWSTR reference_string, PSECURITY_DESCRIPTOR, ULONG create_item_flags,
                                          PFNKSFILTERFACTORYPOWER, PFNKSFILTERFACTORYPOWER,
                                          PKSFILTERFACTORY* filter_factory) {
  ks::Device::Impl* d = ks::ImplOfFunctionalDevice(device_object);
  if (!d) {
    verifier::Report(verifier::ViolationKind::Other, "KsCreateFilterFactory: not a functional device object");
    return STATUS_INVALID_PARAMETER;
  }
  if (!descriptor) return STATUS_INVALID_PARAMETER;
  auto* factory = static_cast<PKSFILTERFACTORY>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(KSFILTERFACTORY), ks::kFilterFactoryTag));
  if (!factory) return STATUS_INSUFFICIENT_RESOURCES;
  factory->FilterDescriptor = descriptor;
  factory->Bag = ks::CreateObjectBag();
  factory->Context = nullptr;
  ks::RegisterObject(factory, &d->ks);

  ks::FilterFactoryRecord record{factory, descriptor, {}, create_item_flags};
  if (reference_string) record.reference_string = reference_string;
  {
    std::lock_guard guard(d->lock);
    d->factories.push_back(std::move(record));
  }
  if (filter_factory) *filter_factory = factory;
  return STATUS_SUCCESS;
}
