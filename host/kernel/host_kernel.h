// Host-side API of the user-mode kernel services, for the rest of the host (KS class driver,
// USB stack, tools, tests). The driver never includes this; it sees only platform/wdm.h.
//
// Clocks:
//  - System time (absolute waits, QuerySystemTime): 100 ns units since 1601-01-01 UTC, taken
//    from the wall clock (CLOCK_REALTIME), as the platform's KeQuerySystemTime.
//  - Interrupt time (KeQueryInterruptTime): 100 ns units of the monotonic clock.
// An absolute time-out is converted once, at the start of the wait, into a monotonic
// deadline; a later change of the wall clock does not move it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/wdm.h"

namespace kscam::host {

// ---- IRQL ------------------------------------------------------------------------------------

// The calling thread's IRQL (the same as KeGetCurrentIrql).
KIRQL CurrentIrql();
// Raises the calling thread's IRQL; returns the previous level. Raising below the current
// level is a verifier violation.
KIRQL RaiseIrql(KIRQL new_irql);
// Lowers back to `old_irql` (a value RaiseIrql returned).
void LowerIrql(KIRQL old_irql);

// Runs `fn` at DISPATCH_LEVEL on the calling thread (how the USB stack runs completion
// routines), then restores the previous level. Reports fn leaving the IRQL changed.
void RunAtDispatchLevel(const std::function<void()>& fn);

// Critical-region depth of the calling thread (KeEnterCriticalRegion minus leaves).
int CriticalRegionDepth();

// Checks that the calling thread is back at its resting state: PASSIVE_LEVEL, no critical
// region, no extended state saved, no mutex held. Reports violations naming `where`; returns
// true when balanced. System threads are checked this way when they end.
bool CheckThreadBalanced(const char* where);

// ---- Time ------------------------------------------------------------------------------------

LONGLONG QuerySystemTime();     // 100 ns since 1601, wall clock
ULONGLONG QueryInterruptTime();  // 100 ns, monotonic

// ---- Processor features ----------------------------------------------------------------------

enum class CpuLevel { Sse2, Avx, Avx2, Avx512 };
// Caps what ExIsProcessorFeaturePresent reports (and what extended state the host claims),
// so tests can run the lower code paths on a better machine. Never raises above the real CPU.
void SetProcessorFeatureLimit(CpuLevel level);
void ClearProcessorFeatureLimit();
// The best level the host reports now (real CPU and limit combined).
CpuLevel ProcessorLevel();

// Extended-state mask saved on the calling thread (the union of the open saves).
ULONG64 CurrentXStateMask();

// ---- Device and driver objects of the host's own drivers -------------------------------------

// A driver object named `name`, all dispatch entries null. Freed with DeleteDriverObject.
PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// A device object of `driver` with a zeroed, 16-byte aligned extension of `extension_size`
// bytes and the given stack size (1 for a bottom device). Linked into the driver's list.
PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extension_size, CCHAR stack_size,
                                  ULONG device_type = 0);
void DeleteDeviceObject(PDEVICE_OBJECT device);
// Puts `upper` on top of `lower`: upper's stack size becomes lower's plus one.
void AttachDevice(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);

// ---- IRPs and MDLs ---------------------------------------------------------------------------

// The address through which the host reaches the memory an MDL describes (what the platform's
// MmGetSystemAddressForMdlSafe gives a driver). Reports an MDL that was never mapped or built.
PVOID MdlSystemAddress(PMDL mdl);

// Whether the IRP is known to the host and currently owned by a lower driver (sent with
// IofCallDriver and not completed back to its sender).
bool IrpIsPending(PIRP irp);

}  // namespace kscam::host
