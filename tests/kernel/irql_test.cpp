// IRQL, spin locks, critical regions, extended state and the checks around them.
#include "host/kernel/verifier_gtest.h"

namespace kh = kscam::host;
namespace kv = kscam::host::verifier;

namespace {

bool Has(const std::vector<kv::Violation>& v, kv::ViolationKind kind) {
  for (const auto& x : v)
    if (x.kind == kind) return true;
  return false;
}

TEST(Irql, SpinLocksRaiseToDispatchAndRestoreNested) {
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old_a = KeAcquireSpinLockRaiseToDpc(&a);
  EXPECT_EQ(old_a, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL old_b = KeAcquireSpinLockRaiseToDpc(&b);
  EXPECT_EQ(old_b, DISPATCH_LEVEL);
  KeReleaseSpinLock(&b, old_b);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&a, old_a);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(a, 0u);
}

TEST(Irql, RunAtDispatchLevelRestoresAndFlagsRoutinesThatLeaveItChanged) {
  KIRQL seen = 0;
  kh::RunAtDispatchLevel([&] { seen = KeGetCurrentIrql(); });
  EXPECT_EQ(seen, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(kv::TakeViolations().empty());

  kh::RunAtDispatchLevel([] { kh::LowerIrql(PASSIVE_LEVEL); });
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::IrqlMisuse));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Irql, SpinLockReleaseByNonOwnerOrWhileFreeIsReported) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::SpinLockMisuse));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Verifier, BlockingWaitAtDispatchIsReportedButPollIsNot) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_TRUE(kv::TakeViolations().empty());
  LARGE_INTEGER short_wait;
  short_wait.QuadPart = -10;  // 1 us
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &short_wait), STATUS_TIMEOUT);
  KeReleaseSpinLock(&lock, old);
  auto v = kv::TakeViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].kind, kv::ViolationKind::BlockingWaitAtDispatch);

  kh::RunAtDispatchLevel([&] { KeDelayExecutionThread(KernelMode, FALSE, &short_wait); });
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::BlockingWaitAtDispatch));
}

TEST(Verifier, CriticalRegionsMustBalance) {
  KeEnterCriticalRegion();
  KeEnterCriticalRegion();
  EXPECT_EQ(kh::CriticalRegionDepth(), 2);
  KeLeaveCriticalRegion();
  KeLeaveCriticalRegion();
  EXPECT_TRUE(kh::CheckThreadBalanced("test"));
  KeLeaveCriticalRegion();
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::CriticalRegionUnbalanced));

  KeEnterCriticalRegion();
  EXPECT_FALSE(kh::CheckThreadBalanced("test"));
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::CriticalRegionUnbalanced));
  EXPECT_EQ(kh::CriticalRegionDepth(), 0);
}

TEST(XState, SavesMustPairAndNest) {
  XSTATE_SAVE outer, inner;
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_LEGACY_SSE, &inner), STATUS_SUCCESS);
  EXPECT_TRUE(kh::CurrentXStateMask() & XSTATE_MASK_LEGACY_SSE);
  KeRestoreExtendedProcessorState(&inner);
  KeRestoreExtendedProcessorState(&outer);
  EXPECT_EQ(kh::CurrentXStateMask(), 0u);
  EXPECT_TRUE(kv::TakeViolations().empty());

  KeRestoreExtendedProcessorState(&outer);  // restored twice
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::XStateUnbalanced));

  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
  KeRestoreExtendedProcessorState(&outer);  // not the innermost
  KeRestoreExtendedProcessorState(&inner);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::XStateUnbalanced));

  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
  EXPECT_FALSE(kh::CheckThreadBalanced("test"));
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::XStateUnbalanced));
  KeRestoreExtendedProcessorState(&outer);
}

TEST(XState, FeatureLimitLowersWhatIsReported) {
  EXPECT_TRUE(ExIsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE));
  kh::SetProcessorFeatureLimit(kh::CpuLevel::Sse2);
  EXPECT_FALSE(ExIsProcessorFeaturePresent(PF_AVX_INSTRUCTIONS_AVAILABLE));
  EXPECT_FALSE(ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE));
  EXPECT_FALSE(ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE));
  kh::SetProcessorFeatureLimit(kh::CpuLevel::Avx2);
  EXPECT_FALSE(ExIsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE));
  EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != 0,
            __builtin_cpu_supports("avx2") != 0);
  kh::ClearProcessorFeatureLimit();
  EXPECT_EQ(ExIsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != 0,
            __builtin_cpu_supports("avx2") != 0);
}

}  // namespace
