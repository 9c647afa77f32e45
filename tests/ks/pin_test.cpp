// The host's pins driven with a fake minidriver: intersection, creation and close, states,
// the frame queue, the reference clock and KsEdit.
#include <cstring>

#include "host/kernel/host_kernel.h"
#include "host/kernel/verifier.h"
#include "tests/ks/fake_minidriver.h"

namespace kscam::ks_test {
namespace {

using host::ks::Device;
using Steps = std::vector<std::pair<KSSTATE, KSSTATE>>;

bool TookViolation(const char* text) {
  bool found = false;
  for (const auto& v : host::verifier::TakeViolations()) found |= v.message.find(text) != std::string::npos;
  return found;
}

// ---- Intersection ----

using IntersectTest = FakeHostTest;

TEST_F(IntersectTest, HostChecksComeFirstThenTheHandlerGetsAnExactCopyTwice) {
  KS_DATARANGE_VIDEO proposal = MakeVideoRange(64, 48);
  proposal.VideoInfoHeader.bmiHeader.biWidth = 72;  // the caller's header goes into the format
  std::vector<uint8_t> format;
  ASSERT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(proposal), &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  KS_DATAFORMAT_VIDEOINFOHEADER result;
  std::memcpy(&result, format.data(), sizeof(result));
  EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biWidth, 72);
  EXPECT_EQ(fake().intersect_buffer_sizes, (std::vector<ULONG>{0, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)}));
  EXPECT_EQ(fake().intersect_request.PinId, 0u);
  EXPECT_EQ(fake().intersect_request.Property.Flags, ULONG{KSPROPERTY_TYPE_GET});

  // Wildcards stand for any major format, subtype and specifier.
  fake().intersect_buffer_sizes.clear();
  proposal.DataRange.MajorFormat = GUID_NULL;
  proposal.DataRange.SubFormat = GUID_NULL;
  proposal.DataRange.Specifier = GUID_NULL;
  EXPECT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(proposal), &format), STATUS_SUCCESS);
  EXPECT_EQ(fake().intersect_buffer_sizes.size(), 2u);

  // Another subtype never reaches the handler.
  fake().intersect_buffer_sizes.clear();
  proposal.DataRange.SubFormat = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  EXPECT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(proposal), &format), STATUS_NO_MATCH);
  EXPECT_TRUE(format.empty());
  EXPECT_TRUE(fake().intersect_buffer_sizes.empty());
}

TEST_F(IntersectTest, SizesThatDoNotFitTheBufferAreRefusedBeforeTheHandler) {
  KS_DATARANGE_VIDEO proposal = MakeVideoRange(64, 48);
  std::vector<uint8_t> format;
  // A FormatSize beyond the buffer would let the handler read past it.
  proposal.DataRange.FormatSize = sizeof(proposal) + 8;
  EXPECT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(proposal), &format), STATUS_INVALID_PARAMETER);
  proposal.DataRange.FormatSize = sizeof(KSDATARANGE) - 1;
  EXPECT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(proposal), &format), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(KSDATARANGE) - 1, &format),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(fake().intersect_range_sizes.empty());

  // A short range that says so reaches the handler as exactly that many bytes: the fake reads
  // a whole video range only when FormatSize says there is one.
  proposal.DataRange.FormatSize = sizeof(KSDATARANGE);
  EXPECT_EQ(device().PinIntersect(filter(), 0, &proposal, sizeof(proposal), &format), STATUS_NO_MATCH);
  EXPECT_EQ(fake().intersect_range_sizes, (std::vector<ULONG>{sizeof(KSDATARANGE)}));

  EXPECT_EQ(device().PinIntersect(filter(), 5, &proposal, sizeof(proposal), &format), STATUS_INVALID_PARAMETER);
}

TEST_F(IntersectTest, APinWithoutAHandlerGivesItsRange) {
  KS_DATARANGE_VIDEO proposal = MakeVideoRange(8, 8);
  proposal.DataRange.FormatSize = sizeof(KSDATARANGE);
  std::vector<uint8_t> format;
  ASSERT_EQ(device().PinIntersect(filter(), 1, &proposal, sizeof(KSDATARANGE), &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KS_DATARANGE_VIDEO));
  EXPECT_EQ(std::memcmp(format.data(), &descriptors().range, sizeof(KS_DATARANGE_VIDEO)), 0);
}

// ---- Creation and close ----

using PinCreateTest = FakeHostTest;

