// IRPs: allocation with stack locations, passing down, completion up the stack with the
// completion routines, cancellation, and the threaded requests IoBuildDeviceIoControlRequest
// builds (the host finishes those itself when their completion reaches the top).
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "host/kernel/host_kernel.h"
#include "host/kernel/internal.h"

namespace kscam::host {
namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr size_t kRememberRetired = 4096;

struct IrpTrack {
  bool threaded = false;       // built by IoBuildDeviceIoControlRequest
  bool completing = false;     // IofCompleteRequest is walking its stack
  bool free_requested = false; // IoFreeIrp came while a lower driver owned it
  PVOID copy_out = nullptr;    // METHOD_BUFFERED: where the output goes at completion
  ULONG copy_out_length = 0;
};

struct Registry {
  std::mutex lock;
  std::unordered_map<PIRP, IrpTrack> irps;
  std::unordered_set<PIRP> retired;  // recently freed, to tell "twice" from "never"
  std::deque<PIRP> retired_order;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: IRPs may complete during exit
  return *r;
}

void Retire(Registry& r, PIRP irp) {
  r.irps.erase(irp);
  r.retired.insert(irp);
  r.retired_order.push_back(irp);
  while (r.retired_order.size() > kRememberRetired) {
    PIRP old = r.retired_order.front();
    r.retired_order.pop_front();
    if (!r.irps.count(old)) r.retired.erase(old);
  }
}

// No driver owns the IRP: it is back with the code that allocated it.
bool AtSender(PIRP irp) { return irp->CurrentLocation > irp->StackCount; }

void ReportUnknown(Registry& r, PIRP irp, const char* what, verifier::ViolationKind twice_kind) {
  bool retired = r.retired.count(irp) != 0;
  verifier::Report(retired ? twice_kind : verifier::ViolationKind::IrpMisuse,
                   std::string(what) + ": IRP " + detail::Hex(irp) +
                       (retired ? " was already completed and freed" : " was never allocated"));
}

void FreeIrpMemory(PIRP irp) {
  Registry& r = registry();
  {
    std::lock_guard guard(r.lock);
    Retire(r, irp);
  }
  detail::PoolFree(irp, verifier::kIrpTag, "IoFreeIrp");
}

// The I/O manager's part of finishing a threaded request: copy buffered output, report the
// status block, release the request's buffers and the IRP, then wake the caller.
void FinishThreadedIrp(PIRP irp, const IrpTrack& track) {
  NTSTATUS status = irp->IoStatus.Status;
  bool error = static_cast<ULONG>(status) >= 0xC0000000u;
  if (track.copy_out != nullptr && !error && irp->AssociatedIrp.SystemBuffer != nullptr) {
    ULONG_PTR n = irp->IoStatus.Information;
    if (n > track.copy_out_length) n = track.copy_out_length;
    memcpy(track.copy_out, irp->AssociatedIrp.SystemBuffer, n);
  }
  PIO_STATUS_BLOCK iosb = irp->UserIosb;
  PKEVENT event = irp->UserEvent;
  IO_STATUS_BLOCK result = irp->IoStatus;
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    IoFreeMdl(mdl);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
  if (irp->AssociatedIrp.SystemBuffer != nullptr) {
    detail::PoolFree(irp->AssociatedIrp.SystemBuffer, verifier::kSystemBufferTag, "I/O completion");
  }
  FreeIrpMemory(irp);
  if (iosb != nullptr) *iosb = result;
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void ClearStackLocation(PIO_STACK_LOCATION sl) {
  sl->MinorFunction = 0;
  sl->Flags = 0;
  sl->Control = 0;
  sl->CompletionRoutine = nullptr;
  sl->Context = nullptr;
  sl->FileObject = nullptr;
}

}  // namespace

bool IrpIsPending(PIRP irp) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto it = r.irps.find(irp);
  return it != r.irps.end() && (!AtSender(irp) || it->second.completing);
}

}  // namespace kscam::host

