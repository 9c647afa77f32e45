// Pins: data intersection, creation with the connect format, format changes, state changes
// one step at a time, and close.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

namespace {

// The pin property set and its data-intersection item, for the request record the intersection
// handler gets.
constexpr GUID kPinPropertySet = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
constexpr ULONG kPinDataIntersection = 4;
constexpr ULONG kPriorityNormal = 0x40000000;

struct PinRegistry {
  std::mutex lock;
  std::unordered_map<const void*, std::shared_ptr<PinRecord>> pins;
  std::unordered_map<const void*, std::shared_ptr<PinRecord>> edges;
};

PinRegistry& pin_registry() {
  static PinRegistry* r = new PinRegistry;  // never destroyed: pins may go during process exit
  return *r;
}

void RegisterPin(const std::shared_ptr<PinRecord>& record) {
  PinRegistry& r = pin_registry();
  std::lock_guard guard(r.lock);
  r.pins[record->ks] = record;
  r.edges[&record->edge] = record;
}

void UnregisterPin(const PinRecord& record) {
  PinRegistry& r = pin_registry();
  std::lock_guard guard(r.lock);
  r.pins.erase(record.ks);
  r.edges.erase(&record.edge);
}

bool FilterIsOpen(Device::Impl& d, PKSFILTER filter) {
  std::lock_guard guard(d.filters_lock);
  return std::find(d.filters.begin(), d.filters.end(), filter) != d.filters.end();
}

const KSPIN_DESCRIPTOR_EX* PinDescriptorOf(const KSFILTER_DESCRIPTOR* filter, ULONG pin_id) {
  if (!filter || !filter->PinDescriptors || pin_id >= filter->PinDescriptorsCount) return nullptr;
  const ULONG size = filter->PinDescriptorSize ? filter->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const uint8_t*>(filter->PinDescriptors) +
                                                      size_t{pin_id} * size);
}

// GUID_NULL in a caller's range is the platform's wildcard (KSDATAFORMAT_*_WILDCARD).
bool GuidMatches(const GUID& caller, const GUID& pin, bool wildcards) {
  return IsEqualGUIDAligned(caller, pin) || (wildcards && IsEqualGUIDAligned(caller, GUID_NULL));
}

bool RangeMatches(const KSDATARANGE& caller, const KSDATARANGE& pin, bool wildcards) {
  return GuidMatches(caller.MajorFormat, pin.MajorFormat, wildcards) &&
         GuidMatches(caller.SubFormat, pin.SubFormat, wildcards) &&
         GuidMatches(caller.Specifier, pin.Specifier, wildcards);
}

// The first of the pin's ranges a connect format falls in (the format names no wildcards).
const KSDATARANGE* RangeOfFormat(const KSPIN_DESCRIPTOR_EX& descriptor, const KSDATAFORMAT& format) {
  for (ULONG i = 0; i < descriptor.PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = descriptor.PinDescriptor.DataRanges[i];
    if (range && RangeMatches(format, *range, false)) return range;
  }
  return nullptr;
}

// A connect format as the caller passes it: a KSDATAFORMAT that says its own size.
NTSTATUS CheckFormat(const void* format, ULONG format_size) {
  if (!format || format_size < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  KSDATAFORMAT header;
  std::memcpy(&header, format, sizeof(header));
  return header.FormatSize == format_size ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

PKSDATAFORMAT CopyFormat(const void* format, ULONG format_size) {
  auto* copy = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, format_size, kPinTag));
  if (copy) std::memcpy(copy, format, format_size);
  return copy;
}

// Undoes a pin that is not (or no longer) open: worker, registries, bag, format, the KSPIN.
void DestroyPin(Device::Impl& d, const std::shared_ptr<PinRecord>& record) {
  StopWorker(*record);
  UnregisterPin(*record);
  if (record->ks) {
    // The bag's free callbacks may still ask for the pin's device.
    FreeObjectBag(static_cast<ObjectBag*>(record->ks->Bag));
    UnregisterObject(record->ks);
    ExFreePoolWithTag(record->ks, kPinTag);
    record->ks = nullptr;
  }
  if (record->format) ExFreePoolWithTag(record->format, kPinTag);
  record->format = nullptr;
  std::lock_guard guard(d.filters_lock);
  d.pins.erase(std::remove(d.pins.begin(), d.pins.end(), record), d.pins.end());
}

// Whether Process may run in `state`.
bool StateAllowsProcess(const PinRecord& r, KSSTATE state) {
  return (r.flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) ? state == KSSTATE_RUN : state >= KSSTATE_PAUSE;
}

