// MDLs: whole buffers, partial MDLs over chunks of a frame buffer, chaining onto IRPs.
#include "host/kernel/verifier_gtest.h"

namespace kh = kscam::host;
namespace kv = kscam::host::verifier;

namespace {

constexpr ULONG kTag = KSCAM_POOL_TAG('Z', 'o', 'r', 'b');

TEST(Mdl, PartialMdlsDescribeEachChunkOfABuffer) {
  const ULONG n = 307200;  // five chunks, the last of 45,056 bytes
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, n, kTag));
  ASSERT_NE(buffer, nullptr);
  PMDL whole = IoAllocateMdl(buffer, n, FALSE, FALSE, nullptr);
  ASSERT_NE(whole, nullptr);
  MmBuildMdlForNonPagedPool(whole);
  EXPECT_EQ(MmGetMdlVirtualAddress(whole), buffer);
  EXPECT_EQ(MmGetMdlByteCount(whole), n);
  EXPECT_EQ(kh::MdlSystemAddress(whole), buffer);

  ULONG offset = 0, chunks = 0, last = 0;
  while (offset < n) {
    ULONG len = n - offset < 65536 ? n - offset : 65536;
    // Sized for the whole buffer, attached to an IRP, as a chunked reader does.
    PIRP irp = IoAllocateIrp(2, FALSE);
    PMDL part = IoAllocateMdl(buffer, n, FALSE, FALSE, irp);
    ASSERT_EQ(irp->MdlAddress, part);
    IoBuildPartialMdl(whole, part, buffer + offset, len);
    EXPECT_EQ(MmGetMdlVirtualAddress(part), buffer + offset);
    EXPECT_EQ(MmGetMdlByteCount(part), len);
    EXPECT_TRUE(part->MdlFlags & MDL_PARTIAL);
    auto* system = static_cast<PUCHAR>(kh::MdlSystemAddress(part));
    EXPECT_EQ(system, buffer + offset);
    // The page array names the buffer's own pages.
    auto* pages = reinterpret_cast<ULONG_PTR*>(part + 1);
    EXPECT_EQ(pages[0], reinterpret_cast<ULONG_PTR>(buffer + offset) >> PAGE_SHIFT);
    memset(system, static_cast<int>(chunks + 1), len);
    last = len;
    offset += len;
    ++chunks;
    IoFreeMdl(part);
    IoFreeIrp(irp);
  }
  EXPECT_EQ(chunks, 5u);
  EXPECT_EQ(last, 45056u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[65536], 2);
  EXPECT_EQ(buffer[n - 1], 5);
  IoFreeMdl(whole);
  ExFreePoolWithTag(buffer, kTag);
}

TEST(Mdl, PartialOutsideTheSourceOrTooBigForTheTargetIsReported) {
  auto* raw = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 4 * PAGE_SIZE, kTag));
  auto* buffer = static_cast<PUCHAR>(PAGE_ALIGN(raw + PAGE_SIZE - 1));  // three whole pages
  PMDL whole = IoAllocateMdl(buffer, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(whole);
  PMDL small = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);  // room for one page

  IoBuildPartialMdl(whole, small, buffer + PAGE_SIZE, 3 * PAGE_SIZE);  // runs past the source
  auto v = kv::TakeViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].kind, kv::ViolationKind::MdlMisuse);

  IoBuildPartialMdl(whole, small, buffer + 100, 2 * PAGE_SIZE);  // spans three pages
  EXPECT_EQ(kv::TakeViolations().size(), 1u);

  IoBuildPartialMdl(whole, small, buffer + 2 * PAGE_SIZE + 8, 0);  // zero length: the rest
  EXPECT_TRUE(kv::TakeViolations().empty());
  EXPECT_EQ(MmGetMdlByteCount(small), PAGE_SIZE - 8u);

  IoFreeMdl(small);
  IoFreeMdl(whole);
  IoFreeMdl(whole);
  EXPECT_EQ(kv::TakeViolations().size(), 1u);
  ExFreePoolWithTag(raw, kTag);
}

TEST(Mdl, SecondaryMdlsChainOntoTheIrp) {
  UCHAR a[16], b[16], c[16];
  PIRP irp = IoAllocateIrp(1, FALSE);
  PMDL first = IoAllocateMdl(a, 16, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(b, 16, TRUE, FALSE, irp);
  PMDL third = IoAllocateMdl(c, 16, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, first);
  EXPECT_EQ(first->Next, second);
  EXPECT_EQ(second->Next, third);
  EXPECT_EQ(kh::MdlSystemAddress(third), c) << "an MDL that was never built is reported";
  EXPECT_EQ(kv::TakeViolations().size(), 1u);
  IoFreeMdl(first);
  IoFreeMdl(second);
  IoFreeMdl(third);
  IoFreeIrp(irp);
}

TEST(Mdl, AllocationTakesPartInTheLowResourceSimulation) {
  UCHAR a[16];
  kv::FailAllocationsWithTag(kv::kMdlTag);
  EXPECT_EQ(IoAllocateMdl(a, 16, FALSE, FALSE, nullptr), nullptr);
  kv::FailAllocationsWithTag(kv::kIrpTag);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

}  // namespace
