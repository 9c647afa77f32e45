// The capture thread and Process's side of the raw-buffer hand-off, driven directly: with no
// pin to announce frames to, nothing converts them but the test.
#include "tests/stream/stream_fixture.h"

namespace kscam::stream_test {
namespace {

class CaptureThreadTest : public StreamTest {
 protected:
  // A stream as RUN starts it, without a pin: frames are read but never announced.
  void Start() {
    SetRegion(0, 0, 320, 240);
    MakeColorProcessor();
    emulated().KeepFrameData(8);
    emulated().ClearRecord();
    ASSERT_EQ(StartStream(cam()), STATUS_SUCCESS);
  }
  void Stop() {
    StopCaptureThread(capture());
    InterlockedExchange(&capture()->state, 0);
    FreeStreamBuffers(capture());
    DropColorProcessor();
  }
  CaptureThread* capture() { return cam()->capture; }
  LONG ready() { return ReadAcquire(&capture()->ready_count); }

  // One conversion as Process makes it, `busy` included.
  bool Convert(ULONG* sequence) {
    const bool converted = ConvertReadyFrame(capture(), sequence);
    InterlockedExchange(&capture()->busy, 0);
    KeSetEvent(&capture()->done_event, EVENT_INCREMENT, FALSE);
    return converted;
  }

  // The converted picture equals the conversion of the camera's n-th frame (from 1).
  void ExpectPictureOfFrame(ULONG n) {
    const auto sent = emulated().Frames();
    ASSERT_GE(sent.size(), n);
    ASSERT_TRUE(sent[n - 1].complete);
    const std::vector<uint8_t> expected = ExpectedPicture(cam(), sent[n - 1].data);
    EXPECT_EQ(std::memcmp(capture()->rgb_buffer, expected.data(), expected.size()), 0) << "frame " << n;
  }
};

TEST_F(CaptureThreadTest, BothBuffersFullStopsReadingAndFramesLeaveInReadingOrder) {
  Start();
  // Two frames read, then the thread waits: no further frame is even asked for.
  ASSERT_TRUE(Eventually([&] { return ready() == 2; }));
  const size_t requests = CountCommands(emulated(), 0x03);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ready(), 2);
  EXPECT_EQ(CountCommands(emulated(), 0x03), requests);
  EXPECT_EQ(emulated().Frames().size(), 2u);
  EXPECT_EQ(ReadAcquire(&capture()->buffer_state[0]), 2);
  EXPECT_EQ(ReadAcquire(&capture()->buffer_state[1]), 2);

  // Each conversion frees a buffer, which the thread fills with the next frame; the older
  // of two waiting frames always goes first, whichever buffer holds it.
  ULONG sequence = 0;
  ASSERT_TRUE(Convert(&sequence));
  EXPECT_EQ(sequence, 1u);
  ExpectPictureOfFrame(1);
  ASSERT_TRUE(Eventually([&] { return ready() == 3; }));
  ASSERT_TRUE(Eventually([&] { return ReadAcquire(&capture()->buffer_state[0]) == 2; }));

  ASSERT_TRUE(Convert(&sequence));
  EXPECT_EQ(sequence, 2u);  // buffer 1, read before the frame now in buffer 0
  ExpectPictureOfFrame(2);
  ASSERT_TRUE(Eventually([&] { return ready() == 4; }));
  ASSERT_TRUE(Convert(&sequence));
  EXPECT_EQ(sequence, 3u);
  ExpectPictureOfFrame(3);

  Stop();
  EXPECT_EQ(capture()->thread, nullptr);
  EXPECT_EQ(capture()->raw_buffer[0], nullptr);
  EXPECT_EQ(capture()->rgb_buffer, nullptr);
}

TEST_F(CaptureThreadTest, AConversionAfterTheStopTouchesNothing) {
  Start();
  ASSERT_TRUE(Eventually([&] { return ready() >= 1; }));
  StopCaptureThread(capture());
  ULONG sequence = 0;
  EXPECT_FALSE(Convert(&sequence));
  // The filled buffers stay as they were: a stopping stream's frames are not converted.
  EXPECT_NE(ReadAcquire(&capture()->buffer_state[0]), 3);
  EXPECT_NE(ReadAcquire(&capture()->buffer_state[1]), 3);
  InterlockedExchange(&capture()->state, 0);
  FreeStreamBuffers(capture());
  DropColorProcessor();
}

}  // namespace
}  // namespace kscam::stream_test
