// Streams through the capture pin: the frames a client gets (header fields, numbering, the
// picture itself, row pitch), the pin's state changes with their buffers and camera
// programming, prompt stops and streams that cannot get their resources.
#include <future>

#include "client/stream.h"

#include "tests/stream/stream_fixture.h"

namespace kscam::stream_test {
namespace {

namespace verifier = host::verifier;

constexpr ULONG kFullHeader = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

class DeliveryTest : public StreamTest {
 protected:
  DeliveryTest() { SetRegion(0, 0, 320, 240); }

  CaptureThread* capture() { return cam()->capture; }
  ULONG ImageBytes() const { return 320u * 240 * 4; }

  // Runs a fresh pin with `queued` client frames waiting.
  PKSPIN Running(bool clock = true, int queued = 3, ULONG header_size = kFullHeader, ULONG options = 0) {
    PKSPIN pin = OpenPin(clock);
    // A stopped pin takes no frames.
    EXPECT_EQ(ks().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    for (int i = 0; i < queued; ++i) Queue(pin, ImageBytes(), header_size, options);
    EXPECT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    return pin;
  }

  // Checks a delivered frame against the picture of the camera's raw frame: bottom row first,
  // image_width pixels of each output row, rows `pitch` bytes apart, nothing else written.
  void ExpectPicture(const ClientFrame& frame, const std::vector<uint8_t>& raw, ULONG pitch) {
    const std::vector<uint8_t> picture = ExpectedPicture(cam(), raw);
    const size_t row_bytes = size_t(cam()->image_width) * 4;
    const size_t source_pitch = size_t(cam()->output_width) * 4;
    const LONG height = cam()->image_height;
    size_t wrong_rows = 0, touched_gaps = 0;
    for (LONG k = 0; k < height; ++k) {
      const uint8_t* row = frame.data.data() + size_t(k) * pitch;
      const uint8_t* expected = picture.data() + size_t(height - 1 - k) * source_pitch;
      wrong_rows += std::memcmp(row, expected, row_bytes) != 0;
      for (size_t i = row_bytes; i < pitch; ++i) touched_gaps += row[i] != ClientFrame::kFill;
    }
    EXPECT_EQ(wrong_rows, 0u);
    EXPECT_EQ(touched_gaps, 0u);
    EXPECT_TRUE(frame.GuardIntact());
  }
};

TEST_F(DeliveryTest, FramesCarryNumbersTimesAndFrameInfoWithAClock) {
  PKSPIN pin = Running();
  LONGLONG last_time = 0;
  for (LONGLONG number = 1; number <= 3; ++number) {
    SCOPED_TRACE(number);
    NTSTATUS status = STATUS_PENDING;
    ClientFrame* frame = Next(pin, &status);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    const KSSTREAM_HEADER& h = frame->record.header;
    EXPECT_EQ(h.DataUsed, ImageBytes());
    EXPECT_EQ(h.Duration, 333333);
    EXPECT_EQ(h.PresentationTime.Numerator, 1u);
    EXPECT_EQ(h.PresentationTime.Denominator, 1u);
    EXPECT_GE(h.PresentationTime.Time, last_time);
    last_time = h.PresentationTime.Time;
    EXPECT_EQ(h.OptionsFlags, 0x110u);
    EXPECT_EQ(h.FrameExtent, ImageBytes());
    EXPECT_EQ(frame->record.info.ExtendedHeaderSize, 72u);
    EXPECT_EQ(frame->record.info.PictureNumber, number);
    EXPECT_EQ(frame->record.info.DropCount, 0);
    // Fields the client set stay as they were.
    EXPECT_EQ(frame->record.info.dwFrameFlags, 0xEEEEEEEEu);
    EXPECT_EQ(h.TypeSpecificFlags, 0u);
    EXPECT_TRUE(frame->GuardIntact());
  }

  // A header without room for the frame information gets the time but no frame info.
  ClientFrame& bare = Queue(pin, ImageBytes(), sizeof(KSSTREAM_HEADER), 0x4);
  ClientFrame* frame = nullptr;
  do {
    frame = Next(pin);
    ASSERT_NE(frame, nullptr);
  } while (frame != &bare);
  EXPECT_EQ(bare.record.header.OptionsFlags, 0x110u);
  EXPECT_EQ(bare.record.info.ExtendedHeaderSize, 0xEEEEEEEEu);
  EXPECT_EQ(bare.record.info.PictureNumber, static_cast<LONGLONG>(0xEEEEEEEEEEEEEEEEull));
}

TEST_F(DeliveryTest, WithoutAClockFramesHaveNoTimeAndKeepTheirFlags) {
  PKSPIN pin = Running(false, 2, kFullHeader, KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT);
  for (int i = 0; i < 2; ++i) {
    ClientFrame* frame = Next(pin);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->record.header.PresentationTime.Time, 0);
    EXPECT_EQ(frame->record.header.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT);
    EXPECT_EQ(frame->record.header.Duration, 333333);
    EXPECT_EQ(frame->record.header.DataUsed, ImageBytes());
    EXPECT_EQ(frame->record.info.ExtendedHeaderSize, 0xEEEEEEEEu);
  }
}

TEST_F(DeliveryTest, ThePictureIsTheCamerasFrameBottomRowFirstCutToWholeGroupsOfEight) {
  // 1001 raw columns: the image is 1000 wide, the last column of each raw line is dropped.
  SetRegion(0, 0, 1001, 96);
  ASSERT_EQ(cam()->image_width, 1000);
  ASSERT_EQ(cam()->output_width, 1001);
  TriggerMode();
  emulated().KeepFrameData(4);
  PKSPIN pin = OpenPin();
  const ULONG image_bytes = 1000u * 96 * 4;
  ASSERT_EQ(Context(pin)->video_info.bmiHeader.biSizeImage, image_bytes);
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) Queue(pin, image_bytes);
  ClearRecord();
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (ULONG n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    Trigger();
    ClientFrame* frame = Next(pin);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->record.info.PictureNumber, n);
    EXPECT_EQ(frame->record.header.DataUsed, image_bytes);
    const auto sent = emulated().Frames();
    ASSERT_EQ(sent.size(), n);
    ExpectPicture(*frame, sent[n - 1].data, 1000 * 4);
  }
}

