// IRPs through a host lower driver: round trips, pending and completion from another thread,
// completion routines (kept IRPs, the invoke flags, pending propagation), cancellation, and
// the verifier's IRP checks.
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "host/kernel/verifier_gtest.h"

namespace kh = kscam::host;
namespace kv = kscam::host::verifier;

namespace {

#define TEST_CTL(fn, method) ((0x22u << 16) | ((fn) << 2) | (method))
constexpr ULONG kEcho = TEST_CTL(1, 0);        // buffered: output = input reversed
constexpr ULONG kEchoDirect = TEST_CTL(2, 2);  // out-direct: output MDL filled with input
constexpr ULONG kPend = TEST_CTL(3, 3);        // neither: kept until completed or cancelled
constexpr ULONG kFail = TEST_CTL(4, 3);        // neither: completed at once with an error

bool Has(const std::vector<kv::Violation>& v, kv::ViolationKind kind) {
  for (const auto& x : v)
    if (x.kind == kind) return true;
  return false;
}

// The lower driver: one device, a queue of pending IRPs guarded by the cancel spin lock.
class LowerDriver {
 public:
  LowerDriver() {
    instance_ = this;
    driver_ = kh::CreateDriverObject(u"\\Driver\\testlower");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_ = kh::CreateDeviceObject(driver_, 0, 1);
  }
  ~LowerDriver() {
    kh::DeleteDeviceObject(device_);
    kh::DeleteDriverObject(driver_);
    instance_ = nullptr;
  }
  PDEVICE_OBJECT device() const { return device_; }

  // Completes the oldest pending IRP with `status`, at DISPATCH_LEVEL as a bus would.
  bool CompleteOldest(NTSTATUS status, ULONG_PTR information = 0) {
    PIRP irp = nullptr;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!pending_.empty()) {
      PIRP candidate = pending_.front();
      pending_.pop_front();
      if (IoSetCancelRoutine(candidate, nullptr) != nullptr) {
        irp = candidate;
        break;
      }
    }
    IoReleaseCancelSpinLock(irql);
    if (irp == nullptr) return false;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    kh::RunAtDispatchLevel([&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return true;
  }

  size_t PendingCount() {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    size_t n = pending_.size();
    IoReleaseCancelSpinLock(irql);
    return n;
  }

  std::atomic<int> cancelled{0};

 private:
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    EXPECT_EQ(device, instance_->device_);
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sl->DeviceObject, device);
    switch (sl->Parameters.DeviceIoControl.IoControlCode) {
      case kEcho: {
        auto* buf = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        ULONG in = sl->Parameters.DeviceIoControl.InputBufferLength;
        for (ULONG i = 0; i < in / 2; ++i) std::swap(buf[i], buf[in - 1 - i]);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = in;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      }
      case kEchoDirect: {
        auto* out = static_cast<PUCHAR>(kh::MdlSystemAddress(irp->MdlAddress));
        ULONG n = sl->Parameters.DeviceIoControl.InputBufferLength;
        memcpy(out, irp->AssociatedIrp.SystemBuffer, n);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      }
      case kPend: {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, Cancel);
        instance_->pending_.push_back(irp);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
      }
      default:
        irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_IO_DEVICE_ERROR;
    }
  }

  static void Cancel(PDEVICE_OBJECT, PIRP irp) {
    EXPECT_TRUE(irp->Cancel);
    auto& q = instance_->pending_;
    for (auto it = q.begin(); it != q.end(); ++it) {
      if (*it == irp) {
        q.erase(it);
        break;
      }
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    instance_->cancelled++;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  static inline LowerDriver* instance_ = nullptr;
  PDRIVER_OBJECT driver_;
  PDEVICE_OBJECT device_;
  std::deque<PIRP> pending_;
};

// ---- Requests built by IoBuildDeviceIoControlRequest -------------------------------------------

TEST(ThreadedIrp, BufferedRoundTripCopiesOutputAndFreesTheRequest) {
  LowerDriver lower;
  uint64_t since = kv::Checkpoint();
  UCHAR in[5] = {1, 2, 3, 4, 5}, out[8] = {};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kEcho, lower.device(), in, sizeof in, out, sizeof out, TRUE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  const UCHAR expected[8] = {5, 4, 3, 2, 1, 0, 0, 0};
  EXPECT_EQ(memcmp(out, expected, sizeof out), 0);
  EXPECT_TRUE(kv::Outstanding(since).empty()) << "the IRP and its system buffer are freed at completion";
}

TEST(ThreadedIrp, DirectOutputGoesThroughAnMdl) {
  LowerDriver lower;
  uint64_t since = kv::Checkpoint();
  UCHAR in[3] = {7, 8, 9}, out[3] = {};
  IO_STATUS_BLOCK iosb{};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kEchoDirect, lower.device(), in, 3, out, 3, FALSE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_INVALID_DEVICE_REQUEST)
      << "the lower driver handles internal requests only";
  EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);

  irp = IoBuildDeviceIoControlRequest(kEchoDirect, lower.device(), in, 3, out, 3, TRUE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_SUCCESS);
  EXPECT_EQ(memcmp(in, out, 3), 0);
  EXPECT_TRUE(kv::Outstanding(since).empty());
}

