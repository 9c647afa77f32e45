// Filters: created and closed on an application's request, and the property requests sent to
// them, routed through the filter descriptor's automation table.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

namespace {

// Which filter each request IRP addresses, for KsGetFilterFromIrp.
struct IrpTargets {
  std::mutex lock;
  std::unordered_map<PIRP, PKSFILTER> filters;
};

IrpTargets& irp_targets() {
  static IrpTargets* t = new IrpTargets;  // never destroyed: requests may run during exit
  return *t;
}

void FreeFilter(PKSFILTER filter) {
  UnregisterObject(filter);
  FreeObjectBag(static_cast<ObjectBag*>(filter->Bag));
  ExFreePoolWithTag(filter, kFilterTag);
}

// The item of `set`/`id` in an automation table whose items are `PropertyItemSize` apart.
const KSPROPERTY_ITEM* FindPropertyItem(const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id) {
  if (!table || !table->PropertySets) return nullptr;
  const ULONG item_size = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
  for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
    const KSPROPERTY_SET& property_set = table->PropertySets[s];
    if (!property_set.Set || !IsEqualGUIDAligned(*property_set.Set, set)) continue;
    const auto* bytes = reinterpret_cast<const uint8_t*>(property_set.PropertyItem);
    for (ULONG i = 0; bytes && i < property_set.PropertiesCount; ++i) {
      const auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(bytes + size_t{i} * item_size);
      if (item->PropertyId == id) return item;
    }
    return nullptr;
  }
  return nullptr;
}

bool IsOpen(Device::Impl& d, PKSFILTER filter) {
  std::lock_guard guard(d.filters_lock);
  for (PKSFILTER f : d.filters) {
    if (f == filter) return true;
  }
  return false;
}

}  // namespace

FilterIrp::FilterIrp(PKSFILTER filter) : irp_(IoAllocateIrp(1, FALSE)) {
  if (!irp_) return;
  irp_->IoStatus.Status = STATUS_SUCCESS;
  irp_->IoStatus.Information = 0;
  IrpTargets& t = irp_targets();
  std::lock_guard guard(t.lock);
  t.filters[irp_] = filter;
}

FilterIrp::~FilterIrp() {
  if (!irp_) return;
  {
    IrpTargets& t = irp_targets();
    std::lock_guard guard(t.lock);
    t.filters.erase(irp_);
  }
  IoFreeIrp(irp_);
}

void CloseOpenFilters(Device::Impl& d) {
  for (;;) {
    PKSFILTER filter = nullptr;
    {
      std::lock_guard guard(d.filters_lock);
      if (d.filters.empty()) return;
      filter = d.filters.back();
      d.filters.pop_back();
    }
    ClosePinsOfFilter(d, filter);
    const KSFILTER_DISPATCH* dispatch = filter->Descriptor ? filter->Descriptor->Dispatch : nullptr;
    if (dispatch && dispatch->Close) {
      FilterIrp irp(filter);
      dispatch->Close(filter, irp.get());
    }
    FreeFilter(filter);
  }
}

NTSTATUS Device::CreateFilter(PKSFILTERFACTORY factory, PKSFILTER* out) {
  if (out) *out = nullptr;
  if (state_ != DeviceState::Started || !impl_) return STATUS_INVALID_DEVICE_STATE;
  Impl& d = *impl_;
  bool known = false;
  {
    std::lock_guard guard(d.lock);
    for (const FilterFactoryRecord& record : d.factories) known |= record.factory == factory;
  }
  if (!known || !factory->FilterDescriptor) return STATUS_INVALID_PARAMETER;

  auto* filter = static_cast<PKSFILTER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSFILTER), kFilterTag));
  if (!filter) return STATUS_INSUFFICIENT_RESOURCES;
  filter->Descriptor = factory->FilterDescriptor;
  filter->Bag = CreateObjectBag();
  filter->Context = nullptr;
  RegisterObject(filter, &d.ks);

  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH* dispatch = filter->Descriptor->Dispatch;
  if (dispatch && dispatch->Create) {
    FilterIrp irp(filter);
    status = irp.get() ? dispatch->Create(filter, irp.get()) : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    // A filter whose Create failed is deleted without a Close; its bag is freed.
    FreeFilter(filter);
    return status;
  }
  {
    std::lock_guard guard(d.filters_lock);
    d.filters.push_back(filter);
  }
  if (out) *out = filter;
  return status;
}

