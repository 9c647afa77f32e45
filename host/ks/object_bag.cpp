#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

namespace {

struct BagEntry {
  PVOID item;
  PFNKSFREE free;
};

struct Registry {
  std::mutex lock;
  std::unordered_set<const ObjectBag*> bags;
  std::unordered_map<const void*, PKSDEVICE> objects;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: bags may be freed during process exit
  return *r;
}

bool BagIsLive(const ObjectBag* bag) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  return r.bags.count(bag) != 0;
}

}  // namespace

struct ObjectBag {
  mutable std::mutex lock;
  std::vector<BagEntry*> entries;  // oldest first
};

ObjectBag* CreateObjectBag() {
  auto* bag = new ObjectBag;
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.bags.insert(bag);
  return bag;
}

void FreeObjectBag(ObjectBag* bag) {
  if (!bag) return;
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.bags.erase(bag);
  }
  // Callbacks run outside the bag's lock: a free callback may touch other bags.
  std::vector<BagEntry*> entries;
  {
    std::lock_guard guard(bag->lock);
    entries.swap(bag->entries);
  }
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    BagEntry* entry = *it;
    if (entry->free) {
      entry->free(entry->item);
    } else {
      ExFreePool(entry->item);
    }
    ExFreePoolWithTag(entry, kObjectBagTag);
  }
  delete bag;
}

size_t ObjectBagSize(const ObjectBag* bag) {
  std::lock_guard guard(bag->lock);
  return bag->entries.size();
}

void RegisterObject(const void* object, PKSDEVICE device) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.objects[object] = device;
}

void UnregisterObject(const void* object) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.objects.erase(object);
}

PKSDEVICE DeviceOfObject(const void* object) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto it = r.objects.find(object);
  return it == r.objects.end() ? nullptr : it->second;
}

}  // namespace kscam::host::ks

using namespace kscam::host;

extern "C" NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG object_bag, PVOID item, PFNKSFREE free) {
  auto* bag = static_cast<ks::ObjectBag*>(object_bag);
  if (!bag || !ks::BagIsLive(bag)) {
    verifier::Report(verifier::ViolationKind::Other, "KsAddItemToObjectBag: not an object bag of a live object");
    return STATUS_INVALID_PARAMETER;
  }
  if (!item) return STATUS_INVALID_PARAMETER;
  auto* entry = static_cast<ks::BagEntry*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ks::BagEntry), ks::kObjectBagTag));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  entry->item = item;
  entry->free = free;
  std::lock_guard guard(bag->lock);
  bag->entries.push_back(entry);
  return STATUS_SUCCESS;
}

extern "C" PKSDEVICE KsGetDevice(PVOID object) { return ks::DeviceOfObject(object); }

extern "C" NTSTATUS _KsEdit(KSOBJECT_BAG object_bag, PVOID* item, ULONG new_size, ULONG old_size, ULONG tag) {
  auto* bag = static_cast<ks::ObjectBag*>(object_bag);
  if (!bag || !ks::BagIsLive(bag)) {
    verifier::Report(verifier::ViolationKind::Other, "KsEdit: not an object bag of a live object");
    return STATUS_INVALID_PARAMETER;
  }
  if (!item) return STATUS_INVALID_PARAMETER;
  ks::BagEntry* own = nullptr;
  {
    std::lock_guard guard(bag->lock);
    for (ks::BagEntry* entry : bag->entries) {
      if (*item && entry->item == *item) own = entry;
    }
  }
  // Already the object's own copy: nothing to do unless it has to grow.
  if (own && new_size <= old_size) return STATUS_SUCCESS;

  PVOID copy = ExAllocatePoolWithTag(NonPagedPool, new_size ? new_size : 1, tag);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG kept = *item ? std::min(old_size, new_size) : 0;
  if (kept) std::memcpy(copy, *item, kept);
  if (new_size > kept) std::memset(static_cast<uint8_t*>(copy) + kept, 0, new_size - kept);

  if (own) {
    // The grown copy takes the old one's place in the bag.
    PVOID old = nullptr;
    PFNKSFREE free = nullptr;
    {
      std::lock_guard guard(bag->lock);
      old = own->item;
      free = own->free;
      own->item = copy;
      own->free = nullptr;
    }
    if (free) {
      free(old);
    } else {
      ExFreePool(old);
    }
    *item = copy;
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = KsAddItemToObjectBag(bag, copy, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(copy, tag);
    return status;
  }
  *item = copy;
  return STATUS_SUCCESS;
}
