// Dispatcher objects (events, mutexes, thread objects), waits and delays, clocks.
//
// Every object's SignalState is read and written under the lock of a bucket chosen by the
// object's address; a waiter sleeps on the bucket's condition variable. Objects sharing a
// bucket wake each other's waiters, who simply re-check.
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

using Clock = std::chrono::steady_clock;

struct Bucket {
  std::mutex lock;
  std::condition_variable wake;
};

constexpr size_t kBuckets = 64;

Bucket& BucketOf(const void* object) {
  static Bucket* buckets = new Bucket[kBuckets];  // never destroyed: threads may wait at exit
  uintptr_t a = reinterpret_cast<uintptr_t>(object);
  return buckets[(a >> 4 ^ a >> 10) % kBuckets];
}

constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;  // 100 ns units from 1601 to 1970

// The monotonic deadline of a platform time-out: nullopt = wait for ever. Negative values are
// relative, positive ones absolute system time; spans beyond a century count as for ever.
std::optional<Clock::time_point> Deadline(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return std::nullopt;
  Clock::time_point now = Clock::now();
  LONGLONG t = timeout->QuadPart;
  LONGLONG units;  // 100 ns units from now
  if (t <= 0) {
    units = t == INT64_MIN ? INT64_MAX : -t;
  } else {
    units = t - QuerySystemTime();
    if (units <= 0) return now;
  }
  constexpr LONGLONG kCentury = 100LL * 365 * 24 * 3600 * 10000000;
  if (units > kCentury) return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(units * 100));
}

bool IsPoll(const LARGE_INTEGER* timeout) { return timeout != nullptr && timeout->QuadPart == 0; }

// Tries to satisfy a wait on the object; called with the bucket lock held.
bool TryAcquire(DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case EventNotificationObject:
    case ThreadObject:
      return h->SignalState > 0;
    case EventSynchronizationObject:
      if (h->SignalState <= 0) return false;
      h->SignalState = 0;
      return true;
    case MutantObject: {
      auto* m = reinterpret_cast<KMUTEX*>(h);
      PKTHREAD me = detail::CurrentThreadIdentity();
      if (h->SignalState > 0) {
        h->SignalState = 0;
        m->OwnerThread = me;
        ++detail::MutexesHeld();
        return true;
      }
      if (m->OwnerThread == me) {
        --h->SignalState;  // recursive acquisition
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

bool KnownType(UCHAR type) {
  return type == EventNotificationObject || type == EventSynchronizationObject || type == MutantObject ||
         type == ThreadObject;
}

void CheckBlockingAllowed(const LARGE_INTEGER* timeout, const char* what) {
  KIRQL irql = CurrentIrql();
  if (irql >= DISPATCH_LEVEL && !IsPoll(timeout)) {
    verifier::Report(verifier::ViolationKind::BlockingWaitAtDispatch,
                     std::string(what) + " with " + (timeout == nullptr ? "no time-out" : "a non-zero time-out") +
                         " at IRQL " + std::to_string(irql));
  } else if (irql > DISPATCH_LEVEL) {
    verifier::Report(verifier::ViolationKind::IrqlMisuse, std::string(what) + " above DISPATCH_LEVEL");
  }
}

}  // namespace

namespace detail {

void SignalObject(DISPATCHER_HEADER* header, LONG state) {
  Bucket& b = BucketOf(header);
  {
    std::lock_guard guard(b.lock);
    header->SignalState = state;
  }
  b.wake.notify_all();
}

}  // namespace detail

LONGLONG QuerySystemTime() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return kUnixEpochIn1601 + static_cast<LONGLONG>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

ULONGLONG QueryInterruptTime() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 10000000 + static_cast<ULONGLONG>(ts.tv_nsec) / 100;
}

}  // namespace kscam::host

using namespace kscam::host;
using verifier::ViolationKind;

extern "C" ULONGLONG KeQueryInterruptTime(VOID) { return QueryInterruptTime(); }

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Bucket& b = BucketOf(Event);
  std::lock_guard guard(b.lock);
  Event->Header.Type = static_cast<UCHAR>(Type == SynchronizationEvent ? EventSynchronizationObject
                                                                        : EventNotificationObject);
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Reserved1 = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  if (CurrentIrql() > DISPATCH_LEVEL) verifier::Report(ViolationKind::IrqlMisuse, "KeSetEvent above DISPATCH_LEVEL");
  Bucket& b = BucketOf(Event);
  LONG previous;
  {
    std::lock_guard guard(b.lock);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  b.wake.notify_all();
  return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
  Bucket& b = BucketOf(Event);
  std::lock_guard guard(b.lock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
  Bucket& b = BucketOf(Event);
  std::lock_guard guard(b.lock);
  return Event->Header.SignalState;
}

extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  Bucket& b = BucketOf(Mutex);
  std::lock_guard guard(b.lock);
  Mutex->Header.Type = MutantObject;
  Mutex->Header.Signalling = 0;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.Reserved1 = 0;
  Mutex->Header.SignalState = 1;
  Mutex->Header.WaitListHead.Flink = Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
  Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  if (CurrentIrql() > DISPATCH_LEVEL) verifier::Report(ViolationKind::IrqlMisuse, "KeReleaseMutex above DISPATCH_LEVEL");
  Bucket& b = BucketOf(Mutex);
  LONG previous;
  bool freed = false;
  {
    std::lock_guard guard(b.lock);
    previous = Mutex->Header.SignalState;
    if (Mutex->Header.Type != MutantObject || previous > 0 ||
        Mutex->OwnerThread != detail::CurrentThreadIdentity()) {
      std::string why = Mutex->Header.Type != MutantObject ? "is not an initialised mutex"
                        : previous > 0                      ? "is not held"
                                                            : "is held by another thread";
      verifier::Report(ViolationKind::MutexMisuse, "KeReleaseMutex: mutex " + detail::Hex(Mutex) + " " + why);
      return previous;
    }
    if (++Mutex->Header.SignalState == 1) {
      Mutex->OwnerThread = nullptr;
      --detail::MutexesHeld();
      freed = true;
    }
  }
  if (freed) b.wake.notify_all();
  return previous;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER Timeout) {
  CheckBlockingAllowed(Timeout, "KeWaitForSingleObject");
  auto* h = static_cast<DISPATCHER_HEADER*>(Object);
  Bucket& b = BucketOf(Object);
  std::optional<Clock::time_point> deadline = Deadline(Timeout);
  std::unique_lock guard(b.lock);
  if (!KnownType(h->Type)) {
    guard.unlock();
    verifier::Report(ViolationKind::ObjectMisuse,
                     "KeWaitForSingleObject on " + detail::Hex(Object) + ", which is not a dispatcher object (type " +
                         std::to_string(h->Type) + ")");
    return STATUS_INVALID_PARAMETER;
  }
  for (;;) {
    if (TryAcquire(h)) return STATUS_SUCCESS;
    if (deadline) {
      if (Clock::now() >= *deadline) return STATUS_TIMEOUT;
      b.wake.wait_until(guard, *deadline);
    } else {
      b.wake.wait(guard);
    }
  }
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (Interval == nullptr) {
    verifier::Report(ViolationKind::ObjectMisuse, "KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  CheckBlockingAllowed(Interval, "KeDelayExecutionThread");
  std::optional<Clock::time_point> deadline = Deadline(Interval);
  if (!deadline) {
    verifier::Report(ViolationKind::ObjectMisuse, "KeDelayExecutionThread for ever");
    return STATUS_INVALID_PARAMETER;
  }
  if (IsPoll(Interval)) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_until(*deadline);
  }
  return STATUS_SUCCESS;
}