TEST_F(DeliveryTest, AWiderFormatSetsTheRowPitchAndShortFramesGetWholeRows) {
  TriggerMode();
  emulated().KeepFrameData(4);
  PKSPIN pin = OpenPin();
  KS_DATAFORMAT_VIDEOINFOHEADER wider = Format();
  wider.VideoInfoHeader.bmiHeader.biWidth = 320 + 64;
  wider.VideoInfoHeader.bmiHeader.biSizeImage = 384 * 240 * 4;
  ASSERT_EQ(ks().SetPinFormat(pin, &wider, sizeof(wider)), STATUS_SUCCESS);
  const ULONG pitch = 384 * 4;
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  Queue(pin, 384 * 240 * 4);
  // A frame with room for 100 rows and a half gets 100 rows and nothing past its extent.
  ClientFrame& short_frame = Queue(pin, 100 * pitch + pitch / 2);
  ClearRecord();
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);

  Trigger();
  ClientFrame* frame = Next(pin);
  ASSERT_NE(frame, nullptr);
  // Every row written, the last one ending 64 pixels before the frame's end.
  EXPECT_EQ(frame->record.header.DataUsed, 239 * pitch + 320 * 4);
  ExpectPicture(*frame, emulated().Frames().at(0).data, pitch);

  Trigger();
  ASSERT_EQ(Next(pin), &short_frame);
  EXPECT_EQ(short_frame.record.header.DataUsed, 99 * pitch + 320 * 4);
  EXPECT_TRUE(short_frame.GuardIntact());
  EXPECT_TRUE(std::all_of(short_frame.data.begin() + 99 * pitch + 320 * 4, short_frame.data.end(),
                          [](uint8_t b) { return b == ClientFrame::kFill; }));
}