// Moves the pin one step at a time; the caller holds record.control.
NTSTATUS MoveState(PinRecord& r, KSSTATE target) {
  KSSTATE current = r.ks->DeviceState;
  while (current != target) {
    const KSSTATE next = static_cast<KSSTATE>(current < target ? current + 1 : current - 1);
    // During a step Process may run only if both ends allow it.
    SetProcessGate(r, std::min(current, next));
    // The driver releases what Process uses on its way to STOP: no Process may still run.
    if (next == KSSTATE_STOP) WaitProcessIdle(r);
    NTSTATUS status = STATUS_SUCCESS;
    if (r.dispatch && r.dispatch->SetDeviceState) status = r.dispatch->SetDeviceState(r.ks, next, current);
    if (!NT_SUCCESS(status)) {
      SetProcessGate(r, current);
      return status;
    }
    r.ks->DeviceState = next;
    r.ks->ClientState = next;
    r.state.store(next);
    if (next == KSSTATE_STOP) {
      DropProcessRequests(r);
      QueueSetAccepting(r, false, STATUS_CANCELLED);
    } else if (current == KSSTATE_STOP) {
      QueueSetAccepting(r, true, STATUS_SUCCESS);
    }
    const bool opened = !StateAllowsProcess(r, current) && StateAllowsProcess(r, next);
    current = next;
    SetProcessGate(r, current);
    // Frames waiting when processing becomes possible start it, as their arrival would have.
    if (opened && !(r.flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) && r.queued_count.load() != 0) {
      RequestProcessing(r);
    }
  }
  return STATUS_SUCCESS;
}

// Closes an open pin: STOP, the worker ended, the queue flushed, Close, then the pin freed.
NTSTATUS ClosePinRecord(Device::Impl& d, const std::shared_ptr<PinRecord>& record) {
  PinRecord& r = *record;
  std::lock_guard control(r.control);
  {
    std::lock_guard guard(d.filters_lock);
    if (!r.open) return STATUS_INVALID_HANDLE;
    r.open = false;
  }
  // A step that fails does not keep the pin: it closes from the state it reached.
  MoveState(r, KSSTATE_STOP);
  {
    std::lock_guard guard(r.process_lock);
    r.gate = false;
  }
  StopWorker(r);
  QueueClose(r);
  NTSTATUS status = STATUS_SUCCESS;
  if (r.dispatch && r.dispatch->Close) {
    FilterIrp irp(r.filter);
    status = r.dispatch->Close(r.ks, irp.get());
  }
  ReleasePinClock(r);
  DestroyPin(d, record);
  return status;
}

std::shared_ptr<PinRecord> PinOfDevice(Device::Impl* d, PKSPIN pin) {
  std::shared_ptr<PinRecord> record = FindPin(pin);
  if (!record || !d || record->device != d) return nullptr;
  return record;
}

}  // namespace

std::shared_ptr<PinRecord> FindPin(const void* pin) {
  PinRegistry& r = pin_registry();
  std::lock_guard guard(r.lock);
  auto it = r.pins.find(pin);
  return it == r.pins.end() ? nullptr : it->second;
}

std::shared_ptr<PinRecord> FindPinOfStreamPointer(const void* pointer) {
  PinRegistry& r = pin_registry();
  std::lock_guard guard(r.lock);
  auto it = r.edges.find(pointer);
  return it == r.edges.end() ? nullptr : it->second;
}

void ClosePinsOfFilter(Device::Impl& d, PKSFILTER filter) {
  for (;;) {
    std::shared_ptr<PinRecord> record;
    {
      std::lock_guard guard(d.filters_lock);
      for (auto it = d.pins.rbegin(); it != d.pins.rend(); ++it) {
        if ((*it)->filter == filter && (*it)->open) {
          record = *it;
          break;
        }
      }
    }
    if (!record) return;
    ClosePinRecord(d, record);
  }
}

