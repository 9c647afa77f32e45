// Processing on the pin's worker: KsPinAttemptProcessing, frame arrival, the state gate, and
// close waiting for a running Process.
#include <chrono>
#include <map>
#include <thread>

#include "host/kernel/verifier.h"
#include "tests/ks/fake_minidriver.h"

namespace kscam::ks_test {
namespace {

using host::ks::Device;

// Waits for a condition another thread makes true; false after 10 s (a hang, not a timing).
template <typename Pred>
bool WaitUntil(Pred pred) {
  for (int i = 0; i < 10000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

// Gives a wrongly started Process the chance to show.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

// Counts Process runs per pin and can hold the first run until released.
struct ProcessProbe {
  std::mutex lock;
  std::condition_variable changed;
  std::map<PKSPIN, int> runs;
  int inside = 0;
  int most_inside = 0;
  bool hold_first = false;
  bool first_started = false;
  bool released = false;
  bool first_finished = false;
  bool stopped_before_first_finished = false;
  bool all_passive = true;
  bool eject = false;
  NTSTATUS result = STATUS_PENDING;

  NTSTATUS Run(PKSPIN pin) {
    std::unique_lock guard(lock);
    const bool first = runs[pin]++ == 0 && hold_first;
    all_passive &= KeGetCurrentIrql() == PASSIVE_LEVEL;
    most_inside = std::max(most_inside, ++inside);
    if (first) {
      first_started = true;
      changed.notify_all();
      changed.wait(guard, [&] { return released; });
    }
    guard.unlock();
    if (eject) {
      if (PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
        KsStreamPointerUnlock(edge, TRUE);
      }
    }
    guard.lock();
    --inside;
    if (first) {
      std::lock_guard fake_guard(g_fake->lock);
      for (const auto& step : g_fake->steps) stopped_before_first_finished |= step.first == KSSTATE_STOP;
      first_finished = true;
    }
    changed.notify_all();
    return result;
  }
  int Runs(PKSPIN pin) {
    std::lock_guard guard(lock);
    return runs[pin];
  }
  void Release() {
    std::lock_guard guard(lock);
    released = true;
    changed.notify_all();
  }
};

class ProcessTest : public FakeHostTest {
 protected:
  ProcessTest() {
    fake().process = [this](PKSPIN pin) { return probe_.Run(pin); };
  }
  ProcessProbe& probe() { return probe_; }

 private:
  ProcessProbe probe_;
};

TEST_F(ProcessTest, NeverTwiceAtOnceAndRequestsDuringARunMergeIntoOneMore) {
  probe().hold_first = true;
  PKSPIN pin = Create(0);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  KsPinAttemptProcessing(pin, TRUE);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard guard(probe().lock);
    return probe().first_started;
  }));
  for (int i = 0; i < 5; ++i) KsPinAttemptProcessing(pin, TRUE);
  probe().Release();
  ASSERT_TRUE(WaitUntil([&] { return probe().Runs(pin) == 2; }));
  Settle();
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(probe().Runs(pin), 2);
  EXPECT_EQ(probe().most_inside, 1);
  EXPECT_TRUE(probe().all_passive);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(ProcessTest, ARunStateOnlyPinIsNotProcessedBeforeRunAndAStopDropsRequests) {
  PKSPIN pin = Create(0);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  KsPinAttemptProcessing(pin, TRUE);
  Settle();
  EXPECT_EQ(probe().Runs(pin), 0);
  // The request made in PAUSE runs once the pin runs.
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return probe().Runs(pin) == 1; }));

  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  KsPinAttemptProcessing(pin, TRUE);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Settle();
  EXPECT_EQ(probe().Runs(pin), 1);

  // Frames arriving do not start Process on this pin.
  TestFrame frame;
  ASSERT_EQ(device().SubmitFrame(pin, frame.header()), STATUS_SUCCESS);
  Settle();
  EXPECT_EQ(probe().Runs(pin), 1);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(ProcessTest, FramesStartProcessingOnADefaultPinAndCompleteInOrder) {
  probe().eject = true;
  probe().result = STATUS_SUCCESS;
  PKSPIN pin = Create(1);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  // Without frames such a pin is not processed.
  KsPinAttemptProcessing(pin, TRUE);
  Settle();
  EXPECT_EQ(probe().Runs(pin), 0);

  TestFrame frames[4];
  for (TestFrame& f : frames) ASSERT_EQ(device().SubmitFrame(pin, f.header()), STATUS_SUCCESS);
  for (TestFrame& f : frames) {
    Device::CompletedFrame done;
    ASSERT_TRUE(device().WaitFrame(pin, 10000, &done));
    EXPECT_EQ(done.header, f.header());
    EXPECT_EQ(done.status, STATUS_SUCCESS);
  }
  EXPECT_EQ(device().QueuedFrames(pin), 0u);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  EXPECT_EQ(probe().most_inside, 1);
}

TEST_F(ProcessTest, StopAndCloseWaitForARunningProcessAndNothingRunsAfter) {
  probe().hold_first = true;
  PKSPIN pin = Create(0);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  KsPinAttemptProcessing(pin, TRUE);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard guard(probe().lock);
    return probe().first_started;
  }));
  std::thread releaser([&] {
    Settle();
    // Requests racing with the close must not run Process once the pin is gone.
    KsPinAttemptProcessing(pin, TRUE);
    probe().Release();
  });
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  releaser.join();
  // KsPinAttemptProcessing may have come after the close: the verifier names it.
  host::verifier::TakeViolations();
  std::lock_guard guard(probe().lock);
  EXPECT_TRUE(probe().first_finished);
  EXPECT_FALSE(probe().stopped_before_first_finished);
  EXPECT_LE(probe().runs[pin], 2);
}

TEST_F(ProcessTest, AProcessThatLeavesItsThreadUnbalancedIsReported) {
  fake().process = [](PKSPIN) {
    KeEnterCriticalRegion();
    return STATUS_PENDING;
  };
  PKSPIN pin = Create(0);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  KsPinAttemptProcessing(pin, TRUE);
  ASSERT_TRUE(WaitUntil([&] { return fake().process_runs.load() == 1; }));
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  bool reported = false;
  for (const auto& v : host::verifier::TakeViolations()) {
    reported |= v.kind == host::verifier::ViolationKind::CriticalRegionUnbalanced;
  }
  EXPECT_TRUE(reported);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kscam::ks_test
