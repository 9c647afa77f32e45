// Events, mutexes, waits with time-outs, delays and system threads.
#include <atomic>
#include <thread>
#include <vector>

#include "host/kernel/verifier_gtest.h"

namespace kh = kscam::host;
namespace kv = kscam::host::verifier;

namespace {

bool Has(const std::vector<kv::Violation>& v, kv::ViolationKind kind) {
  for (const auto& x : v)
    if (x.kind == kind) return true;
  return false;
}

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

NTSTATUS Wait(PVOID object, LARGE_INTEGER* timeout) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

TEST(Wait, RelativeTimeOutExpiresNoEarlierThanAsked) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER t = Relative(20);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(Wait(&e, &t), STATUS_TIMEOUT);
  EXPECT_GE(KeQueryInterruptTime() - start, 20u * 10000);
}

TEST(Wait, AbsoluteTimeOutUsesSystemTimeSince1601) {
  // 2020-01-01 in the platform's units; the host clock is past it.
  EXPECT_GT(kh::QuerySystemTime(), 132223104000000000LL);
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER deadline;
  deadline.QuadPart = kh::QuerySystemTime() + 20 * 10000;
  EXPECT_EQ(Wait(&e, &deadline), STATUS_TIMEOUT);
  EXPECT_GE(kh::QuerySystemTime(), deadline.QuadPart);

  LARGE_INTEGER past;
  past.QuadPart = kh::QuerySystemTime() - 10000000;
  EXPECT_EQ(Wait(&e, &past), STATUS_TIMEOUT);
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(&e, &past), STATUS_SUCCESS) << "a signalled object satisfies even an expired wait";
}

TEST(Wait, ZeroTimeOutPollsAndDelayWaitsTheInterval) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(Wait(&e, &zero), STATUS_TIMEOUT);
  LARGE_INTEGER d = Relative(5);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
  EXPECT_GE(KeQueryInterruptTime() - start, 5u * 10000);
}

TEST(Events, NotificationStaysSignalledSynchronizationReleasesOneWaiter) {
  KEVENT n, s;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  KeInitializeEvent(&s, SynchronizationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 1);
  LARGE_INTEGER zero{};
  EXPECT_EQ(Wait(&n, &zero), STATUS_SUCCESS);
  EXPECT_EQ(Wait(&n, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&n), 1);
  EXPECT_EQ(KeResetEvent(&n), 1);
  EXPECT_EQ(Wait(&n, &zero), STATUS_TIMEOUT);

  KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(&s, &zero), STATUS_SUCCESS);
  EXPECT_EQ(Wait(&s, &zero), STATUS_TIMEOUT) << "the wait consumed the signal";

  // Four waiters on a synchronization event: each signal releases exactly one.
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(Wait(&s, nullptr), STATUS_SUCCESS);
      woken.fetch_add(1);
    });
  }
  // Signals do not add up: each one releases one waiter, and the next is set only after it.
  LARGE_INTEGER pause = Relative(1);
  for (int i = 0; i < 4; ++i) {
    KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
    while (woken.load() < i + 1) KeDelayExecutionThread(KernelMode, FALSE, &pause);
    EXPECT_EQ(woken.load(), i + 1);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(KeReadStateEvent(&s), 0);
}

TEST(Events, NotificationWakesAllWaiters) {
  KEVENT n;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(Wait(&n, nullptr), STATUS_SUCCESS);
      woken.fetch_add(1);
    });
  }
  KeSetEvent(&n, IO_NO_INCREMENT, FALSE);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(Mutex, RecursiveOwnershipExcludesOtherThreads) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  ASSERT_EQ(Wait(&m, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(Wait(&m, nullptr), STATUS_SUCCESS);
  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    LARGE_INTEGER zero{};
    EXPECT_EQ(Wait(&m, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(Wait(&m, nullptr), STATUS_SUCCESS);
    other_got_it = true;
    KeReleaseMutex(&m, FALSE);
  });
  // Give the other thread a chance to run while we still hold the mutex once.
  LARGE_INTEGER d = Relative(10);
  KeReleaseMutex(&m, FALSE);
  KeDelayExecutionThread(KernelMode, FALSE, &d);
  EXPECT_FALSE(other_got_it.load()) << "one release of two acquisitions keeps the mutex";
  KeReleaseMutex(&m, FALSE);
  other.join();
  EXPECT_TRUE(other_got_it.load());
  EXPECT_TRUE(kv::TakeViolations().empty());
}

TEST(Mutex, ReleaseByNonOwnerIsReported) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KeReleaseMutex(&m, FALSE);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::MutexMisuse));
  ASSERT_EQ(Wait(&m, nullptr), STATUS_SUCCESS);
  std::thread([&] { KeReleaseMutex(&m, FALSE); }).join();
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::MutexMisuse));
  KeReleaseMutex(&m, FALSE);
  EXPECT_TRUE(kh::CheckThreadBalanced("test"));
}

// Plain data guarded by a spin lock: the lock must exclude and order (the thread sanitizer
// checks the ordering in its run).
TEST(SpinLock, ExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        long seen = counter;
        counter = seen + 1;
        KeReleaseSpinLock(&lock, old);
      }
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
}

// ---- System threads --------------------------------------------------------------------------

struct ThreadContext {
  KEVENT go;
  std::atomic<int> stage{0};
  bool terminate = false;
};

void ThreadBody(PVOID p) {
  auto* ctx = static_cast<ThreadContext*>(p);
  ctx->stage = 1;
  KeWaitForSingleObject(&ctx->go, Executive, KernelMode, FALSE, nullptr);
  ctx->stage = 2;
  if (ctx->terminate) PsTerminateSystemThread(STATUS_SUCCESS);
  ctx->stage = 3;
}

PVOID StartAndReference(ThreadContext* ctx) {
  HANDLE h = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadBody, ctx), STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  return object;
}

TEST(SystemThreads, ThreadObjectIsSignalledWhenTheRoutineReturns) {
  ThreadContext ctx;
  KeInitializeEvent(&ctx.go, NotificationEvent, FALSE);
  PVOID thread = StartAndReference(&ctx);
  LARGE_INTEGER zero{};
  EXPECT_EQ(Wait(thread, &zero), STATUS_TIMEOUT);
  KeSetEvent(&ctx.go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(thread, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ctx.stage.load(), 3);
  ObDereferenceObject(thread);
}

TEST(SystemThreads, TerminateEndsTheThreadAtOnce) {
  ThreadContext ctx;
  ctx.terminate = true;
  KeInitializeEvent(&ctx.go, NotificationEvent, TRUE);
  PVOID thread = StartAndReference(&ctx);
  EXPECT_EQ(Wait(thread, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ctx.stage.load(), 2);
  ObDereferenceObject(thread);
  EXPECT_EQ(kv::WaitForThreadObjects(0, 2000), 0u);
}

TEST(SystemThreads, CreationFailsOnDemandAndBadUseIsReported) {
  kv::FailThreadCreation(1);
  HANDLE h = nullptr;
  ThreadContext ctx;
  EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadBody, &ctx),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::ThreadMisuse));
  EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x7ffc)), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::ObjectMisuse));
}

void UnbalancedBody(PVOID) { KeEnterCriticalRegion(); }

TEST(SystemThreads, ThreadEndingInsideACriticalRegionIsReported) {
  HANDLE h = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, UnbalancedBody, nullptr),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
  ZwClose(h);
  Wait(object, nullptr);
  ObDereferenceObject(object);
  EXPECT_EQ(kv::WaitForThreadObjects(0, 2000), 0u);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::CriticalRegionUnbalanced));
}

}  // namespace