NTSTATUS Device::PinIntersect(PKSFILTER filter, ULONG pin_id, const void* range, ULONG range_size,
                              std::vector<uint8_t>* format) {
  if (format) format->clear();
  if (!impl_ || !FilterIsOpen(*impl_, filter)) return STATUS_INVALID_HANDLE;
  const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptorOf(filter->Descriptor, pin_id);
  if (!descriptor) return STATUS_INVALID_PARAMETER;
  if (!range || !format || range_size < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
  KSDATARANGE header;
  std::memcpy(&header, range, sizeof(header));
  if (header.FormatSize < sizeof(KSDATARANGE) || header.FormatSize > range_size) return STATUS_INVALID_PARAMETER;

  // The handler sees exactly the bytes the range claims, so reading past them is caught.
  std::vector<uint8_t> caller(static_cast<const uint8_t*>(range), static_cast<const uint8_t*>(range) + header.FormatSize);
  KSP_PIN request{};
  request.Property.Set = kPinPropertySet;
  request.Property.Id = kPinDataIntersection;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pin_id;

  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    const PKSDATARANGE pin_range = descriptor->PinDescriptor.DataRanges[i];
    if (!pin_range || !RangeMatches(header, *pin_range, true)) continue;
    if (!descriptor->IntersectHandler) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(pin_range);
      format->assign(bytes, bytes + pin_range->FormatSize);
      return STATUS_SUCCESS;
    }
    FilterIrp irp(filter);
    if (!irp.get()) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG size = 0;
    NTSTATUS status = descriptor->IntersectHandler(filter, irp.get(), &request,
                                                   reinterpret_cast<PKSDATARANGE>(caller.data()), pin_range, 0,
                                                   nullptr, &size);
    // A handler that finds no match lets the next range try, as the platform does.
    if (status == STATUS_NO_MATCH) continue;
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    if (size == 0) return STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> buffer(size);
    ULONG written = 0;
    status = descriptor->IntersectHandler(filter, irp.get(), &request, reinterpret_cast<PKSDATARANGE>(caller.data()),
                                          pin_range, size, buffer.data(), &written);
    if (status == STATUS_NO_MATCH) continue;
    if (!NT_SUCCESS(status)) return status;
    if (written > size) {
      verifier::Report(verifier::ViolationKind::Other, "intersection handler reported " + std::to_string(written) +
                                                           " bytes for a " + std::to_string(size) + "-byte buffer");
      written = size;
    }
    buffer.resize(written);
    *format = std::move(buffer);
    return status;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS Device::CreatePin(PKSFILTER filter, ULONG pin_id, const void* format, ULONG format_size,
                           const PinOptions& options, PKSPIN* out) {
  if (out) *out = nullptr;
  if (!impl_ || !FilterIsOpen(*impl_, filter)) return STATUS_INVALID_HANDLE;
  Impl& d = *impl_;
  const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptorOf(filter->Descriptor, pin_id);
  if (!descriptor) return STATUS_INVALID_PARAMETER;
  if (NTSTATUS status = CheckFormat(format, format_size); !NT_SUCCESS(status)) return status;
  KSDATAFORMAT header;
  std::memcpy(&header, format, sizeof(header));
  const KSDATARANGE* range = RangeOfFormat(*descriptor, header);
  if (!range) return STATUS_NO_MATCH;

  auto record = std::make_shared<PinRecord>();
  record->filter = filter;
  record->device = &d;
  record->id = pin_id;
  record->options = options;
  record->dispatch = descriptor->Dispatch;
  record->flags = descriptor->Flags;
  {
    // The instance count includes pins still being created.
    std::lock_guard guard(d.filters_lock);
    const auto instances = std::count_if(d.pins.begin(), d.pins.end(), [&](const std::shared_ptr<PinRecord>& p) {
      return p->filter == filter && p->id == pin_id;
    });
    if (static_cast<ULONG>(instances) >= descriptor->InstancesPossible) return STATUS_TOO_MANY_NODES;
    d.pins.push_back(record);
  }

  auto* pin = static_cast<PKSPIN>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN), kPinTag));
  record->format = CopyFormat(format, format_size);
  if (!pin || !record->format) {
    if (pin) ExFreePoolWithTag(pin, kPinTag);
    DestroyPin(d, record);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(pin, 0, sizeof(*pin));
  pin->Descriptor = descriptor;
  pin->Bag = CreateObjectBag();
  pin->Context = nullptr;
  pin->Id = pin_id;
  pin->Communication = descriptor->PinDescriptor.Communication;
  pin->ConnectionIsExternal = TRUE;
  pin->ConnectionPriority.PriorityClass = kPriorityNormal;
  pin->ConnectionFormat = record->format;
  pin->AttributeList = nullptr;
  pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER);
  pin->DataFlow = descriptor->PinDescriptor.DataFlow;
  pin->DeviceState = KSSTATE_STOP;
  pin->ResetState = KSRESET_END;
  pin->ClientState = KSSTATE_STOP;
  record->ks = pin;
  RegisterObject(pin, &d.ks);
  RegisterPin(record);
  if (!StartWorker(*record)) {
    DestroyPin(d, record);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = descriptor->Dispatch;
  if (dispatch && dispatch->SetDataFormat) status = dispatch->SetDataFormat(pin, nullptr, nullptr, range, nullptr);
  if (NT_SUCCESS(status) && dispatch && dispatch->Create) {
    FilterIrp irp(filter);
    status = irp.get() ? dispatch->Create(pin, irp.get()) : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    // A pin whose format or Create failed goes without a Close; its bag is freed.
    DestroyPin(d, record);
    return status;
  }
  {
    // The driver may have given the pin a private descriptor.
    std::lock_guard guard(record->process_lock);
    if (pin->Descriptor) {
      record->dispatch = pin->Descriptor->Dispatch;
      record->flags = pin->Descriptor->Flags;
    }
  }
  {
    std::lock_guard guard(d.filters_lock);
    record->open = true;
  }
  if (out) *out = pin;
  return status;
}

