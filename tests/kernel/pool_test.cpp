// Pool, leak tracking and the low-resource simulation.
#include <cstring>

#include "host/kernel/verifier_gtest.h"

namespace kv = kscam::host::verifier;

namespace {

constexpr ULONG kTagA = KSCAM_POOL_TAG('K', 'C', 'N', 'w');
constexpr ULONG kTagB = KSCAM_POOL_TAG('Z', 'o', 'r', 'b');

bool Has(const std::vector<kv::Violation>& v, kv::ViolationKind kind) {
  for (const auto& x : v)
    if (x.kind == kind) return true;
  return false;
}

TEST(Pool, BlocksAreAlignedUsableAndTrackedPerTag) {
  uint64_t since = kv::Checkpoint();
  void* blocks[7];
  size_t sizes[7] = {0, 1, 15, 16, 17, 4096, 100000};
  for (int i = 0; i < 7; ++i) {
    blocks[i] = ExAllocatePoolWithTag(NonPagedPoolNx, sizes[i], i % 2 ? kTagA : kTagB);
    ASSERT_NE(blocks[i], nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[i]) % 16, 0u) << sizes[i];
    memset(blocks[i], 0x5A, sizes[i]);
  }
  EXPECT_EQ(kv::Outstanding(since).size(), 7u);
  EXPECT_EQ(kv::Outstanding(since, {kTagA}).size(), 3u);
  for (int i = 0; i < 7; ++i) ExFreePoolWithTag(blocks[i], i % 2 ? kTagA : kTagB);
  EXPECT_TRUE(kv::Outstanding(since).empty());
  EXPECT_TRUE(kv::TakeViolations().empty());
}

TEST(Pool, VerifierCatchesWrongTagDoubleFreeUnknownPointerAndOverrun) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
  ExFreePoolWithTag(p, kTagB);
  auto v = kv::TakeViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].kind, kv::ViolationKind::FreeWithWrongTag);
  EXPECT_NE(v[0].message.find("KCNw"), std::string::npos);
  EXPECT_NE(v[0].message.find("Zorb"), std::string::npos);

  void* q = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
  ExFreePool(q);
  ExFreePool(q);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::DoubleFree));

  int on_stack = 0;
  ExFreePoolWithTag(&on_stack, kTagA);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::FreeUnknownPointer));

  auto* r = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 20, kTagA));
  r[20] = 1;  // one byte past the end, still inside the host's guard
  ExFreePoolWithTag(r, kTagA);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::PoolOverrun));
}

TEST(Pool, LeakScopeReportsWhatItsScopeLeakedOnce) {
  void* before = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  kv::LeakScope scope("device 1", {kTagA});
  void* kept = ExAllocatePoolWithTag(NonPagedPool, 24, kTagA);
  void* other_tag = ExAllocatePoolWithTag(NonPagedPool, 24, kTagB);
  void* freed = ExAllocatePoolWithTag(NonPagedPool, 24, kTagA);
  ExFreePoolWithTag(freed, kTagA);

  EXPECT_EQ(scope.Check(), 1u);
  auto v = kv::TakeViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].kind, kv::ViolationKind::Leak);
  EXPECT_NE(v[0].message.find("device 1"), std::string::npos);
  EXPECT_NE(v[0].message.find("24 bytes"), std::string::npos);
  EXPECT_EQ(scope.Check(), 0u) << "a block is reported once";
  EXPECT_TRUE(kv::TakeViolations().empty());

  ExFreePoolWithTag(kept, kTagA);
  ExFreePoolWithTag(other_tag, kTagB);
  ExFreePoolWithTag(before, kTagA);
}

TEST(Pool, SummaryNamesOutstandingBlocks) {
  uint64_t since = kv::Checkpoint();
  void* p = ExAllocatePoolWithTag(NonPagedPool, 77, kTagB);
  std::string s = kv::Summary();
  EXPECT_NE(s.find("Zorb 77 bytes"), std::string::npos) << s;
  EXPECT_FALSE(kv::Clean());
  ExFreePoolWithTag(p, kTagB);
  EXPECT_TRUE(kv::Outstanding(since).empty());
}

TEST(LowResources, NthAllocationFailsOnce) {
  kv::FailNthAllocation(3);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  void* d = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  for (void* p : {a, b, d}) ExFreePoolWithTag(p, kTagA);
}

TEST(LowResources, EveryAllocationOfOneTagFails) {
  kv::FailAllocationsWithTag(kTagB);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(a, nullptr);
  ExFreePoolWithTag(a, kTagA);
  kv::ResetFaultInjection();
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
  EXPECT_NE(b, nullptr);
  ExFreePoolWithTag(b, kTagB);
}

// The same seed fails the same allocations: a failing run can be replayed.
TEST(LowResources, SeededShareIsReproducible) {
  auto run = [] {
    kv::FailRandomShare(42, 0.3);
    std::vector<bool> failed;
    for (int i = 0; i < 200; ++i) {
      void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
      failed.push_back(p == nullptr);
      if (p) ExFreePoolWithTag(p, kTagA);
    }
    kv::ResetFaultInjection();
    return failed;
  };
  std::vector<bool> first = run();
  EXPECT_EQ(first, run());
  size_t failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 20u);
  EXPECT_LT(failures, 100u);
}

}  // namespace

namespace {

// What is still allocated when the process ends fails the process, with a report.
TEST(ProcessEnd, OutstandingPoolFailsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ExAllocatePoolWithTag(NonPagedPool, 33, kTagA);
        exit(0);
      },
      ::testing::ExitedWithCode(1), "KCNw 33 bytes");
  EXPECT_EXIT(
      {
        ExFreePool(reinterpret_cast<PVOID>(0x1000));
        exit(0);
      },
      ::testing::ExitedWithCode(1), "free of unknown pointer");
  EXPECT_EXIT(
      {
        kv::SetExitCheck(false);
        ExAllocatePoolWithTag(NonPagedPool, 33, kTagA);
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

// A two-allocation set-up that cleans up on every failure path passes every failing run.
TEST(LowResources, EachAllocationOfAScenarioFailsInTurn) {
  int runs = 0, complete = 0;
  uint64_t n = kv::RunWithEachAllocationFailing([&] {
    ++runs;
    void* a = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
    if (a == nullptr) return;
    void* b = ExAllocatePoolWithTag(NonPagedPool, 16, kTagB);
    if (b == nullptr) {
      ExFreePoolWithTag(a, kTagA);
      return;
    }
    ++complete;
    ExFreePoolWithTag(b, kTagB);
    ExFreePoolWithTag(a, kTagA);
  });
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(complete, 1);
}

}  // namespace
