// The pin's reference clock: a COM-style IKsReferenceClock in 100 ns units of the host's
// monotonic clock. The object is a pool block, so a reference the driver never releases shows
// as a leak; the pin holds one reference of its own until it closes.
#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "host/kernel/host_kernel.h"
#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

class HostClock final : public IKsReferenceClock {
 public:
  explicit HostClock(PinRecord* pin) : pin_(pin) {}

  NTSTATUS QueryInterface(REFIID, PVOID* object) override {
    // No other interfaces are offered.
    if (object) *object = nullptr;
    return STATUS_NOT_IMPLEMENTED;
  }
  ULONG AddRef() override { return references_.fetch_add(1) + 1; }
  ULONG Release() override {
    const ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
      this->~HostClock();
      ExFreePoolWithTag(this, kClockTag);
    }
    return left;
  }
  LONGLONG GetTime() override { return Now(); }
  LONGLONG GetPhysicalTime() override { return Now(); }
  LONGLONG GetCorrelatedTime(PLONGLONG system_time) override {
    const LONGLONG now = Now();
    if (system_time) *system_time = now;
    return now;
  }
  LONGLONG GetCorrelatedPhysicalTime(PLONGLONG system_time) override { return GetCorrelatedTime(system_time); }
  NTSTATUS GetResolution(PKSRESOLUTION resolution) override {
    if (!resolution) return STATUS_INVALID_PARAMETER;
    resolution->Granularity = 1;
    resolution->Error = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS GetState(PKSSTATE state) override {
    if (!state) return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(lock_);
    *state = pin_ ? static_cast<KSSTATE>(pin_->state.load()) : KSSTATE_STOP;
    return STATUS_SUCCESS;
  }

  // The pin is going: the clock no longer reports its state.
  void Detach() {
    std::lock_guard guard(lock_);
    pin_ = nullptr;
  }
  ULONG references() const { return references_.load(); }

 private:
  static LONGLONG Now() { return static_cast<LONGLONG>(QueryInterruptTime()); }

  std::mutex lock_;
  PinRecord* pin_;
  std::atomic<ULONG> references_{1};  // the pin's own
};

void ReleasePinClock(PinRecord& r) {
  HostClock* clock;
  {
    std::lock_guard guard(r.clock_lock);
    clock = r.clock;
    r.clock = nullptr;
  }
  if (!clock) return;
  clock->Detach();
  if (const ULONG held = clock->references() - 1) {
    verifier::Report(verifier::ViolationKind::Leak, "pin " + std::to_string(r.id) + " closed while the driver holds " +
                                                        std::to_string(held) + " reference(s) to its reference clock");
  }
  clock->Release();
}

}  // namespace kscam::host::ks

using namespace kscam::host;

extern "C" NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK* interface) {
  if (interface) *interface = nullptr;
  std::shared_ptr<ks::PinRecord> record = ks::FindPin(pin);
  if (!record) {
    verifier::Report(verifier::ViolationKind::Other, "KsPinGetReferenceClockInterface: not an open pin");
    return STATUS_INVALID_PARAMETER;
  }
  if (!interface) return STATUS_INVALID_PARAMETER;
  ks::PinRecord& r = *record;
  // What the platform answers a pin that was given no master clock.
  if (!r.options.reference_clock) return STATUS_DEVICE_NOT_READY;
  std::lock_guard guard(r.clock_lock);
  if (!r.clock) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(ks::HostClock), ks::kClockTag);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    r.clock = new (block) ks::HostClock(&r);
  }
  r.clock->AddRef();
  *interface = r.clock;
  return STATUS_SUCCESS;
}