TEST_F(DeliveryTest, AProcessRunWithNothingReadLeavesTheClientsFrameQueued) {
  TriggerMode();
  PKSPIN pin = Running(true, 2);
  Trigger();
  ClientFrame* frame = Next(pin);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->record.info.PictureNumber, 1);
  ASSERT_EQ(ks().QueuedFrames(pin), 1u);

  // Extra runs of Process, with no frame read since: the client's frame stays queued, empty.
  for (int i = 0; i < 3; ++i) {
    KeResetEvent(&capture()->done_event);
    KsPinAttemptProcessing(pin, TRUE);
    ASSERT_TRUE(Eventually([&] { return KeReadStateEvent(&capture()->done_event) != 0; }));
  }
  EXPECT_EQ(ks().QueuedFrames(pin), 1u);
  host::ks::Device::CompletedFrame done;
  EXPECT_FALSE(ks().WaitFrame(pin, 100, &done));

  Trigger();
  frame = Next(pin);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->record.info.PictureNumber, 2);
  EXPECT_EQ(frame->record.header.DataUsed, ImageBytes());
}

TEST_F(DeliveryTest, PauseKeepsTheStreamAndAcquireEndsIt) {
  PKSPIN pin = Running(true, 2);
  LONGLONG last = 0;
  for (int i = 0; i < 2; ++i) {
    ClientFrame* frame = Next(pin);
    ASSERT_NE(frame, nullptr);
    last = frame->record.info.PictureNumber;
  }
  const PUCHAR raw0 = capture()->raw_buffer[0];
  const PUCHAR rgb = capture()->rgb_buffer;
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(capture()->thread, nullptr);
  EXPECT_EQ(Context(pin)->stream_state, 1u);
  const size_t sensor_writes = emulated().SensorWrites().size();

  // Back to RUN: the same buffers, no new camera programming, numbers go on.
  Queue(pin, ImageBytes());
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ClientFrame* frame = Next(pin);
  ASSERT_NE(frame, nullptr);
  EXPECT_GT(frame->record.info.PictureNumber, last);
  EXPECT_EQ(capture()->raw_buffer[0], raw0);
  EXPECT_EQ(capture()->rgb_buffer, rgb);
  EXPECT_EQ(emulated().SensorWrites().size(), sensor_writes);

  // Through ACQUIRE the buffers go; the next RUN programs the camera again and counts anew.
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(capture()->raw_buffer[0], nullptr);
  EXPECT_EQ(capture()->raw_buffer[1], nullptr);
  EXPECT_EQ(capture()->rgb_buffer, nullptr);
  EXPECT_EQ(cam()->color->PaddedBuffer, nullptr);
  EXPECT_EQ(Context(pin)->stream_state, 0u);
  EXPECT_NE(cam()->color, nullptr);  // the claim stays until STOP
  Queue(pin, ImageBytes());
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  frame = Next(pin);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->record.info.PictureNumber, 1);
  EXPECT_GE(emulated().SensorWrites().size(), sensor_writes + 272);

  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(cam()->color, nullptr);
  EXPECT_EQ(ReadAcquire(&cam()->stream_acquired), 0);
  EXPECT_EQ(capture()->rgb_buffer, nullptr);
}

