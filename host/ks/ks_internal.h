// Class-driver internals shared by the host's KS parts: object bags, the object registry, the
// device record, and the filter and pin helpers the device uses.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
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

struct PinRecord;

// An IRP addressed to `filter` for the lifetime of the object, so that KsGetFilterFromIrp
// finds the filter (create, close and property requests of the filter and of its pins).
class FilterIrp {
 public:
  explicit FilterIrp(PKSFILTER filter);
  ~FilterIrp();
  FilterIrp(const FilterIrp&) = delete;
  FilterIrp& operator=(const FilterIrp&) = delete;
  PIRP get() const { return irp_; }

 private:
  PIRP irp_;
};

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
  // Pins being created or open, oldest first, guarded by filters_lock.
  std::vector<std::shared_ptr<PinRecord>> pins;
};

class HostClock;

// The class driver's record of a pin, from CreatePin until ClosePin. The KSPIN itself is a pool
// block the driver sees; this record stays in host memory.
struct PinRecord {
  PKSPIN ks = nullptr;  // pool (kPinTag)
  PKSFILTER filter = nullptr;
  Device::Impl* device = nullptr;
  ULONG id = 0;
  Device::PinOptions options;
  PKSDATAFORMAT format = nullptr;  // the host's copy of the connect format (kPinTag)
  bool open = false;               // Create succeeded; guarded by the device's filters_lock

  // State changes, format changes and close, one at a time.
  std::mutex control;
  std::atomic<int> state{KSSTATE_STOP};  // the pin's state, for readers outside `control`

  // ---- Frame queue (ks_queue.cpp), guarded by queue_lock ----
  std::mutex queue_lock;
  std::condition_variable frame_completed;
  std::deque<PKSSTREAM_HEADER> queued;              // oldest first: the front is the leading edge
  std::deque<Device::CompletedFrame> completed;     // oldest first
  bool accepting = false;      // frames are accepted (out of STOP and not closing)
  bool closed = false;         // no more frames and no more waits
  bool edge_locked = false;    // the leading edge is handed out locked
  bool flush_on_unlock = false;  // stopped while locked: the frame is cancelled unless ejected
  KSSTREAM_POINTER edge{};     // the pin's leading-edge stream pointer
  std::atomic<size_t> queued_count{0};  // queued.size(), for the worker's checks
  std::atomic<uint64_t> ejected{0};     // frames the driver ejected so far

  // ---- Processing (ks_process.cpp), guarded by process_lock ----
  std::mutex process_lock;
  std::condition_variable process_wake;  // the worker waits here
  std::condition_variable process_idle;  // stop and close wait here for a running Process
  const KSPIN_DISPATCH* dispatch = nullptr;
  ULONG flags = 0;          // the pin descriptor's KSPIN_FLAG_* bits
  bool requested = false;   // a Process run is asked for
  bool running = false;     // Process is running
  bool gate = false;        // the pin's state lets Process run
  bool exiting = false;     // the worker is to end
  std::thread worker;

  // ---- Reference clock (ks_clock.cpp) ----
  std::mutex clock_lock;
  HostClock* clock = nullptr;  // created on the first request, one reference held by the pin
};

// The open pin record of a KSPIN, or of the leading-edge stream pointer a pin handed out; null
// when unknown (never created, or closed).
std::shared_ptr<PinRecord> FindPin(const void* pin);
std::shared_ptr<PinRecord> FindPinOfStreamPointer(const void* pointer);

// Frame queue (ks_queue.cpp).
NTSTATUS QueueSubmit(PinRecord& pin, PKSSTREAM_HEADER header);
// Accepting frames or not; turning it off completes every queued frame with `status` (a
// locked leading edge completes when the driver releases it).
void QueueSetAccepting(PinRecord& pin, bool accepting, NTSTATUS status);
// Closes the queue for good: every frame is completed with STATUS_CANCELLED and dropped, and
// waiters return.
void QueueClose(PinRecord& pin);
bool QueueWait(PinRecord& pin, uint32_t timeout_ms, Device::CompletedFrame* frame);
size_t QueueSize(PinRecord& pin);

// Processing (ks_process.cpp).
bool StartWorker(PinRecord& pin);
// Ends the worker after a running Process returned; Process never runs afterwards.
void StopWorker(PinRecord& pin);
void RequestProcessing(PinRecord& pin);
// Recomputes whether the pin's state lets Process run (state `state`).
void SetProcessGate(PinRecord& pin, KSSTATE state);
void DropProcessRequests(PinRecord& pin);
// Waits until no Process runs (the caller closed the gate first).
void WaitProcessIdle(PinRecord& pin);
// A frame arrived: starts processing unless the pin asks not to, and lets a request that waited
// for frames run.
void FrameArrived(PinRecord& pin);

// Reference clock (ks_clock.cpp): drops the pin's reference when the pin goes, and reports a
// clock the driver still holds.
void ReleasePinClock(PinRecord& pin);

// Closes every filter still open on the device (an application that went away without
// closing its handles), newest first, each after its pins.
void CloseOpenFilters(Device::Impl& device);
// Closes the open pins of `filter`, newest first (a filter goes only after its pins).
void ClosePinsOfFilter(Device::Impl& device, PKSFILTER filter);

}  // namespace kscam::host::ks