TEST(ThreadedIrp, PendingRequestCompletedFromAnotherThreadWakesTheCaller) {
  LowerDriver lower;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kPend, lower.device(), nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
  EXPECT_TRUE(kh::IrpIsPending(irp));
  std::thread bus([&] { EXPECT_TRUE(lower.CompleteOldest(STATUS_SUCCESS, 42)); });
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  bus.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 42u);
}

TEST(ThreadedIrp, LowResourcesFailTheBuildWithoutLeaks) {
  LowerDriver lower;
  uint64_t since = kv::Checkpoint();
  UCHAR in[4] = {}, out[4] = {};
  IO_STATUS_BLOCK iosb{};
  for (int n = 1; n <= 2; ++n) {  // the IRP, then its system buffer
    kv::FailNthAllocation(n);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kEcho, lower.device(), in, 4, out, 4, TRUE, nullptr, &iosb), nullptr);
  }
  EXPECT_TRUE(kv::Outstanding(since).empty());
  kv::SetIoAllocationsCanFail(false);
  kv::FailNthAllocation(1);
  PIRP irp = IoBuildDeviceIoControlRequest(kEcho, lower.device(), in, 4, out, 4, TRUE, nullptr, &iosb);
  ASSERT_NE(irp, nullptr) << "IRP allocations can be left out of the simulation";
  IoCallDriver(lower.device(), irp);
}