TEST_F(PinCreateTest, ThePinObjectAsTheDriverSeesIt) {
  KS_DATAFORMAT_VIDEOINFOHEADER format = MakeVideoFormat(64, 48);
  PKSPIN pin = nullptr;
  ASSERT_EQ(device().CreatePin(filter(), 0, &format, sizeof(format), {}, &pin), STATUS_SUCCESS);
  EXPECT_EQ(pin->Descriptor, &descriptors().pins[0]);
  EXPECT_EQ(pin->Id, 0u);
  EXPECT_EQ(pin->DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(pin->Communication, KSPIN_COMMUNICATION_BOTH);
  EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);
  EXPECT_EQ(pin->StreamHeaderSize, sizeof(KSSTREAM_HEADER));
  // The pin has its own copy of the format.
  ASSERT_NE(pin->ConnectionFormat, nullptr);
  EXPECT_NE(static_cast<void*>(pin->ConnectionFormat), static_cast<void*>(&format));
  EXPECT_EQ(std::memcmp(pin->ConnectionFormat, &format, sizeof(format)), 0);
  EXPECT_EQ(KsGetDevice(pin), device().ks_device());
  EXPECT_EQ(fake().device_seen_at_create, device().ks_device());
  // The format first, without an old one and with the pin's range, then Create.
  EXPECT_EQ(fake().set_format_had_old, std::vector<bool>{false});
  EXPECT_EQ(fake().set_format_ranges, std::vector<const KSDATARANGE*>{&descriptors().range.DataRange});
  EXPECT_EQ(fake().creates, 1);
  EXPECT_EQ(device().open_pins(), 1u);

  // One instance of pin 0 per filter.
  PKSPIN second = nullptr;
  EXPECT_EQ(device().CreatePin(filter(), 0, &format, sizeof(format), {}, &second), STATUS_TOO_MANY_NODES);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(fake().creates, 1);

  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  EXPECT_EQ(fake().closes, 1);
  EXPECT_EQ(fake().bag_items_freed, 1);
  EXPECT_EQ(device().open_pins(), 0u);
  EXPECT_EQ(device().ClosePin(pin), STATUS_INVALID_HANDLE);
  pin = Create(0);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(PinCreateTest, FormatsThatDoNotFitThePinAreRefused) {
  KS_DATAFORMAT_VIDEOINFOHEADER format = MakeVideoFormat(64, 48);
  PKSPIN pin = nullptr;
  EXPECT_EQ(device().CreatePin(filter(), 0, &format, sizeof(format) - 1, {}, &pin), STATUS_INVALID_PARAMETER);
  format.DataFormat.SubFormat = GUID_NULL;
  EXPECT_EQ(device().CreatePin(filter(), 0, &format, sizeof(format), {}, &pin), STATUS_NO_MATCH);
  EXPECT_EQ(fake().set_format_had_old.size(), 0u);
  EXPECT_EQ(fake().creates, 0);
}

TEST_F(PinCreateTest, AFailedCreateOrFormatLeavesNothingAndGetsNoClose) {
  fake().create_status = STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(Create(0, true, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(fake().bag_items_freed, 1);
  fake().create_status = STATUS_SUCCESS;
  fake().set_format_status = STATUS_NO_MATCH;
  EXPECT_EQ(Create(0, true, &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  EXPECT_EQ(fake().creates, 1);
  EXPECT_EQ(fake().closes, 0);
  EXPECT_EQ(device().open_pins(), 0u);
  // The instance is free again.
  fake().set_format_status = STATUS_SUCCESS;
  PKSPIN pin = Create(0);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(PinCreateTest, EveryAllocationFailingOnCreateAndRunLeavesNothingBehind) {
  fake().edit_descriptor = true;
  const uint64_t runs = host::verifier::RunWithEachAllocationFailing([&] {
    NTSTATUS status = STATUS_SUCCESS;
    PKSPIN pin = Create(0, true, &status);
    if (!pin) {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      return;
    }
    TestFrame frame;
    if (NT_SUCCESS(device().SetPinState(pin, KSSTATE_PAUSE))) device().SubmitFrame(pin, frame.header());
    PIKSREFERENCECLOCK clock = nullptr;
    if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock))) clock->Release();
    EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  });
  EXPECT_GE(runs, 5u);  // the pin, its format, the bag block, the descriptor copy and its entry
  EXPECT_EQ(device().open_pins(), 0u);
}

TEST_F(PinCreateTest, ClosingTheFilterOrRemovingTheDeviceClosesItsPins) {
  PKSPIN a = Create(0);
  PKSPIN b = Create(1);
  ASSERT_EQ(device().SetPinState(a, KSSTATE_RUN), STATUS_SUCCESS);
  TestFrame frame;
  ASSERT_EQ(device().SubmitFrame(a, frame.header()), STATUS_SUCCESS);
  ASSERT_EQ(device().CloseFilter(filter()), STATUS_SUCCESS);
  EXPECT_EQ(fake().closes, 2);
  EXPECT_EQ(device().open_pins(), 0u);
  // The running pin was stopped on its way out.
  EXPECT_EQ(fake().steps.back(), std::make_pair(KSSTATE_STOP, KSSTATE_ACQUIRE));
  EXPECT_EQ(device().SetPinState(b, KSSTATE_RUN), STATUS_INVALID_HANDLE);

  PKSFILTER second = nullptr;
  ASSERT_EQ(device().CreateFilter(device().filter_factories().at(0).factory, &second), STATUS_SUCCESS);
  KS_DATAFORMAT_VIDEOINFOHEADER format = MakeVideoFormat(64, 48);
  PKSPIN pin = nullptr;
  ASSERT_EQ(device().CreatePin(second, 0, &format, sizeof(format), {}, &pin), STATUS_SUCCESS);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  // The fixture removes the device with the pin open and paused: no leak, Close runs.
}

// ---- States ----

using PinStateTest = FakeHostTest;

TEST_F(PinStateTest, StatesMoveOneStepAtATimeAndStopAtTheFirstFailure) {
  PKSPIN pin = Create(0);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(fake().steps, (Steps{{KSSTATE_ACQUIRE, KSSTATE_STOP}, {KSSTATE_PAUSE, KSSTATE_ACQUIRE},
                                 {KSSTATE_RUN, KSSTATE_PAUSE}}));
  EXPECT_EQ(pin->DeviceState, KSSTATE_RUN);
  fake().steps.clear();
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(fake().steps, (Steps{{KSSTATE_PAUSE, KSSTATE_RUN}, {KSSTATE_ACQUIRE, KSSTATE_PAUSE},
                                 {KSSTATE_STOP, KSSTATE_ACQUIRE}}));
  EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);

  // A failing step ends the move; the pin keeps the last state reached.
  fake().steps.clear();
  fake().fail_step_to = KSSTATE_RUN;
  fake().fail_step_status = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pin->DeviceState, KSSTATE_PAUSE);
  EXPECT_EQ(fake().steps.size(), 3u);
  fake().steps.clear();
  EXPECT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_TRUE(fake().steps.empty());
  EXPECT_EQ(device().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(fake().steps, (Steps{{KSSTATE_ACQUIRE, KSSTATE_PAUSE}}));

  // A format change gets the old format; a refused one leaves the pin its format.
  KS_DATAFORMAT_VIDEOINFOHEADER wider = MakeVideoFormat(128, 48);
  EXPECT_EQ(device().SetPinFormat(pin, &wider, sizeof(wider)), STATUS_SUCCESS);
  EXPECT_EQ(fake().set_format_had_old.back(), true);
  EXPECT_EQ(reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(pin->ConnectionFormat)->VideoInfoHeader.bmiHeader.biWidth,
            128);
  fake().set_format_status = STATUS_INVALID_DEVICE_STATE;
  KS_DATAFORMAT_VIDEOINFOHEADER narrow = MakeVideoFormat(32, 48);
  EXPECT_EQ(device().SetPinFormat(pin, &narrow, sizeof(narrow)), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(pin->ConnectionFormat)->VideoInfoHeader.bmiHeader.biWidth,
            128);

  // Close from ACQUIRE steps down to STOP first.
  fake().steps.clear();
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  EXPECT_EQ(fake().steps, (Steps{{KSSTATE_STOP, KSSTATE_ACQUIRE}}));
}

// ---- Frame queue ----

using FrameQueueTest = FakeHostTest;

TEST_F(FrameQueueTest, LeadingEdgeLockUnlockAndEjectInOrder) {
  PKSPIN pin = Create(0);
  TestFrame frames[3];
  // A stopped pin takes no frames.
  EXPECT_EQ(device().SubmitFrame(pin, frames[0].header()), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  for (TestFrame& f : frames) ASSERT_EQ(device().SubmitFrame(pin, f.header()), STATUS_SUCCESS);
  EXPECT_EQ(device().SubmitFrame(pin, frames[1].header()), STATUS_INVALID_PARAMETER);  // already queued
  EXPECT_EQ(device().QueuedFrames(pin), 3u);

  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(edge->Pin, pin);
  EXPECT_EQ(edge->StreamHeader, frames[0].header());
  EXPECT_EQ(edge->OffsetOut.Data, frames[0].data.data());
  EXPECT_EQ(edge->OffsetOut.Count, 256u);
  EXPECT_EQ(edge->OffsetOut.Remaining, 256u);
  EXPECT_EQ(edge->Offset, &edge->OffsetOut);
  // Unlocked without eject, the frame stays at the leading edge.
  KsStreamPointerUnlock(edge, FALSE);
  Device::CompletedFrame done;
  EXPECT_FALSE(device().WaitFrame(pin, 0, &done));
  edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(edge->StreamHeader, frames[0].header());
  edge->StreamHeader->DataUsed = 99;
  KsStreamPointerUnlock(edge, TRUE);
  edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(edge->StreamHeader, frames[1].header());
  KsStreamPointerUnlock(edge, TRUE);

  ASSERT_TRUE(device().WaitFrame(pin, 0, &done));
  EXPECT_EQ(done.header, frames[0].header());
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.header->DataUsed, 99u);
  ASSERT_TRUE(device().WaitFrame(pin, 0, &done));
  EXPECT_EQ(done.header, frames[1].header());
  EXPECT_EQ(device().QueuedFrames(pin), 1u);
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

TEST_F(FrameQueueTest, StopCancelsQueuedFramesInOrderAndCloseDropsThem) {
  PKSPIN pin = Create(0);
  TestFrame frames[3];
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (TestFrame& f : frames) ASSERT_EQ(device().SubmitFrame(pin, f.header()), STATUS_SUCCESS);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(device().QueuedFrames(pin), 3u);  // only STOP returns them
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(device().QueuedFrames(pin), 0u);
  for (TestFrame& f : frames) {
    Device::CompletedFrame done;
    ASSERT_TRUE(device().WaitFrame(pin, 0, &done));
    EXPECT_EQ(done.header, f.header());
    EXPECT_EQ(done.status, STATUS_CANCELLED);
  }

  // A frame the driver holds at STOP comes back when it lets go: filled if ejected.
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(device().SubmitFrame(pin, frames[0].header()), STATUS_SUCCESS);
  ASSERT_EQ(device().SubmitFrame(pin, frames[1].header()), STATUS_SUCCESS);
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(edge, nullptr);
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  Device::CompletedFrame done;
  ASSERT_TRUE(device().WaitFrame(pin, 0, &done));
  EXPECT_EQ(done.header, frames[1].header());
  EXPECT_EQ(done.status, STATUS_CANCELLED);
  KsStreamPointerUnlock(edge, FALSE);
  ASSERT_TRUE(device().WaitFrame(pin, 0, &done));
  EXPECT_EQ(done.header, frames[0].header());
  EXPECT_EQ(done.status, STATUS_CANCELLED);

  // Close: frames still queued can no longer be waited for.
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(device().SubmitFrame(pin, frames[2].header()), STATUS_SUCCESS);
  ASSERT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  EXPECT_FALSE(device().WaitFrame(pin, 0, &done));
  EXPECT_EQ(device().QueuedFrames(pin), 0u);
}

TEST_F(FrameQueueTest, DriverMisuseOfTheLeadingEdgeIsReported) {
  PKSPIN pin = Create(0);
  TestFrame frames[2];
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  for (TestFrame& f : frames) ASSERT_EQ(device().SubmitFrame(pin, f.header()), STATUS_SUCCESS);
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  EXPECT_TRUE(TookViolation("already has its leading edge locked"));
  KsStreamPointerUnlock(edge, TRUE);
  KsStreamPointerUnlock(edge, TRUE);
  EXPECT_TRUE(TookViolation("not locked"));
  EXPECT_EQ(device().QueuedFrames(pin), 1u);  // the second unlock ejected nothing

  // Closing while the driver holds the leading edge.
  ASSERT_NE(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  ASSERT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("still locked"));
  KsStreamPointerUnlock(edge, TRUE);
  EXPECT_TRUE(TookViolation("not a stream pointer of an open pin"));
  KsPinAttemptProcessing(pin, TRUE);
  EXPECT_TRUE(TookViolation("not an open pin"));
}

// ---- Reference clock ----

using ClockTest = FakeHostTest;

TEST_F(ClockTest, AClockIn100NsUnitsOrNone) {
  PKSPIN without = Create(1, false);
  PIKSREFERENCECLOCK clock = reinterpret_cast<PIKSREFERENCECLOCK>(1);
  EXPECT_EQ(KsPinGetReferenceClockInterface(without, &clock), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(clock, nullptr);

  PKSPIN pin = Create(0);
  ASSERT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
  ASSERT_NE(clock, nullptr);
  LONGLONG system = 0;
  const LONGLONG t1 = clock->GetCorrelatedTime(&system);
  const LONGLONG t2 = clock->GetTime();
  EXPECT_GT(t1, 0);
  EXPECT_GE(t2, t1);
  const LONGLONG before = static_cast<LONGLONG>(host::QueryInterruptTime());
  EXPECT_LE(t2, before);  // the host's monotonic clock, 100 ns units
  ASSERT_EQ(device().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(clock->GetState(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_PAUSE);
  EXPECT_EQ(clock->Release(), 1u);  // the pin keeps its own reference
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  EXPECT_EQ(device().ClosePin(without), STATUS_SUCCESS);
  EXPECT_TRUE(host::verifier::Violations().empty());
}

TEST_F(ClockTest, AClockTheDriverKeepsPastCloseIsALeak) {
  PKSPIN pin = Create(0);
  PIKSREFERENCECLOCK clock = nullptr;
  ASSERT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
  ASSERT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
  const auto violations = host::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].kind, host::verifier::ViolationKind::Leak);
  EXPECT_EQ(host::verifier::Outstanding(0, {host::ks::kClockTag}).size(), 1u);
  // Released late, it goes; it no longer knows the pin.
  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(clock->GetState(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_STOP);
  EXPECT_EQ(clock->Release(), 0u);
  EXPECT_TRUE(host::verifier::Outstanding(0, {host::ks::kClockTag}).empty());
}

// ---- KsEdit ----

using KsEditTest = FakeHostTest;

TEST_F(KsEditTest, PrivateCopiesInTheBagOnceAndFailuresLeaveThePointer) {
  fake().edit_descriptor = true;
  PKSPIN pin = Create(0);
  const KSPIN_DESCRIPTOR_EX* copy = pin->Descriptor;
  ASSERT_NE(copy, &descriptors().pins[0]);
  EXPECT_EQ(std::memcmp(copy, &descriptors().pins[0], sizeof(KSPIN_DESCRIPTOR_EX)), 0);
  // Editing the copy again keeps it.
  EXPECT_EQ(KsEdit(pin, &pin->Descriptor, kFakeTag), STATUS_SUCCESS);
  EXPECT_EQ(pin->Descriptor, copy);

  // Growing copies what there was and zeroes the rest.
  struct Small { uint32_t a, b; } small{7, 8};
  void* item = &small;
  ASSERT_EQ(_KsEdit(pin->Bag, &item, 16, sizeof(small), kFakeTag), STATUS_SUCCESS);
  ASSERT_NE(item, static_cast<void*>(&small));
  const auto* words = static_cast<const uint32_t*>(item);
  EXPECT_EQ(words[0], 7u);
  EXPECT_EQ(words[1], 8u);
  EXPECT_EQ(words[2], 0u);
  EXPECT_EQ(words[3], 0u);
  void* grown = item;
  ASSERT_EQ(_KsEdit(pin->Bag, &item, 32, 16, kFakeTag), STATUS_SUCCESS);
  EXPECT_NE(item, grown);
  EXPECT_EQ(static_cast<const uint32_t*>(item)[1], 8u);
  EXPECT_EQ(static_cast<const uint32_t*>(item)[7], 0u);

  // Without memory the pointer stays and the status says why.
  const KSALLOCATOR_FRAMING_EX framing{};
  const KSALLOCATOR_FRAMING_EX* framing_pointer = &framing;
  host::verifier::FailAllocationsWithTag(kFakeTag);
  EXPECT_EQ(KsEdit(pin, &framing_pointer, kFakeTag), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(framing_pointer, &framing);
  host::verifier::ResetFaultInjection();
  host::verifier::FailAllocationsWithTag(host::ks::kObjectBagTag);
  EXPECT_EQ(KsEdit(pin, &framing_pointer, kFakeTag), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(framing_pointer, &framing);
  host::verifier::ResetFaultInjection();
  // The copies go with the pin's bag.
  EXPECT_EQ(device().ClosePin(pin), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kscam::ks_test