NTSTATUS Device::SetPinFormat(PKSPIN pin, const void* format, ULONG format_size) {
  std::shared_ptr<PinRecord> record = PinOfDevice(impl_.get(), pin);
  if (!record) return STATUS_INVALID_HANDLE;
  PinRecord& r = *record;
  std::lock_guard control(r.control);
  if (!r.open) return STATUS_INVALID_HANDLE;
  if (NTSTATUS status = CheckFormat(format, format_size); !NT_SUCCESS(status)) return status;
  KSDATAFORMAT header;
  std::memcpy(&header, format, sizeof(header));
  const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptorOf(r.filter->Descriptor, r.id);
  const KSDATARANGE* range = RangeOfFormat(*descriptor, header);
  if (!range) return STATUS_NO_MATCH;
  PKSDATAFORMAT copy = CopyFormat(format, format_size);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  PKSDATAFORMAT old = r.format;
  // The driver reads the new format from the pin and gets the old one to compare.
  r.ks->ConnectionFormat = copy;
  NTSTATUS status = STATUS_SUCCESS;
  if (r.dispatch && r.dispatch->SetDataFormat) status = r.dispatch->SetDataFormat(r.ks, old, nullptr, range, nullptr);
  if (!NT_SUCCESS(status)) {
    r.ks->ConnectionFormat = old;
    ExFreePoolWithTag(copy, kPinTag);
    return status;
  }
  r.format = copy;
  ExFreePoolWithTag(old, kPinTag);
  return status;
}

NTSTATUS Device::SetPinState(PKSPIN pin, KSSTATE state) {
  std::shared_ptr<PinRecord> record = PinOfDevice(impl_.get(), pin);
  if (!record) return STATUS_INVALID_HANDLE;
  if (state < KSSTATE_STOP || state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  std::lock_guard control(record->control);
  if (!record->open) return STATUS_INVALID_HANDLE;
  return MoveState(*record, state);
}

NTSTATUS Device::ClosePin(PKSPIN pin) {
  std::shared_ptr<PinRecord> record = PinOfDevice(impl_.get(), pin);
  if (!record) return STATUS_INVALID_HANDLE;
  return ClosePinRecord(*impl_, record);
}

NTSTATUS Device::SubmitFrame(PKSPIN pin, PKSSTREAM_HEADER header) {
  std::shared_ptr<PinRecord> record = PinOfDevice(impl_.get(), pin);
  if (!record) return STATUS_INVALID_HANDLE;
  return QueueSubmit(*record, header);
}

bool Device::WaitFrame(PKSPIN pin, uint32_t timeout_ms, CompletedFrame* frame) {
  std::shared_ptr<PinRecord> record = PinOfDevice(impl_.get(), pin);
  if (!record) return false;
  return QueueWait(*record, timeout_ms, frame);
}

size_t Device::QueuedFrames(PKSPIN pin) const {
  std::shared_ptr<PinRecord> record = PinOfDevice(impl_.get(), pin);
  return record ? QueueSize(*record) : 0;
}

size_t Device::open_pins() const {
  if (!impl_) return 0;
  std::lock_guard guard(impl_->filters_lock);
  return static_cast<size_t>(std::count_if(impl_->pins.begin(), impl_->pins.end(),
                                           [](const std::shared_ptr<PinRecord>& p) { return p->open; }));
}

}  // namespace kscam::host::ks