NTSTATUS Device::CloseFilter(PKSFILTER filter) {
  if (!impl_) return STATUS_INVALID_HANDLE;
  Impl& d = *impl_;
  {
    std::lock_guard guard(d.filters_lock);
    auto it = std::find(d.filters.begin(), d.filters.end(), filter);
    if (it == d.filters.end()) return STATUS_INVALID_HANDLE;
    d.filters.erase(it);
  }
  ClosePinsOfFilter(d, filter);
  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH* dispatch = filter->Descriptor ? filter->Descriptor->Dispatch : nullptr;
  if (dispatch && dispatch->Close) {
    FilterIrp irp(filter);
    status = dispatch->Close(filter, irp.get());
  }
  FreeFilter(filter);
  return status;
}

size_t Device::open_filters() const {
  if (!impl_) return 0;
  std::lock_guard guard(impl_->filters_lock);
  return impl_->filters.size();
}

NTSTATUS Device::FilterProperty(PKSFILTER filter, const void* property, ULONG property_size, void* data,
                                ULONG data_size, ULONG* bytes_returned) {
  if (bytes_returned) *bytes_returned = 0;
  if (!impl_ || !IsOpen(*impl_, filter)) return STATUS_INVALID_HANDLE;
  if (!property || property_size < sizeof(KSPROPERTY)) return STATUS_BUFFER_TOO_SMALL;
  if (!data && data_size != 0) return STATUS_INVALID_PARAMETER;

  KSPROPERTY header;
  std::memcpy(&header, property, sizeof(header));
  const KSPROPERTY_ITEM* item = FindPropertyItem(filter->Descriptor->AutomationTable, header.Set, header.Id);
  if (!item) return STATUS_NOT_FOUND;

  const ULONG kind = header.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  PFNKSHANDLER handler = nullptr;
  switch (kind) {
    case KSPROPERTY_TYPE_GET: handler = item->GetPropertyHandler; break;
    case KSPROPERTY_TYPE_SET: handler = item->SetPropertyHandler; break;
    case KSPROPERTY_TYPE_SETSUPPORT: return STATUS_SUCCESS;
    case KSPROPERTY_TYPE_BASICSUPPORT: {
      // Without a support handler or value ranges the class driver reports the access flags.
      const ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                           (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
      if (data_size < sizeof(ULONG)) {
        if (bytes_returned) *bytes_returned = sizeof(ULONG);
        return data_size == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
      }
      std::memcpy(data, &access, sizeof(access));
      if (bytes_returned) *bytes_returned = sizeof(ULONG);
      return STATUS_SUCCESS;
    }
    default: return STATUS_INVALID_PARAMETER;
  }
  if (!handler) return STATUS_NOT_FOUND;
  if (property_size < item->MinProperty) return STATUS_BUFFER_TOO_SMALL;
  if (data_size < item->MinData) {
    // An empty buffer on a get asks for the size.
    if (kind == KSPROPERTY_TYPE_GET && data_size == 0) {
      if (bytes_returned) *bytes_returned = item->MinData;
      return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }

  // The handler works on copies of exactly the stated sizes, so reading past them is caught.
  std::unique_ptr<uint8_t[]> property_copy(new uint8_t[property_size]);
  std::memcpy(property_copy.get(), property, property_size);
  std::unique_ptr<uint8_t[]> data_copy(new uint8_t[data_size ? data_size : 1]);
  if (data_size) std::memcpy(data_copy.get(), data, data_size);

  FilterIrp irp(filter);
  if (!irp.get()) return STATUS_INSUFFICIENT_RESOURCES;
  irp.get()->IoStatus.Information = kind == KSPROPERTY_TYPE_GET ? item->MinData : 0;
  const NTSTATUS status = handler(irp.get(), reinterpret_cast<PKSIDENTIFIER>(property_copy.get()),
                                  data_size ? data_copy.get() : nullptr);
  if (NT_SUCCESS(status) && kind == KSPROPERTY_TYPE_GET) {
    ULONG returned = static_cast<ULONG>(irp.get()->IoStatus.Information);
    if (returned > data_size) {
      verifier::Report(verifier::ViolationKind::Other,
                       "property handler reported " + std::to_string(returned) + " bytes for a " +
                           std::to_string(data_size) + "-byte buffer");
      returned = data_size;
    }
    std::memcpy(data, data_copy.get(), returned);
    if (bytes_returned) *bytes_returned = returned;
  }
  return status;
}

}  // namespace kscam::host::ks

using namespace kscam::host;

extern "C" PKSFILTER KsGetFilterFromIrp(PIRP irp) {
  if (!irp) return nullptr;
  ks::IrpTargets& t = ks::irp_targets();
  std::lock_guard guard(t.lock);
  auto it = t.filters.find(irp);
  return it == t.filters.end() ? nullptr : it->second;
}