// The sender of a threaded request may keep it in its completion routine, look at it, and then
// complete it again to let the host finish it.
NTSTATUS KeepThreaded(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(ThreadedIrp, SenderMayKeepItAndCompleteItAgain) {
  LowerDriver lower;
  uint64_t since = kv::Checkpoint();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  NTSTATUS seen = STATUS_PENDING;
  PIRP irp = IoBuildDeviceIoControlRequest(kFail, lower.device(), nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  IoSetCompletionRoutine(irp, KeepThreaded, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(seen, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(KeReadStateEvent(&done), 0) << "kept: not finished yet";
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(iosb.Status, STATUS_IO_DEVICE_ERROR);
  EXPECT_TRUE(kv::Outstanding(since).empty());
  EXPECT_TRUE(kv::TakeViolations().empty());
}

// ---- IRPs of the caller's own, kept by its completion routine -------------------------------

struct Kept {
  std::atomic<int> calls{0};
  PDEVICE_OBJECT device_seen = reinterpret_cast<PDEVICE_OBJECT>(1);
  BOOLEAN pending_returned = FALSE;
  NTSTATUS status = 0;
  BOOLEAN cancel = FALSE;
  KEVENT done;
};

NTSTATUS KeepIt(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* k = static_cast<Kept*>(context);
  k->device_seen = device;
  k->pending_returned = irp->PendingReturned;
  k->status = irp->IoStatus.Status;
  k->cancel = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE);  // IoCancelIrp may be setting it now
  k->calls++;
  KeSetEvent(&k->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP Prepare(LowerDriver& lower, ULONG code, Kept* kept, bool on_success = true, bool on_error = true,
             bool on_cancel = true) {
  PIRP irp = IoAllocateIrp(lower.device()->StackSize, FALSE);
  EXPECT_NE(irp, nullptr);
  EXPECT_EQ(irp->CurrentLocation, lower.device()->StackSize + 1);
  PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
  sl->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sl->Parameters.DeviceIoControl.IoControlCode = code;
  KeInitializeEvent(&kept->done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, KeepIt, kept, on_success, on_error, on_cancel);
  return irp;
}

TEST(CompletionRoutine, MoreProcessingRequiredKeepsTheIrpWithItsSender) {
  LowerDriver lower;
  Kept kept;
  PIRP irp = Prepare(lower, kPend, &kept);
  ASSERT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
  ASSERT_TRUE(lower.CompleteOldest(STATUS_SUCCESS, 7));
  EXPECT_EQ(kept.calls.load(), 1);
  EXPECT_EQ(kept.device_seen, nullptr) << "the sender above the first driver has no device";
  EXPECT_TRUE(kept.pending_returned);
  EXPECT_EQ(kept.status, STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Information, 7u) << "the IRP is still readable after completion";
  EXPECT_FALSE(kh::IrpIsPending(irp));
  // A kept IRP can be sent again.
  irp->IoStatus = IO_STATUS_BLOCK{};
  IoSetCompletionRoutine(irp, KeepIt, &kept, TRUE, TRUE, TRUE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = kFail;
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(kept.calls.load(), 2);
  EXPECT_EQ(kept.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_FALSE(kept.pending_returned);
  IoFreeIrp(irp);
}

TEST(CompletionRoutine, InvokeFlagsAreHonoured) {
  LowerDriver lower;
  Kept kept;
  PIRP irp = Prepare(lower, kFail, &kept, /*on_success=*/true, /*on_error=*/false, /*on_cancel=*/false);
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(kept.calls.load(), 0);
  auto v = kv::TakeViolations();
  EXPECT_TRUE(Has(v, kv::ViolationKind::IrpMisuse)) << "nobody kept an IoAllocateIrp IRP";
  IoFreeIrp(irp);
}

// A filter in the middle passes the IRP on with its own routine; both levels see the right
// device and the pending mark travels up.
struct Filter {
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  PDEVICE_OBJECT lower;
  std::atomic<int> routine_calls{0};
  PDEVICE_OBJECT routine_device = nullptr;
};
Filter* g_filter = nullptr;

NTSTATUS FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  g_filter->routine_calls++;
  g_filter->routine_device = device;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, FilterCompletion, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(g_filter->lower, irp);
}

TEST(CompletionRoutine, TwoLevelStackSeesEachDeviceAndPropagatesPending) {
  LowerDriver lower;
  Filter f;
  g_filter = &f;
  f.driver = kh::CreateDriverObject(u"\\Driver\\testfilter");
  f.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterDispatch;
  f.device = kh::CreateDeviceObject(f.driver, 64, 1);
  f.lower = lower.device();
  kh::AttachDevice(f.device, lower.device());
  EXPECT_EQ(f.device->StackSize, 2);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f.device->DeviceExtension) % 16, 0u);

  Kept kept;
  PIRP irp = IoAllocateIrp(f.device->StackSize, FALSE);
  KeInitializeEvent(&kept.done, NotificationEvent, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = kPend;
  IoSetCompletionRoutine(irp, KeepIt, &kept, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(f.device, irp), STATUS_PENDING);
  ASSERT_TRUE(lower.CompleteOldest(STATUS_SUCCESS));
  EXPECT_EQ(f.routine_calls.load(), 1);
  EXPECT_EQ(f.routine_device, f.device);
  EXPECT_EQ(kept.calls.load(), 1);
  EXPECT_TRUE(kept.pending_returned);
  IoFreeIrp(irp);
  kh::DeleteDeviceObject(f.device);
  kh::DeleteDriverObject(f.driver);
  g_filter = nullptr;
}

// ---- Cancellation --------------------------------------------------------------------------------

TEST(Cancel, PendingIrpIsCancelledThroughItsCancelRoutine) {
  LowerDriver lower;
  Kept kept;
  PIRP irp = Prepare(lower, kPend, &kept);
  ASSERT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(lower.cancelled.load(), 1);
  EXPECT_EQ(lower.PendingCount(), 0u);
  EXPECT_EQ(kept.calls.load(), 1);
  EXPECT_EQ(kept.status, STATUS_CANCELLED);
  EXPECT_TRUE(kept.cancel);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the cancel spin lock was released";
  // Cancelling again finds no routine: nothing happens.
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(kept.calls.load(), 1);
  IoFreeIrp(irp);
}

TEST(Cancel, RaceBetweenCancelAndCompletionCompletesOnce) {
  LowerDriver lower;
  for (int round = 0; round < 50; ++round) {
    Kept kept;
    PIRP irp = Prepare(lower, kPend, &kept);
    ASSERT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
    std::thread bus([&] { lower.CompleteOldest(STATUS_SUCCESS); });
    IoCancelIrp(irp);
    bus.join();
    EXPECT_EQ(KeWaitForSingleObject(&kept.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kept.calls.load(), 1);
    IoFreeIrp(irp);
  }
  EXPECT_TRUE(kv::TakeViolations().empty());
}

// ---- Verifier ----------------------------------------------------------------------------------

TEST(IrpVerifier, DoubleCompletionIsReported) {
  LowerDriver lower;
  Kept kept;
  PIRP irp = Prepare(lower, kPend, &kept);
  ASSERT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
  ASSERT_TRUE(lower.CompleteOldest(STATUS_SUCCESS));
  kh::RunAtDispatchLevel([&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  auto v = kv::TakeViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].kind, kv::ViolationKind::IrpCompletedTwice);
  EXPECT_EQ(kept.calls.load(), 1) << "the second completion runs no routine";
  IoFreeIrp(irp);

  // A threaded IRP is gone after its completion; completing it again is still recognised.
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP threaded = IoBuildDeviceIoControlRequest(kFail, lower.device(), nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  IoCallDriver(lower.device(), threaded);
  IoCompleteRequest(threaded, IO_NO_INCREMENT);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::IrpCompletedTwice));
}

TEST(IrpVerifier, FreeWhilePendingIsReportedAndDeferredUntilTheIrpComesBack) {
  LowerDriver lower;
  uint64_t since = kv::Checkpoint();
  Kept kept;
  PIRP irp = Prepare(lower, kPend, &kept);
  ASSERT_EQ(IoCallDriver(lower.device(), irp), STATUS_PENDING);
  IoFreeIrp(irp);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::IrpFreedWhilePending));
  ASSERT_TRUE(lower.CompleteOldest(STATUS_SUCCESS));  // the lower driver still uses it safely
  EXPECT_EQ(kept.calls.load(), 1);
  EXPECT_TRUE(kv::Outstanding(since).empty());
  IoFreeIrp(irp);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::DoubleFree));
}

TEST(IrpVerifier, StackExhaustionAndUnknownIrpsAreReported) {
  LowerDriver lower;
  Kept kept;
  PIRP irp = Prepare(lower, kPend, &kept);
  IoSkipCurrentIrpStackLocation(irp);  // a sender must not skip its own (nonexistent) location
  irp->CurrentLocation = 1;
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(IoCallDriver(lower.device(), irp), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::IrpMisuse));
  irp->CurrentLocation = irp->StackCount + 1;
  IoFreeIrp(irp);

  alignas(16) UCHAR fake[sizeof(IRP) + sizeof(IO_STACK_LOCATION)] = {};
  IoCancelIrp(reinterpret_cast<PIRP>(fake));
  EXPECT_TRUE(Has(kv::TakeViolations(), kv::ViolationKind::IrpMisuse));
}

}  // namespace
