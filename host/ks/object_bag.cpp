#include <algorithm>
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
