// Class-driver internals shared by the host's KS parts (devices now; filters and pins build on
// the same object bags and object registry).
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "host/ks/ks_host.h"
#include "platform/ks.h"

namespace kscam::host::ks {

// An object bag: items with their free callbacks, freed newest first when the bag's owner
// goes. Each entry costs a pool block under kObjectBagTag, so the bag runs out of memory as
// the platform's does.
struct ObjectBag;
ObjectBag* CreateObjectBag();
// Frees every item through its callback (ExFreePool when it has none), newest first, then the
// bag itself.
void FreeObjectBag(ObjectBag* bag);
size_t ObjectBagSize(const ObjectBag* bag);

// The device an object of the class driver (device, filter factory, filter, pin) belongs to,
// for KsGetDevice.
void RegisterObject(const void* object, PKSDEVICE device);
void UnregisterObject(const void* object);

struct Device::Impl {
  KSDEVICE ks{};
  std::recursive_mutex lock;  // KsAcquireDevice / KsReleaseDevice
  std::atomic<int> held{0};   // acquisitions not yet released, to catch an unbalanced driver
  ObjectBag* bag = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  bool own_pdo = false;
  std::vector<FilterFactoryRecord> factories;  // guarded by lock
  std::mutex filters_lock;
  std::vector<PKSFILTER> filters;  // open filters, guarded by filters_lock
};

// Closes every filter still open on the device (an application that went away without
// closing its handles), newest first.
void CloseOpenFilters(Device::Impl& device);

}  // namespace kscam::host::ks
