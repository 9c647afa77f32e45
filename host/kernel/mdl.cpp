// Memory descriptor lists. The host's "physical" page numbers are the virtual page numbers of
// the buffer, stored after the MDL header as the platform lays out its page array; partial
// MDLs copy their slice of that array from the source, so a wrong slice shows in the pages.
#include <mutex>
#include <unordered_map>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

typedef ULONG_PTR PFN_NUMBER;

struct Registry {
  std::mutex lock;
  std::unordered_map<PMDL, ULONG> mdls;  // page capacity of each
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed
  return *r;
}

ULONG SpanPages(const void* va, SIZE_T length) {
  if (length == 0) return 0;
  ULONG_PTR first = reinterpret_cast<ULONG_PTR>(va) >> PAGE_SHIFT;
  ULONG_PTR last = (reinterpret_cast<ULONG_PTR>(va) + length - 1) >> PAGE_SHIFT;
  return static_cast<ULONG>(last - first + 1);
}

PFN_NUMBER* Pages(PMDL mdl) { return reinterpret_cast<PFN_NUMBER*>(mdl + 1); }
ULONG Capacity(PMDL mdl) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto it = r.mdls.find(mdl);
  return it == r.mdls.end() ? 0 : it->second;
}

bool Known(PMDL mdl) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  return r.mdls.count(mdl) != 0;
}

}  // namespace

PVOID MdlSystemAddress(PMDL mdl) {
  if (!Known(mdl)) {
    verifier::Report(verifier::ViolationKind::MdlMisuse, "MDL " + detail::Hex(mdl) + " is not allocated");
    return nullptr;
  }
  if (!(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) ||
      mdl->MappedSystemVa == nullptr) {
    verifier::Report(verifier::ViolationKind::MdlMisuse,
                     "MDL " + detail::Hex(mdl) + " was used for I/O without being built or mapped");
    return MmGetMdlVirtualAddress(mdl);
  }
  return mdl->MappedSystemVa;
}

}  // namespace kscam::host

using namespace kscam::host;
using verifier::ViolationKind;

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
  if (Length == 0 || Length > 0xFFFFFFFFu - PAGE_SIZE) return nullptr;
  ULONG pages = SpanPages(VirtualAddress, Length);
  SIZE_T size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  auto* mdl = static_cast<PMDL>(detail::PoolAllocate(NonPagedPool, size, verifier::kMdlTag, true, true));
  if (mdl == nullptr) return nullptr;
  memset(mdl, 0, size);
  mdl->Size = static_cast<CSHORT>(size);  // wraps for very large MDLs, as on the platform
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.mdls[mdl] = pages;
  }
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* link = &Irp->MdlAddress;
      while (*link != nullptr) link = &(*link)->Next;
      *link = mdl;
    }
  }
  return mdl;
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (!Known(mdl)) {
    verifier::Report(ViolationKind::MdlMisuse, "MmBuildMdlForNonPagedPool: " + detail::Hex(mdl) + " is not an MDL");
    return;
  }
  if (mdl->MdlFlags & MDL_PARTIAL) {
    verifier::Report(ViolationKind::MdlMisuse, "MmBuildMdlForNonPagedPool on a partial MDL");
    return;
  }
  ULONG pages = SpanPages(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PFN_NUMBER page = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
  ULONG capacity = Capacity(mdl);
  for (ULONG i = 0; i < pages && i < capacity; ++i) Pages(mdl)[i] = page + i;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  if (!Known(SourceMdl) || !Known(TargetMdl)) {
    verifier::Report(ViolationKind::MdlMisuse, "IoBuildPartialMdl with an MDL that is not allocated");
    return;
  }
  auto* source_start = static_cast<PUCHAR>(MmGetMdlVirtualAddress(SourceMdl));
  auto* va = static_cast<PUCHAR>(VirtualAddress);
  if (va < source_start || va > source_start + SourceMdl->ByteCount) {
    verifier::Report(ViolationKind::MdlMisuse, "IoBuildPartialMdl: address outside the source MDL");
    return;
  }
  ULONG offset = static_cast<ULONG>(va - source_start);
  if (Length == 0) Length = SourceMdl->ByteCount - offset;  // the rest of the source
  if (Length > SourceMdl->ByteCount - offset) {
    verifier::Report(ViolationKind::MdlMisuse, "IoBuildPartialMdl: " + std::to_string(Length) + " bytes at offset " +
                                                   std::to_string(offset) + " run past the source's " +
                                                   std::to_string(SourceMdl->ByteCount) + " bytes");
    return;
  }
  ULONG pages = SpanPages(va, Length);
  if (pages > Capacity(TargetMdl)) {
    verifier::Report(ViolationKind::MdlMisuse, "IoBuildPartialMdl: the target MDL holds " +
                                                   std::to_string(Capacity(TargetMdl)) + " pages, the slice needs " +
                                                   std::to_string(pages));
    return;
  }
  ULONG first = static_cast<ULONG>((reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(va)) -
                                    reinterpret_cast<ULONG_PTR>(SourceMdl->StartVa)) >> PAGE_SHIFT);
  for (ULONG i = 0; i < pages; ++i) Pages(TargetMdl)[i] = Pages(SourceMdl)[first + i];
  TargetMdl->StartVa = PAGE_ALIGN(va);
  TargetMdl->ByteOffset = BYTE_OFFSET(va);
  TargetMdl->ByteCount = Length;
  TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                            (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
  bool mapped = SourceMdl->MappedSystemVa != nullptr &&
                (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL));
  TargetMdl->MappedSystemVa = mapped ? static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + offset : nullptr;
}

extern "C" VOID IoFreeMdl(PMDL Mdl) {
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.mdls.erase(Mdl);
  }
  // The pool tells a second free from a pointer that never was an MDL.
  detail::PoolFree(Mdl, verifier::kMdlTag, "IoFreeMdl");
}
