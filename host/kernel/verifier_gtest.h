// GoogleTest glue for the verifier: every test starts with nothing failing on purpose and ends
// with its violations and leaks turned into test failures.
//
// Link a test executable with kscam_host_kernel_gtest_main (it installs the listener), or call
// kscam::host::verifier::InstallGoogleTestListener() from your own main. A test that provokes
// violations on purpose takes them with TakeViolations() before it ends.
#pragma once

#include <gtest/gtest.h>

#include "host/kernel/host_kernel.h"
#include "host/kernel/verifier.h"

namespace kscam::host::verifier {

class GoogleTestListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    for (const Violation& v : TakeViolations()) {
      ADD_FAILURE() << "verifier (before this test): " << KindName(v.kind) << ": " << v.message;
    }
    ResetFaultInjection();
    ClearProcessorFeatureLimit();
    pool_since_ = Checkpoint();
    threads_since_ = ThreadCheckpoint();
  }

  void OnTestEnd(const ::testing::TestInfo&) override {
    ResetFaultInjection();
    ClearProcessorFeatureLimit();
    if (size_t alive = WaitForThreadObjects(threads_since_, 2000)) {
      ADD_FAILURE() << "verifier: " << alive
                    << " system thread object(s) created by this test are still alive (not waited for, or a "
                       "handle or reference not released)";
    }
    CheckThreadBalanced("end of test");
    CheckLeaks("this test", pool_since_);
    for (const Violation& v : TakeViolations()) {
      ADD_FAILURE() << "verifier: " << KindName(v.kind) << ": " << v.message;
    }
  }

 private:
  uint64_t pool_since_ = 0;
  uint64_t threads_since_ = 0;
};

inline void InstallGoogleTestListener() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new GoogleTestListener);
}

}  // namespace kscam::host::verifier
