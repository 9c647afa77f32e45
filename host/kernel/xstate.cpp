// Extended processor state and processor features. The host saves nothing (user-mode threads
// keep their own vector state); it checks that saves and restores pair up, nest, and happen
// at a level where the platform allows them.
#include <cpuid.h>

#include <atomic>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

struct OpenSave {
  PXSTATE_SAVE save;
  ULONG64 mask;
};

thread_local std::vector<OpenSave> t_saves;

constexpr ULONG64 kSaveMagic = 0x6b7363616d585354ULL;  // marks a save block as in use

CpuLevel DetectCpu() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return CpuLevel::Sse2;
  bool osxsave = (c >> 27) & 1;
  bool avx = (c >> 28) & 1;
  if (!osxsave || !avx) return CpuLevel::Sse2;
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  if ((lo & 0x6) != 0x6) return CpuLevel::Sse2;  // the OS does not keep YMM state
  if (__get_cpuid_max(0, nullptr) < 7) return CpuLevel::Avx;
  __cpuid_count(7, 0, a, b, c, d);
  bool avx2 = (b >> 5) & 1;
  bool avx512f = (b >> 16) & 1;
  if (!avx2) return CpuLevel::Avx;
  if (avx512f && (lo & 0xE6) == 0xE6) return CpuLevel::Avx512;
  return CpuLevel::Avx2;
}

CpuLevel RealCpu() {
  static const CpuLevel level = DetectCpu();
  return level;
}

std::atomic<int> g_limit{static_cast<int>(CpuLevel::Avx512)};

}  // namespace

namespace detail {
int XStateDepth() { return static_cast<int>(t_saves.size()); }
}  // namespace detail

void SetProcessorFeatureLimit(CpuLevel level) { g_limit.store(static_cast<int>(level)); }
void ClearProcessorFeatureLimit() { g_limit.store(static_cast<int>(CpuLevel::Avx512)); }

CpuLevel ProcessorLevel() {
  int real = static_cast<int>(RealCpu());
  int limit = g_limit.load();
  return static_cast<CpuLevel>(real < limit ? real : limit);
}

ULONG64 CurrentXStateMask() {
  ULONG64 mask = 0;
  for (const OpenSave& s : t_saves) mask |= s.mask;
  return mask;
}

}  // namespace kscam::host

using namespace kscam::host;
using verifier::ViolationKind;

extern "C" BOOLEAN ExIsProcessorFeaturePresent(ULONG ProcessorFeature) {
  CpuLevel level = ProcessorLevel();
  switch (ProcessorFeature) {
    case PF_XMMI64_INSTRUCTIONS_AVAILABLE: return TRUE;
    case PF_AVX_INSTRUCTIONS_AVAILABLE: return level >= CpuLevel::Avx;
    case PF_AVX2_INSTRUCTIONS_AVAILABLE: return level >= CpuLevel::Avx2;
    case PF_AVX512F_INSTRUCTIONS_AVAILABLE: return level >= CpuLevel::Avx512;
    default: return FALSE;
  }
}

extern "C" NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
  if (CurrentIrql() > DISPATCH_LEVEL) {
    verifier::Report(ViolationKind::IrqlMisuse, "KeSaveExtendedProcessorState above DISPATCH_LEVEL");
  }
  if (XStateSave == nullptr) return STATUS_INVALID_PARAMETER;
  for (const auto& s : t_saves) {
    if (s.save == XStateSave) {
      verifier::Report(ViolationKind::XStateUnbalanced,
                       "KeSaveExtendedProcessorState into a save area that is already in use");
      return STATUS_INVALID_PARAMETER;
    }
  }
  // Only the features the host reports can be saved.
  ULONG64 available = XSTATE_MASK_LEGACY_FLOATING_POINT | XSTATE_MASK_LEGACY_SSE;
  if (ProcessorLevel() >= CpuLevel::Avx) available |= XSTATE_MASK_AVX;
  if (ProcessorLevel() >= CpuLevel::Avx512) available |= XSTATE_MASK_AVX512;
  XStateSave->Reserved[0] = kSaveMagic;
  XStateSave->Reserved[1] = Mask & available;
  XStateSave->Reserved[2] = CurrentIrql();
  t_saves.push_back(OpenSave{XStateSave, Mask & available});
  return STATUS_SUCCESS;
}

extern "C" VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
  if (t_saves.empty() || XStateSave == nullptr || XStateSave->Reserved[0] != kSaveMagic) {
    verifier::Report(ViolationKind::XStateUnbalanced,
                     "KeRestoreExtendedProcessorState without a matching save on this thread");
    return;
  }
  if (t_saves.back().save != XStateSave) {
    verifier::Report(ViolationKind::XStateUnbalanced, "KeRestoreExtendedProcessorState out of order (saves must nest)");
    for (auto it = t_saves.begin(); it != t_saves.end(); ++it) {
      if (it->save == XStateSave) {
        t_saves.erase(it);
        break;
      }
    }
  } else {
    t_saves.pop_back();
  }
  if (XStateSave->Reserved[2] != CurrentIrql()) {
    verifier::Report(ViolationKind::IrqlMisuse, "KeRestoreExtendedProcessorState at another IRQL than the save");
  }
  XStateSave->Reserved[0] = 0;
}