TEST_F(DeliveryTest, AStopDoesNotWaitForAFrameThatNeverComes) {
  TriggerMode();  // and no trigger: every read waits for the whole time-out
  // Counted before the run starts: the thread may have asked for its frame by the time RUN returns.
  const size_t requests = CountCommands(emulated(), 0x03);
  PKSPIN pin = Running(true, 1);
  ASSERT_TRUE(Eventually([&] { return CountCommands(emulated(), 0x03) > requests; }));
  auto stop = std::async(std::launch::async, [&] { return ks().SetPinState(pin, KSSTATE_STOP); });
  // Far less than the ten-minute time-out the read has; a stop that waited would hang here.
  ASSERT_EQ(stop.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_EQ(stop.get(), STATUS_SUCCESS);
  EXPECT_EQ(capture()->thread, nullptr);
  EXPECT_EQ(ReadAcquire(&capture()->ready_count), 0);
  // The queued frame comes back unfilled.
  NTSTATUS status = STATUS_SUCCESS;
  ClientFrame* frame = Next(pin, &status);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(status, STATUS_CANCELLED);
  EXPECT_EQ(frame->record.header.DataUsed, 0xFFFFFFFFu);
}

TEST_F(DeliveryTest, AnApplicationsStreamGetsEveryFrameTheCameraSentInOrder) {
  TriggerMode();
  emulated().KeepFrameData(8);
  client::StreamOptions options;
  options.buffers = 2;
  NTSTATUS status = STATUS_PENDING;
  std::unique_ptr<client::Stream> stream = client::Stream::Open(filter(), options, &status);
  ASSERT_TRUE(stream) << client::StatusText(status);
  ClearRecord();
  ASSERT_EQ(stream->Run(), STATUS_SUCCESS);
  client::Frame frame;
  for (LONGLONG n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    Trigger();
    ASSERT_TRUE(stream->Next(&frame, 20000, &status)) << client::StatusText(status);
    EXPECT_EQ(frame.picture_number, n);
    EXPECT_TRUE(frame.has_frame_info);
    EXPECT_EQ(frame.options_flags, 0x110u);
    ASSERT_EQ(frame.width, 320);
    ASSERT_EQ(frame.height, 240);
    ASSERT_EQ(frame.pitch, 320u * 4);
    EXPECT_EQ(frame.data_used, ImageBytes());
    const auto sent = emulated().Frames();
    ASSERT_EQ(sent.size(), size_t(n));
    const std::vector<uint8_t> picture = ExpectedPicture(cam(), sent.back().data);
    size_t wrong_rows = 0;
    for (LONG y = 0; y < 240; ++y) wrong_rows += std::memcmp(frame.Row(y), picture.data() + size_t(y) * 320 * 4, 320 * 4) != 0;
    EXPECT_EQ(wrong_rows, 0u);
  }
  EXPECT_EQ(stream->Stop(), STATUS_SUCCESS);
}

class StreamResources : public DeliveryTest {
 protected:
  // Allocation attempts of a capture-mode programming: the start's work before its buffers.
  uint64_t ProgrammingAllocations() {
    const uint64_t before = verifier::AllocationAttempts();
    cam()->ConfigureCaptureMode();
    return verifier::AllocationAttempts() - before;
  }

  void ExpectNoStreamResources(PKSPIN pin, uint64_t since) {
    EXPECT_EQ(capture()->raw_buffer[0], nullptr);
    EXPECT_EQ(capture()->raw_buffer[1], nullptr);
    EXPECT_EQ(capture()->rgb_buffer, nullptr);
    EXPECT_EQ(capture()->thread, nullptr);
    ASSERT_NE(cam()->color, nullptr);
    EXPECT_EQ(cam()->color->PaddedBuffer, nullptr);
    EXPECT_EQ(Context(pin)->stream_state, 0u);
    EXPECT_TRUE(verifier::Outstanding(since, {kStreamPoolTag}).empty());
  }
};

TEST_F(StreamResources, RunFailsWithoutItsBuffersAndReleasesWhatItHad) {
  PKSPIN pin = OpenPin();
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  Queue(pin, ImageBytes());
  const uint64_t programming = ProgrammingAllocations();
  ASSERT_EQ(ProgrammingAllocations(), programming);
  const uint64_t since = verifier::Checkpoint();
  // The programming's allocations, then raw buffer 0, raw buffer 1, the RGB buffer and the
  // conversion's work buffer: each one missing fails the start.
  for (uint64_t k = 1; k <= 4; ++k) {
    SCOPED_TRACE(k);
    verifier::FailNthAllocation(programming + k);
    EXPECT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    verifier::ResetFaultInjection();
    EXPECT_EQ(verifier::InjectedFailures() > 0, true);
    ExpectNoStreamResources(pin, since);
  }
  verifier::FailThreadCreation(1);
  EXPECT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  verifier::ResetFaultInjection();
  ExpectNoStreamResources(pin, since);

  // With memory back the stream runs.
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ClientFrame* frame = Next(pin);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->record.header.DataUsed, ImageBytes());
}

TEST_F(StreamResources, ARestartWithoutAThreadStaysPausedWithItsBuffers) {
  PKSPIN pin = Running(true, 1);
  ASSERT_NE(Next(pin), nullptr);
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  const PUCHAR raw0 = capture()->raw_buffer[0];
  verifier::FailThreadCreation(1);
  EXPECT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  verifier::ResetFaultInjection();
  EXPECT_EQ(Context(pin)->stream_state, 1u);
  EXPECT_EQ(capture()->raw_buffer[0], raw0);
  EXPECT_EQ(capture()->thread, nullptr);
  Queue(pin, ImageBytes());
  ASSERT_EQ(ks().SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_NE(Next(pin), nullptr);
  EXPECT_EQ(capture()->raw_buffer[0], raw0);
}

}  // namespace
}  // namespace kscam::stream_test
