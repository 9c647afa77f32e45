// Tests that break the rules on purpose. They must FAIL: ctest checks that the verifier's
// GoogleTest listener turns a leak or a violation into a failure of the test that caused it.
#include "host/kernel/verifier_gtest.h"

namespace {

TEST(Probe, Leaks) {
  ExAllocatePoolWithTag(NonPagedPool, 48, KSCAM_POOL_TAG('K', 'e', 'l', 'v'));
  kscam::host::verifier::SetExitCheck(false);  // the test failure is the report asked for
}

TEST(Probe, WaitsAtDispatchLevel) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER t;
  t.QuadPart = -1;
  kscam::host::RunAtDispatchLevel([&] { KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t); });
}

TEST(Probe, LeavesACriticalRegionOpen) { KeEnterCriticalRegion(); }

}  // namespace
