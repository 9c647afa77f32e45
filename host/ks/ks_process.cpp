// Processing: each pin has one worker thread that runs the driver's Process at PASSIVE_LEVEL
// when asked (KsPinAttemptProcessing, or a frame's arrival), never twice at once. Requests that
// come while Process runs, or while the pin's state does not allow it, merge into one more run.
#include <mutex>
#include <string>
#include <system_error>

#include "host/kernel/host_kernel.h"
#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "host/ks/ks_internal.h"

namespace kscam::host::ks {

namespace {

// Whether a requested run may start now; the caller holds process_lock.
bool Runnable(const PinRecord& r) {
  if (!r.requested || !r.gate || !r.dispatch || !r.dispatch->Process) return false;
  // Unless the pin says otherwise, Process needs a frame to work on.
  return (r.flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) || r.queued_count.load() != 0;
}

void WorkerMain(PinRecord* r) {
  // A host thread starts at PASSIVE_LEVEL, outside any critical region, as Process expects.
  std::unique_lock guard(r->process_lock);
  for (;;) {
    r->process_wake.wait(guard, [&] { return r->exiting || Runnable(*r); });
    if (r->exiting) return;
    r->requested = false;
    r->running = true;
    const PFNKSPIN process = r->dispatch->Process;
    const uint64_t ejected_before = r->ejected.load();
    guard.unlock();
    const NTSTATUS status = process(r->ks);
    CheckThreadBalanced("pin Process return");
    guard.lock();
    r->running = false;
    // STATUS_PENDING waits for the next request; success asks for another run while the
    // driver keeps taking frames and frames are left.
    if (status == STATUS_SUCCESS && r->ejected.load() != ejected_before && r->queued_count.load() != 0) {
      r->requested = true;
    }
    r->process_idle.notify_all();
  }
}

}  // namespace

bool StartWorker(PinRecord& r) {
  try {
    r.worker = std::thread(WorkerMain, &r);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void StopWorker(PinRecord& r) {
  {
    std::lock_guard guard(r.process_lock);
    r.exiting = true;
    r.gate = false;
    r.requested = false;
  }
  r.process_wake.notify_all();
  if (r.worker.joinable()) r.worker.join();
}

void RequestProcessing(PinRecord& r) {
  {
    std::lock_guard guard(r.process_lock);
    if (r.exiting) return;
    r.requested = true;
  }
  r.process_wake.notify_all();
}

void FrameArrived(PinRecord& r) {
  {
    std::lock_guard guard(r.process_lock);
    if (r.exiting) return;
    if (!(r.flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING)) r.requested = true;
  }
  r.process_wake.notify_all();
}

void SetProcessGate(PinRecord& r, KSSTATE state) {
  {
    std::lock_guard guard(r.process_lock);
    const bool run_only = r.flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
    r.gate = !r.exiting && (run_only ? state == KSSTATE_RUN : state >= KSSTATE_PAUSE);
  }
  r.process_wake.notify_all();
}

void DropProcessRequests(PinRecord& r) {
  std::lock_guard guard(r.process_lock);
  r.requested = false;
}

void WaitProcessIdle(PinRecord& r) {
  std::unique_lock guard(r.process_lock);
  r.process_idle.wait(guard, [&] { return !r.running; });
}

}  // namespace kscam::host::ks

using namespace kscam::host;

extern "C" void KsPinAttemptProcessing(PKSPIN pin, BOOLEAN) {
  // Always asynchronous: the caller may be a thread the pin's stop is waiting for.
  std::shared_ptr<ks::PinRecord> record = ks::FindPin(pin);
  if (!record) {
    verifier::Report(verifier::ViolationKind::Other, "KsPinAttemptProcessing: not an open pin");
    return;
  }
  ks::RequestProcessing(*record);
}