using namespace kscam::host;
using verifier::ViolationKind;

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1) {
    verifier::Report(ViolationKind::IrpMisuse, "IoAllocateIrp with stack size " + std::to_string(StackSize));
    return nullptr;
  }
  SIZE_T size = sizeof(IRP) + static_cast<SIZE_T>(StackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(detail::PoolAllocate(NonPagedPool, size, verifier::kIrpTag, true, true));
  if (irp == nullptr) return nullptr;
  memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.irps[irp] = IrpTrack{};
  r.retired.erase(irp);
  return irp;
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
  Registry& r = registry();
  IrpTrack track;
  {
    std::lock_guard guard(r.lock);
    auto it = r.irps.find(Irp);
    if (it == r.irps.end()) {
      bool retired = r.retired.count(Irp) != 0;
      verifier::Report(retired ? ViolationKind::DoubleFree : ViolationKind::FreeUnknownPointer,
                       "IoFreeIrp: " + detail::Hex(Irp) + (retired ? " was already freed" : " is not an IRP"));
      return;
    }
    if (!AtSender(Irp) || it->second.completing) {
      verifier::Report(ViolationKind::IrpFreedWhilePending,
                       "IoFreeIrp: IRP " + detail::Hex(Irp) + " is still owned by a lower driver");
      it->second.free_requested = true;  // freed once it comes back, so the lower driver stays safe
      return;
    }
    track = it->second;
  }
  if (track.threaded) {
    verifier::Report(ViolationKind::IrpMisuse,
                     "IoFreeIrp on IRP " + detail::Hex(Irp) +
                         " from IoBuildDeviceIoControlRequest: such requests are completed, not freed");
    for (PMDL mdl = Irp->MdlAddress; mdl != nullptr;) {
      PMDL next = mdl->Next;
      IoFreeMdl(mdl);
      mdl = next;
    }
    if (Irp->AssociatedIrp.SystemBuffer != nullptr) {
      detail::PoolFree(Irp->AssociatedIrp.SystemBuffer, verifier::kSystemBufferTag, "IoFreeIrp");
    }
  }
  FreeIrpMemory(Irp);
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr) {
    verifier::Report(ViolationKind::IrpMisuse, "IoBuildDeviceIoControlRequest without a device object");
    return nullptr;
  }
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sl->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  sl->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sl->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  IrpTrack track;
  track.threaded = true;
  bool ok = true;
  switch (IoControlCode & 3) {
    case 0: {  // METHOD_BUFFERED: one system buffer for both directions
      ULONG n = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (n > 0) {
        PVOID sys = detail::PoolAllocate(NonPagedPool, n, verifier::kSystemBufferTag, true, true);
        if (sys == nullptr) {
          ok = false;
          break;
        }
        memset(sys, 0, n);
        if (InputBuffer != nullptr && InputBufferLength > 0) memcpy(sys, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = sys;
        track.copy_out = OutputBuffer;
        track.copy_out_length = OutputBuffer != nullptr ? OutputBufferLength : 0;
      }
      break;
    }
    case 1:
    case 2: {  // METHOD_IN_DIRECT / METHOD_OUT_DIRECT: input buffered, output through an MDL
      if (InputBuffer != nullptr && InputBufferLength > 0) {
        PVOID sys = detail::PoolAllocate(NonPagedPool, InputBufferLength, verifier::kSystemBufferTag, true, true);
        if (sys == nullptr) {
          ok = false;
          break;
        }
        memcpy(sys, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = sys;
      }
      if (OutputBuffer != nullptr && OutputBufferLength > 0) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        if (mdl == nullptr) {
          ok = false;
          break;
        }
        MmBuildMdlForNonPagedPool(mdl);
      }
      break;
    }
    default:  // METHOD_NEITHER: the buffers as given
      sl->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  if (!ok) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
      detail::PoolFree(irp->AssociatedIrp.SystemBuffer, verifier::kSystemBufferTag, "IoBuildDeviceIoControlRequest");
    }
    if (irp->MdlAddress != nullptr) IoFreeMdl(irp->MdlAddress);
    FreeIrpMemory(irp);
    return nullptr;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = detail::CurrentThreadIdentity();
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  r.irps[irp] = track;
  return irp;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (CurrentIrql() > DISPATCH_LEVEL) verifier::Report(ViolationKind::IrqlMisuse, "IofCallDriver above DISPATCH_LEVEL");
  Registry& r = registry();
  {
    std::lock_guard guard(r.lock);
    if (!r.irps.count(Irp)) {
      ReportUnknown(r, Irp, "IofCallDriver", ViolationKind::IrpMisuse);
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr) {
    verifier::Report(ViolationKind::IrpMisuse, "IofCallDriver without a device object of a driver");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    verifier::Report(ViolationKind::IrpMisuse, "IofCallDriver: IRP " + detail::Hex(Irp) +
                                                   " has no stack location left for the next driver");
    return STATUS_INVALID_PARAMETER;
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION sl = Irp->Tail.Overlay.CurrentStackLocation;
  sl->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch =
      sl->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[sl->MajorFunction] : nullptr;
  if (dispatch == nullptr) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(DeviceObject, Irp);
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR) {
  if (CurrentIrql() > DISPATCH_LEVEL) verifier::Report(ViolationKind::IrqlMisuse, "IofCompleteRequest above DISPATCH_LEVEL");
  Registry& r = registry();
  {
    std::unique_lock guard(r.lock);
    auto it = r.irps.find(Irp);
    if (it == r.irps.end()) {
      ReportUnknown(r, Irp, "IofCompleteRequest", ViolationKind::IrpCompletedTwice);
      return;
    }
    bool handed_back = Irp->CurrentLocation == Irp->StackCount + 1;
    if (it->second.completing || Irp->CurrentLocation > Irp->StackCount + 1 ||
        (handed_back && !it->second.threaded)) {
      verifier::Report(ViolationKind::IrpCompletedTwice,
                       "IofCompleteRequest: IRP " + detail::Hex(Irp) +
                           (it->second.completing ? " is being completed already" : " is not owned by any driver"));
      return;
    }
    if (handed_back) {
      // The sender kept its threaded request with STATUS_MORE_PROCESSING_REQUIRED and now
      // hands it to the I/O manager to finish, as the platform allows.
      IrpTrack track = it->second;
      guard.unlock();
      FinishThreadedIrp(Irp, track);
      return;
    }
    it->second.completing = true;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    verifier::Report(ViolationKind::IrpMisuse, "IRP " + detail::Hex(Irp) + " completed with STATUS_PENDING");
  }
  if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {
    verifier::Report(ViolationKind::IrpMisuse, "IRP " + detail::Hex(Irp) + " completed with its cancel routine still set");
  }

  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  do {
    Irp->PendingReturned = (sl->Control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = Irp->IoStatus.Status;
    bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) != 0;
    bool invoke = (NT_SUCCESS(status) && (sl->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (sl->Control & SL_INVOKE_ON_ERROR)) ||
                  (cancelled && (sl->Control & SL_INVOKE_ON_CANCEL));
    if (invoke && sl->CompletionRoutine != nullptr) {
      PIO_COMPLETION_ROUTINE routine = sl->CompletionRoutine;
      PVOID context = sl->Context;
      ClearStackLocation(sl);
      // The routine's own device; none for the sender above the first driver.
      PDEVICE_OBJECT device =
          Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      {
        std::lock_guard guard(r.lock);
        r.irps[Irp].completing = false;  // the routine may free, resend or complete it again
      }
      NTSTATUS result = routine(device, Irp, context);
      std::unique_lock guard(r.lock);
      auto it = r.irps.find(Irp);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP belongs to the routine's owner now; honour a free that came while it was down.
        if (it != r.irps.end() && it->second.free_requested && AtSender(Irp) && !it->second.completing) {
          guard.unlock();
          FreeIrpMemory(Irp);
        }
        return;
      }
      if (it == r.irps.end()) {
        guard.unlock();
        verifier::Report(ViolationKind::IrpMisuse,
                         "a completion routine freed IRP " + detail::Hex(Irp) +
                             " without returning STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
      it->second.completing = true;
    } else {
      if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) IoMarkIrpPending(Irp);
      ClearStackLocation(sl);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    ++sl;
  } while (Irp->CurrentLocation <= Irp->StackCount + 1);

  IrpTrack track;
  {
    std::lock_guard guard(r.lock);
    auto& t = r.irps[Irp];
    t.completing = false;
    track = t;
  }
  // The walk leaves CurrentLocation at StackCount + 2: completed all the way up.
  if (track.threaded) {
    FinishThreadedIrp(Irp, track);
    return;
  }
  verifier::Report(ViolationKind::IrpMisuse,
                   "IRP " + detail::Hex(Irp) +
                       " from IoAllocateIrp completed to the top: its sender needs a completion routine that "
                       "returns STATUS_MORE_PROCESSING_REQUIRED");
  if (track.free_requested) FreeIrpMemory(Irp);
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
  if (CurrentIrql() > DISPATCH_LEVEL) verifier::Report(ViolationKind::IrqlMisuse, "IoCancelIrp above DISPATCH_LEVEL");
  Registry& r = registry();
  {
    std::lock_guard guard(r.lock);
    if (!r.irps.count(Irp)) {
      ReportUnknown(r, Irp, "IoCancelIrp", ViolationKind::IrpMisuse);
      return FALSE;
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  // The routine releases the cancel spin lock, as on the platform.
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}
