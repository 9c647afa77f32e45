// Class-driver internals shared by the host's KS parts (devices now; filters and pins build on
// the same object bags and object registry).
#pragma once

#include <cstddef>

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

}  // namespace kscam::host::ks
