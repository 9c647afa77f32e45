// Per-thread IRQL, spin locks, critical regions.
#include <sched.h>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_critical = 0;
thread_local int t_mutexes = 0;
thread_local char t_token;  // its address names the thread as a spin lock owner

KSPIN_LOCK g_cancel_lock = 0;

ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&t_token); }

}  // namespace

namespace detail {

int& MutexesHeld() { return t_mutexes; }

PKTHREAD CurrentThreadIdentity() {
  PKTHREAD t = CurrentSystemThread();
  return t != nullptr ? t : reinterpret_cast<PKTHREAD>(&t_token);
}

void ResetThreadState() {
  t_irql = PASSIVE_LEVEL;
  t_critical = 0;
  t_mutexes = 0;
}

}  // namespace detail

KIRQL CurrentIrql() { return t_irql; }

KIRQL RaiseIrql(KIRQL new_irql) {
  KIRQL old = t_irql;
  if (new_irql < old) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse, "IRQL raised from " + std::to_string(old) + " down to " +
                                                              std::to_string(new_irql));
  }
  t_irql = new_irql;
  return old;
}

void LowerIrql(KIRQL old_irql) {
  if (old_irql > t_irql) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse, "IRQL lowered from " + std::to_string(t_irql) + " up to " +
                                                              std::to_string(old_irql));
  }
  t_irql = old_irql;
}

void RunAtDispatchLevel(const std::function<void()>& fn) {
  KIRQL old = RaiseIrql(DISPATCH_LEVEL);
  fn();
  if (t_irql != DISPATCH_LEVEL) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse,
                     "code run at DISPATCH_LEVEL returned at IRQL " + std::to_string(t_irql));
    t_irql = DISPATCH_LEVEL;
  }
  LowerIrql(old);
}

int CriticalRegionDepth() { return t_critical; }

bool CheckThreadBalanced(const char* where) {
  bool ok = true;
  if (t_irql != PASSIVE_LEVEL) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse,
                     std::string(where) + ": IRQL is " + std::to_string(t_irql) + ", not PASSIVE_LEVEL");
    t_irql = PASSIVE_LEVEL;
    ok = false;
  }
  if (t_critical != 0) {
    verifier::Report(verifier::ViolationKind::CriticalRegionUnbalanced,
                     std::string(where) + ": critical region depth is " + std::to_string(t_critical));
    t_critical = 0;
    ok = false;
  }
  if (t_mutexes != 0) {
    verifier::Report(verifier::ViolationKind::MutexMisuse,
                     std::string(where) + ": " + std::to_string(t_mutexes) + " mutex(es) still held");
    t_mutexes = 0;
    ok = false;
  }
  if (detail::XStateDepth() != 0) {
    verifier::Report(verifier::ViolationKind::XStateUnbalanced,
                     std::string(where) + ": " + std::to_string(detail::XStateDepth()) +
                         " extended state save(s) not restored");
    ok = false;
  }
  return ok;
}

}  // namespace kscam::host

using namespace kscam::host;
using verifier::ViolationKind;

extern "C" KIRQL KeGetCurrentIrql(VOID) { return t_irql; }

extern "C" VOID KeEnterCriticalRegion(VOID) {
  if (t_irql > APC_LEVEL) verifier::Report(ViolationKind::IrqlMisuse, "KeEnterCriticalRegion above APC_LEVEL");
  ++t_critical;
}

extern "C" VOID KeLeaveCriticalRegion(VOID) {
  if (t_critical <= 0) {
    verifier::Report(ViolationKind::CriticalRegionUnbalanced, "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    return;
  }
  --t_critical;
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = t_irql;
  if (old > DISPATCH_LEVEL) {
    verifier::Report(ViolationKind::IrqlMisuse, "spin lock acquired above DISPATCH_LEVEL");
  }
  ULONG_PTR me = OwnerToken();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
    verifier::Report(ViolationKind::SpinLockMisuse,
                     "spin lock " + detail::Hex(SpinLock) + " acquired again by its owner (deadlock)");
    std::abort();
  }
  t_irql = DISPATCH_LEVEL;
  unsigned spins = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    // The owner may be descheduled on the host; give it the processor.
    if (++spins > 64) sched_yield();
  }
  return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
  if (owner != OwnerToken()) {
    verifier::Report(ViolationKind::SpinLockMisuse,
                     "spin lock " + detail::Hex(SpinLock) + (owner == 0 ? " released while free" : " released by a thread that does not own it"));
    return;
  }
  if (t_irql != DISPATCH_LEVEL) {
    verifier::Report(ViolationKind::IrqlMisuse,
                     "spin lock released at IRQL " + std::to_string(t_irql) + " instead of DISPATCH_LEVEL");
  }
  if (NewIrql > DISPATCH_LEVEL) {
    verifier::Report(ViolationKind::IrqlMisuse, "spin lock released to IRQL " + std::to_string(NewIrql));
  }
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  t_irql = NewIrql;
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancel_lock); }

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancel_lock, Irql); }
